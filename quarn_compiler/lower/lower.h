// Lowering of a parsed program to the flat register-machine instruction list.
//
// Usage:
//   auto compiled = lower_program(program);   // CompiledProgram or LoweringError
//
// lower_program frames modules and functions, runs substrate inference and the
// @scale check, and fills the content hash and the metadata. lower_stmt and
// lower_expr append the code of one statement or expression to the state;
// every error stops the whole lowering (instructions appended before it are
// left behind, but nothing is ever encoded from a failed lowering).
//
// lower_expr follows chains (the spine, ast.h) in a loop and recurses only
// into the other children; statements recurse once per block. parse_source
// bounds both by kMaxNestingDepth, which keeps the machine stack small.
#pragma once

#include "quarn_compiler/lower/lowering_state.h"
#include "quarn_compiler/substrate_inference/substrate_inference.h"
#include "quarn_compiler/veka/ast.h"
#include "quarn_core/quarn_crate/crate.h"
#include "quarn_core/quarn_crate/encode.h"

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace quarn::compiler {

// The register holding the expression's value. On failure the error is in
// the state (st.take_error()).
Lowered<Reg> lower_expr(LoweringState& st, const Expr& expr);

Lowered<core::Unit> lower_stmt(LoweringState& st, const SpannedStmt& stmt);
Lowered<core::Unit> lower_stmts(LoweringState& st, const std::vector<SpannedStmt>& stmts);

// Pushes the function's scope, binds its parameters to fresh registers (the
// parameter registers, left in `params` in order), lowers its body and
// closes it with `LoadConst Null` and `Return`.
Lowered<core::Unit> lower_function_body(LoweringState& st, const FunctionDef& function,
                                        std::vector<Reg>& params);

// Lowers a program item by item: first its modules, then its top-level
// definitions one at a time, each of which may be dropped as soon as it is
// added. This is what lets the compile driver lower every definition while
// the parser is still reading, so that the whole tree never exists at once.
//
//   ProgramLowering lowering(expected_instructions);
//   QUARN_CHECK(lowering.add_modules(program));       // once, first
//   for (...) QUARN_CHECK(lowering.add_definition(f)); // in source order
//   return std::move(lowering).finish();
//
// The first error ends the lowering: the object must then be dropped.
//
// Given an encoder, the lowering writes each instruction straight into it
// and keeps only where the current definition's branches start, for
// patching them (they all point inside it); it then ends with
// finish_streamed(), which returns the metadata for encoder.finish().
class ProgramLowering {
 public:
  // What finish_streamed() leaves for the encoder:
  //   encoder.finish(end.metadata, &end.param_types)
  // The metadata's parameter-type map is in the flat table, not in the map.
  struct StreamedMetadata {
    core::ProgramMetadata metadata;
    core::ParamTypeTable param_types;
  };

  // `expected_instructions` only sizes the instruction list up front.
  explicit ProgramLowering(std::size_t expected_instructions = 0);
  explicit ProgramLowering(core::ProgramEncoder& encoder);

  // The program's name and its modules. The modules must stay alive and in
  // place until finish(): the constant and enum tables point into them.
  LowerResult<core::Unit> add_modules(const Program& program);
  // One top-level definition. It need not outlive the call.
  LowerResult<core::Unit> add_definition(const FunctionDef& function);
  // The @scale check over all decisions, the calls' and FuncDefs' final
  // max_depth, the content hash and the metadata.
  LowerResult<core::CompiledProgram> finish() &&;
  // The same checks and patches for a lowering that was given an encoder;
  // the instructions are in the encoder, the metadata is returned with its
  // parameter types in a flat table.
  LowerResult<StreamedMetadata> finish_streamed() &&;

 private:
  struct NamedDecision {
    std::string name;  // plain for top-level functions, "module.function" otherwise
    bool top_level;
    SubstrateDecision decision;
  };
  // What the metadata keeps of a function. The records pile up in lowering
  // order and become the metadata's name-ordered maps once, at the end: one
  // sort instead of a walk down an ordered map for every function.
  // A record is a few numbers, so that piling them up costs no allocation.
  struct FunctionRecord {
    // The name's first eight bytes, big-endian and zero-padded: records in
    // the order of these keys are in name order, up to equal keys.
    std::uint64_t order_key;
    std::size_t name_begin;  // the name, in record_names_
    std::size_t name_size;
    std::size_t params_begin;  // the parameter types, in record_types_
    std::size_t params_size;
    std::size_t linkage;  // 1 + its index in linkages_ (no_mangle and/or export), or 0
  };
  std::string_view name_of(const FunctionRecord& record) const {
    return std::string_view(record_names_).substr(record.name_begin, record.name_size);
  }

  void add_record(const FunctionDef& function, std::vector<FunctionRecord>& records);
  // The parameter types and linkage maps from all records: for each name,
  // the last record's types and the last linkage given (top-level functions
  // before module functions, each in source order). The parameter types go
  // into the metadata's map, or with an encoder into param_table_.
  void build_function_maps();

  // The max_depth a call of `function` carries once every function is known.
  std::uint32_t final_max_depth(std::string_view function) const;

  // Once every jump of the code held points inside it (at the end of the
  // modules and of each top-level definition): with an encoder, forgets
  // where that code starts.
  void close_code();
  // What finish and finish_streamed share: the @scale check, the final
  // max_depth of calls and FuncDefs, and the metadata.
  LowerResult<core::Unit> finish_lowering();

  // Function names to u32, looked up by view.
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
  };
  using DepthMap = std::unordered_map<std::string, std::uint32_t, NameHash, std::equal_to<>>;

  LoweringState st_;
  core::ProgramEncoder* encoder_ = nullptr;
  std::vector<Reg> params_;  // reused for every function
  std::string program_name_;
  SubstrateInference inference_;
  std::vector<NamedDecision> top_level_decisions_;
  std::vector<NamedDecision> module_decisions_;
  // Declared max_depth by plain name; a module function's entry wins over a
  // top-level one's, a later function's over an earlier one's.
  DepthMap top_level_depths_;
  DepthMap module_depths_;
  // Metadata of module functions, laid over that of top-level functions.
  std::vector<FunctionRecord> top_level_records_;
  std::vector<FunctionRecord> module_records_;
  std::vector<core::BytecodeType> record_types_;
  std::string record_names_;
  std::vector<core::ExportEntry> linkages_;
  core::ProgramMetadata metadata_;
  core::ParamTypeTable param_table_;
};

// The whole program, ready for encoding, through a ProgramLowering.
LowerResult<core::CompiledProgram> lower_program(const Program& program,
                                                 std::size_t expected_instructions = 0);

// max_depth(N) with N a decimal u32, optionally preceded by '+'; nullopt for
// any other attribute text.
std::optional<std::uint32_t> parse_max_depth_pragma(std::string_view attribute);

}  // namespace quarn::compiler
