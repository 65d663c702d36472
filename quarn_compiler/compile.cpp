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

std::string parse_failure_text(std::string_view source, const ParseFailure& failure) {
  return with_prefix(kParseErrorPrefix,
                     core::CoreError::parse_error(render_parse_error(source, failure)).message());
}

// The last two stages. The caller has already let go of every tree, so the
// encoder's output is the only large allocation alive beside the program.
CompileOutcome encode_outcome(LowerResult<core::CompiledProgram> lowered) {
  if (!lowered.ok()) return with_prefix(kLoweringErrorPrefix, lowered.error().message());
  auto bytes = core::encode_program(lowered.value());
  if (!bytes.ok()) return with_prefix(kSerializationErrorPrefix, bytes.error().message);
  return std::move(bytes).value();
}

// Lowers each top-level definition as soon as the parser has read it, and
// drops its tree right after: the whole program's tree never exists at once,
// which keeps peak memory near the size of the instruction list, and each
// tree is lowered and freed while it is still in cache. The stages still
// fail in their order: a parse failure anywhere wins over a lowering error
// met earlier, since the caller looks at the parse result first.
class LoweringSink final : public ProgramSink {
 public:
  explicit LoweringSink(std::size_t expected_instructions) : lowering_(expected_instructions) {}

  void modules_parsed(const Program& program) override {
    modules_added_ = true;
    keep_first_error(lowering_.add_modules(program));
  }

  void definition_parsed(FunctionDef&& definition) override {
    if (!error_) keep_first_error(lowering_.add_definition(definition));
  }

  // After a successful parse. Only a bare module, which has no top-level
  // definitions, is never handed over: it is lowered from the result here.
  LowerResult<core::CompiledProgram> finish(const Program& program) && {
    if (!modules_added_) modules_parsed(program);
    if (error_) return std::move(*error_);
    return std::move(lowering_).finish();
  }

 private:
  void keep_first_error(LowerResult<core::Unit> step) {
    if (!step.ok() && !error_) error_ = std::move(step).error();
  }

  ProgramLowering lowering_;
  bool modules_added_ = false;
  std::optional<core::CoreError> error_;
};

}  // namespace

CompileOutcome compile_program_text(std::string_view source) {
  std::optional<LowerResult<core::CompiledProgram>> lowered;
  {
    // Typical code lowers to one instruction per six or seven bytes of
    // source; reserving that much spares copying the list as it grows.
    LoweringSink sink(source.size() / 6);
    ParseResult parsed = parse_source(source, &sink);
    if (!parsed.ok()) return parse_failure_text(source, parsed.error());
    lowered.emplace(std::move(sink).finish(parsed.value()));
  }
  return encode_outcome(std::move(*lowered));
}

CompileOutcome compile_program_tree(std::string_view source) {
  std::optional<LowerResult<core::CompiledProgram>> lowered;
  {
    ParseResult parsed = parse_source(source);
    if (!parsed.ok()) return parse_failure_text(source, parsed.error());
    lowered.emplace(lower_program(parsed.value()));
  }
  return encode_outcome(std::move(*lowered));
}

}  // namespace quarn::compiler
