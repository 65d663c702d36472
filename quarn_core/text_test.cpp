#include "quarn_core/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace quarn::core {
namespace {

std::string shortest(double v) {
  std::string out;
  append_shortest_double(out, v);
  return out;
}

TEST(ShortestDouble, FixedLayoutForEveryExponentRange) {
  struct Case {
    double v;
    const char* text;
  };
  for (const Case& c : {
           // whole numbers up to 16 digits: the digits, zeros, ".0"
           Case{1.0, "1.0"}, Case{100.0, "100.0"}, Case{1e15, "1000000000000000.0"},
           Case{123456789012345.0, "123456789012345.0"}, Case{9007199254740992.0, "9007199254740992.0"},
           // a point inside the digits
           Case{123456.75, "123456.75"}, Case{2.5, "2.5"}, Case{0.5, "0.5"},
           Case{1234567890123456.8, "1234567890123456.8"},
           // small: "0." and zeros, up to four of them
           Case{0.0001, "0.0001"}, Case{0.00001, "0.00001"}, Case{0.000015, "0.000015"},
           Case{0.1, "0.1"}, Case{0.3, "0.3"}, Case{0.1 + 0.2, "0.30000000000000004"},
           // everything else: exponent form, no '+', no padding
           Case{1e16, "1e16"}, Case{18446744073709551616.0, "1.8446744073709552e19"},
           Case{-9223372036854775808.0, "-9.223372036854776e18"}, Case{1e-6, "1e-6"},
           Case{1.5e-7, "1.5e-7"}, Case{5e-324, "5e-324"},
           Case{1.7976931348623157e308, "1.7976931348623157e308"}, Case{1e22, "1e22"},
           Case{2.2250738585072014e-308, "2.2250738585072014e-308"}, Case{1e100, "1e100"},
           // signs and zero
           Case{0.0, "0.0"}, Case{-0.0, "-0.0"}, Case{-1.0, "-1.0"}, Case{-2.5, "-2.5"},
           Case{-0.00001, "-0.00001"}, Case{-1e-6, "-1e-6"}}) {
    EXPECT_EQ(shortest(c.v), c.text) << c.text;
  }
}

// "-1.50e3" -> "15": the digits without sign, point, exponent or outer zeros.
std::string significant_digits(std::string_view text) {
  std::string d;
  for (char c : text.substr(0, text.find('e'))) {
    if (c >= '0' && c <= '9') d += c;
  }
  d.erase(0, std::min(d.find_first_not_of('0'), d.size()));
  d.erase(d.find_last_not_of('0') + 1);
  return d;
}

// Every written text must read back to the same bits (the sign of zero too)
// and must never look like an integer.
void expect_round_trip(double v) {
  std::string text = shortest(v);
  double back = 0;
  auto r = std::from_chars(text.data(), text.data() + text.size(), back);
  ASSERT_EQ(r.ec, std::errc()) << text;
  ASSERT_EQ(r.ptr, text.data() + text.size()) << text;
  ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(v)) << text;
  ASSERT_NE(text.find_first_of(".e"), std::string::npos) << text;
  // The same significant digits as to_chars' own shortest scientific form.
  char buf[40];
  auto sci = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  ASSERT_EQ(significant_digits(text), significant_digits(std::string(buf, sci.ptr))) << text;
}

TEST(ShortestDouble, RandomBitPatternsReadBackExactly) {
  std::mt19937_64 rng(20261208);
  for (int i = 0; i < 200000; ++i) {
    double v = std::bit_cast<double>(rng());
    if (!std::isfinite(v)) continue;
    expect_round_trip(v);
  }
  // Subnormals, the edges of the normal range, and each power of ten.
  for (std::uint64_t bits : {0x1ull, 0x2ull, 0xFFFFFFFFFFFFFull, 0x10000000000000ull,
                             0x7FEFFFFFFFFFFFFFull, 0x8000000000000001ull}) {
    expect_round_trip(std::bit_cast<double>(bits));
  }
  for (int e = -324; e <= 308; ++e) {
    expect_round_trip(std::pow(10.0, e));
    expect_round_trip(-std::nextafter(std::pow(10.0, e), 0.0));
  }
  expect_round_trip(0.0);
  expect_round_trip(-0.0);
}

TEST(Utf8, DecodesWellFormedAndRefusesTheRest) {
  struct Case {
    std::string bytes;
    char32_t cp;
    std::size_t len;
  };
  for (const Case& c : {
           Case{"a", U'a', 1}, Case{"\x7F", 0x7F, 1}, Case{"\xC2\x80", 0x80, 2},
           Case{"\xDF\xBF", 0x7FF, 2}, Case{"\xE0\xA0\x80", 0x800, 3}, Case{"\xED\x9F\xBF", 0xD7FF, 3},
           Case{"\xEE\x80\x80", 0xE000, 3}, Case{"\xEF\xBF\xBF", 0xFFFF, 3},
           Case{"\xF0\x90\x80\x80", 0x10000, 4}, Case{"\xF4\x8F\xBF\xBF", 0x10FFFF, 4},
           // ill-formed: stray continuation, overlong, surrogate, too large, cut short
           Case{"\x80", 0xFFFD, 0}, Case{"\xC0\x80", 0xFFFD, 0}, Case{"\xC1\xBF", 0xFFFD, 0},
           Case{"\xE0\x9F\xBF", 0xFFFD, 0}, Case{"\xED\xA0\x80", 0xFFFD, 0},
           Case{"\xF0\x8F\xBF\xBF", 0xFFFD, 0}, Case{"\xF4\x90\x80\x80", 0xFFFD, 0},
           Case{"\xF5\x80\x80\x80", 0xFFFD, 0}, Case{"\xFF", 0xFFFD, 0}, Case{"\xE2\x82", 0xFFFD, 0},
           Case{"\xE2\x28\xA1", 0xFFFD, 0}, Case{"\xF0\x9F\x98", 0xFFFD, 0}}) {
    Utf8Char d = decode_utf8(c.bytes, 0);
    EXPECT_EQ(d.cp, c.cp) << c.bytes;
    EXPECT_EQ(d.len, c.len) << c.bytes;
    EXPECT_EQ(is_valid_utf8(c.bytes), c.len == c.bytes.size()) << c.bytes;
    const auto* p = reinterpret_cast<const unsigned char*>(c.bytes.data());
    EXPECT_EQ(utf8_length(p, p + c.bytes.size()), c.len) << c.bytes;
    // Read backwards from the end, the same sequence is found or refused.
    Utf8Char b = decode_utf8_before(c.bytes, c.bytes.size());
    EXPECT_EQ(b.len, c.len == c.bytes.size() ? c.len : 0) << c.bytes;
  }
  // A sequence is only found backwards when it ends exactly there.
  std::string s = "a\xC3\xA9\xE6\x9D\xB1\xF0\x9F\x98\x80";
  EXPECT_EQ(decode_utf8_before(s, 10).cp, 0x1F600u);
  EXPECT_EQ(decode_utf8_before(s, 6).cp, 0x6771u);
  EXPECT_EQ(decode_utf8_before(s, 3).cp, 0xE9u);
  EXPECT_EQ(decode_utf8_before(s, 1).cp, U'a');
  EXPECT_EQ(decode_utf8_before(s, 9).len, 0u);  // inside the emoji
  EXPECT_EQ(decode_utf8_before("\xC3\xA9\xA9", 3).len, 0u);

  for (char32_t cp : {U'\0', U'a', char32_t{0x7FF}, char32_t{0x800}, char32_t{0xFFFF},
                      char32_t{0x10000}, char32_t{0x10FFFF}}) {
    std::string out;
    append_utf8(out, cp);
    EXPECT_EQ(decode_utf8(out, 0).cp, cp);
    EXPECT_EQ(decode_utf8(out, 0).len, out.size());
  }
}

TEST(Utf8, DescribesTheFirstBadSequence) {
  struct Case {
    std::string bytes;
    const char* description;
  };
  for (const Case& c : {
           Case{"abc\x80", "invalid utf-8 sequence of 1 bytes from index 3"},
           Case{"\xC0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
           Case{"0123456789\xE2\x28\xA1", "invalid utf-8 sequence of 1 bytes from index 10"},
           Case{"\xE2\x82\x28", "invalid utf-8 sequence of 2 bytes from index 0"},
           Case{"xy\xF0\x9F\x98\x28", "invalid utf-8 sequence of 3 bytes from index 2"},
           Case{"xy\xF0\x9F\x98", "incomplete utf-8 byte sequence from index 2"},
           Case{"\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
           Case{"ok \xC3", "incomplete utf-8 byte sequence from index 3"}}) {
    std::string description;
    EXPECT_FALSE(check_utf8(c.bytes, &description)) << c.bytes;
    EXPECT_EQ(description, c.description);
  }
  std::string untouched = "kept";
  EXPECT_TRUE(check_utf8(std::string(20, 'x') + "\xF4\x8F\xBF\xBF" + std::string(9, 'y'), &untouched));
  EXPECT_EQ(untouched, "kept");
  EXPECT_TRUE(is_valid_utf8(""));
}

TEST(Utf8, CountsCodePointsOnBothSidesOfTheWordLoop) {
  EXPECT_EQ(count_code_points(""), 0u);
  EXPECT_EQ(count_code_points("abc"), 3u);
  // e-acute (2 bytes), euro sign (3), grinning face (4): 3 characters.
  const std::string three = "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  EXPECT_EQ(count_code_points(three), 3u);
  // Sequences straddling the eight-byte steps, at every shift.
  for (std::size_t pad = 0; pad < 9; ++pad) {
    EXPECT_EQ(count_code_points(std::string(pad, 'x') + three + three), pad + 6) << pad;
  }
  // A stray continuation byte is no character; a lone lead byte is one.
  EXPECT_EQ(count_code_points("a\x80" "b\xC3"), 3u);
}

TEST(WhiteSpace, IsExactlyTheUnicodeSet) {
  const std::vector<char32_t> set = {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680,
                                     0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006,
                                     0x2007, 0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F,
                                     0x205F, 0x3000};
  ASSERT_EQ(set.size(), 25u);
  int count = 0;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    bool expected = std::find(set.begin(), set.end(), c) != set.end();
    ASSERT_EQ(is_white_space(c), expected) << std::hex << static_cast<std::uint32_t>(c);
    count += expected;
  }
  EXPECT_EQ(count, 25);

  EXPECT_EQ(trim_white_space(" \t\u3000 key \u2028\u00A0"), "key");
  EXPECT_EQ(trim_white_space("\u200B x \u200B"), "\u200B x \u200B");  // zero width space is no blank
  EXPECT_EQ(trim_white_space_end("a b\u2009\u2009"), "a b");
  EXPECT_EQ(trim_white_space_start("\u2009\u2009a b "), "a b ");
  EXPECT_EQ(trim_white_space(" \t "), "");
  EXPECT_EQ(trim_white_space_end("x \xE2\x80"), "x \xE2\x80");  // a cut sequence stops trimming
}

TEST(Decimal, ReadsRunsAndWholeTexts) {
  constexpr std::uint64_t kU64 = std::numeric_limits<std::uint64_t>::max();
  DecimalRun r = scan_decimal("0123x", 1000);
  EXPECT_EQ(r.digits, 4u);
  EXPECT_EQ(r.value, 123u);
  EXPECT_FALSE(r.overflow);
  r = scan_decimal("4294967296;", 4294967295u);
  EXPECT_EQ(r.digits, 10u);
  EXPECT_TRUE(r.overflow);
  r = scan_decimal("18446744073709551615", kU64);
  EXPECT_EQ(r.value, kU64);
  EXPECT_FALSE(r.overflow);
  r = scan_decimal("18446744073709551616", kU64);
  EXPECT_TRUE(r.overflow);
  r = scan_decimal("99999999999999999999999999999999", kU64);  // runs on past the overflow
  EXPECT_EQ(r.digits, 32u);
  EXPECT_TRUE(r.overflow);
  EXPECT_EQ(scan_decimal("x1", 9).digits, 0u);
  EXPECT_TRUE(scan_decimal("5", 4).overflow);
  EXPECT_FALSE(scan_decimal("0", 0).overflow);

  EXPECT_EQ(parse_decimal("4294967295", 4294967295u), 4294967295u);
  EXPECT_EQ(parse_decimal("+7", 10), 7u);
  EXPECT_EQ(parse_decimal("007", 10), 7u);
  EXPECT_EQ(parse_decimal("4294967296", 4294967295u), std::nullopt);
  for (const char* bad : {"", "+", "-1", "1 ", " 1", "1a", "++1", "1.0", "\xD9\xA1"}) {
    EXPECT_EQ(parse_decimal(bad, kU64), std::nullopt) << bad;
  }
}

TEST(NumbersOut, DecimalAndFixedPoint) {
  EXPECT_EQ(decimal(std::uint64_t{18446744073709551615u}), "18446744073709551615");
  EXPECT_EQ(decimal(std::int64_t{-9223372036854775807 - 1}), "-9223372036854775808");
  EXPECT_EQ(decimal(std::uint8_t{200}), "200");
  EXPECT_EQ(decimal(0), "0");
  std::string out = "x";
  append_fixed_point(out, 2.5, 1);
  append_fixed_point(out, 3.0, 1);
  append_fixed_point(out, 1.7976931348623157e308, 1);
  EXPECT_EQ(out.substr(0, 9), "x2.53.017");
  EXPECT_EQ(out.size(), 1 + 3 + 3 + 309 + 2u);  // 309 integer digits, then ".0"
}

TEST(NumbersOut, LowerHexTwoDigitsPerByte) {
  const std::uint8_t bytes[] = {0x00, 0xff, 0x10, 0x0a, 0xa0};
  EXPECT_EQ(lower_hex(bytes), "00ff100aa0");
  EXPECT_EQ(lower_hex({}), "");
}

}  // namespace
}  // namespace quarn::core
