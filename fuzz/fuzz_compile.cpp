// The whole compile driver on arbitrary text: it must return either bytes
// that decode, or an error text that starts with one of the stage prefixes.
// Compiling the same text again, this time lowering the finished tree rather
// than each definition as it is read, must give the same outcome.
#include "quarn_compiler/compile.h"
#include "quarn_compiler/lower/lower.h"
#include "quarn_compiler/veka/parse.h"
#include "quarn_core/core_error.h"
#include "quarn_core/quarn_crate/decode.h"
#include "quarn_core/quarn_crate/encode.h"

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

bool valid_utf8(const std::uint8_t* p, std::size_t n) {
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t c = p[i];
    std::size_t len;
    std::uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    const std::uint32_t min[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

// The driver's stages without reading and lowering side by side.
quarn::compiler::CompileOutcome compile_whole_tree(std::string_view source) {
  using namespace quarn::compiler;
  ParseResult parsed = parse_source(source);
  if (!parsed.ok()) {
    return std::string(kParseErrorPrefix) +
           quarn::core::CoreError::parse_error(render_parse_error(source, parsed.error()))
               .message();
  }
  auto lowered = lower_program(parsed.value());
  if (!lowered.ok()) return std::string(kLoweringErrorPrefix) + lowered.error().message();
  auto bytes = quarn::core::encode_program(lowered.value());
  if (!bytes.ok()) return std::string(kSerializationErrorPrefix) + bytes.error().message;
  return std::move(bytes).value();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Python hands the compiler UTF-8 text only.
  if (!valid_utf8(data, size)) return 0;
  const std::string_view source(reinterpret_cast<const char*>(data), size);
  quarn::compiler::CompileOutcome outcome = quarn::compiler::compile_program_text(source);
  if (!outcome.ok()) {
    const std::string& error = outcome.error();
    using namespace quarn::compiler;
    if (!error.starts_with(kParseErrorPrefix) && !error.starts_with(kLoweringErrorPrefix) &&
        !error.starts_with(kSerializationErrorPrefix)) {
      fail("error without a stage prefix", error);
    }
    quarn::compiler::CompileOutcome again = compile_whole_tree(source);
    if (again.ok() || again.error() != error) fail("second compile differs", error);
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
  quarn::compiler::CompileOutcome again = compile_whole_tree(source);
  if (!again.ok() || again.value() != bytes) fail("second compile differs", source);
  return 0;
}
