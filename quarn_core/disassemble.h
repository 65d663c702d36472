// Instruction listings, for golden tests and debugging.
//
// disassemble(code) gives one line per instruction, each ended by "\n":
//   <index>: <Name>[ <field>, <field>, ...]
// Fields appear in declaration order, rendered by their type:
//   Reg             r<N>                 r3
//   Target          @<N>                 @12
//   U32, I64        decimal              1000, -5
//   F64             shortest round-trip  1.5, 2.0, 1e+300, NaN, inf, -inf
//                   (".0" added when the digits alone would read as an int)
//   bool            true / false
//   Text            double-quoted, \" \\ \n \r \t escaped, other bytes below
//                   0x20 and 0x7f as \xHH   "main"
//   optional        none, or the value   none, r4, "b1"
//   list            [a, b]               [r1, r2], [], ["x", "y"], [2, 3]
//   Value           Null, Bool(true), Int(-3), Float(0.5), String("hi"),
//                   Array[Int(1), Null], Object{"k": Int(1)},
//                   Contract(7){1: Int(2)}, Handle("h")
//   BytecodeType    Kind0, Float, Kind2, Int, Bool, Array(Int),
//                   Array(Array(Float))
//   ModuleDef entries
//     constant      NAME: Type = rN      PI: Float = r0
//     struct        NAME{field: Type, ...}          Point{x: Int, y: Float}
//     function      NAME(rA, rB) @E      add(r1, r2) @0
// Examples:
//   0: LoadConst r0, Int(1)
//   2: Add r2, r0, r1
//   5: JumpIf r4, @6, @9
//   9: Break
//   10: FuncDef "main", [], @0, 1000
//   11: Call r7, "fopen", [r5, r6], 1000
//   12: ModuleDef "m", ["io"], [PI: Float = r0], [], [f(r1) @1]
#pragma once

#include "quarn_core/instruction.h"

#include <string>
#include <string_view>
#include <vector>

namespace quarn::core {

std::string disassemble(const std::vector<Instruction>& code);

// One instruction without index or line break: "Add r2, r0, r1".
std::string disassemble_instruction(const Instruction& insn);

// The renderings above, for use in messages and tests.
std::string render_value(const Value& value);
std::string render_type(const BytecodeType& type);
// A text field as listings quote it: "a\"b".
std::string render_text(std::string_view text);

}  // namespace quarn::core
