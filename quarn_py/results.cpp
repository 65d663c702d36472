#include "quarn_py/results.h"

namespace quarn::py {

PyRef utf8_str(std::string_view text, const char* errors) {
  return PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), errors));
}

PyObject* result_dict(bool success, const char* key, PyRef value) {
  if (!value) return nullptr;
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  if (PyDict_SetItemString(dict.get(), "success", success ? Py_True : Py_False) < 0) return nullptr;
  if (PyDict_SetItemString(dict.get(), key, value.get()) < 0) return nullptr;
  return dict.release();
}

}  // namespace quarn::py
