#include "clinical/icu_text.h"

#include <gtest/gtest.h>
#include <unicode/uchar.h>
#include <unicode/ucasemap.h>

#include <random>
#include <string>
#include <vector>

namespace quarn::clinical {
namespace {

std::string utf8(char32_t c) {
  std::string s;
  core::append_utf8(s, c);
  return s;
}

// ICU on the whole text in one call: what the stretch-wise lowering must equal.
std::string icu_lower_whole(const std::string& text) {
  UErrorCode status = U_ZERO_ERROR;
  UCaseMap* map = ucasemap_open("", 0, &status);
  std::string out(text.size() * 2 + 16, '\0');
  int32_t n = ucasemap_utf8ToLower(map, out.data(), static_cast<int32_t>(out.size()), text.data(),
                                   static_cast<int32_t>(text.size()), &status);
  ucasemap_close(map);
  EXPECT_TRUE(U_SUCCESS(status));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

TEST(UnicodeClasses, SeparatorIsExactlyWhiteSpace) {
  for (UChar32 c = 0; c <= 0x10FFFF; ++c) {
    ASSERT_EQ(is_separator(static_cast<char32_t>(c)), static_cast<bool>(u_isUWhiteSpace(c))) << c;
  }
}

TEST(UnicodeClasses, AlphanumericIsAlphabeticOrNumeric) {
  for (char32_t c = 0; c < 0x80; ++c) {
    bool ascii = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    EXPECT_EQ(is_alphanumeric(c), ascii) << static_cast<int>(c);
  }
  EXPECT_TRUE(is_alphanumeric(0x00E9));   // é
  EXPECT_TRUE(is_alphanumeric(0x0345));   // combining ypogegrammeni: Alphabetic mark
  EXPECT_TRUE(is_alphanumeric(0x093E));   // Devanagari vowel sign: Alphabetic mark
  EXPECT_TRUE(is_alphanumeric(0x0660));   // Arabic-Indic zero: Nd
  EXPECT_TRUE(is_alphanumeric(0x2160));   // Roman numeral one: Nl
  EXPECT_TRUE(is_alphanumeric(0x00B2));   // superscript two: No
  EXPECT_TRUE(is_alphanumeric(0x6771));   // 東
  EXPECT_FALSE(is_alphanumeric(0x200B));  // zero-width space
  EXPECT_FALSE(is_alphanumeric(0x00B7));  // middle dot
  EXPECT_FALSE(is_alphanumeric(0x2014));  // em dash
  EXPECT_FALSE(is_alphanumeric(0x1F600)); // emoji
  EXPECT_TRUE(is_word_char(U'_'));
  EXPECT_FALSE(is_alphanumeric(U'_'));
}

// The lowering cuts ASCII text by these facts; a new Unicode version that
// changed them would need the cutting rules changed.
TEST(UnicodeClasses, AsciiCaseContextFacts) {
  for (UChar32 c = 0; c < 0x80; ++c) {
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    bool ignorable = c == '\'' || c == '.' || c == ':' || c == '^' || c == '`';
    EXPECT_EQ(static_cast<bool>(u_hasBinaryProperty(c, UCHAR_CASED)), letter) << c;
    EXPECT_EQ(static_cast<bool>(u_hasBinaryProperty(c, UCHAR_CASE_IGNORABLE)), ignorable) << c;
  }
}

TEST(Decode, WellFormedAndIllFormed) {
  std::string s = "a" + utf8(0xE9) + utf8(0x6771) + utf8(0x1F600);
  EXPECT_EQ(decode_at(s, 0).cp, U'a');
  EXPECT_EQ(decode_at(s, 1).cp, 0xE9u);
  EXPECT_EQ(decode_at(s, 1).len, 2u);
  EXPECT_EQ(decode_at(s, 3).cp, 0x6771u);
  EXPECT_EQ(decode_at(s, 6).cp, 0x1F600u);
  EXPECT_EQ(decode_at(s, 6).len, 4u);
  EXPECT_EQ(decode_before(s, 10).cp, 0x1F600u);
  EXPECT_EQ(decode_before(s, 10).len, 4u);
  EXPECT_EQ(decode_before(s, 6).cp, 0x6771u);
  EXPECT_EQ(decode_before(s, 3).cp, 0xE9u);
  EXPECT_EQ(decode_before(s, 1).cp, U'a');
  // Truncated, stray continuation, overlong, surrogate: one replacement byte.
  for (std::string bad : {"\xE6\x9D", "\x80", "\xC0\xAF", "\xED\xA0\x80", "\xF8"}) {
    EXPECT_EQ(decode_at(bad, 0).cp, 0xFFFDu);
    EXPECT_EQ(decode_at(bad, 0).len, 1u);
    EXPECT_EQ(decode_before(bad, bad.size()).cp, 0xFFFDu);
    EXPECT_EQ(decode_before(bad, bad.size()).len, 1u);
    EXPECT_FALSE(is_valid_utf8(bad));
  }
  EXPECT_TRUE(is_valid_utf8(s));
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8(std::string(20, 'x') + utf8(0x10FFFF)));
}

TEST(Lower, FullMappingAndFinalSigma) {
  EXPECT_EQ(to_lower("Patient PRESENTS"), "patient presents");
  EXPECT_EQ(to_lower(utf8(0xC9) + "COLE"), utf8(0xE9) + "cole");
  // İ grows to i + combining dot; the Kelvin sign shrinks to k.
  EXPECT_EQ(to_lower(utf8(0x130)), "i" + utf8(0x307));
  EXPECT_EQ(to_lower(utf8(0x212A) + "X"), "kx");
  const std::string S = utf8(0x3A3), s = utf8(0x3C3), fs = utf8(0x3C2);
  const std::string O = utf8(0x39F), o = utf8(0x3BF);
  EXPECT_EQ(to_lower(O + S), o + fs);           // ends a word
  EXPECT_EQ(to_lower(S + O), s + o);            // begins one
  EXPECT_EQ(to_lower(S), s);                    // alone: no cased letter before
  EXPECT_EQ(to_lower(O + S + " " + O), o + fs + " " + o);
  EXPECT_EQ(to_lower("A" + S + "'."), "a" + fs + "'.");      // ignorables after it
  EXPECT_EQ(to_lower("A" + S + "'b"), "a" + s + "'b");       // a letter after them
  EXPECT_EQ(to_lower("A'." + S), "a'." + fs);                // ignorables before it
  EXPECT_EQ(to_lower("1" + S), "1" + s);                     // a digit is not cased
  EXPECT_EQ(to_lower(S + S), s + fs);
}

// The lowering works stretch by stretch; whatever the mix of ASCII letters,
// case-ignorable characters, sigmas and breakers, it must equal ICU on the
// whole text at once.
TEST(Lower, StretchesEqualWholeText) {
  const std::vector<std::string> alphabet = {
      "A", "a", "Z", "'", ".", ":", " ", "1", ",", "-", utf8(0x3A3), utf8(0x3A3), utf8(0x3C3),
      utf8(0x39F), utf8(0xC9), utf8(0x130), utf8(0x345), utf8(0xB7), utf8(0x6771), utf8(0x212A),
      utf8(0x2019), utf8(0x10400), "^", "`"};
  std::mt19937 rng(12345);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    int len = static_cast<int>(rng() % 24);
    for (int i = 0; i < len; ++i) text += alphabet[rng() % alphabet.size()];
    ASSERT_EQ(to_lower(text), icu_lower_whole(text)) << text;
  }
  // Long ASCII runs with an occasional non-ASCII word, as in real notes.
  std::string text;
  for (int i = 0; i < 5000; ++i) {
    text += (i % 97 == 0) ? "O" + utf8(0x3A3) + "'" : (i % 7 == 0 ? "Word." : "word");
    text += (i % 5 == 0) ? "\n" : " ";
  }
  EXPECT_EQ(to_lower(text), icu_lower_whole(text));
}

TEST(Lower, AppendsAndPassesIllFormedBytes) {
  std::string out = "keep:";
  append_lower("AB", out);
  EXPECT_EQ(out, "keep:ab");
  std::string bad = "A\xFF" "B\xC3";
  EXPECT_EQ(to_lower(bad), "a\xFF" "b\xC3");
  EXPECT_EQ(to_lower(""), "");
}

TEST(Lower, AsciiLowerAllLengths) {
  std::string src = "ABCDEFGHIJKLMNOPQRSTUVWXYZ@[`{ 0129 abcxyz";
  for (std::size_t n = 0; n <= src.size(); ++n) {
    std::string dst(n, '\0');
    ascii_lower(src.data(), n, dst.data());
    std::string want = src.substr(0, n);
    for (char& c : want) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    EXPECT_EQ(dst, want);
  }
}

}  // namespace
}  // namespace quarn::clinical
