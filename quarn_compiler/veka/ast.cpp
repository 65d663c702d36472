// Copying and dropping expression trees without recursion along chains.
//
// A chain `x + a + b + ...` or `x.f[0](a)...` nests one node inside the next
// through a single child, the spine. Recursing through it would cost one
// machine frame per term; these walk it in a loop instead and recurse only
// into the other children, which nest no deeper than the writer nested.

#include "quarn_compiler/veka/ast.h"

namespace quarn::compiler {

const SpannedExpr* spine_child(const Expr& e) {
  return std::visit(
      [](const auto& n) -> const SpannedExpr* {
        using T = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<T, Expr::BinOp>) return n.lhs.get();
        else if constexpr (std::is_same_v<T, Expr::UnaryOp>) return n.operand.get();
        else if constexpr (std::is_same_v<T, Expr::Call>) return n.func.get();
        else if constexpr (std::is_same_v<T, Expr::Index>) return n.object.get();
        else if constexpr (std::is_same_v<T, Expr::Field>) return n.object.get();
        else if constexpr (std::is_same_v<T, Expr::Cast>) return n.expr.get();
        else if constexpr (std::is_same_v<T, Expr::Pipe>) return n.value.get();
        else if constexpr (std::is_same_v<T, Expr::Collapse>) return n.value.get();
        else if constexpr (std::is_same_v<T, Expr::Resolve>) return n.target.get();
        else return nullptr;
      },
      e.v);
}

Box<SpannedExpr>* Expr::spine_box() {
  return std::visit(
      [](auto& n) -> Box<SpannedExpr>* {
        using T = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<T, BinOp>) return &n.lhs;
        else if constexpr (std::is_same_v<T, UnaryOp>) return &n.operand;
        else if constexpr (std::is_same_v<T, Call>) return &n.func;
        else if constexpr (std::is_same_v<T, Index>) return &n.object;
        else if constexpr (std::is_same_v<T, Field>) return &n.object;
        else if constexpr (std::is_same_v<T, Cast>) return &n.expr;
        else if constexpr (std::is_same_v<T, Pipe>) return &n.value;
        else if constexpr (std::is_same_v<T, Collapse>) return &n.value;
        else if constexpr (std::is_same_v<T, Resolve>) return &n.target;
        else return nullptr;
      },
      v);
}

namespace {

// Tags of the alternatives with a spine child: BinOp .. Resolve.
constexpr std::size_t kFirstWithSpine = 4;
constexpr std::size_t kLastWithSpine = 12;
static_assert(std::is_same_v<std::variant_alternative_t<kFirstWithSpine, Expr::Variant>, Expr::BinOp>);
static_assert(std::is_same_v<std::variant_alternative_t<kLastWithSpine, Expr::Variant>, Expr::Resolve>);

bool may_have_spine(const Expr& e) {
  return e.v.index() >= kFirstWithSpine && e.v.index() <= kLastWithSpine;
}

}  // namespace

void Expr::drop_spine() noexcept {
  Box<SpannedExpr>* box = spine_box();
  if (box == nullptr || box->slot() == nullptr) return;
  // A spine one node long drops as it is: nothing to unchain.
  if (!may_have_spine(box->slot()->node)) return;
  std::unique_ptr<SpannedExpr> next = std::move(box->slot());
  while (next) {
    // Detach the grandchild first, so that dropping `next` is shallow along
    // the spine; its other children go with it (recursing only into them).
    Box<SpannedExpr>* below = next->node.spine_box();
    std::unique_ptr<SpannedExpr> after = below ? std::move(below->slot()) : nullptr;
    next = std::move(after);
  }
}

Expr::~Expr() {
  if (may_have_spine(*this)) drop_spine();
}

Expr::Expr(const Expr& other) {
  // Copy node by node down the spine: each copy takes every field but the
  // spine child, whose Box is then filled with the copy of the next node.
  const Expr* from = &other;
  Expr* to = this;
  while (true) {
    std::visit(
        [&](const auto& n) {
          using T = std::decay_t<decltype(n)>;
          if constexpr (std::is_same_v<T, BinOp>) to->v.template emplace<T>(T{n.op, Box<SpannedExpr>(), n.rhs});
          else if constexpr (std::is_same_v<T, UnaryOp>) to->v.template emplace<T>(T{n.op, Box<SpannedExpr>()});
          else if constexpr (std::is_same_v<T, Call>) to->v.template emplace<T>(T{Box<SpannedExpr>(), n.args});
          else if constexpr (std::is_same_v<T, Index>) to->v.template emplace<T>(T{Box<SpannedExpr>(), n.index});
          else if constexpr (std::is_same_v<T, Field>) to->v.template emplace<T>(T{Box<SpannedExpr>(), n.field});
          else if constexpr (std::is_same_v<T, Cast>) to->v.template emplace<T>(T{Box<SpannedExpr>(), n.target_type});
          else if constexpr (std::is_same_v<T, Pipe>) to->v.template emplace<T>(T{Box<SpannedExpr>(), n.func});
          else if constexpr (std::is_same_v<T, Collapse>) to->v.template emplace<T>(T{n.table, n.namespace_, Box<SpannedExpr>()});
          else if constexpr (std::is_same_v<T, Resolve>) to->v.template emplace<T>(T{Box<SpannedExpr>()});
          else to->v.template emplace<T>(n);
        },
        from->v);
    const SpannedExpr* child = spine_child(*from);
    if (child == nullptr) return;
    auto copy = std::make_unique<SpannedExpr>();
    copy->span = child->span;
    Expr* next = &copy->node;
    to->spine_box()->slot() = std::move(copy);
    from = &child->node;
    to = next;
  }
}

Expr& Expr::operator=(const Expr& other) {
  if (this != &other) *this = Expr(other);
  return *this;
}

}  // namespace quarn::compiler
