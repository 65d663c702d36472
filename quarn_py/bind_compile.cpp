// compile_source(source): one call of the compile driver, its outcome as a
// fresh dict, `success` first, then `bytecode` (list of int) or `error`.
#include "quarn_compiler/compile.h"
#include "quarn_core/huge_pages.h"
#include "quarn_py/args.h"
#include "quarn_py/functions.h"
#include "quarn_py/guard.h"

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
  core::advise_huge_pages(reinterpret_cast<PyListObject*>(out)->ob_item,
                          bytes.size() * sizeof(PyObject*));
  for (std::size_t k = 0; k < bytes.size(); ++k) {
    PyObject* item = ints[bytes[k]].get();
    Py_INCREF(item);
    PyList_SET_ITEM(out, static_cast<Py_ssize_t>(k), item);  // steals
  }
  return list;
}

PyObject* result_dict(const char* key, PyRef value, bool success) {
  if (!value) return nullptr;
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  if (PyDict_SetItemString(dict.get(), "success", success ? Py_True : Py_False) < 0) return nullptr;
  if (PyDict_SetItemString(dict.get(), key, value.get()) < 0) return nullptr;
  return dict.release();
}

}  // namespace

PyObject* compile_source(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr const char* kParams[] = {"source"};
  static constexpr Signature kSig{"compile_source", kParams, 1, 1};
  PyObject* slots[1];
  if (!bind_arguments(kSig, args, nargsf, kwnames, slots)) return nullptr;
  std::string_view source;
  if (!text_argument("source", slots[0], source)) return nullptr;
  return guarded([&]() -> PyObject* {
    compiler::CompileOutcome outcome = compiler::compile_program_text(source);
    if (!outcome.ok()) {
      const std::string& error = outcome.error();
      // Error texts quote the source, which came in as UTF-8; "replace"
      // only guards against a fault there turning into an exception.
      PyRef text = PyRef::steal(
          PyUnicode_DecodeUTF8(error.data(), static_cast<Py_ssize_t>(error.size()), "replace"));
      return result_dict("error", std::move(text), false);
    }
    // Release the driver's bytes as soon as the list holds them.
    PyRef list = byte_list(outcome.value());
    outcome = compiler::CompileOutcome(std::string());
    return result_dict("bytecode", std::move(list), true);
  });
}

}  // namespace quarn::py
