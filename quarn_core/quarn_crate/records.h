// The field lists of the records around the instructions: ModuleDef
// entries, metadata entries, the metadata and the program container. Each
// list is written once here, in byte order, and the encoder, the decoder
// (keeping or skipping) and the random program generator all walk it, as
// they walk instructions through for_each_field.
//
// for_each_record_field(record, f) calls f("name", field) for every field in
// order; `record` may be const.
#pragma once

#include "quarn_core/quarn_crate/crate.h"

#include <concepts>
#include <string_view>
#include <type_traits>

namespace quarn::core {

#define QUARN_RECORD_FIELDS(Record, ...)                               \
  template <class R, class F>                                          \
    requires std::same_as<std::remove_const_t<R>, Record>              \
  void for_each_record_field(R& r, [[maybe_unused]] F&& f) { __VA_ARGS__ }

QUARN_RECORD_FIELDS(ConstantEntry, f("name", r.name); f("type", r.type); f("reg", r.reg);)
QUARN_RECORD_FIELDS(StructField, f("name", r.name); f("type", r.type);)
QUARN_RECORD_FIELDS(StructEntry, f("name", r.name); f("fields", r.fields);)
QUARN_RECORD_FIELDS(FunctionEntry, f("name", r.name); f("params", r.params); f("entry", r.entry);)
QUARN_RECORD_FIELDS(SourceMapEntry, f("index", r.index); f("line", r.line); f("col", r.col);)
QUARN_RECORD_FIELDS(SwarmEntry, f("flag", r.flag); f("swarm_size", r.swarm_size);
                    f("substrate", r.substrate); f("barrier_count", r.barrier_count);)
QUARN_RECORD_FIELDS(ExportEntry, f("no_mangle", r.no_mangle); f("exported", r.exported);
                    f("params", r.params); f("return_type", r.return_type);)
QUARN_RECORD_FIELDS(ProgramMetadata, f("source_name", r.source_name);
                    f("description", r.description); f("compiler_version", r.compiler_version);
                    f("register_count", r.register_count); f("param_types", r.param_types);
                    f("source_map", r.source_map); f("swarm", r.swarm); f("exports", r.exports);)
QUARN_RECORD_FIELDS(CompiledProgram, f("format_version", r.format_version);
                    f("instructions", r.instructions); f("content_hash", r.content_hash);
                    f("metadata", r.metadata);)

#undef QUARN_RECORD_FIELDS

template <class R>
concept Record = requires(R& r) { for_each_record_field(r, [](std::string_view, auto&) {}); };

// Whether a decoding failure inside the record names the field it was in
// (DecodeError::field): the container and the metadata do; the small
// entries leave it to the field that holds them.
template <class R>
inline constexpr bool kNamesFieldsInErrors =
    std::is_same_v<R, ProgramMetadata> || std::is_same_v<R, CompiledProgram>;

}  // namespace quarn::core
