// Statements to instructions, with all control flow laid out placeholder-
// then-patch: a branch goes in with unknown targets and is rewritten in place
// once the code it jumps over has been appended. The instruction that stands
// for a statement as a whole (the Move or IndexSet of an assignment, Return,
// the JumpIf of an if, Loop, Break, Continue, Asm, Barrier) carries the
// statement's span; everything else an empty entry.
#include "quarn_compiler/lower/lower.h"

#include <string>
#include <utility>
#include <vector>

namespace quarn::compiler {
namespace {

using core::Unit;

struct StmtLowering {
  LoweringState& st;
  const Span& span;

  // let name [":" type] "=" value ";"
  Lowered<Unit> operator()(const Stmt::Let& s) const {
    if (s.type_annotation) st.type_hint = &*s.type_annotation;
    const Lowered<Reg> value = lower_expr(st, s.value.node);
    st.type_hint = nullptr;
    if (!value.ok()) return Failed{};
    const Reg x = st.new_register();
    st.emit(core::Move{x, value.value()});
    st.bind(s.name, x);
    return Unit{};
  }

  Lowered<Unit> operator()(const Stmt::Local&) const { return Unit{}; }

  // target "=" value ";" (compound operators arrive already expanded)
  Lowered<Unit> operator()(const Stmt::Assign& s) const {
    QUARN_TRY(Reg v, lower_expr(st, s.value.node));
    const Expr& target = s.lhs.node;
    if (const auto* name = target.as<Expr::Ident>()) {
      auto x = st.lookup_variable(name->name);
      if (!x) return st.fail_at(lowering_error("Undefined: " + name->name), target);
      st.emit(core::Move{*x, v}, span);
      return Unit{};
    }
    if (const auto* index = target.as<Expr::Index>()) {
      QUARN_TRY(Reg object, lower_expr(st, index->object->node));
      QUARN_TRY(Reg i, lower_expr(st, index->index->node));
      st.emit(core::IndexSet{object, i, v}, span);
      return Unit{};
    }
    if (const auto* field = target.as<Expr::Field>()) {
      QUARN_TRY(Reg object, lower_expr(st, field->object->node));
      const Reg key = st.new_register();
      st.emit_constant(key, Constant::string(field->field));
      st.emit(core::IndexSet{object, key, v}, span);
      return Unit{};
    }
    return st.fail_at(lowering_error("Invalid assignment target"), target);
  }

  Lowered<Unit> operator()(const Stmt::Return& s) const {
    QUARN_TRY(Reg r, lower_expr(st, s.value.node));
    st.emit(core::Return{r}, span);
    return Unit{};
  }

  // j: JumpIf q, t, e    t: then...    m: Jump end    e: else...    end:
  // The Jump is there even without an else branch.
  Lowered<Unit> operator()(const Stmt::If& s) const {
    QUARN_TRY(Reg q, lower_expr(st, s.condition.node));
    const Target j = st.emit(core::JumpIf{q, 0, 0}, span);
    const Target t = st.position();
    QUARN_CHECK(lower_stmts(st, s.then_branch));
    const Target m = st.emit(core::Jump{0});
    const Target e = st.position();
    if (s.else_branch) QUARN_CHECK(lower_stmts(st, *s.else_branch));
    st.patch_jump_if(j, t, e);
    st.patch_jump(m, st.position());
    return Unit{};
  }

  // s: cond...  h: Loop q, s, h+1, end, max_iter   body...   Jump s   end:
  Lowered<Unit> operator()(const Stmt::While& s) const {
    const Target start = st.position();
    QUARN_TRY(Reg q, lower_expr(st, s.condition.node));
    const Target h = st.emit(core::Loop{q, start, 0, 0, s.max_iter}, span);
    const Target body = st.position();
    QUARN_CHECK(lower_stmts(st, s.body));
    st.emit(core::Jump{start});
    st.patch_loop(h, body, st.position());
    return Unit{};
  }

  // Neither is checked for standing inside a loop.
  Lowered<Unit> operator()(const Stmt::Break&) const {
    st.emit(core::Break{}, span);
    return Unit{};
  }
  Lowered<Unit> operator()(const Stmt::Continue&) const {
    st.emit(core::Continue{}, span);
    return Unit{};
  }

  Lowered<Unit> operator()(const Stmt::Expr& s) const {
    QUARN_TRY(Reg unused, lower_expr(st, s.expr.node));
    (void)unused;
    return Unit{};
  }

  // Constraints: "=" + each output's constraint, each input's constraint,
  // "~{" + each clobber + "}", joined by ",". Input expressions are not
  // lowered and output names are not bound.
  Lowered<Unit> operator()(const Stmt::Asm& s) const {
    std::string constraints;
    bool first = true;
    auto next = [&]() {
      if (!first) constraints += ',';
      first = false;
    };
    for (const auto& output : s.outputs) {
      next();
      constraints.append("=").append(output.first);
    }
    for (const AsmInput& input : s.inputs) {
      next();
      constraints.append(input.constraint);
    }
    for (const std::string& clobber : s.clobbers) {
      next();
      constraints.append("~{").append(clobber).append("}");
    }
    std::optional<Reg> output;
    if (!s.outputs.empty()) output = st.new_register();
    st.emit(core::Asm{output, s.template_, std::move(constraints), !s.clobbers.empty()}, span);
    return Unit{};
  }

  Lowered<Unit> operator()(const Stmt::Barrier& s) const {
    st.emit(core::Barrier{s.name}, span);
    return Unit{};
  }

  // switch d { p1 | p2 => { body } ... _ => { body } }
  // For each arm until a lone "_" pattern:
  //   tests: w = Eq d, p1; l = Eq d, p2; w = Or w, l; ...
  //   g: JumpIf w, g+1, z+1    body...    z: Jump end
  // A "_" arm contributes its body alone, and arms after it are not lowered.
  // The scrutinee register is compared directly, never copied. The branches
  // go in with their targets unknown and are patched once they are known.
  Lowered<Unit> operator()(const Stmt::Switch& s) const {
    QUARN_TRY(Reg d, lower_expr(st, s.expr.node));
    // The arms' exit Jumps, above the height this switch found (nested
    // switches push and pop above it).
    std::vector<Target>& arm_exits = st.target_stack;
    const StackMark<Target> exits(arm_exits);
    for (const SwitchArm& arm : s.arms) {
      if (arm.patterns.size() == 1) {
        const auto* name = arm.patterns.front().node.as<Expr::Ident>();
        if (name != nullptr && name->name == "_") {
          QUARN_CHECK(lower_stmts(st, arm.body));
          break;
        }
      }
      Reg w = 0;
      for (std::size_t i = 0; i < arm.patterns.size(); ++i) {
        QUARN_TRY(Reg p, lower_expr(st, arm.patterns[i].node));
        const Reg test = st.new_register();
        st.emit(core::Eq{test, d, p});
        if (i == 0) {
          w = test;
        } else {
          const Reg n = st.new_register();
          st.emit(core::Or{n, w, test});
          w = n;
        }
      }
      const Target g = st.emit(core::JumpIf{w, 0, 0});
      QUARN_CHECK(lower_stmts(st, arm.body));
      const Target z = st.emit(core::Jump{0});
      st.patch_jump_if(g, g + 1, z + 1);
      arm_exits.push_back(z);
    }
    const Target end = st.position();
    for (const Target z : exits.above()) st.patch_jump(z, end);
    return Unit{};
  }
};

}  // namespace

Lowered<core::Unit> lower_stmt(LoweringState& st, const SpannedStmt& stmt) {
  const Lowered<core::Unit> done = std::visit(StmtLowering{st, stmt.span}, stmt.node.v);
  if (!done.ok()) st.place_error(stmt);
  return done;
}

Lowered<core::Unit> lower_stmts(LoweringState& st, const std::vector<SpannedStmt>& stmts) {
  for (const SpannedStmt& stmt : stmts) QUARN_CHECK(lower_stmt(st, stmt));
  return core::Unit{};
}

Lowered<core::Unit> lower_function_body(LoweringState& st, const FunctionDef& function,
                                            std::vector<Reg>& params) {
  st.push_scope();
  params.clear();
  for (const Param& param : function.params) {
    const Reg r = st.new_register();
    st.bind(param.name, r);
    params.push_back(r);
  }
  if (!lower_stmts(st, function.body).ok()) {
    st.pop_scope();
    return Failed{};
  }
  // Every function ends in an explicit return of Null.
  const Reg z = st.new_register();
  st.emit_constant(z, Constant::null());
  st.emit(core::Return{z});
  st.pop_scope();
  return core::Unit{};
}

}  // namespace quarn::compiler
