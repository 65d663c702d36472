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
#pragma once

#include "quarn_core/quarn_crate/crate.h"

#include <string>

namespace quarn::quarnc {

std::string program_listing(const core::CompiledProgram& program);

}  // namespace quarn::quarnc
