// The state of one lowering: the instruction list being built with its span
// entries, the register counter, the scopes, the `let` type hint and the
// program-wide tables (enum table, module constants).
//
// The tables key on names held by the modules' syntax trees (string_view into
// them), and a function's scope on names in its tree: the modules must stay
// alive for as long as the state is used, a function until it is lowered.
#pragma once

#include "quarn_compiler/veka/ast.h"
#include "quarn_core/core_error.h"
#include "quarn_core/huge_pages.h"
#include "quarn_core/instruction.h"
#include "quarn_core/result.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

namespace quarn::compiler {

using core::Reg;
using core::Target;

template <class T>
using LowerResult = core::Result<T, core::CoreError>;

// Where the statement an instruction stands for begins, or nothing. Only the
// line and column of a span reach the output (the source map), so that is
// all an entry keeps: one entry per instruction adds up for large programs.
struct SpanEntry {
  std::uint32_t line = 0;  // 0: the instruction stands for no statement
  std::uint32_t col = 0;

  SpanEntry() = default;
  SpanEntry(const Span& span) : line(span.line), col(span.col) {}  // NOLINT: implicit by design
  bool empty() const { return line == 0; }
  friend bool operator==(const SpanEntry&, const SpanEntry&) = default;
};

// A function's recursion limit when no max_depth pragma declares one, and the
// limit carried by calls of names that are not user functions.
inline constexpr std::uint32_t kDefaultMaxDepth = 1000;

class LoweringState {
 public:
  using Scope = std::unordered_map<std::string_view, Reg>;

  LoweringState();

  // ---- instruction list ---------------------------------------------------
  // The instructions from index `first` on: a program lowering may hand the
  // ones before it on to the encoder and drop them (drop_code) once no patch
  // can reach them any more.
  std::vector<core::Instruction> instructions;
  std::vector<SpanEntry> spans;  // exactly one per instruction
  Target first = 0;

  // The index the next appended instruction will get.
  Target position() const { return first + static_cast<Target>(instructions.size()); }

  // The instruction at index `at`; it must not have been dropped.
  core::Instruction& code_at(Target index) { return instructions.at(index - first); }

  // Appends one instruction (a variant struct such as core::Add, or a whole
  // core::Instruction) with its span entry; returns its index.
  template <class Insn>
  Target emit(Insn&& insn, SpanEntry span = {}) {
    const Target at = position();
    using T = std::decay_t<Insn>;
    if constexpr (std::is_same_v<T, core::Instruction>) {
      instructions.push_back(std::forward<Insn>(insn));
    } else {
      instructions.emplace_back(std::in_place_type<T>, std::forward<Insn>(insn));
    }
    spans.push_back(span);
    return at;
  }

  // Appends a Nop standing for a branch whose targets are not known yet.
  Target emit_placeholder(SpanEntry span = {}) { return emit(core::Nop{}, span); }

  // Forgets the instructions and spans held, keeping their capacity; the
  // next one appended keeps its index.
  void drop_code() {
    first = position();
    instructions.clear();
    spans.clear();
  }

  // Room for about `n` instructions, so that a large program is not copied
  // while its list grows.
  void reserve(std::size_t n) {
    instructions.reserve(n);
    spans.reserve(n);
    core::advise_huge_pages(instructions.data(), instructions.capacity() * sizeof(core::Instruction));
    core::advise_huge_pages(spans.data(), spans.capacity() * sizeof(SpanEntry));
  }

  // REQUIRES: instructions[at] is the Jump this caller appended.
  void patch_jump(Target at, Target target);
  // REQUIRES: instructions[at] is the JumpIf this caller appended.
  void patch_jump_if(Target at, Target then_target, Target else_target);
  // Overwrites the Nop at `at` (from emit_placeholder) with its real branch.
  // REQUIRES: instructions[at] is a Nop.
  void fill_placeholder(Target at, core::Instruction branch);

  // ---- registers ------------------------------------------------------------
  Reg register_counter = 0;
  Reg new_register() { return register_counter++; }

  // ---- names ----------------------------------------------------------------
  // The bottom scope is the global one, which stays for the whole lowering;
  // function bodies push and pop one each. A later binding of a name in the
  // same scope replaces the earlier one.
  void push_scope();
  void pop_scope();
  void bind(std::string_view name, Reg reg);
  // The variable's register, innermost scope first.
  std::optional<Reg> lookup_variable(std::string_view name) const;

  // The declared type of the `let` whose value is being lowered.
  const Type* type_hint = nullptr;
  // Variable name to declared type, from typed `let` statements. Owns its
  // entries: it outlives the statements they come from.
  std::unordered_map<std::string, Type> variable_types;

  // The Calls of user functions and the FuncDefs, by index. They are
  // emitted with kDefaultMaxDepth; the program lowering sets their real
  // max_depth at the end, once every function (also those defined after the
  // call) has been seen.
  std::vector<Target> depth_sites;

  // Enum name to its variants in declaration order.
  std::unordered_map<std::string_view, const std::vector<std::string>*> enum_table;

  // Module constant name to the register holding its value.
  std::unordered_map<std::string_view, Reg> constants;

  // Expression nodes waiting while lower_expr lowers their operands: kept
  // here so that its memory is reused from one expression to the next.
  struct PendingExpr {
    const Expr* node;
    bool second;    // its spine child is done; its second operand is next
    Reg first;      // the spine child's register (for && and ||: dst)
    Target branch;  // && and ||: the JumpIf and the Jump to patch
    Target jump;
  };
  std::vector<PendingExpr> expr_stack;

 private:
  // Most functions bind a handful of names, which a lookup finds fastest by
  // walking them newest first: every scope's bindings are runs of one list,
  // innermost last, and a run may hold a name twice (the newer one wins). A
  // scope that binds more than kWalkedBindings names is indexed by name
  // from then on, so that no lookup costs more than a walk of that many
  // plus a hash probe.
  static constexpr std::size_t kWalkedBindings = 24;
  struct ScopeFrame {
    std::size_t first = 0;  // its run in bindings_ starts here
    bool indexed = false;   // its names are in `index`, its run is not used
    Scope index;
  };
  std::vector<std::pair<std::string_view, Reg>> bindings_;
  // The live scopes are the first depth_; those above are kept with their
  // buckets for the next function.
  std::vector<ScopeFrame> frames_;
  std::size_t depth_ = 0;
};

// Declared type to its bytecode type: Int 3, Float 1, Bool 4, arrays kind 5
// around their element's mapping; String, Pointer and Named have none (and
// neither has an array of them).
std::optional<core::BytecodeType> map_type(const Type& type);
// The same with kind 3 where there is no mapping: constants, struct fields,
// parameter and return types in metadata.
core::BytecodeType map_type_or_int(const Type& type);

// The failures of the lowering, all E_VALIDATION_FAIL but the float one.
inline core::CoreError lowering_error(std::string text) {
  return core::CoreError::validation_fail(std::move(text));
}

}  // namespace quarn::compiler
