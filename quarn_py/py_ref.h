// PyRef owns one strong reference to a Python object and releases it when it
// goes out of scope, so every early return on an error path is leak-free.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
#error "quarn_py needs CPython 3.12 or later (it uses PyErr_GetRaisedException)"
#endif

#include <utility>

namespace quarn::py {

class PyRef {
 public:
  PyRef() = default;
  // The API returned a new reference: take it over.
  static PyRef steal(PyObject* o) { return PyRef(o); }
  // A borrowed reference: take a new one of our own.
  static PyRef borrow(PyObject* o) {
    Py_XINCREF(o);
    return PyRef(o);
  }

  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Hands the reference over to the caller (usually the interpreter).
  [[nodiscard]] PyObject* release() { return std::exchange(obj_, nullptr); }

 private:
  explicit PyRef(PyObject* o) : obj_(o) {}
  PyObject* obj_ = nullptr;
};

}  // namespace quarn::py
