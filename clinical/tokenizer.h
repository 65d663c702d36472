// Splitting a note into lower-cased words: pieces between Unicode White_Space
// characters, trimmed at both ends to their first and last word character
// (alphanumeric or '_'), then lower-cased with the piece as context.
#pragma once

#include "clinical/icu_text.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::clinical {

// ASCII word characters (A-Z a-z 0-9 _): one lookup per byte in the loop
// that runs over a word.
inline constexpr ByteClassTable kWordBytes = [] {
  ByteClassTable t{};
  for (int b = 0; b < 256; ++b) t.v[b] = kByteClasses.v[b] == kAlnum || kByteClasses.v[b] == kUnderscore;
  return t;
}();

#if defined(__SSE2__)
// 0xFF in each byte of v that lies in [lo, lo + span], 0 elsewhere (one
// unsigned compare per byte).
inline __m128i bytes_in_range16(__m128i v, char lo, char span) {
  const __m128i off = _mm_sub_epi8(v, _mm_set1_epi8(lo));
  return _mm_cmpeq_epi8(_mm_min_epu8(off, _mm_set1_epi8(span)), off);
}

// 0xFF in each byte of v that is an ASCII word character (A-Z a-z 0-9 _).
inline __m128i word_bytes16(__m128i v) {
  return _mm_or_si128(_mm_or_si128(bytes_in_range16(_mm_or_si128(v, _mm_set1_epi8(0x20)), 'a', 25),
                                   bytes_in_range16(v, '0', 9)),
                      _mm_cmpeq_epi8(v, _mm_set1_epi8('_')));
}
#endif

// The first byte at or after i that is not an ASCII word character (or n).
// Words end after a handful of bytes at unforeseeable places; sixteen bytes
// tested at once and the first miss found by counting bits spare the
// mispredicted branch that a byte loop takes at every word's end.
inline std::size_t ascii_word_end(const unsigned char* s, std::size_t i, std::size_t n) {
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    __m128i word = word_bytes16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i)));
    auto miss = ~static_cast<unsigned>(_mm_movemask_epi8(word)) & 0xFFFFu;
    if (miss != 0) return i + static_cast<std::size_t>(__builtin_ctz(miss));
  }
#endif
  while (i < n && kWordBytes.v[s[i]]) ++i;
  return i;
}

// One piece of `text` from byte i, which is not ASCII white space: what the
// byte-by-byte reading finds there. `end` is where the next piece may start;
// [first, last_end) is the trimmed token, empty when first == kNoToken (a
// piece of punctuation, or a non-ASCII separator at i).
struct Piece {
  static constexpr std::size_t kNoToken = ~std::size_t{0};
  std::size_t first = kNoToken, last_end = 0, end = 0;
  bool non_ascii = false;  // a non-ASCII character inside [first, last_end)
};

inline Piece read_piece(std::string_view text, std::size_t i) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  Piece p;
  if (kByteClasses.v[s[i]] == kNonAscii) {
    Decoded d = decode_at(text, i);
    if (is_separator(d.cp)) {
      p.end = i + d.len;
      return p;
    }
  }
  // ASCII letters and digits, the common case, take the first branch and
  // nothing else.
  bool non_ascii_pending = false;  // a non-ASCII character after `first`, not yet inside
  while (i < n) {
    std::uint8_t cls = kByteClasses.v[s[i]];
    if (cls == kAlnum || cls == kUnderscore) {
      if (p.first == Piece::kNoToken) p.first = i;
      i = ascii_word_end(s, i + 1, n);
      p.last_end = i;
      p.non_ascii |= non_ascii_pending;
      non_ascii_pending = false;
    } else if (cls == kOther) {
      ++i;
    } else if (cls == kSpace) {
      break;
    } else {
      Decoded d = decode_at(text, i);
      if (is_separator(d.cp)) break;
      if (is_word_char(d.cp)) {
        if (p.first == Piece::kNoToken) p.first = i;
        p.last_end = i + d.len;
        p.non_ascii = true;
        non_ascii_pending = false;
      } else if (p.first != Piece::kNoToken) {
        non_ascii_pending = true;
      }
      i += d.len;
    }
  }
  p.end = i;
  return p;
}

namespace detail {

// The reference reading: every piece byte by byte. for_each_token reads
// pieces of ASCII through bit masks instead and must find the same tokens.
template <class Sink>
void for_each_token_bytewise(std::string_view text, Sink&& sink) {
  std::size_t i = 0;
  while (i < text.size()) {
    if (kByteClasses.v[static_cast<unsigned char>(text[i])] == kSpace) {
      ++i;
      continue;
    }
    Piece p = read_piece(text, i);
    i = p.end;
    if (p.first != Piece::kNoToken &&
        !sink(text.substr(p.first, p.last_end - p.first), !p.non_ascii)) {
      return;
    }
  }
}

// Bit j of each mask tells about byte 64 * block + j; bytes past the text's
// end count as white space, so the last piece ends there.
struct BlockMasks {
  std::uint64_t word;       // A-Z a-z 0-9 _
  std::uint64_t space;      // ASCII white space
  std::uint64_t non_ascii;  // 0x80-0xFF
};

std::vector<BlockMasks> block_masks(std::string_view text);

// The first position in [from, limit) whose bit is set in masks[].*field, or
// `limit`. Positions are bytes of the text; limit <= 64 * masks.size().
template <std::uint64_t BlockMasks::*field>
std::size_t next_set(const BlockMasks* masks, std::size_t from, std::size_t limit) {
  if (from >= limit) return limit;
  std::size_t b = from >> 6;
  std::uint64_t m = masks[b].*field & (~std::uint64_t{0} << (from & 63));
  const std::size_t last = (limit - 1) >> 6;
  while (m == 0) {
    if (++b > last) return limit;
    m = masks[b].*field;
  }
  return std::min(limit, (b << 6) + static_cast<std::size_t>(std::countr_zero(m)));
}

// The last position at or before `at` whose bit is set; one must be.
template <std::uint64_t BlockMasks::*field>
std::size_t last_set(const BlockMasks* masks, std::size_t at) {
  std::size_t b = at >> 6;
  std::uint64_t m = masks[b].*field & (~std::uint64_t{0} >> (63 - (at & 63)));
  while (m == 0) m = masks[--b].*field;
  return (b << 6) + 63 - static_cast<std::size_t>(std::countl_zero(m));
}

}  // namespace detail

// Calls sink(token, ascii) for every trimmed, not yet lower-cased token, in
// text order; `ascii` tells whether the token is all ASCII (so that its lower
// case is byte for byte). The sink returns false to stop early.
//
// Word ends fall at unforeseeable places, so a byte loop mispredicts a branch
// at nearly every piece. Instead one pass marks, 64 bytes at a time, which
// bytes are word characters, white space or non-ASCII; a piece of ASCII is
// then found with a few bit scans: its end is the next white space, its
// token runs from its first word character to its last. A piece holding a
// non-ASCII byte (which may be a separator, a word character or neither) is
// read byte by byte, as read_piece does.
template <class Sink>
void for_each_token(std::string_view text, Sink&& sink) {
  using detail::BlockMasks;
  const std::size_t n = text.size();
  const std::vector<BlockMasks> owned = detail::block_masks(text);
  const BlockMasks* masks = owned.data();
  const std::size_t padded = owned.size() * 64;  // spaces from n on
  // The first non-ASCII byte at or after i (or `padded`), found again only
  // once i has passed it, so that no piece searches far ahead.
  std::size_t next_non_ascii = detail::next_set<&BlockMasks::non_ascii>(masks, 0, padded);
  std::size_t i = 0;
  while (true) {
    // Skip white space: the first byte that is not.
    std::size_t b = i >> 6;
    if (b >= owned.size()) return;
    std::uint64_t m = ~masks[b].space & (~std::uint64_t{0} << (i & 63));
    while (m == 0) {
      if (++b == owned.size()) return;
      m = ~masks[b].space;
    }
    i = (b << 6) + static_cast<std::size_t>(std::countr_zero(m));
    if (i >= n) return;

    const std::size_t end = detail::next_set<&BlockMasks::space>(masks, i + 1, padded);
    if (next_non_ascii < i) next_non_ascii = detail::next_set<&BlockMasks::non_ascii>(masks, i, padded);
    if (next_non_ascii < end) {
      Piece p = read_piece(text, i);
      i = p.end;
      if (p.first != Piece::kNoToken &&
          !sink(text.substr(p.first, p.last_end - p.first), !p.non_ascii)) {
        return;
      }
      continue;
    }
    const std::size_t first = detail::next_set<&BlockMasks::word>(masks, i, end);
    if (first != end) {
      const std::size_t last_end = detail::last_set<&BlockMasks::word>(masks, end - 1) + 1;
      if (!sink(text.substr(first, last_end - first), true)) return;
    }
    i = end;
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

  // Whether the 16 bytes from token i's first lie inside the buffer that
  // holds it, so that they may be read at once.
  bool sixteen_readable(std::size_t i) const {
    const Bounds& b = bounds_[i];
    const std::size_t held = (b.size & kLoweredBit) ? lowered_.size() : text_.size();
    return held >= 16 && b.begin <= held - 16;
  }

  // Finds every token of `text` (one text per object).
  void scan(std::string_view text);

  // After link_repeats(), what RepeatLinker::link said of each token, in
  // one pass over them all (so that it can run without the caller's lock).
  void link_repeats();
  std::uint32_t repeat_of(std::size_t i) const { return repeats_[i]; }

 private:
  static constexpr std::size_t kLoweredBit = std::size_t{1} << (8 * sizeof(std::size_t) - 1);
  struct Bounds {
    std::size_t begin;
    std::size_t size;  // kLoweredBit set: the token is in lowered_, else in text_
  };
  std::string_view text_;
  std::vector<Bounds> bounds_;
  std::string lowered_;
  std::vector<std::uint32_t> repeats_;
};

// Notes repeat their words: a caller that makes an object per token can make
// one per word and share it. link(tokens, i), asked for i = 0, 1, 2, ... in
// turn, gives an earlier token j < i whose lower case equals token i's and
// which was itself first (link gave kFirst for it); or kFirst when it knows of
// none. Short tokens (up to 15 bytes) are remembered in a small direct-mapped
// table, the latest per slot, so some repeats are missed, none wrongly linked.
class RepeatLinker {
 public:
  static constexpr std::uint32_t kFirst = ~std::uint32_t{0};
  static constexpr std::size_t kMaxLinked = 15;
  // `tokens`: about how many tokens will be asked for. Room for about one
  // slot per token, so that a short note does not pay for clearing a table
  // sized for a long one.
  explicit RepeatLinker(std::size_t tokens)
      : mask_(std::bit_ceil(std::clamp<std::size_t>(tokens, 64, kMaxSlots)) - 1),
        slots_(std::make_unique<Slot[]>(mask_ + 1)) {}

  // Leaves the token's lower case in `key` when it is at most 15 bytes (so
  // that a caller making the first of a word need not lower-case it again);
  // `key` is untouched otherwise.
  std::uint32_t link(const TokenBounds& tokens, std::size_t i, char (&key)[16]) {
    const std::string_view token = tokens.piece(i);
    const std::size_t len = token.size();
    // Tokens from index kFirst on cannot be recorded: they stay first.
    if (len > kMaxLinked || i >= kFirst) return kFirst;
    std::uint64_t a, b;
#if defined(__SSE2__)
    if (tokens.sixteen_readable(i)) {
      // In registers: a key written byte by byte and read back by the word
      // would stall on every token.
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(token.data()));
      const __m128i index = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
      v = _mm_and_si128(v, _mm_cmplt_epi8(index, _mm_set1_epi8(static_cast<char>(len))));
      if (tokens.ascii(i)) {
        const __m128i is_upper = bytes_in_range16(v, 'A', 25);
        v = _mm_add_epi8(v, _mm_and_si128(is_upper, _mm_set1_epi8(0x20)));
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>(key), v);
      a = static_cast<std::uint64_t>(_mm_cvtsi128_si64(v));
      b = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(v, v)));
    } else
#endif
    {
      std::memset(key, 0, sizeof key);
      if (tokens.ascii(i)) {
        ascii_lower(token.data(), len, key);
      } else {
        std::memcpy(key, token.data(), len);
      }
      std::memcpy(&a, key, 8);
      std::memcpy(&b, key + 8, 8);
    }
    // The length in the key (zero padding alone would not tell "ab" from
    // "ab\0"), so equal keys are an equal lower case; a slot never written
    // holds length 0, which no token has.
    b ^= static_cast<std::uint64_t>(len) << 56;
    const std::uint64_t h = (a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full);
    Slot& slot = slots_[(h ^ (h >> 29)) & mask_];
    if (slot.a == a && slot.b == b) return slot.token;
    slot = {a, b, static_cast<std::uint32_t>(i)};
    return kFirst;
  }

 private:
  static constexpr std::size_t kMaxSlots = 1024;
  struct Slot {
    std::uint64_t a, b;   // the lower case, zero-padded, its length in b's top byte
    std::uint32_t token;
  };
  std::size_t mask_;
  std::unique_ptr<Slot[]> slots_;
};

// The lower-cased tokens of `text`.
std::vector<std::string> tokenize(std::string_view text);

}  // namespace quarn::clinical
