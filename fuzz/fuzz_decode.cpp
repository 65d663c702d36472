// Decoder on any bytes: never crash, the checking pass agrees with the full
// decode, and whatever decodes re-encodes to bytes that decode to an equal
// program and re-encode identically.
#include "quarn_core/disassemble.h"
#include "quarn_core/quarn_crate/decode.h"
#include "quarn_core/quarn_crate/encode.h"

#include <cstdint>
#include <cstdlib>
#include <span>

using namespace quarn::core;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> input(data, size);
  auto decoded = decode_program(input);
  auto checked = check_program(input);
  if (decoded.ok() != checked.ok()) std::abort();
  if (!decoded.ok()) {
    if (decoded.error().message != checked.error().message) std::abort();
    if (decoded.error().message.empty()) std::abort();
    return 0;
  }
  const CompiledProgram& program = decoded.value();
  auto bytes = encode_program(program);
  if (!bytes.ok()) std::abort();
  if (bytes.value().size() != encoded_size(program)) std::abort();
  if (bytes.value().size() > size) std::abort();  // normalising only drops bytes
  auto again = decode_program(std::span<const std::uint8_t>(bytes.value()));
  if (!again.ok() || !(again.value() == program)) std::abort();
  auto bytes2 = encode_program(again.value());
  if (!bytes2.ok() || bytes2.value() != bytes.value()) std::abort();
  if (disassemble(program.instructions).size() < program.instructions.size()) std::abort();
  return 0;
}
