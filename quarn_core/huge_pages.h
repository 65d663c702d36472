// Large buffers that are filled once, right after they are allocated (the
// instruction list, the encoded program, the result list), take one page
// fault per 4 KiB page as they are first written. On a multi-megabyte
// program those faults cost as much as the compilation itself. Advising the
// kernel to back such a buffer with huge pages turns 512 faults into one.
#pragma once

#include <cstddef>

namespace quarn::core {

// Asks for huge pages over the part of [data, data + size) that covers whole
// huge pages, for buffers of 32 MiB and more; for smaller ones, or where the
// system has no such advice, it does nothing. Only advice: the memory stays the caller's and works the
// same either way.
void advise_huge_pages(void* data, std::size_t size) noexcept;

// The same, for a buffer that is about to be written in full: the parts at
// either end that huge pages cannot cover (the mapping need not start or end
// on a huge page boundary) are also faulted in at once, in one call, rather
// than one 4 KiB page at a time as the writes reach them. A page fault costs
// far more than the kernel's own loop over the same pages, above all in a
// virtual machine.
void advise_huge_pages_for_filling(void* data, std::size_t size) noexcept;

}  // namespace quarn::core
