#include "clinical/entities.h"

#include "clinical/icu_text.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace quarn::clinical {
namespace {

// All terms are found in one pass over the note. At each byte, the first two
// bytes are looked up in a bitmap of the terms' two-byte prefixes; only on a
// hit are the terms that begin with that letter compared. Every occurrence of
// every term is visited, overlapping ones included, exactly as a separate
// search per term restarting one byte after each hit would find them.
struct Index {
  std::array<std::uint64_t, 1024> bigrams{};  // bit (b0 | b1 << 8)
  std::array<std::array<std::uint8_t, 8>, 256> by_first{};  // term indexes, table order
  std::array<std::uint8_t, 256> by_first_count{};
  std::size_t min_len = ~std::size_t{0};
};

constexpr Index make_index() {
  Index ix{};
  for (std::size_t t = 0; t < kTermCount; ++t) {
    auto b0 = static_cast<unsigned char>(kTerms[t].text[0]);
    auto b1 = static_cast<unsigned char>(kTerms[t].text[1]);
    unsigned bg = b0 | (unsigned{b1} << 8);
    ix.bigrams[bg >> 6] |= std::uint64_t{1} << (bg & 63);
    ix.by_first[b0][ix.by_first_count[b0]++] = static_cast<std::uint8_t>(t);
    if (kTerms[t].text.size() < ix.min_len) ix.min_len = kTerms[t].text.size();
  }
  return ix;
}

constexpr bool index_fits() {
  std::array<std::size_t, 256> count{};
  for (const Term& t : kTerms) {
    if (++count[static_cast<unsigned char>(t.text[0])] > 8) return false;
  }
  return kTermCount < 256;
}
static_assert(index_fits(), "at most 8 terms may share a first letter");

constexpr Index kIndex = make_index();

// A match is accepted when the characters on both sides of it (if any) are
// not alphanumeric.
bool boundary_before(std::string_view l, std::size_t at) {
  if (at == 0) return true;
  auto b = static_cast<unsigned char>(l[at - 1]);
  if (b < 0x80) return kByteClasses.v[b] != kAlnum;
  return !is_alphanumeric(decode_before(l, at).cp);
}

bool boundary_after(std::string_view l, std::size_t at) {
  if (at == l.size()) return true;
  auto b = static_cast<unsigned char>(l[at]);
  if (b < 0x80) return kByteClasses.v[b] != kAlnum;
  return !is_alphanumeric(decode_at(l, at).cp);
}

}  // namespace

std::vector<EntityMatch> find_entities(std::string_view l) {
  std::vector<EntityMatch> out;
  const auto* s = reinterpret_cast<const unsigned char*>(l.data());
  const std::size_t n = l.size();
  if (n < kIndex.min_len) return out;
  const std::size_t last = n - kIndex.min_len;
  for (std::size_t p = 0; p <= last; ++p) {
    unsigned bg = s[p] | (unsigned{s[p + 1]} << 8);
    if (!((kIndex.bigrams[bg >> 6] >> (bg & 63)) & 1)) continue;
    // A hit right after an alphanumeric character is refused whatever it is.
    if (!boundary_before(l, p)) continue;
    const auto& candidates = kIndex.by_first[s[p]];
    for (std::size_t c = 0; c < kIndex.by_first_count[s[p]]; ++c) {
      std::size_t t = candidates[c];
      std::string_view term = kTerms[t].text;
      if (term.size() > n - p || std::memcmp(s + p, term.data(), term.size()) != 0) continue;
      std::size_t e = p + term.size();
      if (!boundary_after(l, e)) continue;
      // Matches come in start order and, at one start, in dictionary order:
      // the order of a stable sort by start of the per-term results. Of equal
      // (start, end) pairs only the first is kept.
      if (!out.empty() && out.back().start == p && out.back().end == e) continue;
      out.push_back({t, p, e});
    }
  }
  return out;
}

std::vector<EntityMatch> extract_entities(std::string_view note) {
  return find_entities(to_lower(note));
}

}  // namespace quarn::clinical
