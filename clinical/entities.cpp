#include "clinical/entities.h"

#include "clinical/icu_text.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define QUARN_ENTITIES_AVX2 1
#endif

namespace quarn::clinical {
namespace {

// All terms are found in one pass over the note. At each place that may
// begin a term, its first three bytes are looked up in a small table of the
// terms' three-byte prefixes, hashed by a multiplier chosen (when the module
// is compiled) so that no two prefixes share a slot; only on a hit are the
// terms with that prefix compared (one, or two for "hea"). Every occurrence
// of every term is visited, overlapping ones included, exactly as a separate
// search per term restarting one byte after each hit would find them.
constexpr std::size_t kPrefixBytes = 3;
constexpr int kSlotBits = 7;
constexpr std::size_t kMaxPerPrefix = 2;

struct PrefixSlot {
  std::uint32_t prefix = 0;  // 0: empty (a term's bytes are never 0)
  std::uint8_t count = 0;
  std::array<std::uint8_t, kMaxPerPrefix> terms{};  // term indexes, table order
};

struct Index {
  std::uint32_t multiplier = 0;  // 0: none found
  std::array<PrefixSlot, std::size_t{1} << kSlotBits> slots{};
  std::size_t min_len = ~std::size_t{0};
  // Each term's bytes as two little-endian words (the first eight, then up to
  // eight more), and the masks of the bytes that count, for comparing with
  // two loads where sixteen bytes of text remain.
  std::array<std::uint64_t, kTermCount> head{};
  std::array<std::uint64_t, kTermCount> head_mask{};
  std::array<std::uint64_t, kTermCount> tail{};
  std::array<std::uint64_t, kTermCount> tail_mask{};
};

constexpr std::uint32_t prefix_of(const unsigned char* b) {
  return std::uint32_t{b[0]} | (std::uint32_t{b[1]} << 8) | (std::uint32_t{b[2]} << 16);
}

constexpr std::uint32_t term_prefix(std::string_view t) {
  const unsigned char b[kPrefixBytes] = {static_cast<unsigned char>(t[0]),
                                         static_cast<unsigned char>(t[1]),
                                         static_cast<unsigned char>(t[2])};
  return prefix_of(b);
}

constexpr std::size_t slot_of(std::uint32_t prefix, std::uint32_t multiplier) {
  return (prefix * multiplier) >> (32 - kSlotBits);
}

constexpr Index make_index() {
  Index ix{};
  for (const Term& t : kTerms) {
    if (t.text.size() < ix.min_len) ix.min_len = t.text.size();
  }
  if (ix.min_len < kPrefixBytes) return ix;
  // The first odd multiplier from the golden ratio's that gives every
  // distinct prefix a slot of its own.
  for (std::uint32_t m = 0x9E3779B1u, tries = 0; tries < 10000 && ix.multiplier == 0; m += 2, ++tries) {
    std::array<std::uint32_t, std::size_t{1} << kSlotBits> owner{};
    bool clash = false;
    for (const Term& t : kTerms) {
      std::uint32_t p = term_prefix(t.text);
      std::uint32_t& o = owner[slot_of(p, m)];
      clash = clash || (o != 0 && o != p);
      o = p;
    }
    if (!clash) ix.multiplier = m;
  }
  for (std::size_t t = 0; t < kTermCount; ++t) {
    std::uint32_t p = term_prefix(kTerms[t].text);
    PrefixSlot& slot = ix.slots[slot_of(p, ix.multiplier)];
    if (slot.count == kMaxPerPrefix) return Index{};  // refused below
    slot.prefix = p;
    slot.terms[slot.count++] = static_cast<std::uint8_t>(t);
    for (std::size_t i = 0; i < kTerms[t].text.size(); ++i) {
      auto byte = std::uint64_t{static_cast<unsigned char>(kTerms[t].text[i])};
      (i < 8 ? ix.head : ix.tail)[t] |= byte << (8 * (i % 8));
      (i < 8 ? ix.head_mask : ix.tail_mask)[t] |= std::uint64_t{0xFF} << (8 * (i % 8));
    }
  }
  return ix;
}

constexpr Index kIndex = make_index();
static_assert(kIndex.multiplier != 0 && kTermCount < 256,
              "terms: three bytes or longer, at most two sharing their first three bytes");

constexpr std::size_t max_term_size() {
  std::size_t m = 0;
  for (const Term& t : kTerms) m = t.text.size() > m ? t.text.size() : m;
  return m;
}
constexpr std::size_t kMaxTermSize = max_term_size();
static_assert(kMaxTermSize <= 16, "a term is compared as two eight-byte words");

// A coarser test that many places are put through at once, before the exact
// one: a term can begin only where its first three bytes stand (every term is
// three bytes or longer). Each term is put in one of eight buckets (a bit of
// a byte); for each of the three bytes, one table by the byte's low half and
// one by its high half give the buckets of the terms that allow that half
// there. A place where some bucket is allowed by all six lookups is a
// candidate. Every real start is a candidate; a few other places are too
// ("he?" passes for "heart" and "headache" alike), and the exact test refuses
// them. Terms that share a first letter share a bucket, and first letters
// are dealt out over the buckets, so that the halves of one bucket's bytes
// seldom combine into other letters.
constexpr std::size_t kFilterBytes = kPrefixBytes;
struct NibbleFilter {
  std::array<std::array<std::uint8_t, 16>, kFilterBytes> low{};
  std::array<std::array<std::uint8_t, 16>, kFilterBytes> high{};
};

constexpr NibbleFilter make_filter() {
  NibbleFilter f{};
  std::array<int, 256> bucket_of_letter{};
  bucket_of_letter.fill(-1);
  int letters = 0;
  for (int b = 'a'; b <= 'z'; ++b) {
    for (const Term& t : kTerms) {
      if (static_cast<unsigned char>(t.text[0]) == b) {
        bucket_of_letter[b] = letters++ % 8;
        break;
      }
    }
  }
  for (const Term& t : kTerms) {
    auto bit = static_cast<std::uint8_t>(1u << bucket_of_letter[static_cast<unsigned char>(t.text[0])]);
    for (std::size_t k = 0; k < kFilterBytes; ++k) {
      auto b = static_cast<unsigned char>(t.text[k]);
      f.low[k][b & 15] |= bit;
      f.high[k][b >> 4] |= bit;
    }
  }
  return f;
}
constexpr NibbleFilter kFilter = make_filter();

#if defined(QUARN_ENTITIES_AVX2)
// 32 places at a time with AVX2, where the processor has it (checked once at
// run time; the build itself assumes only SSE2).
__attribute__((target("avx2"))) inline __m256i filter_byte(__m256i v, const std::uint8_t* low,
                                                          const std::uint8_t* high) {
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i lo = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low)));
  const __m256i hi = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(high)));
  return _mm256_and_si256(_mm256_shuffle_epi8(lo, _mm256_and_si256(v, nibble)),
                          _mm256_shuffle_epi8(hi, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble)));
}

__attribute__((target("avx2"))) inline __m256i in_range_avx2(__m256i v, char lo, char span) {
  __m256i d = _mm256_sub_epi8(v, _mm256_set1_epi8(lo));
  return _mm256_cmpeq_epi8(_mm256_min_epu8(d, _mm256_set1_epi8(span)), d);
}

// Bit i of masks[c] is set when place p + 32c + i is a candidate and no ASCII
// letter or digit comes right before it.
// REQUIRES: p >= 1; the bytes from s[p - 1] to s[p + 32 * chunks + 1] exist.
__attribute__((target("avx2"))) void filter_avx2(const unsigned char* s, std::size_t p,
                                                 std::size_t chunks, std::uint32_t* masks) {
  for (std::size_t c = 0; c < chunks; ++c) {
    const unsigned char* q = s + p + 32 * c;
    __m256i m = filter_byte(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q)),
                            kFilter.low[0].data(), kFilter.high[0].data());
    m = _mm256_and_si256(m, filter_byte(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 1)),
                                        kFilter.low[1].data(), kFilter.high[1].data()));
    m = _mm256_and_si256(m, filter_byte(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 2)),
                                        kFilter.low[2].data(), kFilter.high[2].data()));
    __m256i prev = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q - 1));
    // The text is lower-cased: its ASCII letters and digits are a-z, 0-9.
    __m256i refused = _mm256_or_si256(_mm256_cmpeq_epi8(m, _mm256_setzero_si256()),
                                      _mm256_or_si256(in_range_avx2(prev, 'a', 25),
                                                      in_range_avx2(prev, '0', 9)));
    masks[c] = ~static_cast<std::uint32_t>(_mm256_movemask_epi8(refused));
  }
}

bool have_avx2() {
  static const bool have = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return have;
}
#endif

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


// Appends the matches that start in [from, to) of the lower-cased text `l`,
// whose byte 0 is byte `base` of the whole lower-cased note. Terms and the
// characters around them may reach past `to`, up to the end of `l`.
// REQUIRES: l's byte 0 is the note's start, or from >= 4 (the character
// before a start is decoded from l); to <= l.size(), and either l ends where
// the note does or l.size() - to >= kMaxTermSize + 4 (the character after a
// match is decoded from l).
void scan(std::string_view l, std::size_t from, std::size_t to, std::size_t base,
          std::vector<EntityMatch>& out, [[maybe_unused]] SearchLoop loop) {
  const auto* s = reinterpret_cast<const unsigned char*>(l.data());
  const std::size_t n = l.size();
  if (n < kIndex.min_len) return;
  const std::size_t last = std::min(n - kIndex.min_len, to == 0 ? 0 : to - 1);  // last start to try
  if (from > last || to == 0) return;

  // REQUIRES: p <= last
  auto consider = [&](std::size_t p) {
    const std::uint32_t key = prefix_of(s + p);  // p + 2 < n, as min_len >= 3
    const PrefixSlot& slot = kIndex.slots[slot_of(key, kIndex.multiplier)];
    if (slot.prefix != key || !boundary_before(l, p)) return;
    constexpr bool kLittle = std::endian::native == std::endian::little;
    const bool words = kLittle && n - p >= 16;
    std::uint64_t w0 = 0, w1 = 0;
    if (words) {
      std::memcpy(&w0, s + p, 8);
      std::memcpy(&w1, s + p + 8, 8);
    }
    for (std::size_t c = 0; c < slot.count; ++c) {
      std::size_t t = slot.terms[c];
      std::string_view term = kTerms[t].text;
      if (words) {
        if (((w0 & kIndex.head_mask[t]) ^ kIndex.head[t]) | ((w1 & kIndex.tail_mask[t]) ^ kIndex.tail[t])) {
          continue;
        }
      } else if (term.size() > n - p || std::memcmp(s + p, term.data(), term.size()) != 0) {
        continue;
      }
      std::size_t e = p + term.size();
      if (!boundary_after(l, e)) continue;
      // Matches come in start order and, at one start, in dictionary order:
      // the order of a stable sort by start of the per-term results. Of
      // equal (start, end) pairs only the first is kept.
      if (!out.empty() && out.back().start == base + p && out.back().end == base + e) continue;
      out.push_back({t, base + p, base + e});
    }
  };
  // Only a lower-case ASCII letter can begin a term, and only where no ASCII
  // letter or digit comes right before it (a match there is refused whatever
  // it is); a non-ASCII byte before it is decoded by boundary_before.
  auto possible_start = [&](std::size_t p) {
    return s[p] >= 'a' && s[p] <= 'z' && (p == 0 || kByteClasses.v[s[p - 1]] != kAlnum);
  };
  std::size_t p = from;
  if (p == 0) {
    if (possible_start(0)) consider(0);
    p = 1;
  }
#if defined(QUARN_ENTITIES_AVX2)
  if (loop == SearchLoop::kFastest && have_avx2()) {
    constexpr std::size_t kBatch = 64;
    std::uint32_t masks[kBatch];
    while (p + 32 <= last + 1) {  // so bytes up to s[p + 33] exist: last + 2 < n
      const std::size_t chunks = std::min(kBatch, (last + 1 - p) / 32);
      filter_avx2(s, p, chunks, masks);
      for (std::size_t c = 0; c < chunks; ++c) {
        for (std::uint32_t bits = masks[c]; bits != 0; bits &= bits - 1) {
          consider(p + 32 * c + static_cast<std::size_t>(__builtin_ctz(bits)));
        }
      }
      p += 32 * chunks;
    }
  }
#endif
#if defined(__SSE2__)
  // Sixteen places at a time: bit i of the mask is possible_start(p + i).
  const __m128i a = _mm_set1_epi8('a'), zero = _mm_set1_epi8('0');
  const __m128i letters = _mm_set1_epi8(25), digits = _mm_set1_epi8(9);
  auto in_range = [](__m128i v, __m128i lo, __m128i span) {
    __m128i d = _mm_sub_epi8(v, lo);
    return _mm_cmpeq_epi8(_mm_min_epu8(d, span), d);  // 0 <= v - lo <= span, unsigned
  };
  for (; p + 16 <= last + 1; p += 16) {
    __m128i cur = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + p));
    __m128i prev = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + p - 1));
    // The text is lower-cased: its ASCII letters and digits are a-z, 0-9.
    __m128i prev_alnum = _mm_or_si128(in_range(prev, a, letters), in_range(prev, zero, digits));
    __m128i mask = _mm_andnot_si128(prev_alnum, in_range(cur, a, letters));
    auto bits = static_cast<unsigned>(_mm_movemask_epi8(mask));
    while (bits != 0) {
      std::size_t q = p + static_cast<std::size_t>(__builtin_ctz(bits));
      bits &= bits - 1;
      consider(q);
    }
  }
#endif
  for (; p <= last; ++p) {
    if (possible_start(p)) consider(p);
  }
}

// The note is lower-cased and searched one block at a time, so that the
// lower-cased bytes are read back while they are still in the cache instead
// of being written out to memory for the whole note and read in again.
constexpr std::size_t kBlock = 32 * 1024;
// Bytes kept from one block for the next: the places not yet tried (from
// which a term and the character after it may reach into the next block),
// and before them the character that precedes a start.
constexpr std::size_t kLookahead = kMaxTermSize + 4;
constexpr std::size_t kLookbehind = 4;

// Where the next block of the note may end: just before an ASCII character
// that is neither a letter nor case-ignorable (a space, say). Lower-casing
// looks at neighbours only for capital sigma, and never across such a
// character, so the blocks lower-cased one by one give the bytes the whole
// note would. A note without such a character within reach is taken whole.
std::size_t block_end(std::string_view note, std::size_t from, std::size_t block) {
  const std::size_t n = note.size();
  if (n - from <= block) return n;
  for (std::size_t k = from + block; k < n && k < from + 4 * block; ++k) {
    auto b = static_cast<unsigned char>(note[k]);
    bool letter = (b | 0x20) >= 'a' && (b | 0x20) <= 'z';
    bool ignorable = b == '\'' || b == '.' || b == ':' || b == '^' || b == '`';
    if (b < 0x80 && !letter && !ignorable) return k;
  }
  return n;
}

}  // namespace

std::vector<EntityMatch> find_entities(std::string_view l, SearchLoop loop) {
  std::vector<EntityMatch> out;
  scan(l, 0, l.size(), 0, out, loop);
  return out;
}

std::vector<EntityMatch> extract_entities(std::string_view note, std::size_t block) {
  std::vector<EntityMatch> out;
  std::string window;   // the kept bytes of the last block, then the next block
  std::size_t base = 0; // offset of window[0] in the lower-cased note
  std::size_t from = 0; // the first place in window not tried yet
  std::size_t i = 0;
  // Room for a block, its lower case growing (by half at most) and the bytes
  // kept from the last one; a short note needs only its own size.
  const std::size_t part = std::min(note.size(), block);
  window.reserve(part + part / 2 + kLookahead + kLookbehind + 16);
  // Clinical notes hold about one term in 80 bytes; more room than that is
  // only reserved address space, so the list never moves while it grows.
  out.reserve(note.size() / 32);
  do {
    std::size_t end = block_end(note, i, block);
    append_lower(note.substr(i, end - i), window);
    i = end;
    const bool last = i == note.size();
    std::size_t to = last ? window.size() : window.size() - std::min(window.size(), kLookahead);
    if (to > from) {
      scan(window, from, to, base, out, SearchLoop::kFastest);
      from = to;
    }
    if (!last && from > kLookbehind) {
      std::size_t drop = from - kLookbehind;
      window.erase(0, drop);
      base += drop;
      from -= drop;
    }
  } while (i < note.size());
  return out;
}

std::vector<EntityMatch> extract_entities(std::string_view note) {
  return extract_entities(note, kBlock);
}

}  // namespace quarn::clinical
