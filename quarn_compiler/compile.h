// The compile driver: source text in, encoded program or one error text out.
//
// Three stages, the first failure ends the call, and each stage's failure
// starts with its own prefix so that callers can tell which stage refused:
//   "Parse error: "         + "E_PARSE_ERROR: " + the rendered parse trail
//   "Lowering error: "      + the lowering's CoreError message
//   "Serialization error: " + the encoder's message
#pragma once

#include "quarn_core/result.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::compiler {

inline constexpr std::string_view kParseErrorPrefix = "Parse error: ";
inline constexpr std::string_view kLoweringErrorPrefix = "Lowering error: ";
inline constexpr std::string_view kSerializationErrorPrefix = "Serialization error: ";

enum class CompileStage : std::uint8_t { Parse, Lowering, Serialization };

// "parse", "lowering", "serialization".
std::string_view stage_name(CompileStage stage);

// A place in the source text. One unit per field, whatever the text holds:
// line counts line feeds (from 1), column counts characters, that is Unicode
// code points, from the line's start (from 1), byte_offset counts bytes from
// the start of the text (from 0).
struct SourcePosition {
  std::uint64_t line = 0;
  std::uint64_t column = 0;
  std::uint64_t byte_offset = 0;
  friend bool operator==(const SourcePosition&, const SourcePosition&) = default;
};

// Why a compile failed. `message` is the whole error text callers are given
// (stage prefix, code, detail); `stage` and `position` are the same facts as
// data, for tools: read them, never the text. `position` is the innermost
// place the failure names: the first entry of a parse trail, or the first
// placed node of what the lowering quotes; none when the text names none
// (an empty source, most lowering errors, the encoder).
struct CompileError {
  CompileStage stage = CompileStage::Parse;
  std::optional<SourcePosition> position;
  std::string message;
};

using CompileOutcome = core::Result<std::vector<std::uint8_t>, CompileError>;

// Parses, lowers and encodes one program. Never throws for the content of the
// source; keeps nothing between calls.
CompileOutcome compile_program_text(std::string_view source);

// The same, with the bytes written into `out`: its earlier content goes, its
// capacity is used, so a caller that compiles again and again can keep one
// buffer. On failure `out` holds nothing of use.
core::Result<core::Unit, CompileError> compile_program_into(std::string_view source,
                                                           std::vector<std::uint8_t>& out);

// The same outcome by the plain route: the whole tree is parsed first, then
// lowered into one instruction list, which is then encoded. compile_program_text
// lowers and encodes each definition while the parser reads on; this is the
// reference its tests and fuzz target hold it to.
CompileOutcome compile_program_tree(std::string_view source);

}  // namespace quarn::compiler
