// execute_bytecode(bytecode): decodes the bytes as a compiled program and
// reports whether that worked. Nothing is run; the decoded program is dropped
// as it is read.
#include "quarn_core/quarn_crate/decode.h"
#include "quarn_py/args.h"
#include "quarn_py/functions.h"
#include "quarn_py/guard.h"

#include <string>

namespace quarn::py {
namespace {

// {"success": success, key: text}, inserted in that order.
PyObject* result_dict(bool success, const char* key, std::string_view text) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  if (PyDict_SetItemString(dict.get(), "success", success ? Py_True : Py_False) < 0) return nullptr;
  PyRef value = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!value) return nullptr;
  if (PyDict_SetItemString(dict.get(), key, value.get()) < 0) return nullptr;
  return dict.release();
}

}  // namespace

PyObject* execute_bytecode(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr const char* kParams[] = {"bytecode"};
  static constexpr Signature kSig{"execute_bytecode", kParams, 1, 1};
  PyObject* slots[1];
  if (!bind_arguments(kSig, args, nargsf, kwnames, slots)) return nullptr;
  ByteArgument bytes;
  if (!bytes_argument("bytecode", slots[0], bytes)) return nullptr;
  // bytes.bytes may point into a bytes/bytearray buffer: no Python code runs
  // until decoding is over.
  return guarded([&]() -> PyObject* {
    auto decoded = core::check_program(bytes.bytes);
    if (!decoded.ok()) {
      return result_dict(false, "error", "Deserialization error: " + decoded.error().message);
    }
    return result_dict(true, "output", "Execution successful");
  });
}

}  // namespace quarn::py
