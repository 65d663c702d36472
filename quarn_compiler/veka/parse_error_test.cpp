#include <gtest/gtest.h>

#include "quarn_compiler/veka/parse.h"
#include "quarn_compiler/veka/veka_test_util.h"
#include "quarn_core/core_error.h"

namespace quarn::compiler {
namespace {

using testing::failure_of;

std::string error_text(const std::string& src) { return render_parse_error(src, failure_of(src)); }

TEST(ParseErrorTextTest, MissingSemicolonInsideAFunction) {
  const std::string src =
      "program p {\n"
      "  fn main() {\n"
      "    let x = 1\n"
      "  }\n"
      "}\n";
  EXPECT_EQ(error_text(src),
            "0: at line 4:\n"
            "  }\n"
            "  ^\n"
            "expected ';', found }\n"
            "\n"
            "1: at line 3, in ';' after let statement:\n"
            "    let x = 1\n"
            "             ^\n"
            "\n"
            "2: at line 2, in let statement:\n"
            "  fn main() {\n"
            "             ^\n"
            "\n"
            "3: at line 2, in function definition:\n"
            "  fn main() {\n"
            "  ^\n"
            "\n");
  EXPECT_EQ(failure_of(src).kind, FailureKind::Hard);
}

TEST(ParseErrorTextTest, CarriageReturnsAreNotShown) {
  const std::string lf = "program p {\n  fn main() {\n    let x = 1\n  }\n}\n";
  const std::string crlf = "program p {\r\n  fn main() {\r\n    let x = 1\r\n  }\r\n}\r\n";
  EXPECT_EQ(error_text(crlf), error_text(lf));
}

TEST(ParseErrorTextTest, EmptyAndBlankSources) {
  EXPECT_EQ(error_text(""),
            "0: in Tag, got empty input\n\n"
            "1: in 'program' keyword, got empty input\n\n");
  EXPECT_EQ(failure_of("").kind, FailureKind::Soft);
  // Only a comment, without a final line feed: the keyword is looked for at
  // the end of the text.
  EXPECT_EQ(error_text("// nothing"),
            "0: at line 1, in Tag:\n"
            "// nothing\n"
            "          ^\n"
            "\n"
            "1: at line 1, in 'program' keyword:\n"
            "// nothing\n"
            "^\n"
            "\n");
}

TEST(ParseErrorTextTest, EndOfInputAndTrailingBlanks) {
  EXPECT_EQ(error_text("program p {"),
            "0: at line 1:\n"
            "program p {\n"
            "           ^\n"
            "expected '}', got end of input\n"
            "\n"
            "1: at line 1, in '}' to close program:\n"
            "program p {\n"
            "           ^\n"
            "\n");
  // The line is shown without its trailing blanks; the caret still counts them.
  EXPECT_EQ(error_text("program p   \t\n"),
            "0: at line 2:\n"
            "\n"
            "^\n"
            "expected '{', got end of input\n"
            "\n"
            "1: at line 1, in '{' to start program:\n"
            "program p\n"
            "         ^\n"
            "\n");
  EXPECT_EQ(error_text("program p {  x"),
            "0: at line 1:\n"
            "program p {  x\n"
            "             ^\n"
            "expected '}', found x\n"
            "\n"
            "1: at line 1, in '}' to close program:\n"
            "program p {  x\n"
            "           ^\n"
            "\n");
}

TEST(ParseErrorTextTest, CaretCountsBytesAndFoundShowsWholeCharacter) {
  // "é" takes two bytes: the caret under "x" sits one column further right
  // than the character count.
  const std::string src = "program p { fn main() { let s = \"\xC3\xA9\" x; } }";
  size_t x = src.find(" x;") + 1;
  std::string text = error_text(src);
  EXPECT_EQ(text.substr(0, text.find("\n\n") + 2),
            "0: at line 1:\n" + src + "\n" + std::string(x, ' ') + "^\nexpected ';', found x\n\n");

  const std::string wide = "program p { fn main() { let s = 1 \xE2\x88\x9E; } }";
  std::string wide_text = error_text(wide);
  EXPECT_NE(wide_text.find("expected ';', found \xE2\x88\x9E\n"), std::string::npos);
}

TEST(ParseErrorTextTest, IncompleteInput) {
  ParseFailure f;
  f.kind = FailureKind::Incomplete;
  EXPECT_EQ(render_parse_error("anything", f), "Incomplete input (streaming parser error)");
}

TEST(ParseErrorTextTest, EmptyInput) {
  EXPECT_EQ(render_parse_error("", failure_of("")),
            "0: in Tag, got empty input\n\n"
            "1: in 'program' keyword, got empty input\n\n");
}

TEST(ParseErrorTextTest, EveryEntryKindOnEmptyAndNonEmptyText) {
  ParseFailure f;
  f.kind = FailureKind::Hard;
  f.trail = {TrailEntry::expected_char(0, U'\u00E9'), TrailEntry::context(0, "some label"),
             TrailEntry::primitive_kind(0, PrimitiveKind::SeparatedList)};
  EXPECT_EQ(render_parse_error("", f),
            "0: expected '\xC3\xA9', got empty input\n\n"
            "1: in some label, got empty input\n\n"
            "2: in SeparatedList, got empty input\n\n");
  // Positions past the end are treated as the end.
  f.trail = {TrailEntry::expected_char(99, U')'), TrailEntry::primitive_kind(2, PrimitiveKind::Many0)};
  EXPECT_EQ(render_parse_error("ab\ncd", f),
            "0: at line 2:\n"
            "cd\n"
            "  ^\n"
            "expected ')', got end of input\n"
            "\n"
            "1: at line 1, in Many0:\n"
            "ab\n"
            "  ^\n"
            "\n");
  // A position on a line feed shows the line it ends and "found" the feed.
  f.trail = {TrailEntry::expected_char(2, U';')};
  EXPECT_EQ(render_parse_error("ab\ncd", f), "0: at line 1:\nab\n  ^\nexpected ';', found \n\n\n");
}

TEST(ParseErrorTextTest, VeryLongLinesAreShownAroundThePosition) {
  // Every entry repeats its line and a caret line as wide as its column; a
  // line of hundreds of kilobytes is cut to a window instead.
  std::string src = "program p { fn main() { let x = " + std::string(200000, 'a') + " } }";
  std::string text = error_text(src);
  EXPECT_LT(text.size(), 200000u);
  EXPECT_NE(text.find("0: at line 1:\n..."), std::string::npos);
  // The caret still points at the character it names.
  size_t caret_line = text.find('\n', text.find('\n') + 1) + 1;
  size_t shown_line = text.find('\n') + 1;
  size_t caret_col = text.find('^', caret_line) - caret_line;
  EXPECT_EQ(text[shown_line + caret_col], '}');
  EXPECT_NE(text.find("expected ';', found }"), std::string::npos);
}

TEST(ParseErrorTextTest, PrimitiveNames) {
  EXPECT_EQ(primitive_name(PrimitiveKind::Tag), "Tag");
  EXPECT_EQ(primitive_name(PrimitiveKind::Char), "Char");
  EXPECT_EQ(primitive_name(PrimitiveKind::Alt), "Alt");
  EXPECT_EQ(primitive_name(PrimitiveKind::Digit), "Digit");
  EXPECT_EQ(primitive_name(PrimitiveKind::OneOf), "OneOf");
  EXPECT_EQ(primitive_name(PrimitiveKind::TakeWhile1), "TakeWhile1");
  EXPECT_EQ(primitive_name(PrimitiveKind::MultiSpace), "MultiSpace");
  EXPECT_EQ(primitive_name(PrimitiveKind::Many0), "Many0");
  EXPECT_EQ(primitive_name(PrimitiveKind::SeparatedList), "SeparatedList");
}

}  // namespace
}  // namespace quarn::compiler
