// Byte-level text primitives shared by every stage: UTF-8 decoding and
// validation, Unicode White_Space, decimal digits in and numbers out. Each
// is written once here, with its contract, so that the clinical side, the
// compiler and the decoder cannot drift apart on what they accept.
#pragma once

#include <charconv>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quarn::core {

// ---- UTF-8 ------------------------------------------------------------------

// One character read from UTF-8. `len` is 0 when the bytes are not a
// well-formed sequence; `cp` is then U+FFFD.
struct Utf8Char {
  char32_t cp;
  std::size_t len;
};

// The well-formed sequence starting at s[at]: no stray continuation byte, no
// overlong form, no surrogate, nothing above U+10FFFF, not cut short by the
// end of `s`. REQUIRES: at < s.size()
inline Utf8Char decode_utf8(std::string_view s, std::size_t at) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + at;
  const std::size_t avail = s.size() - at;
  const unsigned char b = p[0];
  if (b < 0x80) return {b, 1};
  std::size_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  char32_t cp;
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
    cp = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    cp = b & 0x0F;
    if (b == 0xE0) lo = 0xA0;  // overlong below U+0800
    if (b == 0xED) hi = 0x9F;  // surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    cp = b & 0x07;
    if (b == 0xF0) lo = 0x90;  // overlong below U+10000
    if (b == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return {0xFFFD, 0};
  }
  if (avail < n || p[1] < lo || p[1] > hi) return {0xFFFD, 0};
  cp = (cp << 6) | (p[1] & 0x3F);
  for (std::size_t k = 2; k < n; ++k) {
    if ((p[k] & 0xC0) != 0x80) return {0xFFFD, 0};
    cp = (cp << 6) | (p[k] & 0x3F);
  }
  return {cp, n};
}

// The length of the well-formed sequence starting at p (the rules of
// decode_utf8), or 0; for scanners that only need to step over characters.
// REQUIRES: p < end
inline std::size_t utf8_length(const unsigned char* p, const unsigned char* end) {
  const unsigned char b = p[0];
  if (b < 0x80) return 1;
  const auto avail = static_cast<std::size_t>(end - p);
  auto cont = [&](std::size_t i, unsigned char lo, unsigned char hi) {
    return i < avail && p[i] >= lo && p[i] <= hi;
  };
  if (b >= 0xC2 && b <= 0xDF) return cont(1, 0x80, 0xBF) ? 2 : 0;
  if (b >= 0xE0 && b <= 0xEF) {
    const unsigned char lo = b == 0xE0 ? 0xA0 : 0x80, hi = b == 0xED ? 0x9F : 0xBF;
    return cont(1, lo, hi) && cont(2, 0x80, 0xBF) ? 3 : 0;
  }
  if (b >= 0xF0 && b <= 0xF4) {
    const unsigned char lo = b == 0xF0 ? 0x90 : 0x80, hi = b == 0xF4 ? 0x8F : 0xBF;
    return cont(1, lo, hi) && cont(2, 0x80, 0xBF) && cont(3, 0x80, 0xBF) ? 4 : 0;
  }
  return 0;
}

// The well-formed sequence that ends exactly at byte `end`, else
// {U+FFFD, 0}. REQUIRES: 0 < end <= s.size()
Utf8Char decode_utf8_before(std::string_view s, std::size_t end);

// True when all of `s` is well-formed UTF-8 (the rules of decode_utf8).
// On failure, when `description` is given, it is set to say where the first
// bad sequence starts and how many of its bytes were read before it went
// wrong ("invalid utf-8 sequence of 2 bytes from index 7"), or that the text
// ends inside a sequence ("incomplete utf-8 byte sequence from index 7").
// Those texts reach Python callers in decoding errors: keep them.
bool check_utf8(std::string_view s, std::string* description);
inline bool is_valid_utf8(std::string_view s) { return check_utf8(s, nullptr); }

// The characters (code points) of well-formed UTF-8 text: its bytes that do
// not continue a sequence (0b10xxxxxx). Where the text is malformed, each
// byte that is not a continuation byte counts as one.
std::size_t count_code_points(std::string_view s);

// How many bytes of `marks` have their high bit set, where no other bit is:
// the masks that tests of text eight bytes at a time make. Plain arithmetic
// (each byte adds its 0 or 1 into the top byte), as the baseline x86-64
// target has no population count instruction and would call a library
// routine for std::popcount.
constexpr std::size_t count_marked_bytes(std::uint64_t marks) {
  return static_cast<std::size_t>(((marks >> 7) * 0x0101010101010101ull) >> 56);
}

// The high bit of each byte of `w` (eight bytes of text) that continues a
// UTF-8 sequence (0b10xxxxxx), and no other bit.
constexpr std::uint64_t continuation_marks(std::uint64_t w) { return w & ~(w << 1) & 0x8080808080808080ull; }

// Appends the UTF-8 form of a code point. REQUIRES: cp <= U+10FFFF
void append_utf8(std::string& out, char32_t cp);

// ---- white space --------------------------------------------------------------

// Unicode White_Space: U+0009-U+000D, U+0020, U+0085, U+00A0, U+1680,
// U+2000-U+200A, U+2028, U+2029, U+202F, U+205F, U+3000 (25 characters).
inline bool is_white_space(char32_t c) {
  if (c < 0x80) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
  switch (c) {
    case 0x0085: case 0x00A0: case 0x1680: case 0x2028: case 0x2029:
    case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

// `s` without leading / trailing White_Space characters. Trimming stops at
// the first byte that is not a well-formed sequence.
std::string_view trim_white_space_start(std::string_view s);
std::string_view trim_white_space_end(std::string_view s);
inline std::string_view trim_white_space(std::string_view s) {
  return trim_white_space_end(trim_white_space_start(s));
}

// ---- decimal digits in ----------------------------------------------------------

inline bool is_decimal_digit(char c) { return c >= '0' && c <= '9'; }

// The run of ASCII digits at the start of a text.
struct DecimalRun {
  std::size_t digits;   // how many bytes the run has (0: the text starts with no digit)
  std::uint64_t value;  // the number the run spells, when !overflow
  bool overflow;        // the number is above the caller's maximum
};

// Reads the whole run, however long, so that callers can step past it even
// when the number is too large.
DecimalRun scan_decimal(std::string_view s, std::uint64_t max);

// "+"? digits, filling the whole text, at most `max`; else nullopt.
std::optional<std::uint64_t> parse_decimal(std::string_view s, std::uint64_t max);

// ---- numbers out ------------------------------------------------------------------

// An integer in decimal: a '-' for negatives, no padding, no separators.
template <std::integral T>
void append_decimal(std::string& out, T v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);  // 24 bytes hold any 64-bit value
  out.append(buf, r.ptr);
}
template <std::integral T>
std::string decimal(T v) {
  std::string out;
  append_decimal(out, v);
  return out;
}

// Bytes as lower-case hexadecimal, two digits each ("00ff" for {0, 255}):
// how hashes are shown in audit records, listings and tests.
std::string lower_hex(std::span<const std::uint8_t> bytes);

// A double with exactly `places` digits after the point ("2.5" for 1 place).
void append_fixed_point(std::string& out, double v, int places);

// A finite double as the shortest digits that read back to the same double,
// always in a form that reads back as a double rather than an integer:
// with the value 0.d1...dn x 10^k,
//   0 <= k-n and k <= 16:  the digits, k-n zeros, ".0"       (100.0)
//   0 < k <= 16 otherwise: a point after digit k             (2.5)
//   -5 < k <= 0:           "0.", -k zeros, the digits        (0.00015)
//   otherwise:             d1, "." and the rest if any, "e", k-1 with a '-'
//                          when negative, no '+', no leading zeros (1e16, 1.5e-7)
// Zero is "0.0" or "-0.0"; negatives get a leading '-'. This is the layout
// that the common shortest-float writers agree on, so records written here
// and elsewhere compare equal. REQUIRES: v is finite.
void append_shortest_double(std::string& out, double v);

}  // namespace quarn::core
