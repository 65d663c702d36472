#include "quarnc/diagnostic.h"

#include "quarn_compiler/compile.h"
#include "quarn_core/core_error.h"
#include "quarn_core/text.h"

#include <nlohmann/json.hpp>

#include <cstdint>

namespace quarn::quarnc {
namespace {

// Reads decimal digits at the front of `s` and drops them from it.
std::optional<std::uint64_t> take_number(std::string_view& s) {
  const core::DecimalRun run = core::scan_decimal(s, UINT64_MAX);
  if (run.digits == 0 || run.overflow) return std::nullopt;
  s.remove_prefix(run.digits);
  return run.value;
}

bool take(std::string_view& s, std::string_view prefix) {
  if (!s.starts_with(prefix)) return false;
  s.remove_prefix(prefix.size());
  return true;
}

// A rendered parse trail names its innermost entry first:
//   0: at line N[, in LABEL]:\n<source line>\n<blanks>^\n...
// The caret stands under the position, so its column is the number of blanks
// before it plus one. An empty source names no position ("0: in Tag, got
// empty input"), nor does incomplete input.
void parse_position(std::string_view trail, Diagnostic& d) {
  if (!take(trail, "0: at line ")) return;
  auto line = take_number(trail);
  if (!line) return;
  // Skip the rest of the heading and the quoted source line (one line each:
  // a label holds no line feed, and the quoted line ends at one).
  for (int k = 0; k < 2; ++k) {
    auto lf = trail.find('\n');
    if (lf == std::string_view::npos) return;
    trail.remove_prefix(lf + 1);
  }
  auto caret = trail.find_first_not_of(' ');
  if (caret == std::string_view::npos || trail[caret] != '^') return;
  d.line = line;
  d.column = caret + 1;
}

// The lowering quotes positions as part of a node's debug form:
//   Span { start: S, end: E, line: L, col: C }
// The first one in the text belongs to the innermost node of the leftmost
// branch (a node is written before its span). Quoted strings are skipped, so
// a string literal that looks like a span is not taken for one; line 0 is the
// span of a node that has no place in the source.
void lowering_position(std::string_view text, Diagnostic& d) {
  static constexpr std::string_view kSpan = "Span { start: ";
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\') ++i;
      }
      ++i;
      continue;
    }
    if (text.substr(i).starts_with(kSpan)) {
      std::string_view s = text.substr(i + kSpan.size());
      if (take_number(s) && take(s, ", end: ") && take_number(s) && take(s, ", line: ")) {
        auto line = take_number(s);
        if (line && take(s, ", col: ")) {
          auto col = take_number(s);
          if (col && *line > 0) {
            d.line = line;
            d.column = col;
            return;
          }
        }
      }
    }
    ++i;
  }
}

}  // namespace

Diagnostic diagnose(std::string_view error) {
  Diagnostic d;
  if (take(error, compiler::kParseErrorPrefix)) {
    d.stage = "parse";
    const std::string code = core::CoreError::parse_error("").message();  // "E_PARSE_ERROR: "
    if (take(error, code)) parse_position(error, d);
  } else if (take(error, compiler::kLoweringErrorPrefix)) {
    d.stage = "lowering";
    lowering_position(error, d);
  } else if (take(error, compiler::kSerializationErrorPrefix)) {
    d.stage = "serialization";
  } else if (take(error, kDecodeErrorPrefix)) {
    d.stage = "decode";
  }
  return d;
}

std::string json_line(std::string_view file, std::string_view error) {
  const Diagnostic d = diagnose(error);
  nlohmann::ordered_json j;
  j["file"] = std::string(file);
  j["stage"] = std::string(d.stage);
  if (d.line) j["line"] = *d.line;
  if (d.column) j["column"] = *d.column;
  j["message"] = std::string(error);
  return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace quarn::quarnc
