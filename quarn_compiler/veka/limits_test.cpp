// Nesting limits and large inputs. The limit counts what the writer nested:
// exactly kMaxNestingDepth levels of each nesting construct parse, one more
// fails with the nesting label instead of exhausting the stack; chains of
// any length are no nesting at all. Trees at the limit, and chains of
// 100,000 terms, parse, render, copy and drop on a thread with a 1 MiB stack.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "quarn_compiler/veka/parse.h"
#include "quarn_compiler/veka/veka_test_util.h"

namespace quarn::compiler {
namespace {

using testing::in_main;
using testing::repeat;
using testing::run_on_small_stack;

// A construct nested n times, and how many levels each one opens.
struct Nested {
  const char* name;
  std::function<std::string(int)> source;
  int levels = 1;
};

std::vector<Nested> nested_shapes() {
  auto let = [](std::string value) { return in_main("let v = " + value + ";"); };
  return {
      {"parentheses", [=](int n) { return let(repeat("(", n) + "1" + repeat(")", n)); }},
      {"brackets", [=](int n) { return let(repeat("[", n) + "1" + repeat("]", n)); }},
      {"maps", [=](int n) { return let(repeat("{a: ", n) + "1" + repeat("}", n)); }},
      {"contracts", [=](int n) { return let(repeat("{1: {@0: ", n) + "1" + repeat("}}", n)); }, 2},
      {"call arguments", [=](int n) { return let(repeat("f(", n) + "1" + repeat(")", n)); }},
      {"indexes", [=](int n) { return let(repeat("a[", n) + "1" + repeat("]", n)); }},
      {"negations", [=](int n) { return let(repeat("-(", n) + "1" + repeat(")", n)); }},
      {"right-nested binary", [=](int n) { return let(repeat("1 + (", n) + "1" + repeat(")", n)); }},
      {"precedence in parentheses",
       [=](int n) { return let(repeat("a || b && c == d < e << f ^ g + h * -i.j[(", n) + "1" + repeat(")]", n)); }, 2},
      {"array types", [](int n) { return in_main("let v: " + repeat("[", n) + "Int" + repeat("]", n) + " = 1;"); }},
      {"generic array types", [](int n) { return in_main("let v: " + repeat("Array<", n) + "Int" + repeat(">", n) + " = 1;"); }},
      {"pointer types", [](int n) { return in_main("let v: " + repeat("*", n) + "Int = 1;"); }},
      {"cast types", [](int n) { return in_main("let v = x as " + repeat("[", n) + "Int" + repeat("]", n) + ";"); }},
      {"if blocks", [](int n) { return in_main(repeat("if a { ", n) + repeat("} ", n)); }},
      {"parenthesised if conditions", [](int n) { return in_main("if " + repeat("(", n) + "a" + repeat(")", n) + " { }"); }},
      {"else blocks", [](int n) { return in_main(repeat("if a { } else { ", n) + repeat("} ", n)); }},
      {"loop blocks", [](int n) { return in_main(repeat("loop (a, 1) { ", n) + repeat("} ", n)); }},
      {"switch arms", [](int n) { return in_main(repeat("switch a { 1 => { ", n) + repeat("} } ", n)); }, 2},
      // Each `else if` is an `if` nested in the `else`: the blocks of the
      // last of n - 1 are n levels deep.
      {"else-if chain", [](int n) { return in_main("if a { }" + repeat(" else if a { }", n - 1)); }},
      {"statements in asm inputs", [](int n) { return in_main("asm(\"\" : : \"r\"(" + repeat("(", n - 2) + "a" + repeat(")", n - 2) + "));"); }},
      {"constant values", [](int n) { return "program p { module m { const C: int = " + repeat("(", n) + "1" + repeat(")", n) + "; } }"; }},
  };
}

// Chains at one level: no nesting, whatever their length.
std::vector<Nested> chain_shapes() {
  auto let = [](std::string value) { return in_main("let v = " + value + ";"); };
  return {
      {"binary chain", [=](int n) { return let("1" + repeat(" + 1", n)); }},
      {"mixed binary chain", [=](int n) { return let("a" + repeat(" || a && b == c < d << e ^ f + g * -h", n)); }},
      {"field chain", [=](int n) { return let("a" + repeat(".b", n)); }},
      {"call chain", [=](int n) { return let("f" + repeat("(1)", n)); }},
      {"index chain", [=](int n) { return let("a" + repeat("[0]", n)); }},
      {"cast chain", [=](int n) { return let("x" + repeat(" as Int", n)); }},
      {"postfix mix", [=](int n) { return let("x" + repeat(".f[0](a) as T", n)); }},
      {"compound target", [](int n) { return in_main("a" + repeat("[0]", n) + " += 1;"); }},
      {"switch patterns", [](int n) { return in_main("switch a { 1" + repeat(" | 1", n) + " => { } }"); }},
  };
}

bool too_deep(const ParseFailure& f) {
  return std::any_of(f.trail.begin(), f.trail.end(),
                     [](const TrailEntry& e) { return e.label == kNestingTooDeepLabel; });
}

// Renders, copies and drops every statement body of the program.
void walk(const Program& program) {
  Program copy = program;
  std::size_t total = 0;
  for (const FunctionDef& f : copy.definitions)
    for (const SpannedStmt& s : f.body) total += render(s).size();
  for (const Module& m : copy.modules)
    for (const ConstDecl& c : m.constants) total += render(c.value).size();
  EXPECT_GT(total, 0u);
}

TEST(NestingLimitTest, LabelNamesTheLimitAndItsUnits) {
  EXPECT_EQ(kNestingTooDeepLabel,
            "brackets, parentheses, braces and blocks nested deeper than " +
                std::to_string(kMaxNestingDepth) + " levels");
}

TEST(NestingLimitTest, ExactlyTheLimitIsAccepted) {
  run_on_small_stack([] {
    for (const Nested& shape : nested_shapes()) {
      const int most = static_cast<int>(kMaxNestingDepth) / shape.levels;
      std::string src = shape.source(most);
      ParseResult r = parse_source(src);
      ASSERT_TRUE(r.ok()) << shape.name << "\n" << render_parse_error(src, r.error()).substr(0, 400);
      walk(r.value());

      src = shape.source(most + 1);
      r = parse_source(src);
      ASSERT_FALSE(r.ok()) << shape.name;
      EXPECT_EQ(r.error().kind, FailureKind::Hard) << shape.name;
      EXPECT_TRUE(too_deep(r.error())) << shape.name;
    }
  });
}

TEST(NestingLimitTest, VeryDeepInputFailsCleanlyOnASmallStack) {
  run_on_small_stack([] {
    for (const Nested& shape : nested_shapes()) {
      std::string src = shape.source(100000);
      ParseResult r = parse_source(src);
      ASSERT_FALSE(r.ok()) << shape.name;
      EXPECT_EQ(r.error().kind, FailureKind::Hard) << shape.name;
      EXPECT_TRUE(too_deep(r.error())) << shape.name;
      // The error text renders; with one label per nesting level and each
      // over-long line cut to a window, it stays within a few megabytes.
      EXPECT_LT(render_parse_error(src, r.error()).size(), 4u << 20) << shape.name;
    }
  });
}

TEST(NestingLimitTest, ChainsAreNotNesting) {
  run_on_small_stack([] {
    for (const Nested& shape : chain_shapes()) {
      std::string src = shape.source(100000);
      ParseResult r = parse_source(src);
      ASSERT_TRUE(r.ok()) << shape.name << "\n" << render_parse_error(src, r.error()).substr(0, 400);
      walk(r.value());
    }
  });
}

TEST(NestingLimitTest, ChainsInsideTheDeepestNesting) {
  // Long chains at every one of the 200 levels.
  run_on_small_stack([] {
    const std::string chain = repeat("a.b[0] + ", 500);
    std::string src = in_main("let v = " + repeat(chain + "(", 200) + "1" + repeat(")", 200) + ";");
    ParseResult r = parse_source(src);
    ASSERT_TRUE(r.ok());
    walk(r.value());
  });
}

TEST(LargeInputTest, LongSingleLineKeepsColumnsInCharacters) {
  // 20000 statements on one line with a two-byte character in each: columns
  // count characters, bytes count bytes, and parsing stays linear.
  std::string stmt = "let \xC3\xA9 = 1; ";
  const int n = 20000;
  std::string src = "program p { fn main() { " + repeat(stmt, n) + "} }";
  ParseResult r = parse_source(src);
  ASSERT_TRUE(r.ok());
  const auto& body = r.value().definitions.at(0).body;
  ASSERT_EQ(body.size(), static_cast<size_t>(n));
  const Span& last = body.back().span;
  EXPECT_EQ(last.start, 24 + (n - 1) * stmt.size());
  EXPECT_EQ(last.line, 1u);
  EXPECT_EQ(last.col, 25 + (n - 1) * (stmt.size() - 1));
}

TEST(LargeInputTest, ManyLines) {
  std::string src = "program p {\n";
  const int n = 30000;
  for (int i = 0; i < n; ++i) src += "fn f" + std::to_string(i) + "(x: int) -> int {\n  return x * 2 + 1;\n}\n";
  src += "}\n";
  ParseResult r = parse_source(src);
  ASSERT_TRUE(r.ok());
  const FunctionDef& last = r.value().definitions.back();
  EXPECT_EQ(last.body.at(0).span.line, static_cast<std::uint32_t>(3 * (n - 1) + 3));
  EXPECT_EQ(last.body.at(0).span.col, 3u);
}

}  // namespace
}  // namespace quarn::compiler
