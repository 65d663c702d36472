#include "quarn_compiler/compile.h"

#include "quarn_compiler/lower/lower.h"
#include "quarn_compiler/veka/parse.h"
#include "quarn_core/core_error.h"
#include "quarn_core/quarn_crate/encode.h"

#include <optional>
#include <utility>

namespace quarn::compiler {
namespace {

std::string with_prefix(std::string_view prefix, std::string_view message) {
  std::string text;
  text.reserve(prefix.size() + message.size());
  text.append(prefix).append(message);
  return text;
}

}  // namespace

CompileOutcome compile_program_text(std::string_view source) {
  // The tree is released as soon as the lowering is done with it, before the
  // encoder allocates the output.
  std::optional<core::CompiledProgram> compiled;
  {
    ParseResult parsed = parse_source(source);
    if (!parsed.ok()) {
      const core::CoreError error =
          core::CoreError::parse_error(render_parse_error(source, parsed.error()));
      return with_prefix(kParseErrorPrefix, error.message());
    }
    // Typical code lowers to one instruction per six or seven bytes of
    // source; reserving that much spares copying the list as it grows.
    auto lowered = lower_program(parsed.value(), source.size() / 6);
    if (!lowered.ok()) return with_prefix(kLoweringErrorPrefix, lowered.error().message());
    compiled.emplace(std::move(lowered).value());
  }
  auto bytes = core::encode_program(*compiled);
  if (!bytes.ok()) return with_prefix(kSerializationErrorPrefix, bytes.error().message);
  return std::move(bytes).value();
}

}  // namespace quarn::compiler
