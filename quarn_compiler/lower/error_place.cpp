#include "quarn_compiler/lower/error_place.h"

#include <vector>

namespace quarn::compiler {
namespace {

struct Visit {
  const SpannedExpr* expr;
  const Span* placed;  // the innermost placed node on the way here, or nullptr
};

// The expressions a statement holds itself, in no particular order.
void push_statement_roots(const Stmt& s, std::vector<Visit>& pending) {
  auto push = [&](const SpannedExpr& e) { pending.push_back({&e, nullptr}); };
  if (const auto* x = s.as<Stmt::Let>()) push(x->value);
  if (const auto* x = s.as<Stmt::Local>()) push(x->value);
  if (const auto* x = s.as<Stmt::Assign>()) {
    push(x->lhs);
    push(x->value);
  }
  if (const auto* x = s.as<Stmt::Return>()) push(x->value);
  if (const auto* x = s.as<Stmt::If>()) push(x->condition);
  if (const auto* x = s.as<Stmt::While>()) push(x->condition);
  if (const auto* x = s.as<Stmt::Expr>()) push(x->expr);
  if (const auto* x = s.as<Stmt::Asm>()) {
    for (const AsmInput& in : x->inputs) push(in.value);
  }
  if (const auto* x = s.as<Stmt::Switch>()) {
    push(x->expr);
    for (const SwitchArm& arm : x->arms) {
      for (const SpannedExpr& p : arm.patterns) push(p);
    }
  }
}

// The children of an expression (a transaction's statements are not
// lowered, so not looked into).
template <class Push>
void for_each_child(const Expr& e, Push&& push) {
  if (const auto* x = e.as<Expr::BinOp>()) {
    push(*x->lhs);
    push(*x->rhs);
  } else if (const auto* x = e.as<Expr::UnaryOp>()) {
    push(*x->operand);
  } else if (const auto* x = e.as<Expr::Call>()) {
    push(*x->func);
    for (const SpannedExpr& a : x->args) push(a);
  } else if (const auto* x = e.as<Expr::Index>()) {
    push(*x->object);
    push(*x->index);
  } else if (const auto* x = e.as<Expr::Field>()) {
    push(*x->object);
  } else if (const auto* x = e.as<Expr::Array>()) {
    for (const SpannedExpr& a : x->elements) push(a);
  } else if (const auto* x = e.as<Expr::Object>()) {
    for (const ObjectEntry& entry : x->entries) push(entry.value);
  } else if (const auto* x = e.as<Expr::Contract>()) {
    for (const ContractField& f : x->fields) push(f.value);
  } else if (const auto* x = e.as<Expr::Cast>()) {
    push(*x->expr);
  } else if (const auto* x = e.as<Expr::Pipe>()) {
    push(*x->value);
    push(*x->func);
  } else if (const auto* x = e.as<Expr::Collapse>()) {
    push(*x->value);
  } else if (const auto* x = e.as<Expr::Resolve>()) {
    push(*x->target);
  }
}

// A walk with its own stack: chains of operators nest as deep as they are
// long, far deeper than the machine stack would allow.
std::optional<Span> search(std::vector<Visit> pending, const Expr& node) {
  while (!pending.empty()) {
    const Visit v = pending.back();
    pending.pop_back();
    const Span* placed = v.expr->span.has_position() ? &v.expr->span : v.placed;
    if (&v.expr->node == &node) {
      if (placed == nullptr) return std::nullopt;
      return *placed;
    }
    for_each_child(v.expr->node, [&](const SpannedExpr& child) { pending.push_back({&child, placed}); });
  }
  return std::nullopt;
}

}  // namespace

std::optional<Span> place_within(const SpannedStmt& stmt, const Expr& node) {
  std::vector<Visit> pending;
  push_statement_roots(stmt.node, pending);
  return search(std::move(pending), node);
}

std::optional<Span> place_within(const Expr& root, const Expr& node) {
  if (&root == &node) return std::nullopt;
  std::vector<Visit> pending;
  for_each_child(root, [&](const SpannedExpr& child) { pending.push_back({&child, nullptr}); });
  return search(std::move(pending), node);
}

}  // namespace quarn::compiler
