// The grammar's rules, compiled once for each trail mode (parser.h). They are
// one unit so that each mode's rules are made once, and so that the compiler
// may inline a rule into its callers across the four files.

#include "quarn_compiler/veka/lexical.inc"
#include "quarn_compiler/veka/parse_expr.inc"
#include "quarn_compiler/veka/parse_stmt.inc"
#include "quarn_compiler/veka/parse_items.inc"

namespace quarn::compiler::detail {

template class Parser<NoTrail>;
template class Parser<RecordTrail>;

}  // namespace quarn::compiler::detail
