#include "quarn_compiler/lower/lowering_state.h"

#include <stdexcept>
#include <utility>

namespace quarn::compiler {

LoweringState::LoweringState() { scopes.emplace_back(); }

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
  if (spare_scopes_.empty()) {
    scopes.emplace_back();
  } else {
    scopes.push_back(std::move(spare_scopes_.back()));
    spare_scopes_.pop_back();
  }
}

void LoweringState::pop_scope() {
  // The global scope is never popped: only function bodies push.
  if (scopes.size() <= 1) throw std::logic_error("lowering popped the global scope");
  scopes.back().clear();
  spare_scopes_.push_back(std::move(scopes.back()));
  scopes.pop_back();
}

std::optional<Reg> LoweringState::lookup_variable(std::string_view name) const {
  for (auto it = scopes.rbegin(); it != scopes.rend(); ++it) {
    if (auto found = it->find(name); found != it->end()) return found->second;
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
