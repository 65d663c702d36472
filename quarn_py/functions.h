// The module's functions, one binding each (vectorcall with keywords). Each
// converts its arguments (args.h), calls one operation, and builds the result.
#pragma once

#include "quarn_py/py_ref.h"

namespace quarn::py {

using FastCall = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames);

PyObject* tokenize(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* extract_entities(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* create_audit(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* verify_audit(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* compile_source(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* execute_bytecode(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

}  // namespace quarn::py
