#include "quarn_compiler/lower/builtins.h"

#include <array>
#include <stdexcept>
#include <type_traits>
#include <unordered_map>
#include <utility>

namespace quarn::compiler {
namespace {

// One default-constructing function per opcode, so that an instruction can be
// made from an Opcode known only at run time.
template <std::size_t I>
core::Instruction default_instruction() {
  return core::Instruction(std::in_place_index<I>);
}

template <std::size_t... I>
constexpr auto default_instruction_table(std::index_sequence<I...>) {
  return std::array<core::Instruction (*)(), sizeof...(I)>{&default_instruction<I>...};
}

constexpr auto kDefaultInstructions =
    default_instruction_table(std::make_index_sequence<core::kOpcodeCount>{});

}  // namespace

const Builtin* find_builtin(std::string_view name) {
  // Built once from the table; every call site of a program looks its callee
  // up here, so a hash lookup rather than the linear walk.
  static const std::unordered_map<std::string_view, const Builtin*> index = [] {
    std::unordered_map<std::string_view, const Builtin*> m;
    for (const Builtin& b : kBuiltins) {
      for (const std::string_view& n : b.names) {
        if (!n.empty()) m.emplace(n, &b);
      }
    }
    return m;
  }();
  auto found = index.find(name);
  return found == index.end() ? nullptr : found->second;
}

core::Instruction make_register_instruction(core::Opcode op, core::Reg dst,
                                            std::span<const core::Reg> args) {
  core::Instruction insn = kDefaultInstructions.at(static_cast<std::size_t>(op))();
  std::size_t filled = 0;
  bool other_fields = false;
  std::visit(
      [&](auto& variant) {
        variant.for_each_field([&](std::string_view, auto& field) {
          if constexpr (std::is_same_v<std::decay_t<decltype(field)>, std::uint32_t>) {
            if (filled <= args.size()) field = filled == 0 ? dst : args[filled - 1];
            ++filled;
          } else {
            other_fields = true;
          }
        });
      },
      insn);
  if (other_fields || filled != args.size() + 1) {
    throw std::logic_error("builtin instruction does not take its registers as listed");
  }
  return insn;
}

}  // namespace quarn::compiler
