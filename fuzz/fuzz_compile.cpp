// The whole compile driver on arbitrary text: it must return either bytes
// that decode, or an error text that starts with one of the stage prefixes.
// Compiling the same text again, this time lowering the finished tree rather
// than each definition as it is read, must give the same outcome.
#include "quarn_compiler/compile.h"
#include "quarn_core/quarn_crate/decode.h"
#include "quarn_core/text.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <variant>

namespace {

void fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "%s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Python hands the compiler UTF-8 text only.
  const std::string_view source(reinterpret_cast<const char*>(data), size);
  if (!quarn::core::is_valid_utf8(source)) return 0;
  quarn::compiler::CompileOutcome outcome = quarn::compiler::compile_program_text(source);
  if (!outcome.ok()) {
    const std::string& error = outcome.error().message;
    using namespace quarn::compiler;
    if (!error.starts_with(kParseErrorPrefix) && !error.starts_with(kLoweringErrorPrefix) &&
        !error.starts_with(kSerializationErrorPrefix)) {
      fail("error without a stage prefix", error);
    }
    quarn::compiler::CompileOutcome again = quarn::compiler::compile_program_tree(source);
    if (again.ok() || again.error().message != error) fail("second compile differs", error);
    if (again.error().stage != outcome.error().stage || again.error().position != outcome.error().position) {
      fail("second compile places the error elsewhere", error);
    }
    return 0;
  }
  const std::vector<std::uint8_t>& bytes = outcome.value();
  auto decoded = quarn::core::decode_program(std::span<const std::uint8_t>(bytes));
  if (!decoded.ok()) fail("compiled program does not decode", decoded.error().message);
  const quarn::core::CompiledProgram& program = decoded.value();
  if (program.format_version != 1) fail("format version", "not 1");
  // Every placeholder is patched and every branch lands inside the list (or
  // just past its end).
  const std::size_t n = program.instructions.size();
  for (const quarn::core::Instruction& insn : program.instructions) {
    if (std::holds_alternative<quarn::core::Nop>(insn)) fail("placeholder left", source);
    if (const auto* j = std::get_if<quarn::core::Jump>(&insn); j && j->target > n) {
      fail("jump past the end", source);
    }
    if (const auto* j = std::get_if<quarn::core::JumpIf>(&insn);
        j && (j->then_target > n || j->else_target > n)) {
      fail("branch past the end", source);
    }
    if (const auto* l = std::get_if<quarn::core::Loop>(&insn);
        l && (l->start > l->body || l->body > l->end || l->end > n)) {
      fail("loop bounds out of order", source);
    }
  }
  quarn::compiler::CompileOutcome again = quarn::compiler::compile_program_tree(source);
  if (!again.ok() || again.value() != bytes) fail("second compile differs", source);
  return 0;
}
