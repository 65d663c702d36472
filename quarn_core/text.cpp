#include "quarn_core/text.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace quarn::core {

Utf8Char decode_utf8_before(std::string_view s, std::size_t end) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  if (p[end - 1] < 0x80) return {p[end - 1], 1};
  // Step back over at most three continuation bytes to a lead byte; the
  // sequence read forward from there must end exactly at `end`.
  std::size_t start = end - 1;
  while (start > 0 && end - start < 4 && (p[start] & 0xC0) == 0x80) --start;
  Utf8Char c = decode_utf8(s.substr(0, end), start);
  if (c.len != end - start) return {0xFFFD, 0};
  return c;
}

bool check_utf8(std::string_view text, std::string* description) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  auto fail = [&](std::string_view what, std::size_t bytes) {
    if (description != nullptr) {
      *description = what;
      if (bytes != 0) {
        append_decimal(*description, bytes);
        *description += " bytes";
      }
      *description += " from index ";
      append_decimal(*description, i);
    }
    return false;
  };
  while (i < n) {
    // ASCII runs, eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t w;
      std::memcpy(&w, s + i, 8);
      if (w & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= n) break;
    const unsigned char b = s[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    std::size_t width;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      width = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      width = 3;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      width = 4;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      return fail("invalid utf-8 sequence of ", 1);
    }
    for (std::size_t k = 1; k < width; ++k) {
      if (i + k >= n) return fail("incomplete utf-8 byte sequence", 0);
      const unsigned char c = s[i + k];
      const bool good = k == 1 ? (c >= lo && c <= hi) : (c >= 0x80 && c <= 0xBF);
      if (!good) return fail("invalid utf-8 sequence of ", k);
    }
    i += width;
  }
  return true;
}

std::size_t count_code_points(std::string_view s) {
  // Eight bytes at a time: a continuation byte has bit 7 set and bit 6 clear.
  std::size_t continuations = 0;
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    continuations += count_marked_bytes(continuation_marks(w));
  }
  for (; i < s.size(); ++i) continuations += (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80;
  return s.size() - continuations;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string_view trim_white_space_start(std::string_view s) {
  while (!s.empty()) {
    Utf8Char c = decode_utf8(s, 0);
    if (c.len == 0 || !is_white_space(c.cp)) break;
    s.remove_prefix(c.len);
  }
  return s;
}

std::string_view trim_white_space_end(std::string_view s) {
  while (!s.empty()) {
    Utf8Char c = decode_utf8_before(s, s.size());
    if (c.len == 0 || !is_white_space(c.cp)) break;
    s.remove_suffix(c.len);
  }
  return s;
}

DecimalRun scan_decimal(std::string_view s, std::uint64_t max) {
  DecimalRun run{0, 0, false};
  for (char c : s) {
    if (!is_decimal_digit(c)) break;
    ++run.digits;
    if (run.overflow) continue;
    const auto d = static_cast<std::uint64_t>(c - '0');
    if (run.value > (max - d) / 10 || d > max) {
      run.overflow = true;
    } else {
      run.value = run.value * 10 + d;
    }
  }
  return run;
}

std::optional<std::uint64_t> parse_decimal(std::string_view s, std::uint64_t max) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  DecimalRun run = scan_decimal(s, max);
  if (run.digits == 0 || run.digits != s.size() || run.overflow) return std::nullopt;
  return run.value;
}

std::string lower_hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(2 * bytes.size(), '0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out[2 * i] = kHex[bytes[i] >> 4];
    out[2 * i + 1] = kHex[bytes[i] & 15];
  }
  return out;
}

void append_fixed_point(std::string& out, double v, int places) {
  char buf[400];  // the widest finite double in fixed notation, with places to spare
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, places);
  out.append(buf, r.ptr);
}

void append_shortest_double(std::string& out, double v) {
  if (std::signbit(v)) out += '-';
  v = std::fabs(v);
  if (v == 0) {
    out += "0.0";
    return;
  }
  // Scientific notation gives the shortest round-trip digits as
  // "d[.ddd]e[+-]xx": collect the digits and the exponent, then lay them out.
  char buf[40];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
  std::size_t e_at = sci.find('e');
  char digits[24];
  int n = 0;
  for (char c : sci.substr(0, e_at)) {
    if (c != '.') digits[n++] = c;
  }
  int exp10 = 0;
  std::string_view e = sci.substr(e_at + 1);
  bool negative_exp = e.front() == '-';
  if (e.front() == '+' || e.front() == '-') e.remove_prefix(1);
  std::from_chars(e.data(), e.data() + e.size(), exp10);
  if (negative_exp) exp10 = -exp10;
  const int k = exp10 + 1;  // the value is 0.d1...dn x 10^k
  const std::string_view d(digits, static_cast<std::size_t>(n));
  if (k - n >= 0 && k <= 16) {
    out += d;
    out.append(static_cast<std::size_t>(k - n), '0');
    out += ".0";
  } else if (k > 0 && k <= 16) {
    out += d.substr(0, static_cast<std::size_t>(k));
    out += '.';
    out += d.substr(static_cast<std::size_t>(k));
  } else if (k > -5 && k <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-k), '0');
    out += d;
  } else {
    out += d[0];
    if (n > 1) {
      out += '.';
      out += d.substr(1);
    }
    out += 'e';
    append_decimal(out, k - 1);
  }
}

}  // namespace quarn::core
