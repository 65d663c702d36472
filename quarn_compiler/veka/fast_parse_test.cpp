// The predictive route against the backtracking parser alone: every text
// must give the same tree (every field and span) or the same failure text
// by both, and the sink must see each definition once, in order.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "quarn_compiler/source_generator.h"
#include "quarn_compiler/veka/fast_parse.h"
#include "quarn_compiler/veka/parse.h"
#include "quarn_compiler/veka/veka_test_util.h"

namespace quarn::compiler {
namespace {

using detail::FastEnd;
using detail::outcome_text;

// Both routes, compared; returns how far the predictive route got alone.
FastEnd expect_same_outcome(std::string_view src) {
  const ParseResult reference = detail::parse_source_backtracking(src);
  const ParseResult routed = parse_source(src);
  EXPECT_EQ(outcome_text(src, routed), outcome_text(src, reference)) << "source:\n" << src;
  Program scratch;
  return detail::fast_parse(src, nullptr, scratch).end;
}

std::string in_function(std::string_view body) {
  return "program p {\n  fn f(a: int, b: [float]) -> int {\n" + std::string(body) + "\n  }\n}\n";
}

TEST(FastParse, OddFormsReadAsTheBacktrackingParserReadsThem) {
  // Keywords and word operators are prefixes there, literals start names,
  // prefix operators take postfix operands, spans start before white space.
  const char* const bodies[] = {
      "letter = 1;",              // let ter = 1
      "nothing;",                 // Not(hing): an expression statement left alone
      "x = nothing;",             // Not(hing) inside an expression
      "x = a order;",             // a or der
      "x = a andy;",              // a and y
      "x = y asdf;",              // Cast(y, Named(df))
      "x = nullable;",            // null, then no operator: fails
      "x = truex + falsey;",
      "x = -5 + - -5 + -a[0];",
      "x = !f(1) - not g;",
      "-5 = x;",
      "x == y;",
      "x <= y; x != y; x >= y;",
      "x += 1; y -= 2; z *= 3; w /= 4; v %= 5;",
      "a.b[c](d, e).@7 as int;",
      "a.@256;",
      "x = (((1)));",
      "x = [1, [2, []], {k: 1, \"q r\": 2, 'z': 3}, {}];",
      "x = {7: {@1: 2}};",
      "x = 0x;",
      "x = 0x7FFFFFFFFFFFFFFF + 0x8000000000000000;",
      "x = 9223372036854775808;",
      "x = -9223372036854775808;",
      "x = 1.5e3;",
      "x = 999999999999999999 + 1000000000000000000 + 9223372036854775807 + 007 + 0 + 12.5;",
      "x = 3.x; y = 5x;",
      "x = 1.x;",
      "x = 123456789012345678901234567890.5 + 0.000000000000000000000000000000000000000000000001;",
      "x = \"a\\n\\t\\\"\\\\/\\b\\f\\r\" + \"bad \\q\";",
      "x = \"two\nlines\" + y;",
      "if (a) { b; } else if c { d; } else { e; }",
      "if (a) + b { c; }",
      "if a { } elsewhere = 1;",
      "if a { } else b;",
      "iffy = 1;",
      "loop (i < 10, 5) { break; continue; }",
      "loop (i, DEFAULT_MAX_ITER()) { }",
      "loop (i, 4294967296) { }",
      "loop (i, abc) { }",
      "switch x { 0 | 1 => { a; }, 2 => { } _ => { barrier; } }",
      "switch x { 0 || 1 => { } }",
      "barrier; barrier(\"phase\"); barrier(1);",
      "breakfast;",
      "return;",
      "return a\n  // note\n  + b;",
      "asm(\"nop\" : \"=r\"(o) : \"r\"(x) : \"memory\");",
      "asmx = 1;",
      "asm(\"t\") = 1; asm(\"t\"); asm(\"t\")[0];",
      "asm(\"t\") + 1;",
      "asm(\"t\" : : \"r\"(x));",
      "asm(\"t\" : \"=r\"(o), : );",
      "asm (\"t\":\"=r\"(o),\"=r\"(p):\"r\"(1+2),\"m\"( y ):\"memory\",\"cc\");",
      "asm(\"t\" : \"=r\"(if));",
      "asm(\"\\q\");",
      "x = {7: {}}; y = {7 : { @1 : 2 }};",
      "x = {70000: {}};",
      "x = {7: {@1: 2 , @2: 3}};",
      "x = {7: {@1: 2,@300: 1}};",
      "x = {7: {@1: 2,}};",
      "x = {7};",
      "let x: *const [int] = 1; let y: *mutable = 2; let z: * Int = 3;",
      "let x: Array < int > = 1;",
      "let x: Arrayx = 1;",
      "let x: * = 1;",
      "let x: *mut Int = 1; let y: Array<bool> = 2; let z: [[int]] = 3;",
      "let x: integer = 1;",
      "let x: Vec3 = 1; let y: stringy = 2;",
      "x\t=\r\n  1;",
      "f(a,);",
      "f(1 , 2); f(1 ,2);",
      "x = {a: 1 , b: 2}; y = [1 , 2];",
      "f(,);",
      "[1,];",
      "x = a | b ^ c & d == e < f << g + h * i;",
      "x = a and b or c && d || e;",
      "x = y;;",
      "x = caf\xc3\xa9;",
      "\xce\xb1\xce\xb2 = \xce\xb3.\xce\xb4(\xe2\x85\xa0) + caf\xc3\xa9x; let \xc3\xa9: \xc3\xa9 = 1;",
      "x = a\xe2\x80\x8b" "b;",  // a zero-width space is no letter
      "x = \xe2\x80\x8b;",
      "// caf\xc3\xa9\n x = 1;",
      "x = \"\xe2\x82\xac \xf0\x9f\x98\x80\" + y; // \xc3\xa9\xc3\xa9\n  z = [\"\xc3\xa9\", w];",
      "}",
  };
  for (const char* body : bodies) expect_same_outcome(in_function(body));
}

TEST(FastParse, ItemsReadAsTheBacktrackingParserReadsThem) {
  const char* const sources[] = {
      "import { a, b } from \"m\";\nimport {} from \"n\";\nprogram p { }",
      "import { a, } from \"m\"; program p { }",
      "import { from } from \"m\"; program p { }",
      "program p { #[inline] @scale(4) export fn f() { } block b() { x; } }",
      "program p { #[substrate(cpu)] fn f(a: int, b: Float) -> [int] { } }",
      "program p { @inline fn f() { } }",
      "program p { #[x(] fn f() { } }",
      "program p { fn f(a: int,) { } }",
      "program p { fn f() -> { } }",
      "program p { fnord() { } }",
      "program p { module m { const K: int = 1; export fn h() { } } fn f() { } }",
      "module m { fn f() { } }",
      "module m { capability: a, b const K: int = 1; struct S { a: int, b: [float] } "
      "enum E { A, B, } export fn f() { } #[inline] export block b() { } const L: bool = true; }",
      "module m { capability a }",
      "module m { capability: }",
      "module m { capability: a, }",
      "module m { struct S { a: int b: *mut int } enum E { A B } }",
      "module m { struct S { a: int, , } }",
      "module m { const K: int = 1 + 2 * 3 }",
      "module m { const K = 1; }",
      "module m { fn f() { } } trailing",
      "program p { module a { } module b { fn g() { x = 1; } } fn f() { } }",
      "program p { module a { const K: int = ; } fn f() { } }",
      "program p { fn f() { } } trailing text never read",
      "program p { fn f() { }",
      "program",
      "",
      "  \n// only a comment",
  };
  for (const char* src : sources) expect_same_outcome(src);
}

TEST(FastParse, CommonFormsTakeThePredictiveRouteWhole) {
  const std::string src =
      "import { sin } from \"lib/math\";\nprogram common {\n"
      "  #[inline]\n  fn f(a: int, b: float) -> int {\n"
      "    let x = a * 2 + b - 3; let y: int = (x % 7) << 1;  // bounds\n"
      "    if x > y && a != 0 { x = x + 1; } else if !a { y -= 2; } else { y = -y; }\n"
      "    loop (x < 100, DEFAULT_MAX_ITER()) { x += 1; if x == 50 { break; } continue; }\n"
      "    switch y { 0 | 1 => { g(x, y); }, _ => { barrier(\"b\"); } }\n"
      "    let z = [x, y, {k: 1.5, \"q\": null}, {3: {@0: true}}];\n"
      "    return f(x, y) + z[0].len as Float;\n"
      "  }\n}\n";
  EXPECT_EQ(expect_same_outcome(src), FastEnd::Parsed);
  // Columns count characters, also after text beyond ASCII.
  EXPECT_EQ(expect_same_outcome(in_function("x = \"\xc3\xa9\xe2\x82\xac\" + y; // \xf0\x9f\x98\x80\n y = 1;")),
            FastEnd::Parsed);
}

// Lists are reserved as the last list of their kind at their level was
// long, blanks are skipped a word at a time: lists of one level that grow
// past and shrink below that guess, and runs of blanks of every length up
// to past two words, before tokens, comments and the end of the text.
TEST(FastParse, ListsOfChangingLengthsAndRunsOfBlanksAreReadWhole) {
  auto repeated = [](std::string_view item, int n, std::string_view separator) {
    std::string text;
    for (int i = 0; i < n; ++i) text.append(i ? separator : "").append(item);
    return text;
  };
  std::string program = "program p {\n";
  int index = 0;
  for (int n : {0, 1, 70, 2, 0, 65, 64, 3, 1}) {
    const std::string i = std::to_string(index++);
    program += "  fn f" + i + "(" + repeated("a: int", n, ", ") + ") {\n" + repeated("x = 1;", n, " ") +
               "\n    if a { " + repeated("y;", n, "") + " } else if b { } else { " + repeated("z;", n / 2, "") +
               " }\n    g(" + repeated("a", n, ", ") + "); h([" + repeated("[1]", n, ", ") + "]);\n" +
               "    switch a { " + repeated(repeated("1", n + 1, " | ") + " => { w; }", n + 1, " ") + " }\n  }\n";
  }
  program += "}\n";
  EXPECT_EQ(expect_same_outcome(program), FastEnd::Parsed);

  for (int blanks = 0; blanks <= 17; ++blanks) {
    const std::string b(static_cast<size_t>(blanks), ' ');
    const std::string body = b + "let" + b + " x" + b + "=" + b + "1" + b + "+\t" + b + "2" + b + ";" + b + "//" + b +
                             "\n" + b + "\r\n" + b + "f(" + b + "x" + b + ");" + b;
    EXPECT_EQ(expect_same_outcome(in_function(body)), FastEnd::Parsed) << blanks;
    const std::string program_end = "program p { fn f() { x = 1; }" + b + "}" + b;
    EXPECT_EQ(expect_same_outcome(program_end), FastEnd::Parsed) << blanks;
    expect_same_outcome("program p { fn f() { x = 1;" + b);  // cut short inside blanks
    expect_same_outcome("program p { fn f() { x = 1" + b + "//" + b);
  }
}

// Records what a sink is handed, as text.
class RecordingSink final : public ProgramSink {
 public:
  std::vector<std::string> seen;
  void modules_parsed(const Program& program) override {
    seen.push_back("modules of " + program.name + ": " + std::to_string(program.modules.size()));
  }
  void definition_parsed(FunctionDef&& definition) override { seen.push_back(render(definition)); }
};

TEST(FastParse, SinkGetsEachDefinitionOnceWhereverTheRouteStops) {
  // The predictive route stops at `nothing;` in g (the backtracking parser
  // reads Not(hing)), after m and f were handed over; then at the failure
  // in k.
  const std::string good =
      "program p {\n module m { fn k() { } }\n fn f() { x = 1; }\n fn g() { x = {7: {@1: 2} }; nothing; }\n"
      " fn h() { y; }\n}\n";
  const std::string bad = "program p {\n fn f() { x = 1; }\n fn k() { x = ; }\n fn h() { }\n}\n";
  for (const std::string& src : {good, bad}) {
    RecordingSink routed, reference;
    const ParseResult a = parse_source(src, &routed);
    const ParseResult b = detail::parse_source_backtracking(src, &reference);
    EXPECT_EQ(outcome_text(src, a), outcome_text(src, b));
    EXPECT_EQ(routed.seen, reference.seen);
  }
  Program scratch;
  EXPECT_EQ(detail::fast_parse(good, nullptr, scratch).end, FastEnd::StoppedInDefinitions);
  RecordingSink sink;
  ASSERT_TRUE(parse_source(good, &sink).ok());
  ASSERT_EQ(sink.seen.size(), 4u);
  EXPECT_NE(sink.seen[1].find("\"f\""), std::string::npos);
  EXPECT_NE(sink.seen[2].find("\"g\""), std::string::npos);
  EXPECT_NE(sink.seen[3].find("\"h\""), std::string::npos);
}

TEST(FastParse, DeepNestingIsLeftToTheBacktrackingParser) {
  for (int levels : {63, 64, 65, 199, 200, 201}) {
    const std::string parens = std::string(levels, '(') + "1" + std::string(levels, ')');
    expect_same_outcome(in_function("x = " + parens + ";"));
    std::string ifs;
    for (int i = 0; i < levels; ++i) ifs += "if a {";
    ifs += std::string(levels, '}');
    expect_same_outcome(in_function(ifs));
    std::string types = std::string(levels, '[') + "int" + std::string(levels, ']');
    expect_same_outcome(in_function("let x: " + types + " = 1;"));
  }
  // 64 levels are read on the predictive route, one more is not.
  Program scratch;
  const std::string at_limit = in_function("x = " + std::string(63, '(') + "1" + std::string(63, ')') + ";");
  EXPECT_EQ(detail::fast_parse(at_limit, nullptr, scratch).end, FastEnd::Parsed);
}

// Generated programs and broken variants of them: deletions, insertions and
// cuts at chosen places.
TEST(FastParse, GeneratedProgramsAndBrokenVariantsGiveTheSameOutcome) {
  constexpr int kPrograms = 150;
  int whole = 0;
  testing::SplitMix damage(7);
  static constexpr std::string_view kInserted = "{}()[];,=+-*/<>!|&@#.:\"' \nax0";
  for (int seed = 0; seed < kPrograms; ++seed) {
    testing::SplitMix choices(static_cast<std::uint64_t>(seed) * 7919 + 1);
    const std::string src = testing::generate_program(choices);
    if (expect_same_outcome(src) == FastEnd::Parsed) ++whole;
    for (int v = 0; v < 6; ++v) {
      std::string broken = src;
      const size_t at = damage.next(static_cast<std::uint32_t>(broken.size()));
      switch (v % 3) {
        case 0: broken.erase(at, 1 + damage.next(3)); break;
        case 1: broken.insert(at, 1, kInserted[damage.next(static_cast<std::uint32_t>(kInserted.size()))]); break;
        default: broken.resize(at); break;
      }
      expect_same_outcome(broken);
    }
  }
  // Every form the generator writes is read predictively.
  EXPECT_EQ(whole, kPrograms);
  std::printf("generated programs read whole on the predictive route: %d of %d\n", whole, kPrograms);
}

TEST(FastParse, SeedProgramsAndBrokenVariantsGiveTheSameOutcome) {
  const std::filesystem::path root = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
  std::vector<std::filesystem::path> files;
  for (const char* dir : {"fuzz/corpus/fuzz_compile", "fuzz/corpus/fuzz_parse"}) {
    for (const auto& entry : std::filesystem::directory_iterator(root / dir)) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty());
  int valid = 0, whole = 0;
  testing::SplitMix damage(11);
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string src = text.str();
    const FastEnd end = expect_same_outcome(src);
    if (detail::parse_source_backtracking(src).ok()) {
      ++valid;
      whole += end == FastEnd::Parsed;
    }
    for (int v = 0; v < 4 && !src.empty(); ++v) {
      std::string broken = src;
      const size_t at = damage.next(static_cast<std::uint32_t>(broken.size()));
      if (v % 2 == 0) {
        broken.erase(at, 1);
      } else {
        broken.resize(at);
      }
      expect_same_outcome(broken);
    }
  }
  std::printf("seed programs that parse, read whole on the predictive route: %d of %d\n", whole, valid);
}

}  // namespace
}  // namespace quarn::compiler
