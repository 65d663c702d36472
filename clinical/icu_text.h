// Unicode character classes and lower-casing shared by the tokenizer and the
// entity extractor. Classes come from the Unicode character database (through
// ICU), never from the locale, so results are the same on every machine.
#pragma once

#include "quarn_core/text.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quarn::clinical {

// One character decoded from UTF-8. An ill-formed sequence decodes as
// U+FFFD of length 1, so a scan always makes progress.
struct Decoded {
  char32_t cp;
  std::size_t len;
};

// REQUIRES: at < text.size()
Decoded decode_at(std::string_view text, std::size_t at);
// The character that ends just before byte `end`.
// REQUIRES: 0 < end <= text.size()
Decoded decode_before(std::string_view text, std::size_t end);

// Byte classes for the ASCII fast paths; non-ASCII bytes are kNonAscii and
// need decoding.
enum ByteClass : std::uint8_t {
  kOther = 0,      // punctuation, symbols, controls that are not white space
  kAlnum = 1,      // A-Z a-z 0-9
  kUnderscore = 2, // '_': a word character for the tokenizer only
  kSpace = 3,      // U+0009-U+000D, U+0020
  kNonAscii = 4,   // 0x80-0xFF
};

struct ByteClassTable {
  std::uint8_t v[256];
};

inline constexpr ByteClassTable make_byte_classes() {
  ByteClassTable t{};
  for (int b = 0; b < 256; ++b) {
    std::uint8_t c = kOther;
    if (b >= 0x80) c = kNonAscii;
    else if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9')) c = kAlnum;
    else if (b == '_') c = kUnderscore;
    else if ((b >= 0x09 && b <= 0x0D) || b == 0x20) c = kSpace;
    t.v[b] = c;
  }
  return t;
}
inline constexpr ByteClassTable kByteClasses = make_byte_classes();

// Unicode White_Space (25 characters).
bool is_separator(char32_t c);
// Unicode Alphabetic, or general category Nd, Nl or No.
bool is_alphanumeric(char32_t c);
// Alphanumeric or '_'.
inline bool is_word_char(char32_t c) { return c == U'_' || is_alphanumeric(c); }

// Appends the full default lower-case form of `text` to `out` (root locale:
// one character may become several; capital sigma becomes final sigma by the
// context of the whole of `text`). Runs of ASCII are mapped directly; only the
// stretches around non-ASCII characters go through ICU.
// Ill-formed UTF-8 is copied through unchanged.
void append_lower(std::string_view text, std::string& out);
inline std::string to_lower(std::string_view text) {
  std::string out;
  append_lower(text, out);
  return out;
}

// A-Z to a-z, byte for byte. REQUIRES: dst has room for src.size() bytes.
void ascii_lower(const char* src, std::size_t n, char* dst);

using core::is_valid_utf8;

}  // namespace quarn::clinical
