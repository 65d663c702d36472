// Placeholder until the operation behind it is built.
#include "quarn_py/functions.h"

namespace quarn::py {
PyObject* tokenize(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "tokenize is not built yet");
  return nullptr;
}
PyObject* extract_entities(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "extract_entities is not built yet");
  return nullptr;
}
PyObject* create_audit(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "create_audit is not built yet");
  return nullptr;
}
PyObject* verify_audit(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "verify_audit is not built yet");
  return nullptr;
}
}  // namespace quarn::py
