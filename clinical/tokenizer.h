// Splitting a note into lower-cased words: pieces between Unicode White_Space
// characters, trimmed at both ends to their first and last word character
// (alphanumeric or '_'), then lower-cased with the piece as context.
#pragma once

#include "clinical/icu_text.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::clinical {

// Calls sink(piece, ascii) for every trimmed, not yet lower-cased piece, in
// text order; `ascii` tells whether the piece is all ASCII (so that its lower
// case is byte for byte). The sink returns false to stop early. One forward
// pass: the trim is found while scanning.
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
        do {
          ++i;
        } while (i < n && (kByteClasses.v[s[i]] == kAlnum || kByteClasses.v[s[i]] == kUnderscore));
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

// Every token of a text, lower-cased and stored back to back, with where each
// one ends: a compact form made without touching any caller's objects, which
// the caller turns into its own strings afterwards.
class LoweredTokens {
 public:
  std::size_t size() const { return ends_.size(); }
  std::string_view token(std::size_t i) const {
    std::size_t begin = i == 0 ? 0 : ends_[i - 1] & ~kNonAsciiBit;
    return std::string_view(bytes_).substr(begin, (ends_[i] & ~kNonAsciiBit) - begin);
  }
  // Whether token i is all ASCII (then its length in bytes is its length in
  // characters).
  bool ascii(std::size_t i) const { return (ends_[i] & kNonAsciiBit) == 0; }

  // Lower-cases and appends every token of `text`; returns *this.
  LoweredTokens& scan(std::string_view text);

 private:
  static_assert(sizeof(std::size_t) == 8, "the top bit of an end marks a non-ASCII token");
  static constexpr std::size_t kNonAsciiBit = std::size_t{1} << 63;
  std::string bytes_;
  std::vector<std::size_t> ends_;  // end of token i in bytes_, kNonAsciiBit or'ed in
};

// The lower-cased tokens of `text`.
std::vector<std::string> tokenize(std::string_view text);

}  // namespace quarn::clinical
