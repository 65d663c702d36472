// The JSON values of audit records: a strict reader (SAX-style events, with
// a nesting limit and no recursion, feeding our own flat value type) and a canonical
// compact writer (object keys sorted by bytes at every depth, the last of
// repeated keys kept, numbers in their shortest form).
#pragma once

#include "quarn_core/result.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::clinical {

// Arrays and objects nest at most this deep; the outermost is level 1.
inline constexpr int kMaxJsonDepth = 127;

enum class JsonKind : std::uint8_t {
  Null, False, True,
  Unsigned,  // an integer literal within 0..2^64-1
  Signed,    // a negative integer literal within the signed 64-bit range
  Double,    // any other number
  String, Array, Object,
  Key,       // an object member's key; its value's subtree follows it
};

// One value in document order (a tape): 16 bytes, so even a text made only of
// one-digit numbers takes at most eight times its size.
struct JsonNode {
  std::uint64_t head;     // kind in the low 8 bits; above them the byte length (String,
                          // Key) or the element / member count (Array, Object)
  std::uint64_t payload;  // the number's bits; the bytes' offset in `strings` (String,
                          // Key); the index just past the subtree (Array, Object)

  JsonKind kind() const { return static_cast<JsonKind>(head & 0xFF); }
  std::uint64_t size() const { return head >> 8; }
  friend bool operator==(const JsonNode&, const JsonNode&) = default;
};

struct JsonDocument {
  std::vector<JsonNode> nodes;  // nodes[0] is the root
  std::string strings;          // the decoded bytes of every string and key

  std::string_view text(const JsonNode& n) const {
    return std::string_view(strings).substr(n.payload, n.size());
  }
};

struct JsonError {
  std::string message;
};

// One JSON value, optionally surrounded by space, tab, line feed and carriage
// return; nothing else before or after it (no byte-order mark, no comments).
// Numbers too large for a double (1e400) and nesting past max_depth fail.
core::Result<JsonDocument, JsonError> parse_json(std::string_view text,
                                                 int max_depth = kMaxJsonDepth);

// The same reading done by nlohmann's SAX parser into the same document:
// several times slower, kept as the reference that parse_json is checked
// against (unit tests, fuzzing).
core::Result<JsonDocument, JsonError> parse_json_reference(std::string_view text,
                                                           int max_depth = kMaxJsonDepth);

// Parses `text` as parse_json does, without keeping it, and reports the value
// of `key` in the top-level object when that value is a string (the last one
// where the key repeats). nullopt: the top level is no object, the key is
// absent, or its last value is no string.
core::Result<std::optional<std::string>, JsonError> top_level_string(std::string_view text,
                                                                    std::string_view key,
                                                                    int max_depth);

// Appends the compact canonical text of the document.
// REQUIRES: doc came from parse_json.
void write_json(const JsonDocument& doc, std::string& out);

// Appends s as a JSON string literal: backslash before '"' and '\\'; \b \f
// \n \r \t; \u00xx (lower-case hex) for the other controls; all else as is.
void write_json_string(std::string_view s, std::string& out);

void write_json_unsigned(std::uint64_t v, std::string& out);

}  // namespace quarn::clinical
