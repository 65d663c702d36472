// Programs built by the grammar-aware generator from the fuzz input: every
// one must compile, and to the same bytes by the streaming driver and by
// lowering the whole tree. A copy cut short or with one character removed
// at a place the input chooses must parse or fail without crashing, and a
// failure must come with its trail.
#include "quarn_compiler/compile.h"
#include "quarn_compiler/source_generator.h"
#include "quarn_compiler/veka/parse.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void parse_or_explain(std::string_view text) {
  using namespace quarn::compiler;
  const ParseResult result = parse_source(text);
  if (!result.ok() && result.error().trail.empty()) {
    std::fprintf(stderr, "failure without a trail on:\n%.*s\n", static_cast<int>(text.size()), text.data());
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quarn::compiler;
  testing::FuzzChoices choices(data, size);
  const std::string source = testing::generate_program(choices);
  parse_or_explain(source);
  if (size >= 4) {
    // The last four bytes choose a place for the damage.
    std::uint32_t at = 0;
    for (std::size_t i = size - 4; i < size; ++i) at = at * 256 + data[i];
    std::string broken = source;
    broken.erase(at % source.size(), 1);
    parse_or_explain(broken);
    parse_or_explain(std::string_view(source).substr(0, at % source.size()));
  }
  const CompileOutcome streamed = compile_program_text(source);
  if (!streamed.ok()) {
    std::fprintf(stderr, "generated program failed: %s\n%s\n", streamed.error().message.c_str(), source.c_str());
    std::abort();
  }
  const CompileOutcome whole = compile_program_tree(source);
  if (!whole.ok() || whole.value() != streamed.value()) {
    std::fprintf(stderr, "routes differ on:\n%s\n", source.c_str());
    std::abort();
  }
  return 0;
}
