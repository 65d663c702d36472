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

// One int object per byte. The values 0-255 are the interpreter's own cached
// small ints, so filling the list is one reference per element and no
// allocation beyond the list itself.
PyRef byte_list(const std::vector<std::uint8_t>& bytes) {
  std::array<PyRef, 256> ints;
  for (int i = 0; i < 256; ++i) {
    ints[i] = PyRef::steal(PyLong_FromLong(i));
    if (!ints[i]) return PyRef();
  }
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(bytes.size())));
  if (!list) return PyRef();
  PyObject* const out = list.get();
  // The list's item array is written once, front to back, right after it was
  // allocated (PySequence_Fast_ITEMS is the API's view of it).
  core::advise_huge_pages(PySequence_Fast_ITEMS(out), bytes.size() * sizeof(PyObject*));
  for (std::size_t k = 0; k < bytes.size(); ++k) {
    PyObject* item = ints[bytes[k]].get();
    Py_INCREF(item);
    PyList_SET_ITEM(out, static_cast<Py_ssize_t>(k), item);  // steals
  }
  return list;
}

}  // namespace

PyObject* compile_source(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"source"};
    static constexpr Signature kSig{"compile_source", kParams, 1, 1};
    PyObject* slots[1];
    if (!bind_arguments(kSig, args, nargsf, kwnames, slots)) return nullptr;
    std::string_view source;  // the str's own UTF-8 form: immutable, held by the caller
    if (!text_argument("source", slots[0], source)) return nullptr;

    compiler::CompileOutcome outcome = without_lock(
        source.size() >= kCompileUnlockBytes, [&] { return compiler::compile_program_text(source); });
    if (!outcome.ok()) {
      // Error texts quote the source, which came in as UTF-8; "replace"
      // only guards against a fault there turning into an exception.
      return result_dict(false, "error", utf8_str(outcome.error(), "replace"));
    }
    // Release the driver's bytes as soon as the list holds them.
    PyRef list = byte_list(outcome.value());
    outcome = compiler::CompileOutcome(std::string());
    return result_dict(true, "bytecode", std::move(list));
  });
}

}  // namespace quarn::py
