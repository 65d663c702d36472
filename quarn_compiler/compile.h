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
#include <string>
#include <string_view>
#include <vector>

namespace quarn::compiler {

inline constexpr std::string_view kParseErrorPrefix = "Parse error: ";
inline constexpr std::string_view kLoweringErrorPrefix = "Lowering error: ";
inline constexpr std::string_view kSerializationErrorPrefix = "Serialization error: ";

using CompileOutcome = core::Result<std::vector<std::uint8_t>, std::string>;

// Parses, lowers and encodes one program. Never throws for the content of the
// source; keeps nothing between calls.
CompileOutcome compile_program_text(std::string_view source);

// The same, with the bytes written into `out`: its earlier content goes, its
// capacity is used, so a caller that compiles again and again can keep one
// buffer. On failure `out` holds nothing of use.
core::Result<core::Unit, std::string> compile_program_into(std::string_view source,
                                                           std::vector<std::uint8_t>& out);

// The same outcome by the plain route: the whole tree is parsed first, then
// lowered into one instruction list, which is then encoded. compile_program_text
// lowers and encodes each definition while the parser reads on; this is the
// reference its tests and fuzz target hold it to.
CompileOutcome compile_program_tree(std::string_view source);

}  // namespace quarn::compiler
