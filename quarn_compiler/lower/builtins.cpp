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

// Most callees are user functions. Before hashing a name, two tables say
// whether any builtin has its length together with its first byte, and its
// length together with its last byte; a name that fails either is no
// builtin.
constexpr std::size_t kLongestName = 32;
struct NameFilter {
  bool first[kLongestName][256] = {};
  bool last[kLongestName][256] = {};
};

constexpr NameFilter make_name_filter() {
  NameFilter f;
  for (const Builtin& b : kBuiltins) {
    for (const std::string_view& n : b.names) {
      if (n.empty()) continue;
      f.first[n.size()][static_cast<unsigned char>(n.front())] = true;
      f.last[n.size()][static_cast<unsigned char>(n.back())] = true;
    }
  }
  return f;
}

constexpr bool names_fit_filter() {
  for (const Builtin& b : kBuiltins) {
    for (const std::string_view& n : b.names) {
      if (n.size() >= kLongestName) return false;
    }
  }
  return true;
}
static_assert(names_fit_filter(), "a builtin name is too long for the name filter");

constexpr NameFilter kNameFilter = make_name_filter();

bool may_be_builtin(std::string_view name) {
  return !name.empty() && name.size() < kLongestName &&
         kNameFilter.first[name.size()][static_cast<unsigned char>(name.front())] &&
         kNameFilter.last[name.size()][static_cast<unsigned char>(name.back())];
}

}  // namespace

const Builtin* find_builtin(std::string_view name) {
  if (!may_be_builtin(name)) return nullptr;
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
