// execute_bytecode(bytecode): placeholder until the decoder is built; the
// argument handling is final.
#include "quarn_py/args.h"
#include "quarn_py/functions.h"

namespace quarn::py {

PyObject* execute_bytecode(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr const char* kParams[] = {"bytecode"};
  static constexpr Signature kSig{"execute_bytecode", kParams, 1, 1};
  PyObject* slots[1];
  if (!bind_arguments(kSig, args, nargsf, kwnames, slots)) return nullptr;
  ByteArgument bytes;
  if (!bytes_argument("bytecode", slots[0], bytes)) return nullptr;
  PyErr_SetString(PyExc_NotImplementedError, "execute_bytecode is not built yet");
  return nullptr;
}

}  // namespace quarn::py
