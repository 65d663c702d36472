// Parses any valid UTF-8 text; on success renders and copies the tree, on
// failure renders the error text. Nothing may crash, hang or run out of
// stack, whatever the nesting.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "quarn_core/text.h"
#include "quarn_compiler/veka/parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!quarn::core::is_valid_utf8(text)) return 0;
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
