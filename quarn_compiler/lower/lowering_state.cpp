#include "quarn_compiler/lower/lowering_state.h"

#include <stdexcept>
#include <utility>

namespace quarn::compiler {

LoweringState::LoweringState() { push_scope(); }

// A patch that finds another instruction than the one its caller appended is
// a fault in the lowering itself; std::get reports it as an exception, which
// the Python boundary turns into the internal-fault error.
void LoweringState::patch_jump(Target at, Target target) {
  std::get<core::Jump>(code_at(at)).target = target;
}

void LoweringState::patch_jump_if(Target at, Target then_target, Target else_target) {
  auto& branch = std::get<core::JumpIf>(code_at(at));
  branch.then_target = then_target;
  branch.else_target = else_target;
}

void LoweringState::fill_placeholder(Target at, core::Instruction branch) {
  core::Instruction& slot = code_at(at);
  if (!std::holds_alternative<core::Nop>(slot)) {
    throw std::logic_error("lowering patched an instruction that is not a placeholder");
  }
  slot = std::move(branch);
}

void LoweringState::push_scope() {
  if (depth_ == frames_.size()) frames_.emplace_back();
  ScopeFrame& frame = frames_[depth_++];
  frame.first = bindings_.size();
  frame.indexed = false;
  frame.index.clear();
}

void LoweringState::pop_scope() {
  // The global scope is never popped: only function bodies push.
  if (depth_ <= 1) throw std::logic_error("lowering popped the global scope");
  bindings_.resize(frames_[--depth_].first);
}

void LoweringState::bind(std::string_view name, Reg reg) {
  ScopeFrame& frame = frames_[depth_ - 1];
  if (frame.indexed) {
    frame.index.insert_or_assign(name, reg);
    return;
  }
  bindings_.emplace_back(name, reg);
  if (bindings_.size() - frame.first > kWalkedBindings) {
    // In binding order, so that the newest of a name stays.
    for (std::size_t k = frame.first; k < bindings_.size(); ++k) {
      frame.index.insert_or_assign(bindings_[k].first, bindings_[k].second);
    }
    bindings_.resize(frame.first);
    frame.indexed = true;
  }
}

std::optional<Reg> LoweringState::lookup_variable(std::string_view name) const {
  // Scopes innermost first; an indexed scope's run is empty.
  std::size_t end = bindings_.size();
  for (std::size_t d = depth_; d-- > 0;) {
    const ScopeFrame& frame = frames_[d];
    if (frame.indexed) {
      if (auto found = frame.index.find(name); found != frame.index.end()) return found->second;
    }
    for (std::size_t k = end; k-- > frame.first;) {
      if (bindings_[k].first == name) return bindings_[k].second;
    }
    end = frame.first;
  }
  return std::nullopt;
}

std::optional<core::BytecodeType> map_type(const Type& type) {
  // Array types nest without bound only up to the parser's depth limit, but a
  // loop costs nothing over recursion here.
  std::uint64_t depth = 0;
  const Type* t = &type;
  while (const auto* array = t->as<Type::Array>()) {
    ++depth;
    t = array->element.get();
  }
  core::TypeKind base;
  if (t->is<Type::Int>()) {
    base = core::TypeKind::Int;
  } else if (t->is<Type::Float>()) {
    base = core::TypeKind::Float;
  } else if (t->is<Type::Bool>()) {
    base = core::TypeKind::Bool;
  } else {
    return std::nullopt;
  }
  return core::BytecodeType::nested(base, depth);
}

core::BytecodeType map_type_or_int(const Type& type) {
  return map_type(type).value_or(core::BytecodeType::Int());
}

}  // namespace quarn::compiler
