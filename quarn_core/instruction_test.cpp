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

// Out-of-line fields read, copy and compare as the values they hold; one
// left empty owns nothing and equals one holding an empty value.
TEST(Instruction, BoxedFieldsActAsTheirValues) {
  ModuleDef a{"m", {"io"}, {{"PI", BytecodeType::Float(), 7}}, {}, {}};
  ModuleDef b = a;
  EXPECT_EQ(a, b);
  EXPECT_NE(&a.capabilities.get(), &b.capabilities.get());  // deep copy
  EXPECT_EQ(b.constants->front().reg, 7u);
  EXPECT_TRUE(a.structs->empty());
  EXPECT_EQ(a.structs, BoxedStructList(StructList{}));
  b.capabilities.set({});
  EXPECT_NE(a, b);
  EXPECT_EQ(b.capabilities, BoxedTextList());
  Asm asm_insn{std::nullopt, "nop", "", false};
  EXPECT_EQ(*asm_insn.template_, "nop");
  EXPECT_EQ(asm_insn.constraints.get(), "");
}

}  // namespace
}  // namespace quarn::core
