// compile_source(source): one call of the compile driver, its outcome as a
// fresh dict, `success` first, then `bytecode` (list of int) or `error`.
#include "quarn_compiler/compile.h"
#include "quarn_core/huge_pages.h"
#include "quarn_py/args.h"
#include "quarn_py/functions.h"
#include "quarn_py/guard.h"
#include "quarn_py/results.h"
#include "quarn_py/unlock_sizes.h"

#include <array>
#include <cstdint>
#include <vector>

namespace quarn::py {
namespace {

// True when `v` keeps no count of its references (the interpreter's small
// ints are such immortal objects): taking one leaves its count unchanged.
bool keeps_no_count(PyObject* v) {
  const Py_ssize_t before = Py_REFCNT(v);
  Py_INCREF(v);
  if (Py_REFCNT(v) == before) return true;
  Py_DECREF(v);
  return false;
}

// The list of one int per byte. The values 0-255 are the interpreter's own
// small ints, so the list's item array holds nothing but their addresses: it
// is allocated with the lock held (the interpreter's allocator needs it),
// written without it on large programs (three items per byte of source,
// millions of them, and writing addresses touches no object), then handed to
// an empty list. No other thread can see the list before that, so none sees
// it half filled.
PyRef byte_list(const std::vector<std::uint8_t>& bytes) {
#ifdef Py_GIL_DISABLED
  // Lists of the free-threaded interpreter keep their items in a block of its
  // own layout: filled the plain way there.
  return filled_list(bytes.size(), std::size_t{1} << 18, [&](std::size_t k, PyObject* const*) {
    return PyRef::steal(PyLong_FromLong(bytes[k]));
  });
#else
  const std::size_t n = bytes.size();
  std::array<PyRef, 256> ints;
  bool counted = false;  // some value's references must be counted
  for (int i = 0; i < 256; ++i) {
    if (!(ints[i] = PyRef::steal(PyLong_FromLong(i)))) return PyRef();
    counted = counted || !keeps_no_count(ints[i].get());
  }
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return list;
  if (n == 0) return list;
  if (n > PY_SSIZE_T_MAX / sizeof(PyObject*)) return PyRef::steal(PyErr_NoMemory());
  auto* items = static_cast<PyObject**>(PyMem_Malloc(n * sizeof(PyObject*)));
  if (items == nullptr) return PyRef::steal(PyErr_NoMemory());

  std::array<Py_ssize_t, 256> uses{};
  without_lock(n >= kByteListUnlockItems, [&] {
    core::advise_huge_pages(items, n * sizeof(PyObject*));
    const std::uint8_t* in = bytes.data();
    for (std::size_t k = 0; k < n; ++k) items[k] = ints[in[k]].get();
    if (counted) {
      for (std::size_t k = 0; k < n; ++k) ++uses[in[k]];
    }
  });
  // The list owns a reference per item: taken per value in one step.
  for (int i = 0; i < 256 && counted; ++i) Py_SET_REFCNT(ints[i].get(), Py_REFCNT(ints[i].get()) + uses[i]);

  auto* raw = reinterpret_cast<PyListObject*>(list.get());
  raw->ob_item = items;
  raw->allocated = static_cast<Py_ssize_t>(n);
  Py_SET_SIZE(raw, static_cast<Py_ssize_t>(n));
  return list;
#endif
}

// The encoded program of each call is copied into the list and then no
// longer needed, so each thread keeps its buffer for its next call: a large
// compile then neither maps fresh memory and faults it in page by page, nor
// unmaps it afterwards, which in a process running threads on other cores
// stalls them all. A buffer that grew past kKeptOutputBytes is let go, so
// that one huge compile does not pin its memory for the thread's lifetime.
//
// Building the list may run a finalizer, which may compile again on the same
// thread while the outer call still reads its bytes: a call that finds the
// thread's buffer taken uses one of its own.
class OutputBuffer {
 public:
  OutputBuffer() : kept_(!slot().taken) {
    if (kept_) slot().taken = true;
  }
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;
  ~OutputBuffer() {
    if (!kept_) return;
    std::vector<std::uint8_t>& buffer = slot().bytes;
    if (buffer.capacity() > kKeptOutputBytes) {
      std::vector<std::uint8_t>().swap(buffer);
    } else {
      buffer.clear();
    }
    slot().taken = false;
  }
  std::vector<std::uint8_t>& bytes() { return kept_ ? slot().bytes : own_; }

 private:
  static constexpr std::size_t kKeptOutputBytes = std::size_t{64} << 20;
  struct Slot {
    std::vector<std::uint8_t> bytes;
    bool taken = false;
  };
  static Slot& slot() {
    thread_local Slot kept;
    return kept;
  }

  bool kept_;
  std::vector<std::uint8_t> own_;
};

}  // namespace

PyObject* compile_source(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"source"};
    static constexpr Signature kSig{"compile_source", kParams, 1, 1};
    PyObject* slots[1];
    if (!bind_arguments(kSig, args, nargsf, kwnames, slots)) return nullptr;
    std::string_view source;  // the str's own UTF-8 form: immutable, held by the caller
    if (!text_argument("source", slots[0], source)) return nullptr;

    OutputBuffer buffer;
    auto outcome = without_lock(source.size() >= kCompileUnlockBytes, [&] {
      return compiler::compile_program_into(source, buffer.bytes());
    });
    if (!outcome.ok()) {
      // Error texts quote the source, which came in as UTF-8; "replace"
      // only guards against a fault there turning into an exception.
      return result_dict(false, "error", utf8_str(outcome.error(), "replace"));
    }
    PyRef list = byte_list(buffer.bytes());
    if (!list) return nullptr;
    return result_dict(true, "bytecode", std::move(list));
  });
}

}  // namespace quarn::py
