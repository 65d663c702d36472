// Parses any valid UTF-8 text; on success renders and copies the tree, on
// failure renders the error text. Nothing may crash, hang or run out of
// stack, whatever the nesting.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "quarn_compiler/veka/parse.h"

namespace {

bool valid_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    size_t n;
    char32_t c;
    if (b < 0x80) {
      ++i;
      continue;
    } else if (b >= 0xC2 && b <= 0xDF) {
      n = 2;
      c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      n = 3;
      c = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      n = 4;
      c = b & 0x07;
    } else {
      return false;
    }
    if (i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      unsigned char t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      c = (c << 6) | (t & 0x3F);
    }
    if ((n == 3 && c < 0x800) || (n == 4 && (c < 0x10000 || c > 0x10FFFF)) ||
        (c >= 0xD800 && c <= 0xDFFF))
      return false;
    i += n;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!valid_utf8(text)) return 0;
  using namespace quarn::compiler;
  ParseResult result = parse_source(text);
  if (result.ok()) {
    const Program& program = result.value();
    Program copy = program;
    std::size_t total = 0;
    for (const FunctionDef& f : copy.definitions)
      for (const SpannedStmt& s : f.body) total += render(s).size();
    for (const Module& m : copy.modules)
      for (const FunctionDef& f : m.functions)
        for (const SpannedStmt& s : f.body) total += render(s).size();
    if (program.name.empty()) __builtin_trap();  // names are never empty
    (void)total;
  } else {
    std::string message = render_parse_error(text, result.error());
    if (message.empty() && !result.error().trail.empty()) __builtin_trap();
  }
  return 0;
}
