// The compiled-program container: what compile_source returns encoded and
// execute_bytecode decodes. Field order of every record here is the byte
// format (see encode.h); do not reorder.
#pragma once

#include "quarn_core/instruction.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quarn::core {

// BLAKE3 (32-byte output) of the encoded instruction list.
using ContentHash = std::array<std::uint8_t, 32>;

inline constexpr std::uint8_t kFormatVersion = 1;

// One entry of the source map: an instruction that carries a source span.
struct SourceMapEntry {
  std::uint64_t index = 0;  // instruction index, from 0
  std::uint32_t line = 0;   // from 1
  std::uint32_t col = 0;    // from 1, in characters
  friend bool operator==(const SourceMapEntry&, const SourceMapEntry&) = default;
};

// Swarm metadata of a scaled main function.
struct SwarmEntry {
  std::uint8_t flag = 1;
  std::uint64_t swarm_size = 0;
  std::string substrate;  // the substrate's display name
  std::uint64_t barrier_count = 0;
  friend bool operator==(const SwarmEntry&, const SwarmEntry&) = default;
};

// Linkage metadata of a function marked "no_mangle" and/or "export".
struct ExportEntry {
  std::uint8_t no_mangle = 0;  // 1 when marked no_mangle
  std::uint8_t exported = 0;   // 1 when marked export
  std::vector<BytecodeType> params;
  BytecodeType return_type;
  friend bool operator==(const ExportEntry&, const ExportEntry&) = default;
};

// Maps are keyed by function name. They are std::map so that the encoder
// writes their entries in ascending key order and equal programs give equal
// bytes; the decoder accepts entries in any order (a repeated key keeps its
// last value).
struct ProgramMetadata {
  std::optional<std::string> source_name;       // program name + ".vekl"
  std::optional<std::string> description;       // never written by the compiler
  std::optional<std::string> compiler_version;  // "0.1.0"
  std::optional<std::uint32_t> register_count;  // registers used
  std::map<std::string, std::vector<BytecodeType>> param_types;
  std::vector<SourceMapEntry> source_map;
  std::map<std::string, SwarmEntry> swarm;
  std::map<std::string, ExportEntry> exports;
  friend bool operator==(const ProgramMetadata&, const ProgramMetadata&) = default;
};

struct CompiledProgram {
  std::uint8_t format_version = kFormatVersion;
  std::vector<Instruction> instructions;
  // Taken as given on decode: never recomputed or compared.
  ContentHash content_hash{};
  std::optional<ProgramMetadata> metadata;
  friend bool operator==(const CompiledProgram&, const CompiledProgram&) = default;
};

}  // namespace quarn::core
