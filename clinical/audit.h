// Audit records: an entities text sealed with its BLAKE3 hash, a note
// identifier and a time stamp, and the check of such a record against an
// entities text. The hash covers the entities text byte for byte; nothing else
// in the record is covered.
#pragma once

#include "clinical/json.h"
#include "quarn_core/result.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace quarn::clinical {

// A record nests its entities one level below its own top-level object, so
// it is read with one level more than the entities were: every record that
// create_audit writes can be verified.
inline constexpr int kMaxRecordDepth = kMaxJsonDepth + 1;

// BLAKE3 (32-byte output) of the bytes, as 64 lower-case hex digits.
std::string blake3_hex(std::string_view bytes);

struct AuditError {
  std::string message;  // the writer's reason
};

// {"entities":<entities_json parsed and written again, or null>,
//  "hash":<blake3_hex(entities_json)>,"note_id":<note_id>,"timestamp":<timestamp>}
// Fails only when the record could not be valid JSON: note_id not UTF-8.
core::Result<std::string, AuditError> create_audit(std::string_view note_id,
                                                   std::string_view entities_json,
                                                   std::uint64_t timestamp);

enum class VerifyError {
  InvalidJson,  // audit_json does not parse
  NoHash,       // no string-valued "hash" in a top-level object
};

// Whether the record's "hash" equals blake3_hex(entities_json) byte for byte.
core::Result<bool, VerifyError> verify_audit(std::string_view audit_json,
                                             std::string_view entities_json);

}  // namespace quarn::clinical
