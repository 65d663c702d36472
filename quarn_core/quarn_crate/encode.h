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

}  // namespace quarn::core
