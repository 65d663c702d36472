#include "quarn_py/byte_list.h"

#include "quarn_py/results.h"
#include "quarn_py/unlock_sizes.h"

#include <array>
#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quarn::py {
namespace {

// An object is immortal when taking a reference leaves its count as it was:
// the interpreter then never counts references to it, and a new reference
// is the pointer alone. Immortality does not wear off.
bool immortal(PyObject* o) {
  const Py_ssize_t before = Py_REFCNT(o);
  Py_INCREF(o);
  const bool unchanged = Py_REFCNT(o) == before;
  Py_DECREF(o);
  return unchanged;
}

// Lists from kStreamedItems items up are larger than the caches: their item
// array is written with streaming stores, which do not first read each line
// of it in from memory (a third of the time of a 4 MB program's list).
constexpr std::size_t kStreamedItems = std::size_t{1} << 20;

// items[k] = table[in[k]] for k in [0, n): pointers only, no references
// taken (the table's objects are immortal).
void fill_pointers(PyObject** items, const std::uint8_t* in, std::size_t n, PyObject* const* table,
                   bool streamed) {
  std::size_t k = 0;
#if defined(__SSE2__)
  if (streamed) {
    for (; k < n && reinterpret_cast<std::uintptr_t>(items + k) % 16 != 0; ++k) items[k] = table[in[k]];
    for (; n - k >= 2; k += 2) {
      const __m128i pair = _mm_set_epi64x(reinterpret_cast<long long>(table[in[k + 1]]),
                                          reinterpret_cast<long long>(table[in[k]]));
      _mm_stream_si128(reinterpret_cast<__m128i*>(items + k), pair);
    }
    // Streaming stores are not ordered with later plain ones: all of them
    // land before the lock is let go and another thread may look.
    _mm_sfence();
  }
#else
  (void)streamed;
#endif
  for (; k < n; ++k) items[k] = table[in[k]];
}

}  // namespace

// PyLong_FromLong hands out the interpreter's own small ints for 0-255, so
// each item is a new reference to one of 256 shared objects: no int is made
// per byte. A 4 MB program has some 12 million bytes. Where those ints are
// immortal (CPython 3.12 and later), taking a reference to one changes
// nothing, so the items are written as plain pointers, many at a time;
// otherwise each item takes its reference as usual.
PyRef byte_list(const std::vector<std::uint8_t>& bytes) {
  std::array<PyRef, 256> ints;
  std::array<PyObject*, 256> table;  // ints[i].get(): each held by `ints`
  bool all_immortal = true;
  for (int i = 0; i < 256; ++i) {
    if (!(ints[i] = PyRef::steal(PyLong_FromLong(i)))) return PyRef();
    table[i] = ints[i].get();
    all_immortal = all_immortal && immortal(table[i]);
  }
  const std::uint8_t* in = bytes.data();
  if (!all_immortal) {
    return filled_list(bytes.size(), kByteListSliceItems,
                       [&](std::size_t k, PyObject* const*) { return PyRef::borrow(table[in[k]]); });
  }
  const bool streamed = bytes.size() >= kStreamedItems;
  return list_by_slices(bytes.size(), kByteListSliceItems,
                        [&](PyObject* out, std::size_t start, std::size_t end) {
                          fill_pointers(PySequence_Fast_ITEMS(out) + start, in + start, end - start,
                                        table.data(), streamed);
                          return true;
                        });
}

}  // namespace quarn::py
