// The compile driver end to end: stage prefixes, the bytes it produces
// (decoded again and checked field by field), the content hash, determinism,
// and the arity message of every builtin.
#include "quarn_compiler/compile.h"

#include "quarn_compiler/lower/builtins.h"
#include "quarn_compiler/source_generator.h"
#include "quarn_core/disassemble.h"
#include "quarn_core/quarn_crate/decode.h"
#include "quarn_core/quarn_crate/encode.h"

#include <blake3.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <fstream>
#include <sstream>
#include <string>

namespace quarn::compiler {
namespace {

core::CompiledProgram compile_and_decode(std::string_view source) {
  CompileOutcome outcome = compile_program_text(source);
  if (!outcome.ok()) {
    ADD_FAILURE() << outcome.error().message;
    return {};
  }
  auto decoded = core::decode_program(std::span<const std::uint8_t>(outcome.value()));
  if (!decoded.ok()) {
    ADD_FAILURE() << decoded.error().message;
    return {};
  }
  return std::move(decoded).value();
}

std::string compile_error(std::string_view source) {
  CompileOutcome outcome = compile_program_text(source);
  return outcome.ok() ? "compiled" : outcome.error().message;
}

TEST(CompileDriver, StagePrefixes) {
  EXPECT_EQ(compile_error(""),
            "Parse error: E_PARSE_ERROR: 0: in Tag, got empty input\n\n"
            "1: in 'program' keyword, got empty input\n\n");
  EXPECT_EQ(compile_error("program p { fn main() { x = 1; } }"),
            "Lowering error: E_VALIDATION_FAIL: Undefined: x");
  EXPECT_EQ(compile_error("program p { @scale(2) fn worker() { } @scale(size=2) fn w() { } }"),
            "Lowering error: E_VALIDATION_FAIL: @scale on 'w' not supported. Only main() can use "
            "@scale in MVP (flat execution model).");
}

// The stage and the innermost position travel as fields beside the text.
// Expected positions are counted from the sources written here.
CompileError failure_of(std::string_view source) {
  CompileOutcome outcome = compile_program_text(source);
  if (outcome.ok()) {
    ADD_FAILURE() << "compiled: " << source.substr(0, 200);
    return {};
  }
  return std::move(outcome).error();
}

TEST(CompileDriver, ErrorPositionsAreFields) {
  // The trail's first entry: the expected ';' at the '}' of line 4, column 3.
  const std::string missing_semicolon = "program p {\n  fn main() {\n    let x = 1\n  }\n}\n";
  CompileError e = failure_of(missing_semicolon);
  EXPECT_EQ(e.stage, CompileStage::Parse);
  ASSERT_TRUE(e.position.has_value());
  EXPECT_EQ(*e.position, (SourcePosition{4, 3, missing_semicolon.find("}\n}")}));

  // Columns count characters, offsets bytes: the line holds "é" (two bytes)
  // before the '$', which stands after 26 characters of its line (27 bytes).
  const std::string multibyte = "program p {\n  fn main() { let s = \"\xC3\xA9\" $ 1; }\n}";
  e = failure_of(multibyte);
  EXPECT_NE(e.message.find("found $"), std::string::npos) << e.message;
  ASSERT_TRUE(e.position.has_value());
  EXPECT_EQ(*e.position, (SourcePosition{2, 27, 12 + 27}));

  // A line far longer than any text shown: the column is still exact. The
  // 33 characters of the head, the blanks, then the '}' where ';' was due.
  const std::string head = "program p { fn main() { let x = 1";
  ASSERT_EQ(head.size(), 33u);
  const std::size_t blanks = 70000;
  e = failure_of(head + std::string(blanks, ' ') + "}");
  ASSERT_TRUE(e.position.has_value());
  EXPECT_EQ(*e.position, (SourcePosition{1, 33 + blanks + 1, 33 + blanks}));

  // An empty text names no place.
  e = failure_of("");
  EXPECT_EQ(e.stage, CompileStage::Parse);
  EXPECT_FALSE(e.position.has_value());
}

// The place of a lowering error whose message quotes no node: where the
// lowering was when it failed, the innermost node with a place of its own.
TEST(CompileDriver, LoweringErrorsPointWhereTheyArose) {
  auto expect_at = [](const std::string& source, std::string_view at, std::uint32_t line,
                      std::string_view message) {
    const CompileError e = failure_of(source);
    EXPECT_EQ(e.stage, CompileStage::Lowering) << source;
    EXPECT_NE(e.message.find(message), std::string::npos) << e.message;
    const std::size_t offset = source.find(at);
    const std::size_t line_start = source.rfind('\n', offset) + 1;  // npos + 1 is 0
    ASSERT_TRUE(e.position.has_value()) << source;
    EXPECT_EQ(*e.position, (SourcePosition{line, static_cast<std::uint32_t>(offset - line_start + 1), offset}))
        << source;
  };
  // A name deep in an expression, and an assignment's target. A right
  // operand's place starts right after its operator, with the blank.
  expect_at("program p {\n fn main() {\n  let y = 1 + (2 * zz);\n }\n}", " zz", 3, "Undefined: zz");
  expect_at("program p { fn main() { x = 1; } }", "x = 1", 1, "Undefined: x");
  // The object of an index has no place of its own: the indexing has.
  expect_at("program p { fn main() { let y = 2 + q[1]; } }", " q[1]", 1, "Undefined: q");
  // A builtin called with the wrong count, inside a nested block.
  expect_at("program p { fn main() {\n if true {\n  print_str(1, 2);\n } } }", "print_str(1, 2)", 3,
            "print_str");
  // A module constant's value, which has no place itself.
  expect_at("program p { module m { const C: int = 1 + zz; } }", " zz", 1, "Undefined: zz");
  // The @scale check names the function.
  expect_at("program p { @scale(size=4) fn worker() { } fn main() { } }", "worker", 1, "@scale on 'worker'");

  // Line feeds and two- and three-byte characters before the place, at every
  // place within the eight-byte words that the parser counts at a time.
  for (std::size_t shift = 0; shift < 24; ++shift) {
    std::string text = "program p {\n  fn main() {" + std::string(shift, ' ') + "//\n";
    for (std::size_t k = 0; k < shift % 7; ++k) text += "// \xC3\xA9" + std::string(k, ' ') + "\xC3\xA9\n";
    text += "\n" + std::string(shift % 9, ' ') + "let s = \"";
    for (std::size_t k = 0; k < shift % 4; ++k) text += "\xE2\x86\x92";
    text += "\"; let y = 2 + zz; }\n}";
    const std::size_t at = text.find(" zz");
    const std::size_t line_start = text.rfind('\n', at) + 1;
    std::uint64_t characters = 0;
    for (std::size_t i = line_start; i < at; ++i) characters += (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
    const auto line = 1 + static_cast<std::uint64_t>(std::count(text.begin(), text.begin() + at, '\n'));
    const CompileError e = failure_of(text);
    EXPECT_NE(e.message.find("Undefined: zz"), std::string::npos) << e.message;
    ASSERT_TRUE(e.position.has_value()) << shift;
    EXPECT_EQ(*e.position, (SourcePosition{line, characters + 1, at})) << shift;
  }
}

TEST(CompileDriver, LoweringErrorsPointAtTheNodeTheyQuote) {
  // The cast is refused whole; its operand (x + 1) has no place of its own,
  // so the first placed node quoted is x: line 4, after "    let y = (".
  const std::string cast_of_sum =
      "program p {\n  fn main() {\n    let x = 2;\n    let y = (x + 1) as int;\n  }\n}";
  CompileError e = failure_of(cast_of_sum);
  EXPECT_EQ(e.stage, CompileStage::Lowering);
  EXPECT_TRUE(e.message.starts_with("Lowering error: E_VALIDATION_FAIL: Unsupported expression type: "));
  ASSERT_TRUE(e.position.has_value());
  EXPECT_EQ(*e.position, (SourcePosition{4, 14, cast_of_sum.find("x + 1")}));

  // After a two-byte character on the same line the column is one less than
  // the byte distance from the line start.
  const std::string after_multibyte =
      "program p {\n fn main() { let s = \"\xC3\xA9\"; let y = (s + 1) as int; }\n}";
  e = failure_of(after_multibyte);
  ASSERT_TRUE(e.position.has_value());
  const std::size_t s_at = after_multibyte.find("s + 1");
  const std::size_t line_start = after_multibyte.find('\n') + 1;
  EXPECT_EQ(*e.position, (SourcePosition{2, s_at - line_start, s_at}));

  // A string that looks like a quoted node is text, not a place: a cast of
  // it quotes no placed node, so the error points at its statement.
  const std::string quoted = "program p { fn main() {\n let y = \"Span { start: 1, end: 2, line: 9, col: 9 }\" as int; } }";
  e = failure_of(quoted);
  EXPECT_EQ(e.stage, CompileStage::Lowering);
  ASSERT_TRUE(e.position.has_value());
  EXPECT_EQ(*e.position, (SourcePosition{2, 2, quoted.find("let y")}));
}

TEST(CompileDriver, EmptyProgramBytes) {
  CompileOutcome outcome = compile_program_text("program p { }");
  ASSERT_TRUE(outcome.ok());
  const std::vector<std::uint8_t>& bytes = outcome.value();
  ASSERT_GE(bytes.size(), 42u);
  EXPECT_EQ(bytes[0], 1);
  // Hash of the empty instruction list: BLAKE3 of its eight-byte count.
  std::uint8_t expected[32];
  const std::uint8_t zeros[8] = {};
  blake3_hasher h;
  blake3_hasher_init(&h);
  blake3_hasher_update(&h, zeros, 8);
  blake3_hasher_finalize(&h, expected, 32);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 9, bytes.begin() + 41),
            std::vector<std::uint8_t>(expected, expected + 32));
  EXPECT_EQ(bytes[41], 1) << "metadata is always present";
  // Text after the program block is never looked at.
  CompileOutcome trailing = compile_program_text("program p { } anything at all");
  ASSERT_TRUE(trailing.ok());
  EXPECT_EQ(trailing.value(), bytes);
}

constexpr std::string_view kRichProgram = R"(program rich {
  module geo {
    #[no_mangle] fn area(w: int, h: float) -> float { return w * h; }
    #[no_mangle] fn name(s: string) -> string { return s; }
  }
  #[no_mangle]
  fn helper(a: [int], b: [[bool]], c: Vec3, d: *int) { }
  @scale(size=2^4)
  fn main(n: int) {
    let i = 0;
    loop (i < n, 10) {
      barrier("inner");
      if i > 2 { break; }
      i = i + 1;
    }
    barrier;
    switch i { _ => { barrier; } }
    return i;
  }
  #[no_mangle] fn area(x: bool) { }
})";

TEST(CompileMetadata, EveryFieldOfARichProgram) {
  core::CompiledProgram program = compile_and_decode(kRichProgram);
  ASSERT_TRUE(program.metadata.has_value());
  const core::ProgramMetadata& meta = *program.metadata;
  EXPECT_EQ(meta.source_name, "rich.vekl");
  EXPECT_EQ(meta.description, std::nullopt);
  EXPECT_EQ(meta.compiler_version, "0.1.0");

  // Every register is numbered below the count, and the count is used.
  ASSERT_TRUE(meta.register_count.has_value());
  const std::string listing = core::disassemble(program.instructions);
  EXPECT_NE(listing.find("r" + std::to_string(*meta.register_count - 1) + ","), std::string::npos);
  EXPECT_EQ(listing.find("r" + std::to_string(*meta.register_count) + ","), std::string::npos);

  using T = core::BytecodeType;
  // Plain names; the module's "area" replaces the top-level one (modules
  // come later).
  EXPECT_EQ(meta.param_types.size(), 4u);
  EXPECT_EQ(meta.param_types.at("area"), (std::vector<T>{T::Int(), T::Float()}));
  EXPECT_EQ(meta.param_types.at("helper"),
            (std::vector<T>{T::array_of(T::Int()), T::array_of(T::array_of(T::Bool())), T::Int(),
                            T::Int()}));
  EXPECT_EQ(meta.param_types.at("main"), std::vector<T>{T::Int()});
  EXPECT_EQ(meta.param_types.at("name"), std::vector<T>{T::Int()});

  // "export" is a reserved word, so no attribute can spell it: only
  // no_mangle reaches this map.
  ASSERT_EQ(meta.exports.size(), 3u);
  EXPECT_EQ(meta.exports.at("helper"),
            (core::ExportEntry{1, 0, meta.param_types.at("helper"), T::Int()}));
  EXPECT_EQ(meta.exports.at("area"), (core::ExportEntry{1, 0, {T::Int(), T::Float()}, T::Float()}));
  EXPECT_EQ(meta.exports.at("name"), (core::ExportEntry{1, 0, {T::Int()}, T::Int()}));

  // Barriers in loop bodies and if branches count, those in switch arms not.
  ASSERT_EQ(meta.swarm.size(), 1u);
  EXPECT_EQ(meta.swarm.at("main"), (core::SwarmEntry{1, 16, "quantum_sim", 2}));

  // The source map: statement instructions only, in order, with line and
  // column of the statement.
  std::vector<std::string> mapped;
  for (const core::SourceMapEntry& e : meta.source_map) {
    mapped.push_back(std::string(core::opcode_name(core::opcode_of(program.instructions.at(e.index)))) +
                     "@" + std::to_string(e.line) + ":" + std::to_string(e.col));
  }
  EXPECT_EQ(mapped, (std::vector<std::string>{
                        "Return@3:55", "Return@4:49", "Loop@11:5", "Barrier@12:7", "JumpIf@13:7",
                        "Break@13:18", "Move@14:7", "Barrier@16:5", "Barrier@17:23",
                        "Return@18:5"}))
      << "listing:\n" << listing;
}

// The function maps are made from all functions at once, sorted by a
// prefix of each name: names that agree in their first eight bytes, or
// differ only past them, or repeat, still get the last function's types,
// and a linkage survives a later function of the same name without one.
TEST(CompileMetadata, LastFunctionOfANameWinsAmongSharedPrefixes) {
  core::CompiledProgram program = compile_and_decode(
      "program p { fn abcdefghz(a: int) { } fn abcdefgh(a: bool) { } fn abcdefghb(a: float) { }"
      " #[no_mangle] fn abcdefgh(a: int, b: int) { } fn abcdefgh(a: float) { }"
      " fn abcdefg() { } fn b() { } fn a1() { } fn abcdefghz() { } }");
  ASSERT_TRUE(program.metadata.has_value());
  const core::ProgramMetadata& meta = *program.metadata;
  using T = core::BytecodeType;
  const std::map<std::string, std::vector<T>> expected = {
      {"a1", {}},          {"abcdefg", {}},          {"abcdefgh", {T::Float()}},
      {"abcdefghb", {T::Float()}}, {"abcdefghz", {}}, {"b", {}}};
  EXPECT_EQ(meta.param_types, expected);
  ASSERT_EQ(meta.exports.size(), 1u);
  EXPECT_EQ(meta.exports.at("abcdefgh"), (core::ExportEntry{1, 0, {T::Int(), T::Int()}, T::Int()}));
}

TEST(CompileMetadata, ContentHashCoversTheInstructionListAlone) {
  CompileOutcome outcome = compile_program_text(kRichProgram);
  ASSERT_TRUE(outcome.ok());
  const std::vector<std::uint8_t>& bytes = outcome.value();
  core::CompiledProgram program = compile_and_decode(kRichProgram);
  const core::Bytes list = core::encode_instructions(program.instructions);
  // The list's bytes stand right after the version byte, then the hash.
  ASSERT_GT(bytes.size(), 1 + list.size() + 32);
  EXPECT_TRUE(std::equal(list.begin(), list.end(), bytes.begin() + 1));
  std::uint8_t expected[32];
  blake3_hasher h;
  blake3_hasher_init(&h);
  blake3_hasher_update(&h, list.data(), list.size());
  blake3_hasher_finalize(&h, expected, 32);
  EXPECT_TRUE(std::equal(expected, expected + 32, bytes.begin() + 1 + list.size()));
  EXPECT_TRUE(std::equal(expected, expected + 32, program.content_hash.begin()));
}

// The driver hands the encoder its parameter types as a flat table in name
// order; the bytes must be those of the metadata holding the same map, for
// no names, one, shared prefixes, nested array types and empty lists. A
// table given beside a filled map is a fault.
TEST(CompileMetadata, ParameterTypeTableEncodesAsTheMap) {
  using core::BytecodeType;
  const std::vector<std::map<std::string, std::vector<BytecodeType>>> maps = {
      {},
      {{"main", {}}},
      {{"a", {BytecodeType::Int()}},
       {"abcdefgh", {BytecodeType::Float(), BytecodeType::nested(core::TypeKind::Bool, 3)}},
       {"abcdefghi", {}},
       {"b", {BytecodeType::Int(), BytecodeType::Int(), BytecodeType::Int()}}},
  };
  for (const auto& map : maps) {
    core::ProgramMetadata with_map;
    with_map.source_name = "p.vekl";
    with_map.register_count = 3;
    with_map.source_map = {{0, 1, 2}};
    with_map.param_types = map;
    core::ProgramMetadata without = with_map;
    without.param_types.clear();
    core::ParamTypeTable table;
    for (const auto& [name, types] : map) {
      table.names.push_back(name);
      table.types.insert(table.types.end(), types.begin(), types.end());
      table.ends.push_back(table.types.size());
    }
    core::Bytes from_map, from_table;
    core::ProgramEncoder by_map(from_map), by_table(from_table);
    ASSERT_TRUE(by_map.finish(with_map).ok());
    ASSERT_TRUE(by_table.finish(without, &table).ok());
    EXPECT_EQ(from_table, from_map) << map.size() << " entries";
  }
  core::Bytes out;
  core::ProgramEncoder encoder(out);
  core::ProgramMetadata filled;
  filled.param_types = {{"f", {}}};
  const core::ParamTypeTable table{{"f"}, {0}, {}};
  EXPECT_THROW((void)encoder.finish(filled, &table), std::exception);
}

TEST(CompileDriver, SameSourceSameBytes) {
  CompileOutcome a = compile_program_text(kRichProgram);
  CompileOutcome b = compile_program_text(kRichProgram);
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(a.value(), b.value());
}

// Over the fuzzing seed programs: no placeholder survives, branches stay
// inside the list, and every FuncDef follows its body's closing
// `LoadConst Null; Return`, its entry pointing back into the list.
TEST(CompileDriver, InvariantsOverTheSeedPrograms) {
  const std::filesystem::path seeds =
      std::filesystem::path(__FILE__).parent_path().parent_path() / "fuzz/corpus/fuzz_compile";
  int compiled = 0;
  for (const auto& entry : std::filesystem::directory_iterator(seeds)) {
    std::ifstream in(entry.path());
    std::stringstream text;
    text << in.rdbuf();
    CompileOutcome outcome = compile_program_text(text.str());
    if (!outcome.ok()) continue;
    ++compiled;
    auto decoded = core::decode_program(std::span<const std::uint8_t>(outcome.value()));
    ASSERT_TRUE(decoded.ok()) << entry.path();
    const std::vector<core::Instruction>& code = decoded.value().instructions;
    for (std::size_t i = 0; i < code.size(); ++i) {
      EXPECT_FALSE(std::holds_alternative<core::Nop>(code[i])) << entry.path() << " at " << i;
      if (const auto* f = std::get_if<core::FuncDef>(&code[i])) {
        ASSERT_GE(i, 2u);
        EXPECT_LT(f->entry, i);
        const auto* null = std::get_if<core::LoadConst>(&code[i - 2]);
        const auto* ret = std::get_if<core::Return>(&code[i - 1]);
        ASSERT_TRUE(null && ret) << entry.path() << " at " << i;
        EXPECT_EQ(null->value, core::Value::Null());
        EXPECT_EQ(ret->src, null->dst);
      }
    }
  }
  EXPECT_GE(compiled, 8);
}

// The driver lowers each definition while the parser is still reading; that
// must give exactly what lowering the finished tree gives, bytes and errors
// alike, including where a later item changes an earlier one's output.
std::string outcome_text(const CompileOutcome& outcome) {
  return outcome.ok() ? std::string(outcome.value().begin(), outcome.value().end())
                      : outcome.error().message;
}

std::string whole_tree_outcome(std::string_view source) {
  return outcome_text(compile_program_tree(source));
}

std::string driver_outcome(std::string_view source) {
  return outcome_text(compile_program_text(source));
}

TEST(CompileDriver, ReadingAndLoweringTogetherEqualsLoweringTheTree) {
  const std::vector<std::string> sources = {
      // A call before its callee, whose pragma reaches the call.
      "program p { fn main() { f(); } #[max_depth(7)] fn f() { } }",
      // A later function of the same name resets an earlier pragma, and a
      // module function's wins over both.
      "program p { #[max_depth(7)] fn g() { } fn main() { g(); h(); } fn g() { }"
      " #[max_depth(5)] fn h() { } }",
      "program p { module m { fn h() { } } #[max_depth(5)] fn h() { } fn main() { h(); } }",
      // The first lowering error is the one reported...
      "program p { fn a() { x = 1; } fn b() { y = 2; } }",
      // ...and a module's error comes before any definition's.
      "program p { module m { const C: int = q; } fn a() { x = 1; } }",
      // A parse failure after a definition that fails to lower.
      "program p { fn a() { x = 1; } fn b( }",
      // @scale decisions from both kinds of function, in the message's order.
      "program p { module m { @scale(size=4) fn w() { } } @scale(size=2) fn v() { } }",
      "program p { @scale(size=8) fn main() { barrier; } }",
      // A bare module, which is never handed over piece by piece.
      "module m { #[max_depth(3)] fn f() { f(); } }",
      // Metadata of same-named functions: the module's entry wins.
      "program p { module m { #[no_mangle] fn f(a: float) { } } fn f(a: int) -> bool { } }",
      // Branches patched after many later ones, in a loop and across
      // switches nested in it.
      "program p { fn main(x: int) { while x { if x { } if x && x || x { } else { x = 1; }"
      " switch x { 1 => { if x { } } 2 | 3 => { while x { break; } } _ => { } } } } }",
      // Names of calls and definitions, short and long, read back when
      // their max_depth is settled after every function was seen.
      "program p { fn main() { a_name_longer_than_sixteen(); b(); a_name_longer_than_sixteen(); }"
      " #[max_depth(4)] fn a_name_longer_than_sixteen() { } #[max_depth(6)] fn b() { b(); } }",
      // Lowering errors inside nested switches, arrays and calls leave
      // nothing behind that the next function would see.
      "program p { fn a(x: int) { switch x { 1 => { switch x { 2 => { f([1, {k: g(q)}]); } } } } }"
      " fn b() { } }",
  };
  for (const std::string& source : sources) {
    EXPECT_EQ(driver_outcome(source), whole_tree_outcome(source)) << source;
  }
  const std::filesystem::path seeds =
      std::filesystem::path(__FILE__).parent_path().parent_path() / "fuzz/corpus/fuzz_compile";
  for (const auto& entry : std::filesystem::directory_iterator(seeds)) {
    std::ifstream in(entry.path());
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(driver_outcome(text.str()), whole_tree_outcome(text.str())) << entry.path();
  }
}

// Every instruction the driver writes as bytes without building it first,
// nested in each other, against the same program lowered to a list and
// encoded whole: calls inside arrays inside objects inside calls, runtime
// calls, format, typed allocations, pop and shift, prints, contracts, long
// names and texts, enum variants and field reads and writes.
TEST(CompileDriver, InstructionsWrittenInPlaceEqualTheEncodedList) {
  const std::string long_name = "a_function_name_longer_than_any_inline_string";
  const std::vector<std::string> bodies = {
      "let o = {a: {b: 1, c: [1, {d: 2, e: \"x\"}]}, f: g(1, [2, 3], {h: 4}), i: 5};",
      "let a: [[int]] = [[1], [2, 3]]; let b: [float] = alloc_array(3); let c = alloc_array(2);",
      "let s = format(\"{} {}\", 1, [2]); let t = format(\"x\"); print(); print(1, s);"
      " print_str(\"y\");",
      "let a = [1]; let p = pop(a); let q = shift([a, pop(a)]); let r = push(a, 1);",
      "let f = fopen(\"p\", \"r\"); sdl_init(); sdl_delay(1, 2, 3); let n = str(1);",
      "let c = {3: {@2: 1, @0: {k: 2}, @1: [3]}}; let d = tensor_add(c, c);",
      "let x = " + long_name + "(1, 2); let y = " + long_name + "();",
      "let z = \"" + std::string(300, 'q') + "\"; let w = z.length; z.field = {k: z};",
      "let v = Color.Blue; let u = [Color.Red, v]; let e = 1.5 * -0.0; let b = !true;",
      "let k = 0; switch k { 0 | 1 => { k = sqrt(k) + pow(k, 2); } _ => { k = abs(k); } }",
  };
  for (const std::string& body : bodies) {
    const std::string source = "program p { module m { enum Color { Red, Blue } }"
                               " #[max_depth(9)] fn " + long_name + "(a: int, b: int) { }"
                               " fn g(a: int, b: int, c: int) { } fn main() { " + body + " } }";
    const CompileOutcome outcome = compile_program_text(source);
    ASSERT_TRUE(outcome.ok()) << body << ": " << outcome.error().message;
    EXPECT_EQ(outcome_text(outcome), whole_tree_outcome(source)) << body;
  }
}

// Generated programs of every form, nested and chained: each compiles, to
// the same bytes by both routes, and compiling it twice gives the same bytes.
TEST(CompileDriver, GeneratedProgramsCompileAlikeByBothRoutes) {
  for (std::uint64_t seed = 1; seed <= 300; ++seed) {
    testing::SplitMix choices(seed);
    const std::string source = testing::generate_program(choices);
    const CompileOutcome outcome = compile_program_text(source);
    ASSERT_TRUE(outcome.ok()) << "seed " << seed << ": " << outcome.error().message.substr(0, 300) << " ... " << outcome.error().message.substr(outcome.error().message.size() > 1500 ? outcome.error().message.size() - 1500 : 0);
    EXPECT_EQ(outcome_text(outcome), whole_tree_outcome(source)) << "seed " << seed;
    EXPECT_EQ(outcome_text(outcome), driver_outcome(source)) << "seed " << seed;
  }
}

// One output buffer kept from call to call, as the Python binding keeps one
// per thread: what it held before never shows, whether the earlier compile
// was larger, smaller, or failed halfway through its encoding.
TEST(CompileDriver, KeptOutputBufferGivesTheSameBytes) {
  std::vector<std::uint8_t> out;
  const std::string failing_late = "program p { fn a() { } fn b() { } fn c() { x = 1; } }";
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    testing::SplitMix choices(seed * 7919);
    const std::string source = testing::generate_program(choices);
    const auto done = compile_program_into(source, out);
    ASSERT_TRUE(done.ok()) << "seed " << seed << ": " << done.error().message.substr(0, 300);
    EXPECT_EQ(std::string(out.begin(), out.end()), whole_tree_outcome(source)) << "seed " << seed;
    const auto failed = compile_program_into(seed % 2 ? failing_late : "program p {", out);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().message, whole_tree_outcome(seed % 2 ? failing_late : "program p {"));
  }
}

TEST(CompileDriver, GeneratorIsAFunctionOfItsChoices) {
  testing::SplitMix a(7), b(7), c(8);
  const std::string first = testing::generate_program(a);
  EXPECT_EQ(first, testing::generate_program(b));
  EXPECT_NE(first, testing::generate_program(c));
  // Fuzz bytes that run out pick the smallest forms, and generation ends,
  // also where the last answers asked for one more else-if or pattern.
  const std::vector<std::vector<std::uint8_t>> inputs = {
      {}, {1, 2, 3}, {4, 0, 2, 0x65, 0, 0, 0, 0x3d, 2, 0x65}};
  for (const auto& bytes : inputs) {
    testing::FuzzChoices few(bytes.data(), bytes.size());
    EXPECT_TRUE(compile_program_text(testing::generate_program(few)).ok());
  }
}

// Every row of the builtin table, under every one of its names: a wrong count
// gives the row's message; the right count lowers to the row's instruction.
TEST(Builtins, EveryRowChecksItsArity) {
  const std::string args[] = {"", "a", "a, a", "a, a, a", "a, a, a, a", "a, a, a, a, a"};
  for (const Builtin& b : kBuiltins) {
    for (const std::string_view& name : b.names) {
      if (name.empty()) continue;
      EXPECT_EQ(find_builtin(name), &b) << name;  // the lookup reaches this very row
      auto call = [&](int n) {
        return "program p { fn main(a: int) { " + std::string(name) + "(" + args[n] + "); } }";
      };
      if (b.arity.max != kAnyCount) {
        EXPECT_EQ(compile_error(call(b.arity.max + 1)),
                  "Lowering error: E_VALIDATION_FAIL: " + std::string(b.arity_message))
            << name;
      }
      if (b.arity.min > 0) {
        EXPECT_EQ(compile_error(call(b.arity.min - 1)),
                  "Lowering error: E_VALIDATION_FAIL: " + std::string(b.arity_message))
            << name;
      }
      for (int n = b.arity.min; n <= std::min<int>(b.arity.max, 5); ++n) {
        core::CompiledProgram program = compile_and_decode(call(n));
        bool found = false;
        for (const core::Instruction& insn : program.instructions) {
          if (core::opcode_of(insn) != b.opcode) continue;
          found = true;
          if (const auto* c = std::get_if<core::Call>(&insn)) {
            EXPECT_EQ(c->name, b.runtime_name);
            EXPECT_EQ(c->args.size(), static_cast<std::size_t>(n));
            EXPECT_EQ(c->max_depth, 1000u);
          }
        }
        // print() with no arguments is only the Null result.
        EXPECT_EQ(found, b.lowering != Lowering::Print || n > 0) << name << " with " << n << " arguments";
      }
    }
  }
}

// The Direct rows rely on their instruction taking dst and then exactly one
// register per argument.
TEST(Builtins, DirectRowsMatchTheirInstructionShape) {
  for (const Builtin& b : kBuiltins) {
    if (b.lowering != Lowering::Direct) continue;
    std::vector<core::Reg> regs(b.arity.min, 7);
    core::Instruction insn = make_register_instruction(b.opcode, 9, regs);
    std::vector<core::FieldKind> kinds;
    std::visit([&](const auto& v) {
      v.for_each_field_spec([&](core::FieldSpec field, const auto&) { kinds.push_back(field.kind); });
    }, insn);
    EXPECT_EQ(kinds, std::vector<core::FieldKind>(b.arity.min + 1, core::FieldKind::Reg)) << b.names[0];
  }
  EXPECT_EQ(find_builtin("blur"), find_builtin("gaussian_blur"));
  EXPECT_EQ(find_builtin("Sqrt"), nullptr);
  EXPECT_EQ(find_builtin("str_len")->arity_message, "strlen takes 1 argument");
  EXPECT_EQ(find_builtin("strlen")->runtime_name, "strlen");
}

}  // namespace
}  // namespace quarn::compiler
