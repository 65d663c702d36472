#include "clinical/audit.h"

#include "clinical/icu_text.h"
#include "quarn_core/text.h"

#include "blake3.h"

namespace quarn::clinical {

std::string blake3_hex(std::string_view bytes) {
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  blake3_hasher_update(&hasher, bytes.data(), bytes.size());
  std::uint8_t digest[BLAKE3_OUT_LEN];
  blake3_hasher_finalize(&hasher, digest, BLAKE3_OUT_LEN);
  return core::lower_hex(digest);
}

core::Result<std::string, AuditError> create_audit(std::string_view note_id,
                                                   std::string_view entities_json,
                                                   std::uint64_t timestamp) {
  // Entity strings were checked by the reader; the identifier is written as
  // given, so it must be UTF-8 for the record to be JSON at all.
  if (!is_valid_utf8(note_id)) return AuditError{"note_id is not valid UTF-8"};
  std::string out;
  out.reserve(entities_json.size() + note_id.size() + 160);
  // Keys in ascending byte order, as every object is written.
  out += "{\"entities\":";
  auto entities = parse_json(entities_json, kMaxJsonDepth);
  if (entities.ok()) {
    write_json(entities.value(), out);
  } else {
    out += "null";  // not JSON: the record still seals the text
  }
  out += ",\"hash\":\"";
  out += blake3_hex(entities_json);
  out += "\",\"note_id\":";
  write_json_string(note_id, out);
  out += ",\"timestamp\":";
  write_json_unsigned(timestamp, out);
  out += '}';
  return out;
}

core::Result<bool, VerifyError> verify_audit(std::string_view audit_json,
                                             std::string_view entities_json) {
  auto stored = top_level_string(audit_json, "hash", kMaxRecordDepth);
  if (!stored.ok()) return VerifyError::InvalidJson;
  if (!stored.value()) return VerifyError::NoHash;
  return *stored.value() == blake3_hex(entities_json);
}

}  // namespace quarn::clinical
