// Programs and the exact instruction listings they lower to, and every
// message the lowering can give.
#include "quarn_compiler/lower/lower.h"

#include "quarn_compiler/veka/parse.h"
#include "quarn_core/disassemble.h"
#include "quarn_core/quarn_crate/decode.h"

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

namespace quarn::compiler {
namespace {

// The listing of a whole program, or "error: " and the lowering's message.
std::string listing(std::string_view source) {
  ParseResult parsed = parse_source(source);
  if (!parsed.ok()) return "parse failure:\n" + render_parse_error(source, parsed.error());
  auto lowered = lower_program(parsed.value());
  if (!lowered.ok()) return "error: " + lowered.error().message();
  return core::disassemble(lowered.value().instructions);
}

// The listing of `fn main(<params>) { <body> }` alone in a program.
std::string main_listing(std::string_view params, std::string_view body) {
  return listing("program p { fn main(" + std::string(params) + ") { " + std::string(body) +
                 " } }");
}

std::string main_error(std::string_view params, std::string_view body) {
  std::string out = main_listing(params, body);
  return out.starts_with("error: ") ? out.substr(7) : "no error, got:\n" + out;
}

TEST(LowerExpr, ArithmeticLetAndImplicitReturn) {
  EXPECT_EQ(main_listing("", "let x = 1 + 2;"),
            "0: LoadConst r0, Int(1)\n"
            "1: LoadConst r1, Int(2)\n"
            "2: Add r2, r0, r1\n"
            "3: Move r3, r2\n"
            "4: LoadConst r4, Null\n"
            "5: Return r4\n"
            "6: FuncDef \"main\", [], @0, 1000\n");
}

TEST(LowerExpr, OperatorsMapOneToOne) {
  EXPECT_EQ(main_listing("a: int, b: int",
                         "let x = a - b * a / b % a; let y = (a == b) != (a < b);"
                         "let z = a <= b >= (a > b); let w = a & b | a ^ b << a >> b;"
                         "let u = -a; let v = !a;"),
            "0: Mul r2, r1, r0\n"
            "1: Div r3, r2, r1\n"
            "2: Mod r4, r3, r0\n"
            "3: Sub r5, r0, r4\n"
            "4: Move r6, r5\n"
            "5: Eq r7, r0, r1\n"
            "6: Lt r8, r0, r1\n"
            "7: Ne r9, r7, r8\n"
            "8: Move r10, r9\n"
            "9: Le r11, r0, r1\n"
            "10: Gt r12, r0, r1\n"
            "11: Ge r13, r11, r12\n"
            "12: Move r14, r13\n"
            "13: BitAnd r15, r0, r1\n"
            "14: BitXor r16, r0, r1\n"  // xor binds tighter than the shifts
            "15: Shl r17, r16, r0\n"
            "16: Shr r18, r17, r1\n"
            "17: BitOr r19, r15, r18\n"
            "18: Move r20, r19\n"
            "19: Neg r21, r0\n"
            "20: Move r22, r21\n"
            "21: Not r23, r0\n"
            "22: Move r24, r23\n"
            "23: LoadConst r25, Null\n"
            "24: Return r25\n"
            "25: FuncDef \"main\", [r0, r1], @0, 1000\n");
}

TEST(LowerExpr, ShortCircuitLayouts) {
  // And: then goes on to b (k+3), else keeps false (k+1).
  EXPECT_EQ(main_listing("a: bool, b: bool", "let c = a && b;"),
            "0: JumpIf r0, @3, @1\n"
            "1: LoadConst r2, Bool(false)\n"
            "2: Jump @4\n"
            "3: Move r2, r1\n"
            "4: Move r3, r2\n"
            "5: LoadConst r4, Null\n"
            "6: Return r4\n"
            "7: FuncDef \"main\", [r0, r1], @0, 1000\n");
  // Or: then keeps true (k+1), else goes on to b (k+3).
  EXPECT_EQ(main_listing("a: bool, b: bool", "let c = a || 1 + 2;"),
            "0: JumpIf r0, @1, @3\n"
            "1: LoadConst r2, Bool(true)\n"
            "2: Jump @7\n"
            "3: LoadConst r3, Int(1)\n"
            "4: LoadConst r4, Int(2)\n"
            "5: Add r5, r3, r4\n"
            "6: Move r2, r5\n"
            "7: Move r6, r2\n"
            "8: LoadConst r7, Null\n"
            "9: Return r7\n"
            "10: FuncDef \"main\", [r0, r1], @0, 1000\n");
}

TEST(LowerExpr, LiteralsArraysObjectsContracts) {
  EXPECT_EQ(main_listing("", "let a = null; let b = true; let c = \"hi\\n\"; let d = - -0.0;"
                             "let e = 2.5;"),
            "0: LoadConst r0, Null\n"
            "1: Move r1, r0\n"
            "2: LoadConst r2, Bool(true)\n"
            "3: Move r3, r2\n"
            "4: LoadConst r4, String(\"hi\\n\")\n"
            "5: Move r5, r4\n"
            "6: LoadConst r6, Float(0.0)\n"  // negative zero is stored as zero
            "7: Neg r7, r6\n"
            "8: Move r8, r7\n"
            "9: LoadConst r9, Float(2.5)\n"
            "10: Move r10, r9\n"
            "11: LoadConst r11, Null\n"
            "12: Return r11\n"
            "13: FuncDef \"main\", [], @0, 1000\n");
  // The element type follows the let's annotation; only an array
  // annotation gives one, and unmappable element types give none.
  EXPECT_EQ(main_listing("", "let a: [int] = [1, 2]; let b = [1]; let c: [string] = [];"
                             "let d: [[float]] = []; let e: int = [];"),
            "0: LoadConst r0, Int(1)\n"
            "1: LoadConst r1, Int(2)\n"
            "2: ArrayCreate r2, [r0, r1], Int\n"
            "3: Move r3, r2\n"
            "4: LoadConst r4, Int(1)\n"
            "5: ArrayCreate r5, [r4], none\n"
            "6: Move r6, r5\n"
            "7: ArrayCreate r7, [], none\n"
            "8: Move r8, r7\n"
            "9: ArrayCreate r9, [], Array(Float)\n"
            "10: Move r10, r9\n"
            "11: ArrayCreate r11, [], none\n"
            "12: Move r12, r11\n"
            "13: LoadConst r13, Null\n"
            "14: Return r13\n"
            "15: FuncDef \"main\", [], @0, 1000\n");
  // Objects keep source order and duplicates; contracts sort by field index
  // and allocate their register before the values.
  EXPECT_EQ(main_listing("", "let o = {b: 1, 'a': 2, b: 3}; let c = {7: {@2: true, @0: \"z\", @1: null}};"),
            "0: LoadConst r0, Int(1)\n"
            "1: LoadConst r1, Int(2)\n"
            "2: LoadConst r2, Int(3)\n"
            "3: ObjectCreate r3, [\"b\", \"a\", \"b\"], [r0, r1, r2]\n"
            "4: Move r4, r3\n"
            "5: LoadConst r6, String(\"z\")\n"
            "6: LoadConst r7, Null\n"
            "7: LoadConst r8, Bool(true)\n"
            "8: ObjectCreate r5, [\"0\", \"1\", \"2\"], [r6, r7, r8]\n"
            "9: Move r9, r5\n"
            "10: LoadConst r10, Null\n"
            "11: Return r10\n"
            "12: FuncDef \"main\", [], @0, 1000\n");
}

TEST(LowerExpr, IndexFieldAndEnumVariants) {
  EXPECT_EQ(listing("program p { module m { enum Color { Red, Green } }"
                    " fn main(a: int) { let x = a[1]; let y = a.len; let z = Color.Green; } }"),
            "0: ModuleDef \"m\", [], [], [], []\n"
            "1: LoadConst r1, Int(1)\n"
            "2: IndexGet r2, r0, r1\n"
            "3: Move r3, r2\n"
            "4: LoadConst r4, String(\"len\")\n"
            "5: IndexGet r5, r0, r4\n"
            "6: Move r6, r5\n"
            "7: LoadConst r7, Int(1)\n"
            "8: Move r8, r7\n"
            "9: LoadConst r9, Null\n"
            "10: Return r9\n"
            "11: FuncDef \"main\", [r0], @1, 1000\n");
}

TEST(LowerExpr, BuiltinsOfEveryKind) {
  EXPECT_EQ(main_listing("a: int, b: int",
                         "sqrt(a); blur(a, b); format(a); format_string(a, b, a); read_line();"
                         "let arr: [bool] = alloc_array(a); pop(a); shift(b); print(); print(a, b);"
                         "print_str(a); fopen(a, b); tensor_add(a, b); sdl_init(); regex_replace(a, b, a);"),
            "0: Sqrt r2, r0\n"
            "1: GaussianBlur r3, r0, r1\n"
            "2: FormatString r4, r0, []\n"
            "3: FormatString r5, r0, [r1, r0]\n"
            "4: ReadLine r6\n"
            "5: AllocArray r7, r0, Bool\n"
            "6: Move r8, r7\n"
            "7: ArrPop r9, r10, r0\n"
            "8: ArrayCreate r11, [r9, r10], none\n"
            "9: ArrShift r12, r13, r1\n"
            "10: ArrayCreate r14, [r12, r13], none\n"
            "11: LoadConst r15, Null\n"
            "12: Print r0\n"
            "13: Print r1\n"
            "14: LoadConst r16, Null\n"
            "15: PrintStr r0\n"
            "16: LoadConst r17, Null\n"
            "17: Call r18, \"fopen\", [r0, r1], 1000\n"
            "18: Call r19, \"__vek_tensor_add\", [r0, r1], 1000\n"
            "19: Call r20, \"SDL_Init\", [], 1000\n"
            "20: RegexReplace r21, r0, r1, r0\n"
            "21: LoadConst r22, Null\n"
            "22: Return r22\n"
            "23: FuncDef \"main\", [r0, r1], @0, 1000\n");
}

TEST(LowerExpr, UserCallsCarryTheCalleesDepth) {
  EXPECT_EQ(listing("program p { #[max_depth(+7)] fn f(x: int) { return f(x); }"
                    " fn main() { f(1); g(); } }"),
            "0: Call r1, \"f\", [r0], 7\n"
            "1: Return r1\n"
            "2: LoadConst r2, Null\n"
            "3: Return r2\n"
            "4: FuncDef \"f\", [r0], @0, 7\n"
            "5: LoadConst r3, Int(1)\n"
            "6: Call r4, \"f\", [r3], 7\n"
            "7: Call r5, \"g\", [], 1000\n"
            "8: LoadConst r6, Null\n"
            "9: Return r6\n"
            "10: FuncDef \"main\", [], @5, 1000\n");
}

TEST(LowerStmt, IfElseAndIfAlone) {
  EXPECT_EQ(main_listing("c: bool", "if c { return 1; } else { return 2; } if c { }"),
            "0: JumpIf r0, @1, @4\n"
            "1: LoadConst r1, Int(1)\n"
            "2: Return r1\n"
            "3: Jump @6\n"
            "4: LoadConst r2, Int(2)\n"
            "5: Return r2\n"
            "6: JumpIf r0, @7, @8\n"
            "7: Jump @8\n"
            "8: LoadConst r3, Null\n"
            "9: Return r3\n"
            "10: FuncDef \"main\", [r0], @0, 1000\n");
}

TEST(LowerStmt, LoopWithBreakAndContinue) {
  EXPECT_EQ(main_listing("n: int", "let i = 0; loop (i < n, 5) { i = i + 1; if i > 2 { break; } continue; }"
                                   " loop (1, DEFAULT_MAX_ITER()) { }"),
            "0: LoadConst r1, Int(0)\n"
            "1: Move r2, r1\n"
            "2: Lt r3, r2, r0\n"
            "3: Loop r3, @2, @4, @14, 5\n"
            "4: LoadConst r4, Int(1)\n"
            "5: Add r5, r2, r4\n"
            "6: Move r2, r5\n"
            "7: LoadConst r6, Int(2)\n"
            "8: Gt r7, r2, r6\n"
            "9: JumpIf r7, @10, @12\n"
            "10: Break\n"
            "11: Jump @12\n"
            "12: Continue\n"
            "13: Jump @2\n"
            "14: LoadConst r8, Int(1)\n"
            "15: Loop r8, @14, @16, @17, 1000000\n"
            "16: Jump @14\n"
            "17: LoadConst r9, Null\n"
            "18: Return r9\n"
            "19: FuncDef \"main\", [r0], @0, 1000\n");
}

TEST(LowerStmt, SwitchArmsAndWildcard) {
  // The arm after "_" is never lowered, so its error is never reported.
  EXPECT_EQ(main_listing("v: int", "switch v { 1 | 2 => { print(v); } 3 => { } _ => { barrier; }"
                                   " 4 => { pow(1); } }"),
            "0: LoadConst r1, Int(1)\n"
            "1: Eq r2, r0, r1\n"
            "2: LoadConst r3, Int(2)\n"
            "3: Eq r4, r0, r3\n"
            "4: Or r5, r2, r4\n"
            "5: JumpIf r5, @6, @9\n"
            "6: Print r0\n"
            "7: LoadConst r6, Null\n"
            "8: Jump @14\n"
            "9: LoadConst r7, Int(3)\n"
            "10: Eq r8, r0, r7\n"
            "11: JumpIf r8, @12, @13\n"
            "12: Jump @14\n"
            "13: Barrier none\n"
            "14: LoadConst r9, Null\n"
            "15: Return r9\n"
            "16: FuncDef \"main\", [r0], @0, 1000\n");
  EXPECT_EQ(main_listing("v: int", "switch v { }"),
            "0: LoadConst r1, Null\n"
            "1: Return r1\n"
            "2: FuncDef \"main\", [r0], @0, 1000\n");
}

TEST(LowerStmt, AssignmentTargets) {
  EXPECT_EQ(main_listing("a: int", "let o = {k: 1}; o.k = 2; a[0] = 3; a += 1;"),
            "0: LoadConst r1, Int(1)\n"
            "1: ObjectCreate r2, [\"k\"], [r1]\n"
            "2: Move r3, r2\n"
            "3: LoadConst r4, Int(2)\n"
            "4: LoadConst r5, String(\"k\")\n"
            "5: IndexSet r3, r5, r4\n"
            "6: LoadConst r6, Int(3)\n"
            "7: LoadConst r7, Int(0)\n"
            "8: IndexSet r0, r7, r6\n"
            "9: LoadConst r8, Int(1)\n"
            "10: Add r9, r0, r8\n"
            "11: Move r0, r9\n"
            "12: LoadConst r10, Null\n"
            "13: Return r10\n"
            "14: FuncDef \"main\", [r0], @0, 1000\n");
}

TEST(LowerStmt, AsmBarrierAndLetRebinding) {
  EXPECT_EQ(main_listing("", "asm(\"mov %0, %1\" : \"r\"(r), \"m\"(m) : \"r\"(1) : \"memory\");"
                             "asm(\"nop\"); barrier(\"phase1\"); let x = 1; let x = x;"),
            "0: Asm r0, \"mov %0, %1\", \"=r,=m,r,~{memory}\", true\n"
            "1: Asm none, \"nop\", \"\", false\n"
            "2: Barrier \"phase1\"\n"
            "3: LoadConst r1, Int(1)\n"
            "4: Move r2, r1\n"
            "5: Move r3, r2\n"
            "6: LoadConst r4, Null\n"
            "7: Return r4\n"
            "8: FuncDef \"main\", [], @0, 1000\n");
}

// Names past the number a scope walks: the newest binding of a name wins
// before and after the scope is indexed, parameters stay visible, and a
// function's names are gone in the next function.
TEST(LowerStmt, ManyNamesInOneScope) {
  std::string body = "let v0 = a;";
  for (int k = 1; k < 40; ++k) {
    body += " let v" + std::to_string(k) + " = v" + std::to_string(k - 1) + ";";
  }
  // v_k lives in r(k+1); then v0 is rebound to r41.
  body += " let v0 = v39; let w = v0; let z = v5; let y = a; let v3 = 7; let u = v3;";
  const std::string out = main_listing("a: int", body);
  for (const std::string line :
       {"1: Move r2, r1\n", "39: Move r40, r39\n", "40: Move r41, r40\n", "41: Move r42, r41\n",
        "42: Move r43, r6\n", "43: Move r44, r0\n", "45: Move r46, r45\n", "46: Move r47, r46\n"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line << " in\n" << out;
  }
  std::string many = "program p { fn main() {";
  for (int k = 0; k < 40; ++k) many += " let v" + std::to_string(k) + " = 1;";
  many += " } fn f() { let q = v3; } }";
  EXPECT_EQ(listing(many), "error: E_VALIDATION_FAIL: Undefined: v3");
}

// Names that agree in length and in their first eight bytes are still told
// apart, in a walked scope and in an indexed one, and the innermost binding
// of a name wins.
TEST(LowerState, NamesAreMatchedWhole) {
  const std::vector<std::string> names = {"", "a", "ab", "abcdefg", "abcdefgh", "abcdefgi",
                                          "abcdefghi", "abcdefghj", "abcdefghij", "b", "ba"};
  for (const std::size_t padding : {std::size_t{0}, std::size_t{40}}) {
    LoweringState st;
    st.push_scope();
    std::vector<std::string> fillers;
    for (std::size_t i = 0; i < padding; ++i) fillers.push_back("filler" + std::to_string(i));
    for (const std::string& f : fillers) st.bind(f, 999);
    for (std::size_t i = 0; i < names.size(); ++i) st.bind(names[i], static_cast<Reg>(i));
    for (std::size_t i = 0; i < names.size(); ++i) {
      const Reg* found = st.lookup_variable(names[i]);
      ASSERT_NE(found, nullptr) << names[i];
      EXPECT_EQ(*found, i) << names[i];
    }
    EXPECT_EQ(st.lookup_variable("abcdefgj"), nullptr);
    EXPECT_EQ(st.lookup_variable("abcdefghk"), nullptr);
    st.push_scope();
    st.bind("abcdefghi", 77);
    EXPECT_EQ(*st.lookup_variable("abcdefghi"), 77u);
    EXPECT_EQ(*st.lookup_variable("abcdefghj"), 7u);
    st.pop_scope();
    EXPECT_EQ(*st.lookup_variable("abcdefghi"), 6u);
    st.pop_scope();
    EXPECT_EQ(st.lookup_variable("a"), nullptr);
  }
}

// A patch must find the branch its caller appended, whether the code is
// kept as instructions or written as bytes; anything else is a fault of the
// lowering, reported and never written.
TEST(LowerState, PatchesFindTheirBranchOrFault) {
  core::Bytes out;
  core::ProgramEncoder encoder(out);
  LoweringState as_bytes(&encoder);
  LoweringState as_list;
  for (LoweringState* st : {&as_list, &as_bytes}) {
    const Target jump = st->emit(core::Jump{0});
    const Target branch = st->emit(core::JumpIf{3, 0, 0});
    const Target loop = st->emit(core::Loop{1, 0, 0, 0, 9});
    EXPECT_THROW(st->patch_jump_if(jump, 1, 2), std::exception);
    EXPECT_THROW(st->patch_loop(branch, 1, 2), std::exception);
    EXPECT_THROW(st->patch_jump(loop, 1), std::exception);
    EXPECT_THROW(st->patch_jump(loop + 1, 1), std::exception);
    st->patch_jump(jump, 5);
    st->patch_jump_if(branch, 6, 7);
    st->patch_loop(loop, 3, 4);
  }
  const std::vector<core::Instruction> expected = {core::Jump{5}, core::JumpIf{3, 6, 7},
                                                   core::Loop{1, 0, 3, 4, 9}};
  EXPECT_EQ(as_list.instructions, expected);
  ASSERT_TRUE(encoder.finish(std::nullopt).ok());
  auto decoded = core::decode_program(std::span<const std::uint8_t>(out));
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(decoded.value().instructions, expected);
}

// Only branches keep where they start in the output: a patch finds any of
// them, however many came after it and whatever stands between them, and
// faults on every other instruction.
TEST(LowerState, PatchesReachEarlyBranchesAmongMany) {
  core::Bytes out;
  core::ProgramEncoder encoder(out);
  LoweringState st(&encoder);
  std::vector<Target> jumps;
  std::vector<Target> moves;
  for (Reg i = 0; i < 40; ++i) {
    jumps.push_back(st.emit(core::Jump{0}));
    moves.push_back(st.emit(core::Move{i, i}));
    if (i % 3 == 0) st.emit_constant(i, Constant::string("text between branches"));
  }
  for (std::size_t k : {0, 1, 17, 36, 37, 38, 39, 5}) st.patch_jump(jumps[k], 1000 + k);
  for (Target m : {moves.front(), moves[20], moves.back()}) {
    EXPECT_THROW(st.patch_jump(m, 1), std::exception);
  }
  EXPECT_THROW(st.patch_jump(st.position(), 1), std::exception);
  ASSERT_TRUE(encoder.finish(std::nullopt).ok());
  auto decoded = core::decode_program(std::span<const std::uint8_t>(out));
  ASSERT_TRUE(decoded.ok());
  for (std::size_t k = 0; k < jumps.size(); ++k) {
    const auto& jump = std::get<core::Jump>(decoded.value().instructions.at(jumps[k]));
    const bool patched = k <= 1 || k == 5 || k == 17 || k >= 36;
    EXPECT_EQ(jump.target, patched ? 1000 + k : 0) << k;
  }
}

TEST(LowerProgram, ModulesComeFirstAndShareConstants) {
  EXPECT_EQ(listing("program p {"
                    "  module geo { capability: io, net"
                    "    const PI: float = 3.5; const NAME: string = \"g\";"
                    "    struct Point { x: int, y: [float], tag: string }"
                    "    fn area(r: float) -> float { return PI * r; }"
                    "    block setup() { }"
                    "  }"
                    "  module empty { }"
                    "  fn main() { let p = PI; }"
                    "}"),
            "0: LoadConst r0, Float(3.5)\n"
            "1: LoadConst r1, String(\"g\")\n"
            "2: Mul r3, r0, r2\n"
            "3: Return r3\n"
            "4: LoadConst r4, Null\n"
            "5: Return r4\n"
            "6: LoadConst r5, Null\n"
            "7: Return r5\n"
            "8: ModuleDef \"geo\", [\"io\", \"net\"], [PI: Float = r0, NAME: Int = r1], "
            "[Point{x: Int, y: Array(Float), tag: Int}], [area(r2) @2, setup() @6]\n"
            "9: ModuleDef \"empty\", [], [], [], []\n"
            "10: Move r6, r0\n"
            "11: LoadConst r7, Null\n"
            "12: Return r7\n"
            "13: FuncDef \"main\", [], @10, 1000\n");
  // A bare module is a program of that one module.
  EXPECT_EQ(listing("module m { fn f() { } }"),
            "0: LoadConst r0, Null\n"
            "1: Return r0\n"
            "2: ModuleDef \"m\", [], [], [], [f() @0]\n");
}

TEST(LowerProgram, MaxDepthPragmas) {
  EXPECT_EQ(parse_max_depth_pragma("max_depth(7)"), 7u);
  EXPECT_EQ(parse_max_depth_pragma("max_depth(+7)"), 7u);
  EXPECT_EQ(parse_max_depth_pragma("max_depth(4294967295)"), 4294967295u);
  for (std::string_view bad : {"max_depth(4294967296)", "max_depth(-1)", "max_depth(+)",
                               "max_depth()", "max_depth( 7)", "max_depth(7", "max_depth(x)",
                               "max_depth(99999999999999999999999)", "depth(7)"}) {
    EXPECT_EQ(parse_max_depth_pragma(bad), std::nullopt) << bad;
  }
  // Malformed pragmas are skipped; the first well-formed one counts; a later
  // function of the same name sets the entry for every call.
  EXPECT_EQ(listing("program p { #[max_depth(x)] #[max_depth(99999999999)] #[max_depth(12)]"
                    " #[max_depth(13)] fn a() { } #[max_depth(x)] fn b() { } }"),
            "0: LoadConst r0, Null\n"
            "1: Return r0\n"
            "2: FuncDef \"a\", [], @0, 12\n"
            "3: LoadConst r1, Null\n"
            "4: Return r1\n"
            "5: FuncDef \"b\", [], @3, 1000\n");
  EXPECT_EQ(listing("program p { module m { #[max_depth(3)] fn f() { } }"
                    " #[max_depth(9)] fn f() { } fn main() { f(); } }"),
            "0: LoadConst r0, Null\n"
            "1: Return r0\n"
            "2: ModuleDef \"m\", [], [], [], [f() @0]\n"
            "3: LoadConst r1, Null\n"
            "4: Return r1\n"
            "5: FuncDef \"f\", [], @3, 3\n"
            "6: Call r2, \"f\", [], 3\n"
            "7: LoadConst r3, Null\n"
            "8: Return r3\n"
            "9: FuncDef \"main\", [], @6, 1000\n");
  // A later function of the same name without the pragma (with no
  // attribute at all, or with another one) puts the default back.
  for (const char* later : {"fn f() { }", "#[inline] fn f() { }"}) {
    EXPECT_EQ(listing(std::string("program p { #[max_depth(6)] fn f() { } fn main() { f(); } ") +
                      later + " }"),
              "0: LoadConst r0, Null\n"
              "1: Return r0\n"
              "2: FuncDef \"f\", [], @0, 1000\n"
              "3: Call r1, \"f\", [], 1000\n"
              "4: LoadConst r2, Null\n"
              "5: Return r2\n"
              "6: FuncDef \"main\", [], @3, 1000\n"
              "7: LoadConst r3, Null\n"
              "8: Return r3\n"
              "9: FuncDef \"f\", [], @7, 1000\n")
        << later;
  }
  // A call written before its callee carries the callee's pragma all the same.
  EXPECT_EQ(listing("program p { fn main() { f(); } #[max_depth(4)] fn f() { } }"),
            "0: Call r0, \"f\", [], 4\n"
            "1: LoadConst r1, Null\n"
            "2: Return r1\n"
            "3: FuncDef \"main\", [], @0, 1000\n"
            "4: LoadConst r2, Null\n"
            "5: Return r2\n"
            "6: FuncDef \"f\", [], @4, 4\n");
}

TEST(LowerErrors, EveryMessage) {
  EXPECT_EQ(main_error("", "x = 1;"), "E_VALIDATION_FAIL: Undefined: x");
  EXPECT_EQ(main_error("", "let y = x + 1;"), "E_VALIDATION_FAIL: Undefined: x");
  EXPECT_EQ(main_error("", "f(1)(2);"), "E_VALIDATION_FAIL: Call target must be identifier");
  EXPECT_EQ(main_error("a: int", "a.f(1);"), "E_VALIDATION_FAIL: Call target must be identifier");
  EXPECT_EQ(main_error("", "1 = 2;"), "E_VALIDATION_FAIL: Invalid assignment target");
  EXPECT_EQ(main_error("a: int", "f(a) = 2;"), "E_VALIDATION_FAIL: Invalid assignment target");
  EXPECT_EQ(main_error("", "let f = 1" + std::string(400, '0') + ".5;"),
            "E_FLOAT_SPECIAL: NaN or Infinity not allowed");
  EXPECT_EQ(main_error("x: int", "let y = x as int;"),
            "E_VALIDATION_FAIL: Unsupported expression type: Cast { expr: Spanned { node: "
            "Ident(\"x\"), span: Span { start: 0, end: 0, line: 0, col: 0 } }, target_type: Int }");
  EXPECT_EQ(listing("program p { module m { enum Color { Red } } fn main() { Color.Blue; } }"),
            "error: E_VALIDATION_FAIL: Enum 'Color' has no variant 'Blue'");
  // Arguments are lowered before the arity check; an error among them wins.
  EXPECT_EQ(main_error("", "pow(x);"), "E_VALIDATION_FAIL: Undefined: x");
  EXPECT_EQ(main_error("", "q(1)(y);"), "E_VALIDATION_FAIL: Undefined: y");
  // Assignment lowers its value before looking up the target.
  EXPECT_EQ(main_error("", "x = y;"), "E_VALIDATION_FAIL: Undefined: y");
}

TEST(LowerErrors, LiteralKindsTheParserNeverBuilds) {
  LoweringState st;
  Expr array{Expr::Literal{Literal{Literal::Array{}}}};
  ASSERT_FALSE(lower_expr(st, array).ok());
  EXPECT_EQ(st.take_error().message(), "E_VALIDATION_FAIL: Unsupported literal");
  ASSERT_FALSE(lower_expr(st, Expr{Expr::Snapshot{}}).ok());
  EXPECT_EQ(st.take_error().message(), "E_VALIDATION_FAIL: Unsupported expression type: Snapshot");
}

TEST(LowerErrors, ScaleCheck) {
  EXPECT_EQ(listing("program p { @scale(size=2) fn worker() { } }"),
            "error: E_VALIDATION_FAIL: @scale on 'worker' not supported. Only main() can use "
            "@scale in MVP (flat execution model).");
  EXPECT_EQ(listing("program p { module m { @scale(size=5) fn main() { } } }"),
            "error: E_VALIDATION_FAIL: @scale on 'm.main' not supported. Only main() can use "
            "@scale in MVP (flat execution model).");
  EXPECT_EQ(listing("program p { module m { @scale(size=2^3) fn f() { } }"
                    " @scale(size=4) fn main() { } @scale(size=9) fn w() { } }"),
            "error: E_VALIDATION_FAIL: Multiple @scale functions not supported in MVP: main, w, "
            "m.f. Only main() can use @scale.");
  // Size 1, and sizes too large for 64 bits, do not count: only main is a
  // swarm, of 8.
  ParseResult parsed = parse_source(
      "program p { @scale(size=1) fn w() { } @scale(size=2^64) fn v() { } "
      "@scale(size=8) fn main() { } }");
  ASSERT_TRUE(parsed.ok());
  auto lowered = lower_program(parsed.value());
  ASSERT_TRUE(lowered.ok()) << lowered.error().message();
  ASSERT_TRUE(lowered.value().metadata.has_value());
  const auto& swarm = lowered.value().metadata->swarm;
  ASSERT_EQ(swarm.size(), 1u);
  EXPECT_EQ(swarm.at("main").swarm_size, 8u);
}

}  // namespace
}  // namespace quarn::compiler
