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
  if (size < kHugePage || first >= last) return;
  // Refusal (no transparent huge pages) changes nothing: ignore it.
  (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)size;
#endif
}

}  // namespace quarn::core
