// compile_source(source): placeholder until the compile driver is built; the
// argument handling is final.
#include "quarn_py/args.h"
#include "quarn_py/functions.h"

namespace quarn::py {

PyObject* compile_source(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr const char* kParams[] = {"source"};
  static constexpr Signature kSig{"compile_source", kParams, 1, 1};
  PyObject* slots[1];
  if (!bind_arguments(kSig, args, nargsf, kwnames, slots)) return nullptr;
  std::string_view source;
  if (!text_argument("source", slots[0], source)) return nullptr;
  PyErr_SetString(PyExc_NotImplementedError, "compile_source is not built yet");
  return nullptr;
}

}  // namespace quarn::py
