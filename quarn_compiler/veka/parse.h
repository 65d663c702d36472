// Parser of Quarn source text and the text of its errors.
//
// Usage:
//   ParseResult r = parse_source(source);
//   if (!r.ok()) return core::CoreError::parse_error(render_parse_error(source, r.error()));
//   const Program& program = r.value();
//
// parse_source reads the one text in place (no token list). A failure carries
// the trail of what was expected where, innermost first; render_parse_error
// turns it into the numbered, caret-marked blocks users see. Text after the
// program block or bare module is never looked at. A text is read once with
// no trail kept; only a text that fails is read again to record its trail.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quarn_compiler/veka/ast.h"
#include "quarn_core/result.h"

namespace quarn::core {
class CoreError;
}

namespace quarn::compiler {

// Soft: the construct does not apply here (an enclosing choice may try its
// next alternative). Hard: the text is wrong here; nothing else is tried.
// Incomplete: kept for the error vocabulary; the parser never produces it.
enum class FailureKind : std::uint8_t { Soft, Hard, Incomplete };

// Names of the low-level matchers, printed as they are written here.
enum class PrimitiveKind : std::uint8_t {
  Tag,
  Char,
  Alt,
  Digit,
  OneOf,
  TakeWhile1,
  MultiSpace,
  Many0,
  SeparatedList,
};

std::string_view primitive_name(PrimitiveKind kind);

struct TrailEntry {
  enum class Kind : std::uint8_t { ExpectedChar, Context, Primitive };

  std::uint64_t position = 0;  // byte offset into the parsed text
  Kind kind = Kind::Primitive;
  char32_t expected = 0;       // Kind::ExpectedChar
  std::string_view label;      // Kind::Context; always a static text
  PrimitiveKind primitive = PrimitiveKind::Tag;  // Kind::Primitive

  static TrailEntry expected_char(std::uint64_t pos, char32_t c) {
    TrailEntry e;
    e.position = pos;
    e.kind = Kind::ExpectedChar;
    e.expected = c;
    return e;
  }
  static TrailEntry context(std::uint64_t pos, std::string_view label) {
    TrailEntry e;
    e.position = pos;
    e.kind = Kind::Context;
    e.label = label;
    return e;
  }
  static TrailEntry primitive_kind(std::uint64_t pos, PrimitiveKind k) {
    TrailEntry e;
    e.position = pos;
    e.kind = Kind::Primitive;
    e.primitive = k;
    return e;
  }
  friend bool operator==(const TrailEntry&, const TrailEntry&) = default;
};

struct ParseFailure {
  FailureKind kind = FailureKind::Soft;
  std::vector<TrailEntry> trail;  // innermost first
};

using ParseResult = core::Result<Program, ParseFailure>;

// Receives a program block piece by piece while it is being parsed, so that a
// caller can work on each top-level definition and let its tree go before
// the next one is read. The pieces are final once handed over, but the parse
// as a whole may still fail afterwards; a sink must then discard what it got.
class ProgramSink {
 public:
  virtual ~ProgramSink() = default;
  // The block's modules are all read (they precede every definition);
  // `program` holds the name, imports and modules, no definitions. On success
  // parse_source moves it into the result, which leaves every module element
  // at its address, so pointers into the modules stay valid.
  virtual void modules_parsed(const Program& program) = 0;
  // One top-level definition, in source order. It is not kept in the result.
  virtual void definition_parsed(FunctionDef&& definition) = 0;
};

// Parses a whole source text: leading imports, then one program block or one
// bare module. Never throws for any input; its recursion is bounded by
// kMaxNestingDepth levels of what the writer nested. With a sink, a program block's definitions are
// handed to it instead of being kept in Program::definitions; a bare module
// is never handed over.
ParseResult parse_source(std::string_view source, ProgramSink* sink = nullptr);

// The error text for a failure of parse_source(source): one block per trail
// entry, numbered from 0, each ending in two line feeds; for the incomplete
// kind "Incomplete input (streaming parser error)".
std::string render_parse_error(std::string_view source,
                               const ParseFailure& failure);

// Labels of failures that the grammar itself leaves open. Exposed so that
// callers and tests can recognise them.
inline constexpr std::string_view kNestingTooDeepLabel =
    "brackets, parentheses, braces and blocks nested deeper than 200 levels";
inline constexpr std::string_view kIntegerOutOfRangeLabel =
    "integer literal out of the signed 64-bit range";
inline constexpr std::string_view kIterationLimitOutOfRangeLabel =
    "iteration limit above 4294967295";

}  // namespace quarn::compiler
