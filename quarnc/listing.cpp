#include "quarnc/listing.h"

#include "quarn_core/disassemble.h"
#include "quarn_core/text.h"

#include <algorithm>
#include <set>
#include <type_traits>
#include <vector>

namespace quarn::quarnc {
namespace {

// Every instruction index that an instruction names as a place to continue:
// its Target fields (jumps, loop bounds, function entries) and the entries of
// the functions a ModuleDef lists.
template <class Fn>
void for_each_target(const core::Instruction& insn, Fn&& fn) {
  std::visit(
      [&](const auto& variant) {
        variant.for_each_field_spec([&](const core::FieldSpec& field, const auto& value) {
          using T = std::decay_t<decltype(value)>;
          if constexpr (std::is_same_v<T, core::BoxedFunctionList>) {
            for (const core::FunctionEntry& f : value.get()) fn(f.entry);
          } else if constexpr (std::is_same_v<T, core::Target>) {
            if (field.kind == core::FieldKind::Target) fn(value);
          }
        });
      },
      insn);
}

std::string type_list(const std::vector<core::BytecodeType>& types) {
  std::string out = "[";
  for (std::size_t i = 0; i < types.size(); ++i) {
    if (i > 0) out += ", ";
    out += core::render_type(types[i]);
  }
  return out + "]";
}

template <class Map, class Render>
void append_map(std::string& out, std::string_view title, const Map& map, Render&& render) {
  out += title;
  out += ":\n";
  if (map.empty()) out += "  (none)\n";
  for (const auto& [key, value] : map) {  // std::map: ascending byte order
    out += "  ";
    out += core::render_text(key);
    out += ": ";
    out += render(value);
    out += '\n';
  }
}

void append_metadata(std::string& out, const core::ProgramMetadata& meta) {
  append_map(out, "parameter types", meta.param_types, type_list);

  out += "source map:\n";
  std::vector<core::SourceMapEntry> entries = meta.source_map;
  std::stable_sort(entries.begin(), entries.end(),
                   [](const auto& a, const auto& b) { return a.index < b.index; });
  if (entries.empty()) out += "  (none)\n";
  for (const core::SourceMapEntry& e : entries) {
    out += "  " + core::decimal(e.index) + ": " + core::decimal(e.line) + ":" +
           core::decimal(e.col) + "\n";
  }

  append_map(out, "swarm", meta.swarm, [](const core::SwarmEntry& s) {
    return "flag " + core::decimal(s.flag) + ", size " + core::decimal(s.swarm_size) +
           ", substrate " + core::render_text(s.substrate) + ", barriers " +
           core::decimal(s.barrier_count);
  });
  append_map(out, "exports", meta.exports, [](const core::ExportEntry& e) {
    return "no_mangle " + core::decimal(e.no_mangle) + ", export " + core::decimal(e.exported) +
           ", params " + type_list(e.params) + ", returns " + core::render_type(e.return_type);
  });
}

}  // namespace

std::string program_listing(const core::CompiledProgram& program) {
  const auto& code = program.instructions;
  const auto* meta = program.metadata ? &*program.metadata : nullptr;
  std::string out;
  out += "format version: " + core::decimal(program.format_version) + "\n";
  out += "content hash: " + core::lower_hex(program.content_hash) + "\n";
  out += "register count: ";
  out += meta && meta->register_count ? core::decimal(*meta->register_count) : "none";
  out += "\nsource name: ";
  out += meta && meta->source_name ? core::render_text(*meta->source_name) : "none";
  out += "\ninstructions: " + core::decimal(code.size()) + "\n";

  std::vector<bool> marked(code.size());
  std::set<std::uint64_t> beyond;  // targets the decoder let through past the end
  for (const core::Instruction& insn : code) {
    for_each_target(insn, [&](std::uint32_t t) {
      if (t < code.size()) {
        marked[t] = true;
      } else {
        beyond.insert(t);
      }
    });
  }
  for (std::size_t i = 0; i < code.size(); ++i) {
    out += marked[i] ? "> " : "  ";
    out += core::decimal(i) + ": " + core::disassemble_instruction(code[i]) + "\n";
  }
  for (std::uint64_t t : beyond) {
    out += "> " + core::decimal(t) + (t == code.size() ? ": (end)\n" : ": (past the end)\n");
  }

  if (meta) {
    append_metadata(out, *meta);
  } else {
    out += "metadata: none\n";
  }
  return out;
}

}  // namespace quarn::quarnc
