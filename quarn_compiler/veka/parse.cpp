// Recursive-descent parser of Quarn source text (being filled in).

#include "quarn_compiler/veka/parse.h"

namespace quarn::compiler {

ParseResult parse_source(std::string_view source) {
  ParseFailure f;
  f.kind = FailureKind::Soft;
  f.trail.push_back(TrailEntry::primitive_kind(0, PrimitiveKind::Tag));
  f.trail.push_back(TrailEntry::context(0, "'program' keyword"));
  return f;
}

}  // namespace quarn::compiler
