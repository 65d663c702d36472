// The outer layer of the lowering: program-wide tables, modules (constants,
// structs, functions, then their ModuleDef), top-level functions with their
// FuncDef, substrate decisions and the @scale rule, and the container with
// its content hash and metadata.
#include "quarn_compiler/lower/lower.h"
#include "quarn_compiler/substrate_inference/substrate_inference.h"
#include "quarn_core/quarn_crate/encode.h"
#include "quarn_core/text.h"

#include <algorithm>
#include <stdexcept>
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

bool is_scaled(const SubstrateDecision& d) { return d.swarm_size && *d.swarm_size >= 2; }

// Only main may run as a swarm: the execution model is flat.
template <class Decisions>
LowerResult<core::Unit> check_scale(const Decisions& decisions) {
  std::vector<const std::string*> scaled;
  std::optional<Span> first_place;  // the first scaled function's name
  for (const auto& d : decisions) {
    if (!is_scaled(d.decision)) continue;
    if (scaled.empty()) first_place = d.name_span;
    scaled.push_back(&d.name);
  }
  if (scaled.size() == 1 && *scaled.front() != "main") {
    return LoweringError(lowering_error("@scale on '" + *scaled.front() +
                                        "' not supported. Only main() can use @scale in MVP "
                                        "(flat execution model)."),
                         first_place);
  }
  if (scaled.size() >= 2) {
    std::string names;
    for (const std::string* name : scaled) {
      if (!names.empty()) names += ", ";
      names += *name;
    }
    return LoweringError(lowering_error("Multiple @scale functions not supported in MVP: " +
                                        names + ". Only main() can use @scale."),
                         first_place);
  }
  return core::Unit{};
}

bool has_attribute(const FunctionDef& function, std::string_view attribute) {
  for (const std::string& a : function.attributes) {
    if (a == attribute) return true;
  }
  return false;
}

}  // namespace

std::optional<std::uint32_t> parse_max_depth_pragma(std::string_view attribute) {
  constexpr std::string_view kOpen = "max_depth(";
  if (!attribute.starts_with(kOpen) || !attribute.ends_with(')')) return std::nullopt;
  std::string_view digits = attribute.substr(kOpen.size(), attribute.size() - kOpen.size() - 1);
  std::optional<std::uint64_t> n = core::parse_decimal(digits, UINT32_MAX);
  if (!n) return std::nullopt;
  return static_cast<std::uint32_t>(*n);
}

ProgramLowering::ProgramLowering(std::size_t expected_instructions) {
  st_.reserve(expected_instructions);
}

ProgramLowering::ProgramLowering(core::ProgramEncoder& encoder)
    : st_(&encoder), encoder_(&encoder) {}

void ProgramLowering::close_code() {
  if (encoder_ != nullptr) st_.drop_code();
}

void ProgramLowering::add_record(const FunctionDef& function,
                                 std::vector<FunctionRecord>& records) {
  const std::size_t params_begin = record_types_.size();
  for (const Param& param : function.params) record_types_.push_back(map_type_or_int(param.type));
  std::size_t linkage = 0;
  if (!function.attributes.empty()) {
    const bool no_mangle = has_attribute(function, "no_mangle");
    const bool exported = has_attribute(function, "export");
    if (no_mangle || exported) {
      core::BytecodeType ret = function.return_type ? map_type_or_int(*function.return_type)
                                                    : core::BytecodeType::Int();
      linkages_.push_back(core::ExportEntry{
          static_cast<std::uint8_t>(no_mangle), static_cast<std::uint8_t>(exported),
          std::vector<core::BytecodeType>(record_types_.begin() + params_begin,
                                          record_types_.end()),
          ret});
      linkage = linkages_.size();
    }
  }
  std::uint64_t key = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    const unsigned char c = i < function.name.size() ? function.name[i] : 0;
    key = (key << 8) | c;
  }
  records.push_back({key, record_names_.size(), function.name.size(), params_begin,
                     function.params.size(), linkage});
  record_names_.append(function.name);
}

void ProgramLowering::build_function_maps() {
  std::vector<const FunctionRecord*> order;
  order.reserve(top_level_records_.size() + module_records_.size());
  for (const FunctionRecord& r : top_level_records_) order.push_back(&r);
  for (const FunctionRecord& r : module_records_) order.push_back(&r);
  // Stable: the records of one name stay in lowering order, the last wins.
  std::stable_sort(order.begin(), order.end(),
                   [this](const FunctionRecord* a, const FunctionRecord* b) {
                     return a->order_key != b->order_key ? a->order_key < b->order_key
                                                         : name_of(*a) < name_of(*b);
                   });
  if (encoder_ != nullptr) {
    param_table_.names.reserve(order.size());
    param_table_.ends.reserve(order.size());
    param_table_.types.reserve(record_types_.size());
  }
  // In ascending name order, so every entry goes in at the end of its map.
  for (std::size_t i = 0; i < order.size();) {
    const std::string_view name = name_of(*order[i]);
    std::size_t j = i + 1;
    while (j < order.size() && name_of(*order[j]) == name) ++j;
    std::size_t linkage = 0;
    for (std::size_t k = i; k < j; ++k) {
      if (order[k]->linkage != 0) linkage = order[k]->linkage;
    }
    if (linkage != 0) {
      metadata_.exports.emplace_hint(metadata_.exports.end(), std::string(name),
                                     std::move(linkages_[linkage - 1]));
    }
    const FunctionRecord& last = *order[j - 1];
    const auto types = record_types_.begin() + static_cast<std::ptrdiff_t>(last.params_begin);
    const auto types_end = types + static_cast<std::ptrdiff_t>(last.params_size);
    if (encoder_ != nullptr) {
      param_table_.names.emplace_back(name);
      param_table_.types.insert(param_table_.types.end(), types, types_end);
      param_table_.ends.push_back(param_table_.types.size());
    } else {
      metadata_.param_types.emplace_hint(metadata_.param_types.end(), std::string(name),
                                         std::vector<core::BytecodeType>(types, types_end));
    }
    i = j;
  }
}

LowerResult<core::Unit> ProgramLowering::add_modules(const Program& program) {
  program_name_ = program.name;
  for (const Module& module : program.modules) {
    for (const FunctionDef& function : module.functions) {
      module_depths_.insert_or_assign(function.name, declared_max_depth(function));
      add_record(function, module_records_);
      if (!function.attributes.empty()) {
        module_decisions_.push_back(
            {module.name + "." + function.name, false, inference_.infer(function), function.name_span});
      }
    }
    for (const EnumDecl& e : module.enums) st_.enum_table.insert_or_assign(e.name, &e.variants);
  }

  // A module's code comes before its ModuleDef, which points back into it.
  for (const Module& module : program.modules) {
    std::vector<core::ConstantEntry> constants;
    for (const ConstDecl& c : module.constants) {
      const Lowered<Reg> lowered = lower_expr(st_, c.value);
      if (!lowered.ok()) {
        st_.place_error(c.value);
        return st_.take_error();
      }
      const Reg r = lowered.value();
      constants.push_back({c.name, map_type_or_int(c.type), r});
      st_.constants.insert_or_assign(c.name, r);
    }
    std::vector<core::StructEntry> structs;
    for (const StructDecl& s : module.structs) {
      core::StructEntry entry{s.name, {}};
      for (const auto& [field, type] : s.fields) entry.fields.push_back({field, map_type_or_int(type)});
      structs.push_back(std::move(entry));
    }
    std::vector<core::FunctionEntry> functions;
    for (const FunctionDef& function : module.functions) {
      const Target entry = st_.position();
      if (!lower_function_body(st_, function, params_).ok()) return st_.take_error();
      functions.push_back({function.name, params_, entry});
    }
    st_.emit(core::ModuleDef{module.name, module.capabilities.value_or(std::vector<std::string>{}),
                             std::move(constants), std::move(structs), std::move(functions)});
  }
  close_code();
  return core::Unit{};
}

LowerResult<core::Unit> ProgramLowering::add_definition(const FunctionDef& function) {
  // Only functions with attribute text can declare a depth; one without
  // still resets a name an earlier function declared. Top-level entries are
  // looked at last, so one holding the default is as good as none: only
  // declared depths are kept, which keeps the map small for the look-up of
  // every call site at the end.
  if (!function.attributes.empty() || !top_level_depths_.empty()) {
    const std::uint32_t depth = declared_max_depth(function);
    if (depth != kDefaultMaxDepth) {
      top_level_depths_.insert_or_assign(function.name, depth);
    } else {
      top_level_depths_.erase(function.name);
    }
  }
  const Target entry = st_.position();
  if (!lower_function_body(st_, function, params_).ok()) return st_.take_error();
  st_.emit_func_def(function.name, params_, entry);
  add_record(function, top_level_records_);

  // Of a decision only its swarm size reaches the output (the @scale check
  // and the swarm metadata), and only a scale pragma gives one: a function
  // without any attribute text can only be inferred from its operations, so
  // its inference, which walks the whole body, is not run.
  if (!function.attributes.empty()) {
    top_level_decisions_.push_back({function.name, true, inference_.infer(function), function.name_span});
  }
  close_code();
  return core::Unit{};
}

std::uint32_t ProgramLowering::final_max_depth(std::string_view function) const {
  if (auto found = module_depths_.find(function); found != module_depths_.end()) {
    return found->second;
  }
  if (auto found = top_level_depths_.find(function); found != top_level_depths_.end()) {
    return found->second;
  }
  return kDefaultMaxDepth;
}

LowerResult<core::Unit> ProgramLowering::finish_lowering() {
  // Decisions in the order of the check's message: top-level functions first.
  std::vector<NamedDecision> decisions = std::move(top_level_decisions_);
  decisions.insert(decisions.end(), std::make_move_iterator(module_decisions_.begin()),
                   std::make_move_iterator(module_decisions_.end()));
  QUARN_CHECK(check_scale(decisions));

  // Every site was written with the default. Only a site whose name has an
  // entry can change; the marks of those names, as bits of a small filter,
  // pass over most other sites without reading their names back.
  if (!module_depths_.empty() || !top_level_depths_.empty()) {
    constexpr std::size_t kFilterBits = std::size_t{1} << 16;
    std::vector<std::uint64_t> filter(kFilterBits / 64);
    const auto bit = [](std::uint64_t mark) { return mark % kFilterBits; };
    for (const DepthMap* map : {&module_depths_, &top_level_depths_}) {
      for (const auto& [name, depth] : *map) {
        const std::size_t b = bit(LoweringState::name_mark(name));
        filter[b / 64] |= std::uint64_t{1} << (b % 64);
      }
    }
    for (const LoweringState::DepthSite& site : st_.depth_sites) {
      const std::size_t b = bit(site.name_mark);
      if ((filter[b / 64] >> (b % 64) & 1) == 0) continue;
      const std::uint32_t depth = final_max_depth(st_.name_of(site));
      if (depth == kDefaultMaxDepth) continue;
      if (encoder_ != nullptr) {
        encoder_->patch_u32(site.at, depth);
        continue;
      }
      core::Instruction& insn = st_.instructions.at(site.at);
      if (auto* call = std::get_if<core::Call>(&insn)) {
        call->max_depth = depth;
      } else {
        std::get<core::FuncDef>(insn).max_depth = depth;
      }
    }
  }

  core::ProgramMetadata& meta = metadata_;
  build_function_maps();
  meta.source_name = program_name_ + std::string(kSourceSuffix);
  meta.compiler_version = std::string(kCompilerVersion);
  meta.register_count = st_.register_counter;
  meta.source_map = std::move(st_.source_map);
  for (const NamedDecision& d : decisions) {
    if (d.top_level && d.name == "main" && is_scaled(d.decision)) {
      meta.swarm.insert_or_assign(
          "main", core::SwarmEntry{1, *d.decision.swarm_size,
                                   std::string(substrate_name(d.decision.substrate)),
                                   d.decision.barrier_count});
    }
  }
  return core::Unit{};
}

LowerResult<core::CompiledProgram> ProgramLowering::finish() && {
  QUARN_CHECK(finish_lowering());
  core::CompiledProgram compiled;
  compiled.format_version = core::kFormatVersion;
  compiled.content_hash = core::content_hash_of(st_.instructions);
  compiled.metadata = std::move(metadata_);
  compiled.instructions = std::move(st_.instructions);
  return compiled;
}

LowerResult<ProgramLowering::StreamedMetadata> ProgramLowering::finish_streamed() && {
  // Without an encoder the code is in st_.instructions: finish() returns it.
  if (encoder_ == nullptr) {
    throw std::logic_error("streamed lowering finished without an encoder");
  }
  QUARN_CHECK(finish_lowering());
  return StreamedMetadata{std::move(metadata_), std::move(param_table_)};
}

LowerResult<core::CompiledProgram> lower_program(const Program& program,
                                                 std::size_t expected_instructions) {
  ProgramLowering lowering(expected_instructions);
  QUARN_CHECK(lowering.add_modules(program));
  for (const FunctionDef& function : program.definitions) {
    QUARN_CHECK(lowering.add_definition(function));
  }
  return std::move(lowering).finish();
}

}  // namespace quarn::compiler
