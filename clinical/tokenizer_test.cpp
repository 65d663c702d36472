#include "clinical/tokenizer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quarn::clinical {
namespace {

using Tokens = std::vector<std::string>;

TEST(Tokenize, WordsAndTrimming) {
  struct Case {
    std::string text;
    Tokens want;
  };
  const Case cases[] = {
      {"", {}},
      {" \t\n\r\x0b\x0c ", {}},
      {"Patient presents with chest pain", {"patient", "presents", "with", "chest", "pain"}},
      {"Hello, World!", {"hello", "world"}},
      {"(BP)", {"bp"}},
      {"e.g.", {"e.g"}},
      {"--", {}},
      {"don't 120/80 x-ray a,b", {"don't", "120/80", "x-ray", "a,b"}},
      {"__init__", {"__init__"}},
      {"#12 2.5mg,", {"12", "2.5mg"}},
      {"  lead and trail  ", {"lead", "and", "trail"}},
      {"a\x1c" "b", {"a\x1c" "b"}},  // a file separator is no White_Space
      {"...!?", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(tokenize(c.text), c.want) << c.text;
}

TEST(Tokenize, UnicodeSeparatorsAndWordCharacters) {
  EXPECT_EQ(tokenize("a\u00a0b\u3000c\u2028d\u0085e\u1680f\u2009g"),
            (Tokens{"a", "b", "c", "d", "e", "f", "g"}));
  // A zero-width space neither splits nor counts as a word character.
  EXPECT_EQ(tokenize("a\u200bb"), Tokens{"a\u200bb"});
  EXPECT_EQ(tokenize("\u200bab\u200b"), Tokens{"ab"});
  // Trimming stops at non-ASCII word characters, and non-ASCII punctuation
  // at the ends is trimmed.
  EXPECT_EQ(tokenize("\u201cCaf\u00c9\u201d"), Tokens{"caf\u00e9"});
  EXPECT_EQ(tokenize("\u00abX\u00bb"), Tokens{"x"});
  EXPECT_EQ(tokenize("\u2160\u2161"), Tokens{"\u2170\u2171"});  // Nl, lower-cased
  EXPECT_EQ(tokenize("\u00b2"), Tokens{"\u00b2"});                // No
  EXPECT_EQ(tokenize("\U0001F600 ok \U0001F600"), Tokens{"ok"});
}

TEST(Tokenize, LowerCaseWithThePieceAsContext) {
  EXPECT_EQ(tokenize("\u00c9COLE"), Tokens{"\u00e9cole"});
  EXPECT_EQ(tokenize("\u039f\u0394\u039f\u03a3"), Tokens{"\u03bf\u03b4\u03bf\u03c2"});
  EXPECT_EQ(tokenize("\u0130"), Tokens{"i\u0307"});
  // The sigma ends the trimmed piece even though punctuation followed it.
  EXPECT_EQ(tokenize("\u039f\u03a3!"), Tokens{"\u03bf\u03c2"});
  // Each piece is its own context: the sigma starts its piece.
  EXPECT_EQ(tokenize("\u039f \u03a3\u039f"), (Tokens{"\u03bf", "\u03c3\u03bf"}));
  // Trimming leaves the inner characters as they are, non-ASCII included.
  EXPECT_EQ(tokenize("-A\u2014B-"), Tokens{"a\u2014b"});
}

TEST(Tokenize, AsciiFlagCoversOnlyTheTrimmedPiece) {
  std::vector<bool> flags;
  for_each_token("\u201cword\u201d caf\u00e9 a\u2014b", [&](std::string_view, bool ascii) {
    flags.push_back(ascii);
    return true;
  });
  EXPECT_EQ(flags, (std::vector<bool>{true, false, false}));
}

TEST(Tokenize, BoundsPointAtEachTokenAndFlagTheLoweredOnes) {
  // An ASCII token is read from the text, any other from the lowered buffer:
  // a wrong flag would hand out the wrong bytes, a wrong bound would run one
  // token into the next.
  const std::string text = "\u201cWORD\u201d \u0130x A B\u00c9 cc \u00c9\u00c9";
  TokenBounds bounds;
  bounds.scan(text);
  ASSERT_EQ(bounds.size(), 6u);
  const Tokens want = {"WORD", "i\u0307x", "A", "b\u00e9", "cc", "\u00e9\u00e9"};
  const std::vector<bool> ascii = {true, false, true, false, true, false};
  for (std::size_t i = 0; i < bounds.size(); ++i) {
    EXPECT_EQ(bounds.piece(i), want[i]) << i;
    EXPECT_EQ(bounds.ascii(i), ascii[i]) << i;
  }
  bounds.scan("  ");  // a second text replaces the first
  EXPECT_EQ(bounds.size(), 0u);
}

TEST(Tokenize, SinkStopsTheScan) {
  int seen = 0;
  for_each_token("a b c d", [&](std::string_view, bool) { return ++seen < 2; });
  EXPECT_EQ(seen, 2);
}

TEST(Tokenize, IllFormedBytesNeverSplitOrCrash) {
  EXPECT_EQ(tokenize("ab\xFF" "cd \xC3"), Tokens{"ab\xFF" "cd"});
  EXPECT_EQ(tokenize("\xE3\x80"), Tokens{});  // a truncated U+3000 is no separator, no word
}

}  // namespace
}  // namespace quarn::clinical
