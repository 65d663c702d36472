// Input sizes from which a call works without the interpreter lock. Taking the
// lock back costs little when no other thread wants it, but a thread that
// waits for it can hold the caller up for a switch interval, so small calls
// (which finish in a few microseconds) keep the lock; each size is where the
// work takes some tens of microseconds on the machine the figures in
// docs/building.md come from.
#pragma once

#include <cstddef>

namespace quarn::py {

inline constexpr std::size_t kTokenizeUnlockBytes = 8 * 1024;
inline constexpr std::size_t kEntitiesUnlockBytes = 8 * 1024;
inline constexpr std::size_t kAuditUnlockBytes = 8 * 1024;        // entities_json (+ audit_json)
inline constexpr std::size_t kCompileUnlockBytes = 1024;
inline constexpr std::size_t kDecodeUnlockBytes = 64 * 1024;

}  // namespace quarn::py
