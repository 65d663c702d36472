// The boundary between C++ and the interpreter: an internal fault (a C++
// exception that valid input never causes) becomes a Python exception of the
// module's own class, derived from BaseException, and the process goes on.
#pragma once

#include "quarn_py/py_ref.h"

#include <exception>
#include <new>

namespace quarn::py {

// Raises the internal-fault exception with `what`; returns nullptr.
PyObject* raise_internal_fault(const char* what);

template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_internal_fault(e.what());
  } catch (...) {
    return raise_internal_fault("unknown internal fault");
  }
}

}  // namespace quarn::py
