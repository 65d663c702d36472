// The boundary between C++ and the interpreter: an internal fault (a C++
// exception that valid input never causes) becomes a Python exception of the
// module's own class, derived from BaseException, and the process goes on;
// running out of memory anywhere inside becomes MemoryError.
//
// Every function has the same shape, all of it inside guarded():
//   bind and convert the arguments (lock held: they are Python objects),
//   do the work (lock released above a size threshold, see Unlocked),
//   build the result (lock held).
#pragma once

#include "quarn_py/py_ref.h"

#include <cstddef>
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

// Releases the interpreter lock for its lifetime when `release` is true, so
// other Python threads run while this one works, and takes it back when it
// goes out of scope, also when an exception (std::bad_alloc) leaves the work.
// REQUIRES while released: nothing touches a Python object (reference counts
// included); the inputs are views into objects the call holds references to,
// which are immutable (str, bytes) or were copied first.
class Unlocked {
 public:
  explicit Unlocked(bool release) : state_(release ? PyEval_SaveThread() : nullptr) {}
  ~Unlocked() {
    if (state_ != nullptr) PyEval_RestoreThread(state_);
  }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  PyThreadState* state_;
};

// Runs work() without the lock when `release` is true; returns what it returns.
template <class F>
decltype(auto) without_lock(bool release, F&& work) {
  Unlocked unlocked(release);
  return work();
}

}  // namespace quarn::py
