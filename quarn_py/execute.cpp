// execute_bytecode(bytecode): decodes the bytes as a compiled program and
// reports whether that worked. Nothing is run; the decoded program is dropped
// as it is read.
#include "quarn_core/quarn_crate/decode.h"
#include "quarn_py/args.h"
#include "quarn_py/functions.h"
#include "quarn_py/guard.h"
#include "quarn_py/results.h"
#include "quarn_py/unlock_sizes.h"

#include <string>

namespace quarn::py {

PyObject* execute_bytecode(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"bytecode"};
    static constexpr Signature kSig{"execute_bytecode", kParams, 1, 1};
    PyObject* slots[1];
    if (!bind_arguments(kSig, args, nargsf, kwnames, slots)) return nullptr;
    // Either a view of an immutable bytes object the caller holds, or a copy
    // owned here: no other thread can change it while we decode.
    ByteArgument bytes;
    if (!bytes_argument("bytecode", slots[0], bytes)) return nullptr;

    auto checked = without_lock(bytes.bytes.size() >= kDecodeUnlockBytes,
                                [&] { return core::check_program(bytes.bytes); });
    if (!checked.ok()) {
      return result_dict(false, "error",
                         utf8_str("Deserialization error: " + checked.error().message, "replace"));
    }
    return result_dict(true, "output", utf8_str("Execution successful"));
  });
}

}  // namespace quarn::py
