#include "clinical/icu_text.h"

#include <unicode/uchar.h>
#include <unicode/ucasemap.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace quarn::clinical {
namespace {

constexpr char32_t kCapitalSigma = 0x03A3;

// The root-locale case map is immutable once opened, so every thread can use
// it at once (ucasemap_utf8ToLower takes it const).
const UCaseMap* root_case_map() {
  static const UCaseMap* const map = [] {
    UErrorCode status = U_ZERO_ERROR;
    UCaseMap* m = ucasemap_open("", 0, &status);
    return U_SUCCESS(status) ? m : nullptr;
  }();
  if (map == nullptr) throw std::bad_alloc();  // ICU fails to open it only when out of memory
  return map;
}

// Lower-casing is context-free except for capital sigma, whose form depends on
// the nearest characters around it that are not Case_Ignorable. So the text
// may be cut into stretches that are lower-cased separately wherever the cut
// cannot change that context:
//  - next to a "breaker" (neither Cased nor Case_Ignorable), which ends every
//    context scan with the same answer as the end of the text would;
//  - between two "anchors" (not Case_Ignorable and not capital sigma), which
//    stop the scans of both sides before they reach the cut.
// For ASCII: letters are anchors; ' . : ^ ` are Case_Ignorable; the rest are
// breakers (and anchors).
constexpr bool ascii_ignorable(unsigned char b) {
  return b == '\'' || b == '.' || b == ':' || b == '^' || b == '`';
}
constexpr bool ascii_letter(unsigned char b) { return (b | 0x20) >= 'a' && (b | 0x20) <= 'z'; }
constexpr bool ascii_breaker(unsigned char b) { return !ascii_letter(b) && !ascii_ignorable(b); }
constexpr bool ascii_anchor(unsigned char b) { return !ascii_ignorable(b); }

bool anchor(char32_t c) { return c != kCapitalSigma && !u_hasBinaryProperty(c, UCHAR_CASE_IGNORABLE); }
bool breaker(char32_t c) {
  return !u_hasBinaryProperty(c, UCHAR_CASED) && !u_hasBinaryProperty(c, UCHAR_CASE_IGNORABLE);
}

// ICU takes 32-bit lengths; a stretch longer than this (a run of more than
// 1 GiB without any place where a cut is safe by the ASCII rules) is cut at
// the first place that is safe by the full rules, and failing that, at the
// next character boundary once it reaches kHardChunk.
constexpr std::size_t kSoftChunk = std::size_t{1} << 30;
constexpr std::size_t kHardChunk = kSoftChunk + (kSoftChunk >> 2);

// The start of the stretch holding the non-ASCII character at `at`.
// REQUIRES: text[lo, at) is ASCII, and lo is the text's start or a safe cut.
std::size_t stretch_start(const unsigned char* s, std::size_t lo, std::size_t at) {
  if (at == lo || ascii_breaker(s[at - 1])) return at;
  for (std::size_t k = at - 1; k > lo; --k) {
    unsigned char x = s[k - 1], y = s[k];
    if (ascii_breaker(x) || ascii_breaker(y) || (ascii_anchor(x) && ascii_anchor(y))) return k;
  }
  return lo;
}

bool safe_cut_full(std::string_view text, std::size_t k) {
  char32_t x = decode_before(text, k).cp;
  char32_t y = decode_at(text, k).cp;
  return breaker(x) || breaker(y) || (anchor(x) && anchor(y));
}

// The end of the stretch that begins at `start` and holds the non-ASCII
// character at `at`.
std::size_t stretch_end(std::string_view text, std::size_t start, std::size_t at) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t k = at + decode_at(text, at).len;
  while (k < n) {
    if (k - start >= kSoftChunk && (k - start >= kHardChunk || safe_cut_full(text, k))) return k;
    unsigned char y = s[k];
    if (y >= 0x80) {
      k += decode_at(text, k).len;
      continue;
    }
    unsigned char x = s[k - 1];
    if (ascii_breaker(y) || (x < 0x80 && (ascii_breaker(x) || (ascii_anchor(x) && ascii_anchor(y))))) {
      return k;
    }
    ++k;
  }
  return n;
}

// Lower-cases src through ICU into out[w...], growing out as needed; returns
// the new write position. `reserve_after` bytes stay available after it.
std::size_t icu_lower(std::string_view src, std::string& out, std::size_t w, std::size_t reserve_after) {
  const UCaseMap* map = root_case_map();
  // Lower-casing grows UTF-8 by at most half (U+0130: 2 bytes to 3).
  std::size_t cap = src.size() + src.size() / 2 + 16;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (out.size() < w + cap + reserve_after) out.resize(w + cap + reserve_after);
    UErrorCode status = U_ZERO_ERROR;
    int32_t len = ucasemap_utf8ToLower(map, out.data() + w, static_cast<int32_t>(cap), src.data(),
                                       static_cast<int32_t>(src.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR && len >= 0) {
      cap = static_cast<std::size_t>(len);
      continue;
    }
    if (U_FAILURE(status)) throw std::bad_alloc();  // only an allocation inside ICU can fail here
    return w + static_cast<std::size_t>(len);
  }
  throw std::bad_alloc();
}

inline std::uint64_t load64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

constexpr std::uint64_t kHigh = 0x8080808080808080ull;

// Eight ASCII bytes at once: adds 0x20 to each byte in 'A'..'Z'.
// REQUIRES: no byte of v has its high bit set.
inline std::uint64_t lower8(std::uint64_t v) {
  std::uint64_t ge_a = v + 0x3f3f3f3f3f3f3f3full;  // high bit set where byte >= 'A'
  std::uint64_t gt_z = v + 0x2525252525252525ull;  // high bit set where byte > 'Z'
  return v | (((ge_a & ~gt_z) & kHigh) >> 2);
}

constexpr unsigned char lower_byte(unsigned char b) {
  return (b >= 'A' && b <= 'Z') ? static_cast<unsigned char>(b + 0x20) : b;
}

}  // namespace

Decoded decode_at(std::string_view text, std::size_t at) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data() + at);
  if (s[0] < 0x80) return {s[0], 1};
  core::Utf8Char c = core::decode_utf8(text, at);
  if (c.len == 0) return {0xFFFD, 1};
  return {c.cp, c.len};
}

Decoded decode_before(std::string_view text, std::size_t end) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(text.data());
  if (data[end - 1] < 0x80) return {data[end - 1], 1};
  core::Utf8Char c = core::decode_utf8_before(text, end);
  if (c.len == 0) return {0xFFFD, 1};
  return {c.cp, c.len};
}

bool is_separator(char32_t c) {
  if (c < 0x80) return kByteClasses.v[c] == kSpace;
  return core::is_white_space(c);
}

bool is_alphanumeric(char32_t c) {
  if (c < 0x80) return kByteClasses.v[c] == kAlnum;
  return u_isUAlphabetic(static_cast<UChar32>(c)) ||
         (U_GET_GC_MASK(static_cast<UChar32>(c)) & (U_GC_ND_MASK | U_GC_NL_MASK | U_GC_NO_MASK)) != 0;
}

void ascii_lower(const char* src, std::size_t n, char* dst) {
  const auto* s = reinterpret_cast<const unsigned char*>(src);
  auto* d = reinterpret_cast<unsigned char*>(dst);
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t v = lower8(load64(s + i));
    std::memcpy(d + i, &v, 8);
  }
  for (; i < n; ++i) d[i] = lower_byte(s[i]);
}

void append_lower(std::string_view text, std::string& out) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t w = out.size();
  out.resize(w + n);  // ASCII maps byte for byte; ICU stretches resize as they go
  std::size_t i = 0;     // next input byte
  std::size_t done = 0;  // the end of the last ICU stretch: a safe cut
  while (i < n) {
    // ASCII, eight bytes at a time, up to the next non-ASCII byte.
    std::size_t j = i;
    auto* d = reinterpret_cast<unsigned char*>(out.data()) + w;  // d[k - i] is the output of s[k]
    for (; j + 8 <= n; j += 8) {
      std::uint64_t v = load64(s + j);
      if (v & kHigh) break;
      v = lower8(v);
      std::memcpy(d + (j - i), &v, 8);
    }
    while (j < n && s[j] < 0x80) {
      d[j - i] = lower_byte(s[j]);
      ++j;
    }
    w += j - i;
    if (j == n) break;
    std::size_t start = stretch_start(s, done, j);
    std::size_t end = stretch_end(text, start, j);
    w -= j - start;  // those ASCII bytes are redone with their context
    w = icu_lower(text.substr(start, end - start), out, w, n - end);
    i = done = end;
  }
  out.resize(w);
}

}  // namespace quarn::clinical
