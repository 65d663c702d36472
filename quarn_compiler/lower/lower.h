// Lowering of a parsed program to the flat register-machine instruction list.
//
// Usage:
//   auto compiled = lower_program(program);   // CompiledProgram or CoreError
//
// lower_program frames modules and functions, runs substrate inference and the
// @scale check, and fills the content hash and the metadata. lower_stmt and
// lower_expr append the code of one statement or expression to the state;
// every error stops the whole lowering (instructions appended before it are
// left behind, but nothing is ever encoded from a failed lowering).
//
// The walkers recurse once per tree level; parse_source bounds the tree's
// depth by kMaxNestingDepth, which keeps the machine stack small.
#pragma once

#include "quarn_compiler/lower/lowering_state.h"
#include "quarn_compiler/veka/ast.h"
#include "quarn_core/quarn_crate/crate.h"

#include <vector>

namespace quarn::compiler {

// The register holding the expression's value.
LowerResult<Reg> lower_expr(LoweringState& st, const Expr& expr);

LowerResult<core::Unit> lower_stmt(LoweringState& st, const SpannedStmt& stmt);
LowerResult<core::Unit> lower_stmts(LoweringState& st, const std::vector<SpannedStmt>& stmts);

// Pushes the function's scope, binds its parameters to fresh registers (the
// parameter registers, returned in order), lowers its body and closes it with
// `LoadConst Null` and `Return`.
LowerResult<std::vector<Reg>> lower_function_body(LoweringState& st, const FunctionDef& function);

// The whole program, ready for encoding. `expected_instructions` only sizes
// the instruction list up front (0: let it grow).
LowerResult<core::CompiledProgram> lower_program(const Program& program,
                                                 std::size_t expected_instructions = 0);

// max_depth(N) with N a decimal u32, optionally preceded by '+'; nullopt for
// any other attribute text.
std::optional<std::uint32_t> parse_max_depth_pragma(std::string_view attribute);

}  // namespace quarn::compiler
