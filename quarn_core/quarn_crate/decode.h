// Decoding of bytes into a CompiledProgram: one forward pass with a cursor.
// Every read first checks that enough bytes remain. Bytes after the end of
// the record are ignored; format_version and content_hash are taken as they
// are. Declared counts reserve at most 1 MiB before elements arrive, and
// nested Values and array types are decoded with an explicit work stack, so
// no input can exhaust memory or the machine stack.
//
// Error texts (DecodeError::message), exactly:
//   "io error: unexpected end of file"   input ends in a fixed-width field or
//                                        a length prefix (or is empty)
//   "io error: "                         input ends inside a text's bytes
//   "invalid value: integer `N`, expected variant index 0 <= i < M"
//                                        tag N out of range; M = 126 for
//                                        Instruction, 9 for Value, 6 for
//                                        BytecodeType
//   "tag for enum is not valid, found N" optional marker byte not 0 or 1
//   "invalid u8 while decoding bool, expected 0 or 1, found N"
//   "string is not valid utf8: invalid utf-8 sequence of N bytes from index I"
//   "string is not valid utf8: incomplete utf-8 byte sequence from index I"
#pragma once

#include "quarn_core/quarn_crate/crate.h"
#include "quarn_core/result.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace quarn::core {

struct DecodeError {
  std::string message;
  // Which field was being read when decoding stopped ("instructions",
  // "Call.name", "metadata.source_map", ...). Diagnostic only: not part of
  // the message.
  std::string field;
};

Result<CompiledProgram, DecodeError> decode_program(std::span<const std::uint8_t> bytes);
Result<CompiledProgram, DecodeError> decode_program(std::string_view bytes);

// Runs the same decoding and discards the result as it goes: the same
// outcome as decode_program, without holding the whole program in memory.
Result<Unit, DecodeError> check_program(std::span<const std::uint8_t> bytes);
Result<Unit, DecodeError> check_program(std::string_view bytes);

// Runs the same decoding but keeps no instruction: each one is handed to
// `each` with its index as soon as it is read, then dropped. The program
// returned holds every other field and an empty instruction list, so memory
// stays at one instruction plus the metadata however long the list is. On a
// failure `each` has already seen the instructions before the faulty one.
using InstructionVisitor = std::function<void(std::uint64_t index, const Instruction&)>;
Result<CompiledProgram, DecodeError> decode_program_each(std::span<const std::uint8_t> bytes,
                                                         const InstructionVisitor& each);

}  // namespace quarn::core
