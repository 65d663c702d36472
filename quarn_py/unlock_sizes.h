// Input sizes from which a call works without the interpreter lock. Handing
// the lock over and taking it back costs well under a microsecond when no
// other thread wants it, but a thread that waits for it can hold the caller
// up for a while when one does; so small calls, which finish in a few
// microseconds, keep the lock, and each size below is where the work takes
// some 15-60 microseconds (one core of a 2-core machine, CPython 3.12):
//
//   tokenize          4 KiB   about 13 us  (1 KiB: 4.5 us, 8 KiB: 24 us)
//   extract_entities  8 KiB   about 16 us  (1 KiB: 2 us)
//   create_audit      2 KiB   about 33 us  (1 KiB: 19 us)
//   verify_audit      2 KiB   about 12 us  (1 KiB: 7 us)
//   compile_source    1 KiB   about 30 us
//   execute_bytecode 64 KiB   about 15 us  (decoding runs at some 4 GB/s)
//
// and compile_source's list of ints is filled kByteListSliceItems at a time
// with the lock held, letting it go between slices (that many items are the
// list of a program of some 20 KiB).
//
// Sizes are of the text arguments' UTF-8 forms taken together, and of the
// bytes to decode.
#pragma once

#include <cstddef>

namespace quarn::py {

inline constexpr std::size_t kTokenizeUnlockBytes = 4 * 1024;
inline constexpr std::size_t kEntitiesUnlockBytes = 8 * 1024;
inline constexpr std::size_t kAuditUnlockBytes = 2 * 1024;
inline constexpr std::size_t kCompileUnlockBytes = 1024;
inline constexpr std::size_t kDecodeUnlockBytes = 64 * 1024;
inline constexpr std::size_t kByteListSliceItems = 64 * 1024;

}  // namespace quarn::py
