// Programs built by the grammar-aware generator from the fuzz input: every
// one must compile, and to the same bytes by the streaming driver and by
// lowering the whole tree.
#include "quarn_compiler/compile.h"
#include "quarn_compiler/source_generator.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quarn::compiler;
  testing::FuzzChoices choices(data, size);
  const std::string source = testing::generate_program(choices);
  const CompileOutcome streamed = compile_program_text(source);
  if (!streamed.ok()) {
    std::fprintf(stderr, "generated program failed: %s\n%s\n", streamed.error().c_str(), source.c_str());
    std::abort();
  }
  const CompileOutcome whole = compile_program_tree(source);
  if (!whole.ok() || whole.value() != streamed.value()) {
    std::fprintf(stderr, "routes differ on:\n%s\n", source.c_str());
    std::abort();
  }
  return 0;
}
