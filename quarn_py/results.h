// The small Python objects every function's result is made of.
#pragma once

#include "quarn_core/huge_pages.h"
#include "quarn_py/guard.h"
#include "quarn_py/py_ref.h"

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace quarn::py {

// A str from UTF-8 text. `errors` is the decoder's error handler: nullptr
// (strict) where the text was checked, "replace" where a fault in it must not
// turn into an exception.
PyRef utf8_str(std::string_view text, const char* errors = nullptr);

// {"success": success, key: value}, inserted in that order, as a new
// reference; nullptr with the exception set when any part fails (a null
// `value` means making it failed, and is passed on).
PyObject* result_dict(bool success, const char* key, PyRef value);

// A new list of n items, filled by fill_slice(list, start, end), which sets
// items [start, end) and returns false, with the exception set, when making
// one fails (the list is then dropped; its unset items are NULL, which is
// safe). A long result takes tens of milliseconds to make with the lock held,
// so the list is filled in slices of `slice` items and the lock is let go
// between them: other threads keep running meanwhile. Until it is full the
// list is hidden from the collector, so no other thread can reach it
// (gc.get_objects() would otherwise hand out a list whose unfilled items are
// still empty), and the objects made for it do not make each collection walk
// the part already filled. The items must not be able to form a cycle with
// the list: they are strs, ints and dicts of those.
template <class FillSlice>
PyRef list_by_slices(std::size_t n, std::size_t slice, FillSlice&& fill_slice) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return list;
  PyObject* const out = list.get();
  // The item array is written once, front to back, right after it was
  // allocated (PySequence_Fast_ITEMS is the API's view of it).
  core::advise_huge_pages_for_filling(PySequence_Fast_ITEMS(out), n * sizeof(PyObject*));
  PyObject_GC_UnTrack(out);
  for (std::size_t start = 0; start < n; start += slice) {
    if (start != 0) {
      Unlocked pause(true);  // other threads may take the lock here
    }
    if (!fill_slice(out, start, std::min(n, start + slice))) return PyRef();
  }
  PyObject_GC_Track(out);
  return list;
}

// A new list of n items, item k being make_item(k, made) (a PyRef; a null
// one means making it failed, and the list is dropped), where made[0..k) are
// the items made before it (borrowed from the list); filled in slices as
// list_by_slices fills.
template <class MakeItem>
PyRef filled_list(std::size_t n, std::size_t slice, MakeItem&& make_item) {
  return list_by_slices(n, slice, [&](PyObject* out, std::size_t start, std::size_t end) {
    for (std::size_t k = start; k < end; ++k) {
      PyRef item = make_item(k, static_cast<PyObject* const*>(PySequence_Fast_ITEMS(out)));
      if (!item) return false;
      PyList_SET_ITEM(out, static_cast<Py_ssize_t>(k), item.release());  // steals
    }
    return true;
  });
}

}  // namespace quarn::py
