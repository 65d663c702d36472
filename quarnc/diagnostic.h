// What a failed program says about itself, for `check`: the stage that
// refused, the innermost source position it names, and the error text that
// compile_source / execute_bytecode return as `error`. The stage and the
// position come from the compiler's error fields, never from the text.
#pragma once

#include "quarn_compiler/compile.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quarn::quarnc {

// execute_bytecode's prefix for a program that does not decode.
inline constexpr std::string_view kDecodeErrorPrefix = "Deserialization error: ";

struct Diagnostic {
  std::string_view stage;  // "parse", "lowering", "serialization", "decode"
  // Line from 1; column from 1 in characters (code points) from the line's
  // start, whatever the line holds and however long it is.
  std::optional<compiler::SourcePosition> position;
  std::string_view message;  // the whole error text
};

// REQUIRES (both): the error outlives the Diagnostic.
Diagnostic diagnose(const compiler::CompileError& error);
// `message` is a decoding error text, kDecodeErrorPrefix included.
Diagnostic decode_diagnostic(std::string_view message);

// One line of `check --json`: {"file", "stage", "line", "column", "message"}
// in that order, line and column left out when the error names no position,
// ended by "\n". Bytes of `file` that are not UTF-8 become U+FFFD.
std::string json_line(std::string_view file, const Diagnostic& d);

}  // namespace quarn::quarnc
