// The listing that `quarnc dis` prints for a decoded program:
//
//   format version: 1
//   content hash: <64 hex digits>
//   register count: 7                 (or none)
//   source name: "demo.vekl"          (or none)
//   instructions: 9
//     0: LoadConst r0, Int(1)         each line as disassemble() writes it,
//   > 4: Return r3                    "> " in front when a jump, loop or
//   ...                               function entry names that index
//   > 9: (end)                        a target just past the last
//   parameter types:                  instruction (or further: "(past the
//     "main": []                      end)"), which the decoder does not
//   source map:                       refuse
//     0: 1:28                         index: line:column, by index
//   swarm:
//     "main": flag 1, size 4, substrate "cpu", barriers 0
//   exports:
//     "f": no_mangle 1, export 0, params [Int], returns Kind0
//
// Map keys are written in ascending byte order; an empty map shows "(none)";
// a program without metadata shows "metadata: none" instead of the last five
// parts.
//
// The listing is written a line at a time, never held whole, and the
// instructions are never held decoded: the bytes are decoded twice, first to
// find the marked lines and the header fields that follow the instruction
// list in the bytes, then to write each line as its instruction is read. So
// memory stays at the bytes themselves, a bit per instruction and the
// metadata, however long the program.
#pragma once

#include "quarn_core/quarn_crate/decode.h"
#include "quarn_core/result.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

namespace quarn::quarnc {

// Writes the listing of the compiled program in `bytes` through `write`, or
// fails with the decoder's error having written nothing.
core::Result<core::Unit, core::DecodeError> write_listing(
    std::span<const std::uint8_t> bytes, const std::function<void(std::string_view)>& write);

}  // namespace quarn::quarnc
