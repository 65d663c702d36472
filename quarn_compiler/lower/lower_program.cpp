// The outer layer of the lowering: program-wide tables, modules (constants,
// structs, functions, then their ModuleDef), top-level functions with their
// FuncDef, substrate decisions and the @scale rule, and the container with
// its content hash and metadata.
#include "quarn_compiler/lower/lower.h"
#include "quarn_compiler/substrate_inference/substrate_inference.h"
#include "quarn_core/quarn_crate/encode.h"

#include <string>
#include <utility>
#include <vector>

namespace quarn::compiler {
namespace {

constexpr std::string_view kSourceSuffix = ".vekl";
constexpr std::string_view kCompilerVersion = "0.1.0";

// The function's max_depth: the first well-formed max_depth pragma, or the
// default.
std::uint32_t declared_max_depth(const FunctionDef& function) {
  for (const std::string& attribute : function.attributes) {
    if (auto depth = parse_max_depth_pragma(attribute)) return *depth;
  }
  return kDefaultMaxDepth;
}

struct NamedDecision {
  std::string name;  // plain for top-level functions, "module.function" otherwise
  bool top_level;
  SubstrateDecision decision;
};

bool is_scaled(const SubstrateDecision& d) { return d.swarm_size && *d.swarm_size >= 2; }

// Only main may run as a swarm: the execution model is flat.
LowerResult<core::Unit> check_scale(const std::vector<NamedDecision>& decisions) {
  std::vector<const std::string*> scaled;
  for (const NamedDecision& d : decisions) {
    if (is_scaled(d.decision)) scaled.push_back(&d.name);
  }
  if (scaled.size() == 1 && *scaled.front() != "main") {
    return lowering_error("@scale on '" + *scaled.front() +
                          "' not supported. Only main() can use @scale in MVP (flat execution "
                          "model).");
  }
  if (scaled.size() >= 2) {
    std::string names;
    for (const std::string* name : scaled) {
      if (!names.empty()) names += ", ";
      names += *name;
    }
    return lowering_error("Multiple @scale functions not supported in MVP: " + names +
                          ". Only main() can use @scale.");
  }
  return core::Unit{};
}

std::vector<core::BytecodeType> param_types(const FunctionDef& function) {
  std::vector<core::BytecodeType> types;
  types.reserve(function.params.size());
  for (const Param& param : function.params) types.push_back(map_type_or_int(param.type));
  return types;
}

bool has_attribute(const FunctionDef& function, std::string_view attribute) {
  for (const std::string& a : function.attributes) {
    if (a == attribute) return true;
  }
  return false;
}

// Top-level functions first, then module functions; a later function of the
// same plain name replaces an earlier one's entries.
template <class F>
void for_each_function(const Program& program, F&& f) {
  for (const FunctionDef& function : program.definitions) f(function);
  for (const Module& module : program.modules) {
    for (const FunctionDef& function : module.functions) f(function);
  }
}

core::ProgramMetadata build_metadata(const Program& program, const LoweringState& st,
                                     const std::vector<NamedDecision>& decisions) {
  core::ProgramMetadata meta;
  meta.source_name = program.name + std::string(kSourceSuffix);
  meta.compiler_version = std::string(kCompilerVersion);
  meta.register_count = st.register_counter;

  for_each_function(program, [&](const FunctionDef& function) {
    meta.param_types.insert_or_assign(function.name, param_types(function));
    const bool no_mangle = has_attribute(function, "no_mangle");
    const bool exported = has_attribute(function, "export");
    if (no_mangle || exported) {
      core::BytecodeType ret = function.return_type ? map_type_or_int(*function.return_type)
                                                    : core::BytecodeType::Int();
      meta.exports.insert_or_assign(
          function.name, core::ExportEntry{static_cast<std::uint8_t>(no_mangle),
                                           static_cast<std::uint8_t>(exported),
                                           param_types(function), ret});
    }
  });

  for (std::size_t i = 0; i < st.spans.size(); ++i) {
    const SpanEntry& span = st.spans[i];
    if (!span.empty()) meta.source_map.push_back({static_cast<std::uint64_t>(i), span.line, span.col});
  }

  for (const NamedDecision& d : decisions) {
    if (d.top_level && d.name == "main" && is_scaled(d.decision)) {
      meta.swarm.insert_or_assign(
          "main", core::SwarmEntry{1, *d.decision.swarm_size,
                                   std::string(substrate_name(d.decision.substrate)),
                                   d.decision.barrier_count});
    }
  }
  return meta;
}

}  // namespace

std::optional<std::uint32_t> parse_max_depth_pragma(std::string_view attribute) {
  constexpr std::string_view kOpen = "max_depth(";
  if (!attribute.starts_with(kOpen) || !attribute.ends_with(')')) return std::nullopt;
  std::string_view digits = attribute.substr(kOpen.size(), attribute.size() - kOpen.size() - 1);
  if (digits.starts_with('+')) digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  std::uint64_t n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<std::uint64_t>(c - '0');
    if (n > UINT32_MAX) return std::nullopt;
  }
  return static_cast<std::uint32_t>(n);
}

LowerResult<core::CompiledProgram> lower_program(const Program& program,
                                                 std::size_t expected_instructions) {
  LoweringState st;
  st.reserve(expected_instructions);

  for_each_function(program, [&](const FunctionDef& function) {
    st.depth_map.insert_or_assign(function.name, declared_max_depth(function));
  });
  for (const Module& module : program.modules) {
    for (const EnumDecl& e : module.enums) st.enum_table.insert_or_assign(e.name, &e.variants);
  }

  // A module's code comes before its ModuleDef, which points back into it.
  for (const Module& module : program.modules) {
    std::vector<core::ConstantEntry> constants;
    for (const ConstDecl& c : module.constants) {
      QUARN_TRY(Reg r, lower_expr(st, c.value));
      constants.push_back({c.name, map_type_or_int(c.type), r});
      st.constants.insert_or_assign(c.name, r);
    }
    std::vector<core::StructEntry> structs;
    for (const StructDecl& s : module.structs) {
      core::StructEntry entry{s.name, {}};
      for (const auto& [field, type] : s.fields) entry.fields.push_back({field, map_type_or_int(type)});
      structs.push_back(std::move(entry));
    }
    std::vector<core::FunctionEntry> functions;
    for (const FunctionDef& function : module.functions) {
      const Target entry = st.position();
      QUARN_TRY(std::vector<Reg> params, lower_function_body(st, function));
      functions.push_back({function.name, std::move(params), entry});
    }
    st.emit(core::ModuleDef{module.name, module.capabilities.value_or(std::vector<std::string>{}),
                            std::move(constants), std::move(structs), std::move(functions)});
  }

  for (const FunctionDef& function : program.definitions) {
    const Target entry = st.position();
    QUARN_TRY(std::vector<Reg> params, lower_function_body(st, function));
    st.emit(core::FuncDef{function.name, std::move(params), entry, st.max_depth_of(function.name)});
  }

  // Decisions, top-level functions first. Of a decision only its swarm size
  // reaches the output (the @scale check and the swarm metadata), and only a
  // scale pragma gives one: a function without any attribute text can only
  // be inferred from its operations, so its inference, which renders and
  // hashes the whole body, is not run at all.
  SubstrateInference inference;
  std::vector<NamedDecision> decisions;
  for (const FunctionDef& function : program.definitions) {
    if (function.attributes.empty()) continue;
    decisions.push_back({function.name, true, inference.infer(function)});
  }
  for (const Module& module : program.modules) {
    for (const FunctionDef& function : module.functions) {
      if (function.attributes.empty()) continue;
      decisions.push_back({module.name + "." + function.name, false, inference.infer(function)});
    }
  }
  QUARN_CHECK(check_scale(decisions));

  core::CompiledProgram compiled;
  compiled.format_version = core::kFormatVersion;
  compiled.content_hash = core::content_hash_of(st.instructions);
  compiled.metadata = build_metadata(program, st, decisions);
  compiled.instructions = std::move(st.instructions);
  return compiled;
}

}  // namespace quarn::compiler
