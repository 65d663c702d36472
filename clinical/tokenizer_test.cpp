#include "clinical/tokenizer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
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

// Tokens as (bytes, ascii flag), by either reading.
using Found = std::vector<std::pair<std::string, bool>>;
template <class Reader>
Found read_all(std::string_view text, Reader reader) {
  Found found;
  reader(text, [&](std::string_view t, bool ascii) {
    found.emplace_back(std::string(t), ascii);
    return true;
  });
  return found;
}

TEST(Tokenize, BitMaskReadingAgreesWithTheByteReading) {
  // Pieces of every kind cut at every place a 64-byte block can cut them:
  // long words and long runs of white space or punctuation across several
  // blocks, non-ASCII separators, word characters and punctuation next to
  // ASCII ones, a text ending mid-piece or mid-space.
  const std::vector<std::string> parts = {
      "a", "Word", "x-ray", "120/80", "_", "--", "(", ")", ".", " ", "  ", "\t", "\n",
      "\x0b", "\x1c", "caf\u00e9", "\u00a0", "\u3000", "\u2028", "\u200b", "\u00ab",
      "\u0130", "\xff", std::string(70, 'q'), std::string(130, ' '), std::string(65, '-')};
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  auto next = [&] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  for (int round = 0; round < 400; ++round) {
    std::string text;
    const std::size_t want = next() % 400;
    while (text.size() < want) text += parts[next() % parts.size()];
    for (std::size_t cut : {text.size(), text.size() / 2, text.size() / 3}) {
      std::string_view piece = std::string_view(text).substr(0, cut);
      auto by_masks = [](std::string_view t, auto sink) { for_each_token(t, sink); };
      auto by_bytes = [](std::string_view t, auto sink) { detail::for_each_token_bytewise(t, sink); };
      ASSERT_EQ(read_all(piece, by_masks), read_all(piece, by_bytes)) << piece;
    }
  }
}

TEST(Tokenize, RepeatsLinkOnlyToAnEqualFirstToken) {
  // Two tokens, linked exactly when their lower cases are equal and at most
  // 15 bytes long; in either order, and with and without a long token after
  // them, so that each is read both at once (16 bytes) and byte by byte (too
  // near the end of the text or of the lowered buffer for 16).
  struct Pair {
    std::string x, y;
    bool linked;
  };
  const Pair pairs[] = {
      {"Pain", "pAIN", true},
      {"a", "A", true},
      {"k", "\u212a", true},  // the Kelvin sign lower-cases to the ASCII "k"
      {"\u00c9t\u00e9", "\u00e9T\u00c9", true},
      {"Fifteen_Bytes_x", "fifteen_bytes_X", true},
      {"Sixteen_Bytes_xx", "sixteen_bytes_xx", false},
      {"ab", "a\x01" "b", false},
      {"pain", "pains", false},
      {"\u00e9", "\u00e8", false},
  };
  const std::string long_tail = " \u00c9\u00c9\u00c9\u00c9\u00c9\u00c9\u00c9\u00c9\u00c9\u00c9\u00c9\u00c9";
  for (const Pair& p : pairs) {
    for (bool swapped : {false, true}) {
      for (const std::string& tail : {std::string(), long_tail}) {
        const std::string text = (swapped ? p.y : p.x) + "  " + (swapped ? p.x : p.y) + tail;
        TokenBounds bounds;
        bounds.scan(text);
        bounds.link_repeats();
        ASSERT_EQ(bounds.size(), tail.empty() ? 2u : 3u) << text;
        EXPECT_EQ(bounds.repeat_of(0), RepeatLinker::kFirst) << text;
        EXPECT_EQ(bounds.repeat_of(1), p.linked ? 0u : RepeatLinker::kFirst) << text;
      }
    }
  }
}

TEST(Tokenize, IllFormedBytesNeverSplitOrCrash) {
  EXPECT_EQ(tokenize("ab\xFF" "cd \xC3"), Tokens{"ab\xFF" "cd"});
  EXPECT_EQ(tokenize("\xE3\x80"), Tokens{});  // a truncated U+3000 is no separator, no word
}

}  // namespace
}  // namespace quarn::clinical
