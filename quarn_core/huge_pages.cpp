#include "quarn_core/huge_pages.h"

#include <cstdint>

#include <sys/mman.h>

namespace quarn::core {

void advise_huge_pages(void* data, std::size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // The x86-64 huge page; the advice is a hint, so a wrong guess on another
  // system only makes it do less.
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = (begin + size) & ~(kHugePage - 1);
  // Smaller buffers come from the allocator's shared heap, where the advice
  // would outlive the buffer and make later small allocations there take
  // whole huge pages. glibc gives every block from 32 MiB up its own
  // mapping, which goes back to the system, advice and all, when freed.
  constexpr std::size_t kOwnMapping = std::size_t{32} << 20;
  if (size < kOwnMapping || first >= last) return;
  // Refusal (no transparent huge pages) changes nothing: ignore it.
  (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)size;
#endif
}

}  // namespace quarn::core
