#include "quarn_core/huge_pages.h"

#include <cstdint>

#include <sys/mman.h>
#include <unistd.h>

namespace quarn::core {

namespace {

// The x86-64 huge page; the advice is a hint, so a wrong guess on another
// system only makes it do less.
constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
// Smaller buffers come from the allocator's shared heap, where the advice
// would outlive the buffer and make later small allocations there take
// whole huge pages. glibc gives every block from 32 MiB up its own
// mapping, which goes back to the system, advice and all, when freed.
constexpr std::size_t kOwnMapping = std::size_t{32} << 20;

// The buffer [begin, end) and the whole huge pages in it, [first, last);
// false below kOwnMapping or when it holds no whole huge page.
struct HugeRange {
  std::uintptr_t begin, first, last, end;
};
bool huge_range(void* data, std::size_t size, HugeRange& out) {
  out.begin = reinterpret_cast<std::uintptr_t>(data);
  out.end = out.begin + size;
  out.first = (out.begin + kHugePage - 1) & ~(kHugePage - 1);
  out.last = out.end & ~(kHugePage - 1);
  return size >= kOwnMapping && out.first < out.last;
}

}  // namespace

// Refusal of either advice (no transparent huge pages; a kernel before
// 5.14 for MADV_POPULATE_WRITE) changes nothing: it is ignored, and the
// writes fault the pages in as they come.
void advise_huge_pages(void* data, std::size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  HugeRange r;
  if (huge_range(data, size, r)) (void)madvise(reinterpret_cast<void*>(r.first), r.last - r.first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)size;
#endif
}

void advise_huge_pages_for_filling(void* data, std::size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
#if defined(MADV_POPULATE_WRITE)
  constexpr int kPopulateWrite = MADV_POPULATE_WRITE;
#else
  constexpr int kPopulateWrite = 23;  // its value in the kernel's headers
#endif
  HugeRange r;
  if (!huge_range(data, size, r)) return;
  (void)madvise(reinterpret_cast<void*>(r.first), r.last - r.first, MADV_HUGEPAGE);
  const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const std::uintptr_t head = r.begin & ~(page - 1);
  const std::uintptr_t tail_end = (r.end + page - 1) & ~(page - 1);
  // Both ends lie inside the buffer's own mapping (see kOwnMapping), so the
  // whole pages around them are the buffer's too; and faulting a page in
  // never changes what it holds.
  if (head < r.first) (void)madvise(reinterpret_cast<void*>(head), r.first - head, kPopulateWrite);
  if (r.last < tail_end) (void)madvise(reinterpret_cast<void*>(r.last), tail_end - r.last, kPopulateWrite);
#else
  (void)data;
  (void)size;
#endif
}

}  // namespace quarn::core
