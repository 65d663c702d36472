#include "quarn_core/instruction.h"

namespace quarn::core {

std::string_view opcode_name(Opcode op) {
  static constexpr std::string_view kNames[] = {
#define QUARN_INSTRUCTION(Tag, Name, Fields) #Name,
#define FIELD(Type, name)
#include "quarn_core/instructions.def"
  };
  auto i = static_cast<std::uint32_t>(op);
  return i < kOpcodeCount ? kNames[i] : std::string_view("?");
}

}  // namespace quarn::core
