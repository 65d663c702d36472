// Splitting a note into lower-cased words: pieces between Unicode White_Space
// characters, trimmed at both ends to their first and last word character
// (alphanumeric or '_'), then lower-cased with the piece as context.
#pragma once

#include "clinical/icu_text.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::clinical {

// Calls sink(piece, ascii) for every trimmed, not yet lower-cased piece, in
// text order; `ascii` tells whether the piece is all ASCII (so that its lower
// case is byte for byte). The sink returns false to stop early. One forward
// pass: the trim is found while scanning.
// ASCII word characters (A-Z a-z 0-9 _): one lookup per byte in the loop
// that runs over a word.
inline constexpr ByteClassTable kWordBytes = [] {
  ByteClassTable t{};
  for (int b = 0; b < 256; ++b) t.v[b] = kByteClasses.v[b] == kAlnum || kByteClasses.v[b] == kUnderscore;
  return t;
}();

// The first byte at or after i that is not an ASCII word character (or n).
// Words end after a handful of bytes at unforeseeable places; sixteen bytes
// tested at once and the first miss found by counting bits spare the
// mispredicted branch that a byte loop takes at every word's end.
inline std::size_t ascii_word_end(const unsigned char* s, std::size_t i, std::size_t n) {
#if defined(__SSE2__)
  const __m128i letters = _mm_set1_epi8(25), digits = _mm_set1_epi8(9);
  const __m128i a = _mm_set1_epi8('a'), zero = _mm_set1_epi8('0');
  const __m128i under = _mm_set1_epi8('_'), case_bit = _mm_set1_epi8(0x20);
  for (; i + 16 <= n; i += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    __m128i l = _mm_sub_epi8(_mm_or_si128(v, case_bit), a);  // letters: 0..25
    __m128i d = _mm_sub_epi8(v, zero);                       // digits: 0..9
    __m128i word = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(l, letters), l),
                                             _mm_cmpeq_epi8(_mm_min_epu8(d, digits), d)),
                                _mm_cmpeq_epi8(v, under));
    auto miss = ~static_cast<unsigned>(_mm_movemask_epi8(word)) & 0xFFFFu;
    if (miss != 0) return i + static_cast<std::size_t>(__builtin_ctz(miss));
  }
#endif
  while (i < n && kWordBytes.v[s[i]]) ++i;
  return i;
}

template <class Sink>
void for_each_token(std::string_view text, Sink&& sink) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  constexpr std::size_t kNone = ~std::size_t{0};
  std::size_t i = 0;
  while (i < n) {
    // Separators between pieces.
    std::uint8_t cls = kByteClasses.v[s[i]];
    if (cls == kSpace) {
      ++i;
      continue;
    }
    if (cls == kNonAscii) {
      Decoded d = decode_at(text, i);
      if (is_separator(d.cp)) {
        i += d.len;
        continue;
      }
    }
    // One piece: [first, last_end) is its trimmed part. ASCII letters and
    // digits, the common case, take the first branch and nothing else.
    std::size_t first = kNone, last_end = 0;
    bool non_ascii_pending = false;  // a non-ASCII character after `first`, not yet inside
    bool non_ascii = false;          // a non-ASCII character inside [first, last_end)
    while (i < n) {
      cls = kByteClasses.v[s[i]];
      if (cls == kAlnum || cls == kUnderscore) {
        if (first == kNone) first = i;
        i = ascii_word_end(s, i + 1, n);
        last_end = i;
        non_ascii |= non_ascii_pending;
        non_ascii_pending = false;
      } else if (cls == kOther) {
        ++i;
      } else if (cls == kSpace) {
        break;
      } else {
        Decoded d = decode_at(text, i);
        if (is_separator(d.cp)) break;
        if (is_word_char(d.cp)) {
          if (first == kNone) first = i;
          last_end = i + d.len;
          non_ascii = true;
          non_ascii_pending = false;
        } else if (first != kNone) {
          non_ascii_pending = true;
        }
        i += d.len;
      }
    }
    if (first != kNone && !sink(text.substr(first, last_end - first), !non_ascii)) return;
  }
}

// Where every token of a text is, in a compact form made without touching
// any caller's objects. An ASCII token is kept as its place in the text: its
// lower case is byte for byte, and the caller makes it while copying the
// token out, which costs no more than the copy. Any other token is lower-cased
// here (the costly part) into a buffer of its own.
// REQUIRES: the text given to scan() outlives this object.
class TokenBounds {
 public:
  std::size_t size() const { return bounds_.size(); }
  bool ascii(std::size_t i) const { return (bounds_[i].size & kLoweredBit) == 0; }
  // Token i: if ascii(i), its bytes in the text, not lower-cased yet
  // (ascii_lower does that); otherwise its lower case.
  std::string_view piece(std::size_t i) const {
    const Bounds& b = bounds_[i];
    const char* base = (b.size & kLoweredBit) ? lowered_.data() : text_.data();
    return std::string_view(base + b.begin, b.size & ~kLoweredBit);
  }

  // Finds every token of `text` (one text per object).
  void scan(std::string_view text);

 private:
  static constexpr std::size_t kLoweredBit = std::size_t{1} << (8 * sizeof(std::size_t) - 1);
  struct Bounds {
    std::size_t begin;
    std::size_t size;  // kLoweredBit set: the token is in lowered_, else in text_
  };
  std::string_view text_;
  std::vector<Bounds> bounds_;
  std::string lowered_;
};

// The lower-cased tokens of `text`.
std::vector<std::string> tokenize(std::string_view text);

}  // namespace quarn::clinical
