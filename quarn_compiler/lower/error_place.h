// Where in the source a lowering error arose. The lowering goes down a
// statement's expressions without their spans, and most of its messages
// quote no node ("Undefined: x"); when one fails, the place is looked up
// afterwards, once, instead of being carried down every expression.
#pragma once

#include "quarn_compiler/veka/ast.h"

#include <optional>

namespace quarn::compiler {

// The innermost placed node on the way from the expressions `stmt` holds
// itself (not those of the blocks it holds) down to `node`, or nothing when
// `node` is not among them. Nodes without a place of their own (the
// children of postfix forms) give their nearest placed ancestor's.
std::optional<Span> place_within(const SpannedStmt& stmt, const Expr& node);
// The same from an expression without a place of its own (a module
// constant's value), itself included.
std::optional<Span> place_within(const Expr& root, const Expr& node);

}  // namespace quarn::compiler
