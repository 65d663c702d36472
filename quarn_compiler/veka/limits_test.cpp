// Nesting limits and large inputs: deep input must fail with the nesting
// label instead of exhausting the stack, and the deepest accepted trees must
// parse, render, copy and drop on a thread with a 1 MiB stack.

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <functional>
#include <string>

#include "quarn_compiler/veka/parse.h"
#include "quarn_compiler/veka/veka_test_util.h"

#if defined(__SANITIZE_ADDRESS__)
#define QUARN_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUARN_TEST_ASAN 1
#endif
#endif

namespace quarn::compiler {
namespace {

using testing::in_main;

// Sanitizer builds use several times the stack per frame; the 1 MiB budget
// is about the optimised module running on a Python thread.
#ifdef QUARN_TEST_ASAN
constexpr size_t kThreadStack = 16u << 20;
#else
constexpr size_t kThreadStack = 1u << 20;
#endif

void run_on_small_stack(const std::function<void()>& f) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, kThreadStack), 0);
  pthread_t thread;
  auto body = [](void* arg) -> void* {
    (*static_cast<const std::function<void()>*>(arg))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, body, const_cast<std::function<void()>*>(&f)), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

std::string repeat(const std::string& s, int n) {
  std::string out;
  out.reserve(s.size() * static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

struct Shape {
  const char* name;
  std::function<std::string(int)> source;
};

std::vector<Shape> shapes() {
  auto let = [](std::string value) { return in_main("let v = " + value + ";"); };
  return {
      {"parentheses", [=](int n) { return let(repeat("(", n) + "1" + repeat(")", n)); }},
      {"brackets", [=](int n) { return let(repeat("[", n) + "1" + repeat("]", n)); }},
      {"maps", [=](int n) { return let(repeat("{a: ", n) + "1" + repeat("}", n)); }},
      {"contracts", [=](int n) { return let(repeat("{1: {@0: ", n) + "1" + repeat("}}", n)); }},
      {"call arguments", [=](int n) { return let(repeat("f(", n) + "1" + repeat(")", n)); }},
      {"indexes", [=](int n) { return let(repeat("a[", n) + "1" + repeat("]", n)); }},
      {"negations", [=](int n) { return let(repeat("-(", n) + "1" + repeat(")", n)); }},
      {"binary chain", [=](int n) { return let("1" + repeat(" + 1", n)); }},
      {"right-nested binary", [=](int n) { return let(repeat("1 + (", n) + "1" + repeat(")", n)); }},
      {"field chain", [=](int n) { return let("a" + repeat(".b", n)); }},
      {"call chain", [=](int n) { return let("f" + repeat("(1)", n)); }},
      {"cast chain", [=](int n) { return let("x" + repeat(" as Int", n)); }},
      {"array types", [](int n) { return in_main("let v: " + repeat("[", n) + "Int" + repeat("]", n) + " = 1;"); }},
      {"pointer types", [](int n) { return in_main("let v: " + repeat("*", n) + "Int = 1;"); }},
      {"if blocks", [](int n) { return in_main(repeat("if a { ", n) + repeat("} ", n)); }},
      {"loop blocks", [](int n) { return in_main(repeat("loop (a, 1) { ", n) + repeat("} ", n)); }},
      {"switch arms", [](int n) { return in_main(repeat("switch a { 1 => { ", n) + repeat("} } ", n)); }},
      {"else-if chain", [](int n) { return in_main("if a { }" + repeat(" else if a { }", n)); }},
      {"compound target", [](int n) { return in_main("a" + repeat("[0]", n) + " += 1;"); }},
  };
}

bool too_deep(const ParseFailure& f) {
  return std::any_of(f.trail.begin(), f.trail.end(),
                     [](const TrailEntry& e) { return e.label == kNestingTooDeepLabel; });
}

TEST(NestingLimitTest, LabelNamesTheLimit) {
  EXPECT_NE(std::string(kNestingTooDeepLabel).find(std::to_string(kMaxNestingDepth)), std::string::npos);
}

TEST(NestingLimitTest, VeryDeepInputFailsCleanlyOnASmallStack) {
  run_on_small_stack([] {
    for (const Shape& shape : shapes()) {
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

TEST(NestingLimitTest, DeepestAcceptedTreesWorkOnASmallStack) {
  run_on_small_stack([] {
    for (const Shape& shape : shapes()) {
      int deepest = 0;
      Program tree;
      for (int n = 1; n <= static_cast<int>(kMaxNestingDepth) + 10; ++n) {
        std::string src = shape.source(n);
        ParseResult r = parse_source(src);
        if (!r.ok()) {
          EXPECT_TRUE(too_deep(r.error())) << shape.name << " at " << n << "\n"
                                           << render_parse_error(src, r.error());
          break;
        }
        deepest = n;
        tree = std::move(r.value());
      }
      // Every construct gets at least a third of the limit as its own depth.
      EXPECT_GE(deepest, static_cast<int>(kMaxNestingDepth) / 3) << shape.name;
      EXPECT_LE(deepest, static_cast<int>(kMaxNestingDepth)) << shape.name;
      // Later stages walk such trees recursively: render, copy and drop it here.
      std::string text;
      for (const SpannedStmt& s : tree.definitions.at(0).body) text += render(s);
      EXPECT_FALSE(text.empty());
      Program copy = tree;
      EXPECT_EQ(copy.definitions.at(0).body.size(), tree.definitions.at(0).body.size());
    }
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
