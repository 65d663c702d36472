#include "quarn_compiler/compile.h"

#include "quarn_compiler/lower/lower.h"
#include "quarn_compiler/veka/parse.h"
#include "quarn_core/core_error.h"
#include "quarn_core/huge_pages.h"
#include "quarn_core/quarn_crate/encode.h"
#include "quarn_core/text.h"

#include <algorithm>
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

// Where the innermost entry of a parse trail stands: the place its rendered
// block names by line and caret. An empty text has no place to name, nor has
// a failure without a trail.
std::optional<SourcePosition> parse_failure_position(std::string_view source,
                                                     const ParseFailure& failure) {
  if (source.empty() || failure.kind == FailureKind::Incomplete || failure.trail.empty()) {
    return std::nullopt;
  }
  const std::size_t at = std::min<std::size_t>(failure.trail.front().position, source.size());
  const std::string_view before = source.substr(0, at);
  const std::size_t last_lf = before.rfind('\n');
  const std::size_t line_begin = last_lf == std::string_view::npos ? 0 : last_lf + 1;
  SourcePosition pos;
  pos.line = 1 + static_cast<std::uint64_t>(std::count(before.begin(), before.end(), '\n'));
  pos.column = 1 + core::count_code_points(before.substr(line_begin));
  pos.byte_offset = at;
  return pos;
}

CompileError parse_failure_error(std::string_view source, const ParseFailure& failure) {
  CompileError e;
  e.stage = CompileStage::Parse;
  e.position = parse_failure_position(source, failure);
  e.message = with_prefix(kParseErrorPrefix,
                          core::CoreError::parse_error(render_parse_error(source, failure)).message());
  return e;
}

CompileError lowering_failure_error(const LoweringError& lowering) {
  CompileError e;
  e.stage = CompileStage::Lowering;
  if (lowering.at) e.position = SourcePosition{lowering.at->line, lowering.at->col, lowering.at->start};
  e.message = with_prefix(kLoweringErrorPrefix, lowering.message());
  return e;
}

CompileError serialization_error(std::string_view message) {
  CompileError e;
  e.stage = CompileStage::Serialization;
  e.message = with_prefix(kSerializationErrorPrefix, message);
  return e;
}

// The last two stages of the plain route. The caller has already let go of
// the tree, so the encoder's output is the only large allocation alive
// beside the program.
CompileOutcome encode_outcome(LowerResult<core::CompiledProgram> lowered) {
  if (!lowered.ok()) return lowering_failure_error(lowered.error());
  auto bytes = core::encode_program(lowered.value());
  if (!bytes.ok()) return serialization_error(bytes.error().message);
  return std::move(bytes).value();
}

// Lowers each top-level definition as soon as the parser has read it, hands
// its code to the encoder and drops its tree right after: neither the whole
// program's tree nor its instruction list ever exists at once, only the
// output bytes grow with the program, and each tree is lowered, encoded and
// freed while it is still in cache. The stages still fail in their order: a
// parse failure anywhere wins over a lowering error met earlier, since the
// caller looks at the parse result first.
class LoweringSink final : public ProgramSink {
 public:
  explicit LoweringSink(core::ProgramEncoder& encoder) : lowering_(encoder) {}

  void modules_parsed(const Program& program) override {
    modules_added_ = true;
    keep_first_error(lowering_.add_modules(program));
  }

  void definition_parsed(FunctionDef&& definition) override {
    if (!error_) keep_first_error(lowering_.add_definition(definition));
  }

  // After a successful parse. Only a bare module, which has no top-level
  // definitions, is never handed over: it is lowered from the result here.
  LowerResult<ProgramLowering::StreamedMetadata> finish(const Program& program) && {
    if (!modules_added_) modules_parsed(program);
    if (error_) return std::move(*error_);
    return std::move(lowering_).finish_streamed();
  }

 private:
  void keep_first_error(LowerResult<core::Unit> step) {
    if (!step.ok() && !error_) error_ = std::move(step).error();
  }

  ProgramLowering lowering_;
  bool modules_added_ = false;
  std::optional<LoweringError> error_;
};

// A guess at the encoded size, so that the output rarely moves as it grows:
// typical code encodes to about three bytes per byte of source. Reserved
// memory that is never written costs no resident pages; still, the guess is
// capped, so that a huge source that fails to parse reserves nothing absurd.
constexpr std::size_t kExpectedBytesPerSourceByte = 4;
constexpr std::size_t kMaxReserveBytes = std::size_t{64} << 20;

}  // namespace

std::string_view stage_name(CompileStage stage) {
  switch (stage) {
    case CompileStage::Parse: return "parse";
    case CompileStage::Lowering: return "lowering";
    case CompileStage::Serialization: return "serialization";
  }
  return "";
}

core::Result<core::Unit, CompileError> compile_program_into(std::string_view source,
                                                           std::vector<std::uint8_t>& out) {
  const std::size_t expected =
      std::min(source.size(), kMaxReserveBytes / kExpectedBytesPerSourceByte) *
      kExpectedBytesPerSourceByte;
  if (out.capacity() < expected) {
    out.clear();
    out.reserve(expected);
    core::advise_huge_pages(out.data(), out.capacity());
  }
  core::ProgramEncoder encoder(out);
  std::optional<ProgramLowering::StreamedMetadata> end;
  {
    LoweringSink sink(encoder);
    ParseResult parsed = parse_source(source, &sink);
    if (!parsed.ok()) return parse_failure_error(source, parsed.error());
    auto lowered = std::move(sink).finish(parsed.value());
    if (!lowered.ok()) return lowering_failure_error(lowered.error());
    end.emplace(std::move(lowered).value());
  }
  // The metadata is always written: std::optional only for the encoder's
  // signature.
  std::optional<core::ProgramMetadata> metadata(std::move(end->metadata));
  auto done = encoder.finish(metadata, &end->param_types);
  if (!done.ok()) return serialization_error(done.error().message);
  return core::Unit{};
}

CompileOutcome compile_program_text(std::string_view source) {
  std::vector<std::uint8_t> out;
  auto done = compile_program_into(source, out);
  if (!done.ok()) return std::move(done).error();
  return out;
}

CompileOutcome compile_program_tree(std::string_view source) {
  std::optional<LowerResult<core::CompiledProgram>> lowered;
  {
    ParseResult parsed = parse_source(source);
    if (!parsed.ok()) return parse_failure_error(source, parsed.error());
    lowered.emplace(lower_program(parsed.value()));
  }
  return encode_outcome(std::move(*lowered));
}

}  // namespace quarn::compiler
