// Whole sources: imports, program blocks, modules and their items,
// definitions and attributes.

#include <gtest/gtest.h>

#include "quarn_compiler/veka/parse.h"
#include "quarn_compiler/veka/veka_test_util.h"

namespace quarn::compiler {
namespace {

using testing::failure_of;
using testing::labels_of;
using testing::sexpr;
using testing::trail_of;
using Labels = std::vector<std::string>;

Program parsed(const std::string& src) {
  ParseResult r = parse_source(src);
  EXPECT_TRUE(r.ok()) << src << "\n" << (r.ok() ? "" : render_parse_error(src, r.error()));
  return r.ok() ? std::move(r.value()) : Program{};
}

Labels labels(const std::string& src) { return labels_of(failure_of(src)); }

TEST(ProgramTest, ProgramBlockAndTrailingText) {
  Program p = parsed("program demo { fn main() { return 0; } }");
  EXPECT_EQ(p.name, "demo");
  EXPECT_TRUE(p.modules.empty());
  ASSERT_EQ(p.definitions.size(), 1u);
  const FunctionDef& main = p.definitions[0];
  EXPECT_EQ(main.name, "main");
  EXPECT_TRUE(main.params.empty());
  EXPECT_FALSE(main.return_type.has_value());
  EXPECT_EQ(main.name_span, (Span{18, 22, 1, 19}));
  EXPECT_EQ(main.body.size(), 1u);

  EXPECT_EQ(parsed("program p { } trailing } text ((").name, "p");
  EXPECT_EQ(parsed("  // lead\nprogram p{}").name, "p");
  Program two = parsed("program p { module a { } module b { } fn f() { } fn g(x: int, y: [Float]) -> bool { } }");
  ASSERT_EQ(two.modules.size(), 2u);
  ASSERT_EQ(two.definitions.size(), 2u);
  const FunctionDef& g = two.definitions[1];
  ASSERT_EQ(g.params.size(), 2u);
  EXPECT_EQ(g.params[1].name, "y");
  EXPECT_EQ(render(g.params[1].type), "Array(Float)");
  std::string src = "program p { module a { } module b { } fn f() { } fn g(x: int, y: [Float]) -> bool { } }";
  EXPECT_EQ(g.params[1].name_span.start, src.find("y:"));
  EXPECT_EQ(g.params[1].type_span, (Span{src.find("[Float]"), src.find("[Float]") + 7, 1,
                                          static_cast<std::uint32_t>(src.find("[Float]") + 1)}));
  EXPECT_EQ(render(*g.return_type), "Bool");
  EXPECT_EQ(g.return_type_span->start, src.find("bool"));
}

TEST(ProgramTest, Labels) {
  EXPECT_EQ(labels(""), (Labels{"'program' keyword"}));
  EXPECT_EQ(labels("  \n// c\n"), (Labels{"'program' keyword"}));
  EXPECT_EQ(labels("fn main() { }"), (Labels{"'program' keyword"}));
  EXPECT_EQ(labels("program { }"), (Labels{"program name"}));
  EXPECT_EQ(labels("program if { }"), (Labels{"keyword", "program name"}));
  EXPECT_EQ(labels("program p fn"), (Labels{"'{' to start program"}));
  // Modules come before definitions.
  EXPECT_EQ(labels("program p { fn a() { } module m { } }"), (Labels{"'}' to close program"}));
  EXPECT_EQ(labels("program p { fn () { } }"), (Labels{"function name", "function definition"}));
  EXPECT_EQ(labels("program p { fn f { } }"), (Labels{"'(' for parameters", "function definition"}));
  EXPECT_EQ(labels("program p { fn f(x: int { } }"), (Labels{"')' after parameters", "function definition"}));
  EXPECT_EQ(labels("program p { fn f() -> { } }"), (Labels{"'{' to start function body", "function definition"}));
  EXPECT_EQ(labels("program p { fn f() return 1; }"), (Labels{"'{' to start function body", "function definition"}));
  EXPECT_EQ(labels("program p { fn f() { ) } }"), (Labels{"'}' to close function", "function definition"}));
  EXPECT_EQ(labels("program p { block () { } }"), (Labels{"block name", "block definition"}));
  EXPECT_EQ(labels("program p { block b() x }"), (Labels{"'{' to start block body", "block definition"}));
  EXPECT_EQ(labels("program p { block b() { ) }"), (Labels{"'}' to close block", "block definition"}));
}

TEST(ImportTest, NamesPathsAndSoftFailures) {
  std::string src = "import { a, b } from \"lib/math\";\nimport {} from \"x\"; program p { }";
  Program p = parsed(src);
  ASSERT_EQ(p.imports.size(), 2u);
  ASSERT_EQ(p.imports[0].names.size(), 2u);
  EXPECT_EQ(p.imports[0].names[1].name, "b");
  EXPECT_EQ(p.imports[0].path, "lib/math");
  EXPECT_EQ(p.imports[0].span, (Span{0, src.find(';') + 1, 1, 1}));
  EXPECT_TRUE(p.imports[1].names.empty());
  EXPECT_EQ(p.imports[1].span.line, 2u);
  EXPECT_EQ(p.imports[1].path, "x");
  // A malformed import ends the list where it began; the program keyword is
  // then looked for there.
  for (const char* bad : {"import { a } \"x\"; program p { }", "import { a } from x; program p { }",
                          "import { a, } from \"x\"; program p { }", "import { a } from \"x\" program p { }"}) {
    EXPECT_EQ(trail_of(failure_of(bad)), (std::vector<std::string>{"Tag@0", "'program' keyword@0"})) << bad;
  }
  std::string second = "import {} from \"x\";  oops";
  EXPECT_EQ(trail_of(failure_of(second)),
            (std::vector<std::string>{"Tag@" + std::to_string(second.find("oops")),
                                      "'program' keyword@" + std::to_string(second.find(';') + 1)}));
}

TEST(ModuleTest, BareModuleAndItems) {
  Program p = parsed("module m { const N: int = 3; fn f(x: int) -> int { return x; } }");
  EXPECT_EQ(p.name, "m");
  ASSERT_EQ(p.modules.size(), 1u);
  EXPECT_TRUE(p.definitions.empty());
  const Module& m = p.modules[0];
  ASSERT_EQ(m.constants.size(), 1u);
  EXPECT_EQ(m.constants[0].name, "N");
  EXPECT_EQ(render(m.constants[0].type), "Int");
  EXPECT_EQ(sexpr(m.constants[0].value), "3");
  ASSERT_EQ(m.functions.size(), 1u);
  EXPECT_EQ(m.functions[0].name, "f");
  EXPECT_FALSE(m.capabilities.has_value());

  Program mixed = parsed(
      "import {q} from \"q\"; module m { fn a() { } const K: int = 1; struct P { x: int y: float, } "
      "enum Color { Red, Green Blue } export fn b() { } export block c() { } } trailing");
  const Module& mm = mixed.modules.at(0);
  EXPECT_EQ(mixed.imports.size(), 1u);
  ASSERT_EQ(mm.functions.size(), 3u);
  EXPECT_EQ(mm.functions[0].name, "a");
  EXPECT_EQ(mm.functions[1].name, "b");
  EXPECT_EQ(mm.constants.at(0).name, "K");
  ASSERT_EQ(mm.structs.size(), 1u);
  ASSERT_EQ(mm.structs[0].fields.size(), 2u);
  EXPECT_EQ(mm.structs[0].fields[1].first, "y");
  EXPECT_EQ(render(mm.structs[0].fields[1].second), "Float");
  EXPECT_EQ(mm.enums.at(0).variants, (std::vector<std::string>{"Red", "Green", "Blue"}));
  EXPECT_EQ(mm.exports, (std::vector<std::string>{"b", "c"}));

  Program caps = parsed("module m { capability: net, fs fn f() { } }");
  EXPECT_EQ(caps.modules[0].capabilities, (std::optional<std::vector<std::string>>{{"net", "fs"}}));
  EXPECT_EQ(caps.modules[0].functions.size(), 1u);
  Program in_program = parsed("program p { module m { capability : x } fn main() { } }");
  EXPECT_EQ(in_program.modules[0].capabilities->size(), 1u);
}

TEST(ModuleTest, Labels) {
  EXPECT_EQ(labels("module m { capability net }"), (Labels{"'}' to close module"}));
  EXPECT_EQ(failure_of("module m { capability: }").kind, FailureKind::Hard);
  EXPECT_EQ(labels("module { }"), (Labels{"module name"}));
  EXPECT_EQ(labels("module m x"), (Labels{"'{' to start module"}));
  EXPECT_EQ(labels("program p { module m { fn } }"), (Labels{"function name", "function definition"}));
  EXPECT_EQ(labels("module m { let x = 1; }"), (Labels{"'}' to close module"}));
  EXPECT_EQ(labels("module m { const N int = 3; }"), (Labels{"':' after constant name"}));
  EXPECT_EQ(labels("module m { const = 3; }"), (Labels{"constant name"}));
  EXPECT_EQ(labels("module m { const N: = 3; }"), (Labels{"constant type"}));
  EXPECT_EQ(labels("module m { const N: int 3; }"), (Labels{"'=' after constant type"}));
  EXPECT_EQ(labels("module m { const N: int = ; }"), (Labels{"constant value"}));
  EXPECT_EQ(labels("module m { const N: int = 3 }"), (Labels{"';' after constant value"}));
  EXPECT_EQ(labels("module m { struct { } }"), (Labels{"struct name"}));
  EXPECT_EQ(labels("module m { struct S x: int } }"), (Labels{"'{' to start struct fields"}));
  EXPECT_EQ(labels("module m { struct S { x int } }"), (Labels{"'}' to close struct fields"}));
  EXPECT_EQ(labels("module m { enum { } }"), (Labels{"enum name"}));
  EXPECT_EQ(labels("module m { enum E A } }"), (Labels{"'{' to start enum variants"}));
  EXPECT_EQ(labels("module m { enum E { A, 1 } }"), (Labels{"'}' to close enum variants"}));
}

TEST(DefinitionTest, AttributesExportsAndBlocks) {
  Program p = parsed(
      "program p { @scale(4) fn main() { } #[substrate(quantum_sim)] fn k() { } #[inline] fn i() { } "
      "@ max_depth ( 10, x ) #[ no_mangle ] fn j() { } export fn e() { } block setup() { let x = 1; } "
      "@substrate(cpu) block b() { } }");
  ASSERT_EQ(p.definitions.size(), 7u);
  EXPECT_EQ(p.definitions[0].attributes, (std::vector<std::string>{"scale(4)"}));
  EXPECT_EQ(p.definitions[1].attributes, (std::vector<std::string>{"substrate(quantum_sim)"}));
  EXPECT_EQ(p.definitions[2].attributes, (std::vector<std::string>{"inline"}));
  EXPECT_EQ(p.definitions[3].attributes, (std::vector<std::string>{"max_depth( 10, x )", "no_mangle"}));
  EXPECT_EQ(p.definitions[4].name, "e");
  EXPECT_TRUE(p.definitions[4].attributes.empty());
  const FunctionDef& setup = p.definitions[5];
  EXPECT_EQ(setup.name, "setup");
  EXPECT_FALSE(setup.name_span.has_value());
  EXPECT_TRUE(setup.params.empty());
  EXPECT_FALSE(setup.return_type.has_value());
  EXPECT_EQ(setup.body.size(), 1u);
  // Attributes written before a block stay with it.
  EXPECT_EQ(p.definitions[6].attributes, (std::vector<std::string>{"substrate(cpu)"}));

  // `@name` needs its parentheses; a block needs its empty pair.
  EXPECT_EQ(labels("program p { @inline fn k() { } }"), (Labels{"'}' to close program"}));
  EXPECT_EQ(labels("program p { block setup { } }"), (Labels{"'}' to close program"}));
  EXPECT_EQ(labels("program p { @scale(4 fn k() { } }"), (Labels{"'}' to close program"}));
}

}  // namespace
}  // namespace quarn::compiler
