#include "quarn_core/disassemble.h"

#include <gtest/gtest.h>

#include <cmath>

namespace quarn::core {
namespace {

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
