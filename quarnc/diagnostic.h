// What an error text of the compiler or the decoder says about itself: the
// stage that refused (from the text's prefix) and the innermost source
// position it names, for `check --json`. The text is the very one that
// compile_source / execute_bytecode return as `error`, so the fields are read
// back out of it rather than carried beside it: they cannot disagree.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quarn::quarnc {

// execute_bytecode's prefix for a program that does not decode.
inline constexpr std::string_view kDecodeErrorPrefix = "Deserialization error: ";

struct Diagnostic {
  std::string_view stage;  // "parse", "lowering", "serialization", "decode", "" if unknown
  // Line from 1; column from 1, counted as the text counts it: bytes from
  // the line start for a parse error (where its caret stands), characters
  // for a position the lowering quotes (a Span's col).
  std::optional<std::uint64_t> line;
  std::optional<std::uint64_t> column;
};

Diagnostic diagnose(std::string_view error);

// One line of `check --json`: {"file", "stage", "line", "column", "message"}
// in that order, line and column left out when the text names no position,
// ended by "\n". Bytes of `file` that are not UTF-8 become U+FFFD.
std::string json_line(std::string_view file, std::string_view error);

}  // namespace quarn::quarnc
