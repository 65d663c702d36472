#include "clinical/tokenizer.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace quarn::clinical {

namespace detail {

namespace {

#if defined(__SSE2__)
// Bits 0-15 of each mask, for the 16 bytes at s.
BlockMasks masks16(const unsigned char* s) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
  const __m128i word = word_bytes16(v);
  const __m128i space = _mm_or_si128(bytes_in_range16(v, 0x09, 4),  // U+0009-U+000D
                                     _mm_cmpeq_epi8(v, _mm_set1_epi8(0x20)));
  return {static_cast<std::uint16_t>(_mm_movemask_epi8(word)),
          static_cast<std::uint16_t>(_mm_movemask_epi8(space)),
          static_cast<std::uint16_t>(_mm_movemask_epi8(v))};
}
#endif

BlockMasks masks64(const unsigned char* s) {
  BlockMasks out{0, 0, 0};
#if defined(__SSE2__)
  for (int k = 0; k < 4; ++k) {
    BlockMasks part = masks16(s + 16 * k);
    out.word |= part.word << (16 * k);
    out.space |= part.space << (16 * k);
    out.non_ascii |= part.non_ascii << (16 * k);
  }
#else
  for (int j = 0; j < 64; ++j) {
    const std::uint8_t cls = kByteClasses.v[s[j]];
    const std::uint64_t bit = std::uint64_t{1} << j;
    if (cls == kAlnum || cls == kUnderscore) out.word |= bit;
    if (cls == kSpace) out.space |= bit;
    if (cls == kNonAscii) out.non_ascii |= bit;
  }
#endif
  return out;
}

}  // namespace

std::vector<BlockMasks> block_masks(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::vector<BlockMasks> masks((n + 63) / 64);
  const std::size_t whole = n / 64;
  for (std::size_t b = 0; b < whole; ++b) masks[b] = masks64(s + 64 * b);
  if (whole < masks.size()) {
    unsigned char tail[64];
    std::memset(tail, ' ', sizeof tail);  // past the end: white space
    std::memcpy(tail, s + 64 * whole, n - 64 * whole);
    masks[whole] = masks64(tail);
  }
  return masks;
}

}  // namespace detail

void TokenBounds::scan(std::string_view text) {
  text_ = text;
  bounds_.clear();
  lowered_.clear();
  // Words run about six bytes with their separator.
  bounds_.reserve(text.size() / 6 + 1);
  for_each_token(text, [&](std::string_view piece, bool ascii) {
    if (ascii) {
      bounds_.push_back({static_cast<std::size_t>(piece.data() - text.data()), piece.size()});
    } else {
      std::size_t begin = lowered_.size();
      append_lower(piece, lowered_);
      bounds_.push_back({begin, (lowered_.size() - begin) | kLoweredBit});
    }
    return true;
  });
}

void TokenBounds::link_repeats() {
  RepeatLinker linker(bounds_.size());
  repeats_.resize(bounds_.size());
  char key[16];
  for (std::size_t i = 0; i < bounds_.size(); ++i) repeats_[i] = linker.link(*this, i, key);
}

std::vector<std::string> tokenize(std::string_view text) {
  TokenBounds bounds;
  bounds.scan(text);
  std::vector<std::string> tokens;
  tokens.reserve(bounds.size());
  for (std::size_t i = 0; i < bounds.size(); ++i) {
    std::string_view piece = bounds.piece(i);
    std::string& token = tokens.emplace_back(piece);
    if (bounds.ascii(i)) ascii_lower(piece.data(), piece.size(), token.data());
  }
  return tokens;
}

}  // namespace quarn::clinical
