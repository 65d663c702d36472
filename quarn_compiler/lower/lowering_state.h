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
#include "quarn_core/quarn_crate/encode.h"
#include "quarn_core/result.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

namespace quarn::compiler {

using core::Reg;
using core::Target;

// A lowering failure: the coded error, and the span of the node it points
// at when its message quotes one (see LoweringState::fail).
struct LoweringError {
  LoweringError(core::CoreError e, std::optional<Span> place = std::nullopt)  // NOLINT: implicit
      : error(std::move(e)), at(place) {}
  core::CoreError error;
  std::optional<Span> at;  // has_position() whenever set

  std::string message() const { return error.message(); }
  core::CoreErrorCode code() const { return error.code(); }
};

template <class T>
using LowerResult = core::Result<T, LoweringError>;

// What one step inside a definition answers (an expression's register, or
// Unit for a statement), or that it failed. The error itself waits in the
// state (LoweringState::fail, take_error): errors are rare and end the whole
// lowering, while a Result that could hold a CoreError comes back through
// memory and is taken apart after every expression. This one is a word and
// comes back in a register. QUARN_TRY and QUARN_CHECK take it like a Result.
struct Failed {};
template <class T>
class [[nodiscard]] Lowered {
 public:
  Lowered(T value) : value_(value), ok_(true) {}  // NOLINT: implicit by design
  Lowered(Failed) : value_{}, ok_(false) {}       // NOLINT: implicit by design
  bool ok() const { return ok_; }
  // REQUIRES: ok()
  T value() const { return value_; }
  Failed error() const { return {}; }

 private:
  T value_;
  bool ok_;
};

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

// A constant as LoadConst carries it, with a String's text still in the
// tree: the lowering only ever makes these five kinds.
using Constant = core::ScalarConstant;

class LoweringState {
 public:
  using Scope = std::unordered_map<std::string_view, Reg>;

  // Without an encoder the code is kept as Instructions (`instructions`);
  // with one, each instruction is written into the encoder's output as it is
  // emitted, and only where each branch (Jump, JumpIf, Loop) starts is kept,
  // until no patch can reach it any more.
  explicit LoweringState(core::ProgramEncoder* encoder = nullptr);

  // ---- instruction list ---------------------------------------------------
  // The instructions from index `first` on: a program lowering may hand the
  // ones before it on to the encoder and drop them (drop_code) once no patch
  // can reach them any more. Empty when writing into an encoder.
  std::vector<core::Instruction> instructions;
  Target first = 0;

  // The index the next appended instruction will get.
  Target position() const {
    return encoder_ != nullptr ? static_cast<Target>(encoder_->count() - encoder_base_)
                               : first + static_cast<Target>(instructions.size());
  }

  // Source map entries (index, line, col) of the instructions that stand for
  // a statement, in instruction order.
  std::vector<core::SourceMapEntry> source_map;

  // Appends one instruction (a variant struct such as core::Add) with its
  // span entry; returns its index. The emit_* functions below do the same
  // for the instructions with texts and lists, taking them as views.
  template <class Insn>
  Target emit(Insn&& insn, SpanEntry span = {}) {
    using T = std::decay_t<Insn>;
    const Target at = position();
    if (encoder_ != nullptr) {
      if constexpr (core::kWordFields<T> >= 0) {
        const std::size_t offset = encoder_->add_words(insn);
        if constexpr (std::is_same_v<T, core::Jump> || std::is_same_v<T, core::JumpIf> ||
                      std::is_same_v<T, core::Loop>) {
          branches_.push_back({at, offset});
        }
      } else {
        encoder_->add(core::Instruction(std::forward<Insn>(insn)));
      }
    } else if constexpr (std::is_same_v<T, core::Instruction>) {
      keep(std::forward<Insn>(insn));
    } else {
      keep(std::in_place_type<T>, std::forward<Insn>(insn));
    }
    note_span(at, span);
    return at;
  }
  Target emit_constant(Reg dst, const Constant& value);
  // A Call of `name`; a user call's max_depth is settled at the end
  // (depth_sites), a runtime name's is kDefaultMaxDepth.
  Target emit_call(Reg dst, std::string_view name, std::span<const Reg> args, bool user_call);
  // A FuncDef, whose max_depth is settled at the end like a user call's.
  Target emit_func_def(std::string_view name, std::span<const Reg> params, Target entry);
  Target emit_array(Reg dst, std::span<const Reg> elements,
                    const std::optional<core::BytecodeType>& elem_type);
  Target emit_object(Reg dst, std::span<const std::string_view> keys, std::span<const Reg> values);
  Target emit_format(Reg dst, Reg template_reg, std::span<const Reg> args);
  // The instruction `op` with its fields, all u32, filled from dst and then
  // args in order.
  // REQUIRES: op has exactly 1 + args.size() fields, all u32.
  Target emit_registers(core::Opcode op, Reg dst, std::span<const Reg> args);

  // Forgets the code held (or where it starts), keeping the capacity; the
  // next instruction appended keeps its index.
  void drop_code() {
    first = position();
    instructions.clear();
    branches_.clear();
  }

  // Room for about `n` instructions, so that a large program is not copied
  // while its list grows.
  void reserve(std::size_t n) {
    instructions.reserve(n);
    core::advise_huge_pages(instructions.data(), instructions.capacity() * sizeof(core::Instruction));
  }

  // The patches of control flow. Each finds the instruction its caller
  // appended at `at` or is a fault in the lowering.
  // REQUIRES: the instruction at `at` is a Jump.
  void patch_jump(Target at, Target target);
  // REQUIRES: the instruction at `at` is a JumpIf.
  void patch_jump_if(Target at, Target then_target, Target else_target);
  // REQUIRES: the instruction at `at` is a Loop.
  void patch_loop(Target at, Target body, Target end);

  // ---- errors ---------------------------------------------------------------
  // Records the lowering's error and answers the failure to hand up; the
  // caller stops at once, so the first error recorded is the one reported.
  // `at`: the placed node the message quotes, if it quotes one.
  Failed fail(core::CoreError error, std::optional<Span> at = std::nullopt) {
    if (!error_) error_.emplace(std::move(error), at);
    return {};
  }
  // The same for a message that quotes no node but arose at `node`: the
  // statement being lowered finds the place of the node afterwards
  // (place_error), so that lowering keeps no spans on its way down.
  Failed fail_at(core::CoreError error, const Expr& node) {
    if (!error_) {
      error_.emplace(std::move(error));
      failed_node_ = &node;
    }
    return {};
  }
  // Gives the recorded error, when it has no place yet, the place of its
  // node within `stmt` (the innermost placed node on the way to it), or
  // else the statement's own.
  void place_error(const SpannedStmt& stmt);
  // The same within a module constant's value, which has no place itself.
  void place_error(const Expr& value);
  // The recorded error, which is then forgotten.
  // REQUIRES: a step failed.
  LoweringError take_error();

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
  // A pointer rather than an optional: g++ builds an optional<u32> result in
  // memory in two stores and reads it back as one word, a stall on a path
  // taken for every name read.
  const Reg* lookup_variable(std::string_view name) const;

  // The declared type of the `let` whose value is being lowered.
  const Type* type_hint = nullptr;

  // The Calls of user functions and the FuncDefs. They are emitted with
  // kDefaultMaxDepth; the program lowering sets their real max_depth at the
  // end, once every function (also those defined after the call) has been
  // seen. A site is the instruction's index, or with an encoder the offset
  // of its max_depth bytes and of its name's text, which name_of reads back
  // from the output, since the trees are gone by then.
  struct DepthSite {
    std::size_t at;
    std::size_t name_at;     // with an encoder only
    std::uint64_t name_mark;  // name_mark(name): most sites need no look-up at the end
  };
  // A cheap 64-bit mark of a name (its length and its first and last eight
  // bytes, mixed): equal names have equal marks, and names whose marks
  // differ are known to differ without reading them back.
  static std::uint64_t name_mark(std::string_view name) {
    std::uint64_t head = 0, tail = 0;
    const std::size_t n = std::min<std::size_t>(name.size(), sizeof head);
    if (n != 0) {
      std::memcpy(&head, name.data(), n);
      std::memcpy(&tail, name.data() + name.size() - n, n);
    }
    std::uint64_t h = (head ^ (tail * 0x9E3779B97F4A7C15ull) ^ name.size()) * 0xD6E8FEB86659FD93ull;
    return h ^ (h >> 32);
  }
  std::vector<DepthSite> depth_sites;
  std::string_view name_of(const DepthSite& site) const;
  bool writes_bytes() const { return encoder_ != nullptr; }
  core::ProgramEncoder* encoder() const { return encoder_; }

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
  // The registers and keys gathered for calls, arrays and objects while
  // their elements are lowered: a stack, each such node working above the
  // height it found (nested ones push and pop above it), reused throughout.
  std::vector<Reg> reg_stack;
  std::vector<std::string_view> key_stack;
  // The same for the exit Jumps of switch arms.
  std::vector<Target> target_stack;

 private:
  // Appends to `instructions`. The list grows by doubling through reserve(),
  // so that a list large enough for its own mapping gets huge pages: one
  // page fault per 2 MiB of a long program's list rather than per 4 KiB.
  template <class... Args>
  void keep(Args&&... args) {
    if (instructions.size() == instructions.capacity()) {
      reserve(std::max<std::size_t>(1024, 2 * instructions.capacity()));
    }
    instructions.emplace_back(std::forward<Args>(args)...);
  }
  void note_span(Target at, SpanEntry span) {
    if (!span.empty()) source_map.push_back({at, span.line, span.col});
  }
  // The byte offset of instruction `at` after checking its tag.
  std::size_t offset_of(Target at, core::Opcode expected) const;
  template <class Insn>
  Insn& instruction_at(Target at);

  core::ProgramEncoder* encoder_ = nullptr;
  // The encoder's count when this lowering began: instruction indices count
  // from there.
  std::uint64_t encoder_base_ = 0;
  // With an encoder: where each branch from `first` on starts, in index
  // order. Only branches are ever patched, so no other instruction needs
  // its place kept.
  struct BranchOffset {
    Target at;
    std::size_t offset;
  };
  std::vector<BranchOffset> branches_;

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
  // A name's first eight bytes (zero-padded) with its length: a walk
  // compares these and looks at the rest of a name only for long names.
  struct NameKey {
    std::uint64_t head;
    std::size_t size;
    static NameKey of(std::string_view name) {
      NameKey key{0, name.size()};
      if (name.size() >= sizeof key.head) {
        std::memcpy(&key.head, name.data(), sizeof key.head);
      } else {
        // Byte by byte in a register: a short copy into memory read back as
        // one word would stall the load.
        for (std::size_t i = 0; i < name.size(); ++i) {
          key.head |= std::uint64_t{static_cast<unsigned char>(name[i])} << (8 * i);
        }
      }
      return key;
    }
    friend bool operator==(const NameKey&, const NameKey&) = default;
  };
  struct Binding {
    NameKey key;
    std::string_view name;
    Reg reg;
  };
  std::vector<Binding> bindings_;
  // The live scopes are the first depth_; those above are kept with their
  // buckets for the next function.
  std::vector<ScopeFrame> frames_;
  std::size_t depth_ = 0;

  std::optional<LoweringError> error_;
  const Expr* failed_node_ = nullptr;  // where error_ arose, when fail_at recorded it
};

// Marks the height of one of the state's gathering stacks and brings it
// back there when the node is done, error or not.
template <class T>
class StackMark {
 public:
  explicit StackMark(std::vector<T>& stack) : stack_(stack), base_(stack.size()) {}
  StackMark(const StackMark&) = delete;
  StackMark& operator=(const StackMark&) = delete;
  ~StackMark() { stack_.resize(base_); }
  // What was pushed above the mark. Valid until the next push.
  std::span<const T> above() const { return std::span<const T>(stack_).subspan(base_); }

 private:
  std::vector<T>& stack_;
  std::size_t base_;
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
