#include "quarnc/listing.h"

#include "quarn_core/disassemble.h"
#include "quarn_core/text.h"

#include <algorithm>
#include <stdexcept>
#include <string>
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

// Collects the listing's text and hands it on in pieces of about 64 KiB.
// REQUIRES: flush() once at the end.
class Out {
 public:
  explicit Out(const std::function<void(std::string_view)>& write) : write_(write) {}
  Out& operator<<(std::string_view text) {
    buf_ += text;
    if (buf_.size() >= kPiece) flush();
    return *this;
  }
  void flush() {
    if (!buf_.empty()) write_(buf_);
    buf_.clear();
  }

 private:
  static constexpr std::size_t kPiece = std::size_t{1} << 16;
  const std::function<void(std::string_view)>& write_;
  std::string buf_;
};

template <class Map, class Render>
void write_map(Out& out, std::string_view title, const Map& map, Render&& render) {
  out << title << ":\n";
  if (map.empty()) out << "  (none)\n";
  for (const auto& [key, value] : map) {  // std::map: ascending byte order
    out << "  " << core::render_text(key) << ": " << render(value) << "\n";
  }
}

void write_source_map(Out& out, const std::vector<core::SourceMapEntry>& source_map) {
  out << "source map:\n";
  if (source_map.empty()) out << "  (none)\n";
  auto by_index = [](const auto& a, const auto& b) { return a.index < b.index; };
  // The compiler writes them in order; only another writer's need a copy.
  std::vector<core::SourceMapEntry> sorted;
  const std::vector<core::SourceMapEntry>* entries = &source_map;
  if (!std::is_sorted(source_map.begin(), source_map.end(), by_index)) {
    sorted = source_map;
    std::stable_sort(sorted.begin(), sorted.end(), by_index);
    entries = &sorted;
  }
  for (const core::SourceMapEntry& e : *entries) {
    out << "  " << core::decimal(e.index) << ": " << core::decimal(e.line) << ":"
        << core::decimal(e.col) << "\n";
  }
}

void write_metadata(Out& out, const core::ProgramMetadata& meta) {
  write_map(out, "parameter types", meta.param_types, type_list);
  write_source_map(out, meta.source_map);
  write_map(out, "swarm", meta.swarm, [](const core::SwarmEntry& s) {
    return "flag " + core::decimal(s.flag) + ", size " + core::decimal(s.swarm_size) +
           ", substrate " + core::render_text(s.substrate) + ", barriers " +
           core::decimal(s.barrier_count);
  });
  write_map(out, "exports", meta.exports, [](const core::ExportEntry& e) {
    return "no_mangle " + core::decimal(e.no_mangle) + ", export " + core::decimal(e.exported) +
           ", params " + type_list(e.params) + ", returns " + core::render_type(e.return_type);
  });
}

// Which lines get a mark, found by the first decoding. Each instruction
// takes at least four bytes (its tag), so no program in `bytes` has more
// than `limit` instructions: a bit each for the indices below it, and a
// list only for the targets past the end, which the compiler never writes.
class Marks {
 public:
  explicit Marks(std::size_t byte_count) : marked_(byte_count / 4) {}

  void add(std::uint32_t target) {
    if (target < marked_.size()) {
      marked_[target] = true;
    } else {
      beyond_.push_back(target);
    }
  }

  // Once the instruction count is known: marks at or past it go to the
  // list of targets past the end, in ascending order without repeats.
  void finish(std::uint64_t count) {
    for (std::size_t t = count; t < marked_.size(); ++t) {
      if (marked_[t]) beyond_.push_back(static_cast<std::uint32_t>(t));
    }
    marked_.resize(count);
    std::sort(beyond_.begin(), beyond_.end());
    beyond_.erase(std::unique(beyond_.begin(), beyond_.end()), beyond_.end());
  }

  bool marked(std::uint64_t index) const { return marked_[index]; }
  const std::vector<std::uint32_t>& beyond() const { return beyond_; }

 private:
  std::vector<bool> marked_;
  std::vector<std::uint32_t> beyond_;
};

}  // namespace

core::Result<core::Unit, core::DecodeError> write_listing(
    std::span<const std::uint8_t> bytes, const std::function<void(std::string_view)>& write) {
  Marks marks(bytes.size());
  std::uint64_t count = 0;
  auto head =
      core::decode_program_each(bytes, [&](std::uint64_t index, const core::Instruction& insn) {
        count = index + 1;
        for_each_target(insn, [&](std::uint32_t t) { marks.add(t); });
      });
  if (!head.ok()) return std::move(head).error();
  marks.finish(count);
  const core::CompiledProgram& program = head.value();
  const auto* meta = program.metadata ? &*program.metadata : nullptr;

  Out out(write);
  out << "format version: " << core::decimal(program.format_version) << "\n";
  out << "content hash: " << core::lower_hex(program.content_hash) << "\n";
  out << "register count: "
      << (meta && meta->register_count ? core::decimal(*meta->register_count) : "none") << "\n";
  out << "source name: "
      << (meta && meta->source_name ? core::render_text(*meta->source_name) : "none") << "\n";
  out << "instructions: " << core::decimal(count) << "\n";

  // The same bytes decoded the same way a second time cannot fail; its copy
  // of the metadata goes at once.
  const bool listed =
      core::decode_program_each(bytes, [&](std::uint64_t index, const core::Instruction& insn) {
        out << (marks.marked(index) ? "> " : "  ") << core::decimal(index) << ": "
            << core::disassemble_instruction(insn) << "\n";
      }).ok();
  if (!listed) throw std::logic_error("listing: the second decoding failed");
  for (std::uint64_t t : marks.beyond()) {
    out << "> " << core::decimal(t) << (t == count ? ": (end)\n" : ": (past the end)\n");
  }

  if (meta) {
    write_metadata(out, *meta);
  } else {
    out << "metadata: none\n";
  }
  out.flush();
  return core::Unit{};
}

}  // namespace quarn::quarnc
