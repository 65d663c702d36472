// Internal to the front end: the predictive route of parse_source.
//
// Most texts handed to parse_source are programs that parse. For them the
// backtracking parser's work is mostly waste: it records what every tried
// alternative expected, tries forms that cannot apply, and searches a line
// index for every span. The predictive route reads the common forms in one
// forward pass instead, choosing each form from the text in front of it,
// recording nothing, and keeping line and column as it goes. It builds
// exactly the tree the backtracking parser builds, and it gives up, rather
// than guess, wherever the backtracking parser would try a second
// alternative, recover from a failure, or read something the route does
// not know (names beyond ASCII, statements that begin with a prefix
// operator, asm statements the assignment form might read, nesting deeper
// than kFastMaxDepth). The backtracking parser then takes over and produces
// the tree or the exact failure trail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "quarn_compiler/veka/ast.h"
#include "quarn_compiler/veka/parse.h"

namespace quarn::compiler::detail {

enum class FastEnd : std::uint8_t {
  Parsed,                // `out` is the whole result
  StoppedInDefinitions,  // `out` holds the header, modules and the definitions read
  StoppedEarly,          // nothing usable: no sink call was made
};

struct FastOutcome {
  FastEnd end = FastEnd::StoppedEarly;
  // StoppedInDefinitions: where the backtracking parser's definition loop
  // resumes (the end of the last definition read, before white space).
  size_t resume_at = 0;
};

// Levels of brackets and blocks the predictive route reads before it gives
// up. Well below kMaxNestingDepth, so that every text too deep for the
// backtracking parser reaches it and fails there with its own text.
inline constexpr std::uint32_t kFastMaxDepth = 64;

// Reads `source` into `out` as far as it can. With a sink, the block's
// modules and each definition go to it as the backtracking parser would
// hand them over; a definition the route could not finish is never handed.
FastOutcome fast_parse(std::string_view source, ProgramSink* sink, Program& out);

// parse_source with the backtracking parser alone: the reference that the
// predictive route is held to by the tests and the fuzz targets.
ParseResult parse_source_backtracking(std::string_view source, ProgramSink* sink = nullptr);

// A parse outcome as one text: "ok" and the whole tree, or the failure's
// kind and error text. Two routes agree on a source when these are equal.
std::string outcome_text(std::string_view source, const ParseResult& result);

}  // namespace quarn::compiler::detail
