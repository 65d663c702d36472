#include "quarn_core/disassemble.h"
#include "quarn_core/instruction.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <utility>

namespace quarn::core {
namespace {

// Every row of the table sits at its own tag: variant index, kOpcode and
// name table all agree, and the names are unique.
template <std::size_t... I>
void check_tags(std::index_sequence<I...>) {
  std::set<std::string_view> names;
  (
      [&] {
        using Insn = std::variant_alternative_t<I, Instruction>;
        EXPECT_EQ(static_cast<std::size_t>(Insn::kOpcode), I) << Insn::kName;
        EXPECT_EQ(opcode_name(Insn::kOpcode), Insn::kName);
        EXPECT_EQ(Instruction(Insn{}).index(), I);
        EXPECT_TRUE(names.insert(Insn::kName).second) << Insn::kName;
      }(),
      ...);
}

TEST(Instruction, EveryRowAtItsTag) {
  check_tags(std::make_index_sequence<kOpcodeCount>());
  EXPECT_EQ(opcode_name(Opcode::LoadConst), "LoadConst");
  EXPECT_EQ(opcode_name(Opcode::ArrFind), "ArrFind");
  EXPECT_EQ(static_cast<int>(Opcode::JumpIf), 78);
  EXPECT_EQ(static_cast<int>(Opcode::FuncDef), 81);
  EXPECT_EQ(static_cast<int>(Opcode::Asm), 124);
  EXPECT_EQ(static_cast<int>(Opcode::Nop), 125);
}

TEST(Instruction, FieldsInDeclarationOrder) {
  std::string seen;
  Loop{1, 2, 3, 4, 5}.for_each_field([&](std::string_view name, const auto&) {
    seen += std::string(name) + ",";
  });
  EXPECT_EQ(seen, "cond,start,body,end,max_iter,");
  seen.clear();
  FormatString{}.for_each_field_spec([&](const FieldSpec& s, const auto&) {
    seen += std::string(s.name) + ":" + std::string(s.type) + ",";
  });
  EXPECT_EQ(seen, "dst:Reg,template:Reg,args:RegList,");
}

TEST(Instruction, PatchInPlace) {
  std::vector<Instruction> code = {Nop{}, Jump{0}};
  code[0] = JumpIf{3, 1, 2};
  std::get<Jump>(code[1]).target = 9;
  EXPECT_EQ(code[1], Instruction(Jump{9}));
  EXPECT_NE(code[0], Instruction(JumpIf{3, 1, 3}));
  EXPECT_EQ(opcode_of(code[0]), Opcode::JumpIf);
  // Doubles compare by bit pattern, like the encoding.
  double nan = std::nan("");
  EXPECT_EQ(Instruction(Op39{1, 2, 3, 4, nan}), Instruction(Op39{1, 2, 3, 4, nan}));
  EXPECT_NE(Instruction(Op43{1, 2, 3, 4, {}, 0.0}), Instruction(Op43{1, 2, 3, 4, {}, -0.0}));
}

TEST(Disassemble, Listing) {
  std::vector<Instruction> code = {
      LoadConst{0, Value::Int(1)},
      LoadConst{1, Value::Float(2)},
      Add{2, 0, 1},
      JumpIf{2, 4, 6},
      Loop{2, 1, 5, 9, 1000000},
      Break{},
      FuncDef{"main", {}, 0, 1000},
      Call{7, "fopen", {5, 6}, 1000},
      ModuleDef{"m", {"io"}, {{"PI", BytecodeType::Float(), 0}},
                {{"Point", {{"x", BytecodeType::Int()}, {"y", BytecodeType::Float()}}}},
                {{"add", {1, 2}, 0}}},
      Barrier{},
      Barrier{std::string("sync")},
      ArrayCreate{3, {1, 2}, BytecodeType::array_of(BytecodeType::array_of(BytecodeType::Bool()))},
      Asm{4u, "mov \"a\"\n", "=r", true},
      TensorCreate{1, {2, 3}, BytecodeType::nested(TypeKind::Kind2, 0), std::nullopt},
      Op38{1, 2, -3, 4},
      AdamUpdate{1, 2, 3, 4, 0.5, 1e300, -0.0, std::nan(""), -INFINITY},
  };
  EXPECT_EQ(disassemble(code),
            "0: LoadConst r0, Int(1)\n"
            "1: LoadConst r1, Float(2.0)\n"
            "2: Add r2, r0, r1\n"
            "3: JumpIf r2, @4, @6\n"
            "4: Loop r2, @1, @5, @9, 1000000\n"
            "5: Break\n"
            "6: FuncDef \"main\", [], @0, 1000\n"
            "7: Call r7, \"fopen\", [r5, r6], 1000\n"
            "8: ModuleDef \"m\", [\"io\"], [PI: Float = r0], [Point{x: Int, y: Float}], "
            "[add(r1, r2) @0]\n"
            "9: Barrier none\n"
            "10: Barrier \"sync\"\n"
            "11: ArrayCreate r3, [r1, r2], Array(Array(Bool))\n"
            "12: Asm r4, \"mov \\\"a\\\"\\n\", \"=r\", true\n"
            "13: TensorCreate r1, [2, 3], Kind2, none\n"
            "14: Op38 1, 2, -3, 4\n"
            "15: AdamUpdate 1, 2, 3, 4, 0.5, 1e+300, -0.0, NaN, -inf\n");
}

TEST(Disassemble, Values) {
  EXPECT_EQ(render_value(Value::Null()), "Null");
  EXPECT_EQ(render_value(Value::Bool(false)), "Bool(false)");
  EXPECT_EQ(render_value(Value::Int(-9223372036854775807 - 1)), "Int(-9223372036854775808)");
  EXPECT_EQ(render_value(Value::Float(0.1)), "Float(0.1)");
  EXPECT_EQ(render_value(Value::String("a\tb\x01")), "String(\"a\\tb\\x01\")");
  EXPECT_EQ(render_value(Value::Handle("h")), "Handle(\"h\")");
  EXPECT_EQ(render_value(Value::Array({})), "Array[]");
  EXPECT_EQ(render_value(Value::Array({Value::Int(1), Value::Array({Value::Null()})})),
            "Array[Int(1), Array[Null]]");
  EXPECT_EQ(render_value(Value::Object({{"b", Value::Null()}, {"a", Value::Int(1)}})),
            "Object{\"a\": Int(1), \"b\": Null}");
  EXPECT_EQ(render_value(Value::Contract(7, {{1, Value::Int(2)}, {0, Value::Null()}})),
            "Contract(7){1: Int(2), 0: Null}");
  EXPECT_EQ(render_type(BytecodeType()), "Kind0");
}

}  // namespace
}  // namespace quarn::core
