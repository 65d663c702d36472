// Encoding of a CompiledProgram to bytes.
//
// Primitives, all little-endian, no padding, no header:
//   u8/bool 1 byte; u16 2; u32 4; u64, i64, f64 8 (f64 as its bit pattern)
//   text     u64 byte length, then the UTF-8 bytes
//   list     u64 count, then the elements
//   map      u64 count, then key, value for each entry
//   optional u8 0 (absent) or u8 1 followed by the value
//   enum     u32 tag, then the variant's fields in declaration order
//   record   its fields in order
// Container: format_version u8, instructions (list of Instruction),
// content_hash (32 raw bytes), metadata (optional ProgramMetadata).
// Object Values and metadata maps are written in ascending key order.
//
// The encoder computes the exact length first and writes into one buffer of
// that size.
#pragma once

#include "quarn_core/quarn_crate/crate.h"
#include "quarn_core/result.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quarn::core {

using Bytes = std::vector<std::uint8_t>;

struct EncodeError {
  std::string message;
};

// Exact encoded length of the container.
std::size_t encoded_size(const CompiledProgram& program);

// The container's bytes. Fails only when the program cannot be held in one
// buffer (its length exceeds what a std::vector can address).
Result<Bytes, EncodeError> encode_program(const CompiledProgram& program);

// The instruction list alone: its u64 count, then every instruction. These
// are the bytes that the content hash covers.
Bytes encode_instructions(const std::vector<Instruction>& instructions);

// BLAKE3 of encode_instructions(instructions).
ContentHash content_hash_of(const std::vector<Instruction>& instructions);

// One instruction's bytes (tag and fields); for tests and tools.
Bytes encode_instruction(const Instruction& instruction);

// The container written piece by piece while the program is lowered, so that
// the whole instruction list never has to exist at once: instructions are
// appended in order as soon as their code is final, the metadata comes last.
// The bytes equal encode_program's for the same program. The instruction
// count and the content hash, which precede or cover the list, are filled in
// by finish(), which hashes the list where it already stands in the output.
//
//   ProgramEncoder encoder(out);          // out's old bytes go, its capacity stays
//   encoder.append(code, marks, ends);    // as often as needed
//   encoder.patch_u32(ends[0] - 4, v);    // fixed-width fields may change later
//   QUARN_CHECK(encoder.finish(metadata));
class ProgramEncoder {
 public:
  explicit ProgramEncoder(Bytes& out);
  ProgramEncoder(const ProgramEncoder&) = delete;
  ProgramEncoder& operator=(const ProgramEncoder&) = delete;

  // Appends `code`. For each index in `marks` (ascending, into `code`) the
  // offset just past that instruction's bytes is appended to `mark_ends`.
  void append(std::span<const Instruction> code, std::span<const std::uint32_t> marks,
              std::vector<std::size_t>& mark_ends);
  void append(std::span<const Instruction> code);

  // Instructions appended so far.
  std::uint64_t count() const { return count_; }

  // Overwrites the u32 at `offset` (inside an appended instruction).
  void patch_u32(std::size_t offset, std::uint32_t value);

  // Writes the count, the content hash and the metadata. Fails only when
  // the program cannot be held in one buffer. The encoder is done after it.
  Result<Unit, EncodeError> finish(const std::optional<ProgramMetadata>& metadata);

 private:
  Bytes& out_;
  std::uint64_t count_ = 0;
  bool too_large_ = false;  // an append did not fit; finish() reports it
};

}  // namespace quarn::core
