#include "quarn_py/args.h"

#include <algorithm>
#include <string>

namespace quarn::py {
namespace {

std::string function_prefix(const Signature& sig) { return std::string(sig.function) + "()"; }

bool raise_type_error(const std::string& text) {
  PyErr_SetString(PyExc_TypeError, text.c_str());
  return false;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ",";
      if (i + 1 == names.size()) out += " and";
      out += " ";
    }
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  std::string text = function_prefix(sig) + " takes ";
  if (sig.required < sig.count) {
    text += "from " + std::to_string(sig.required) + " to " + std::to_string(sig.count);
  } else {
    text += std::to_string(sig.count);
  }
  text += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
          " given";
  return raise_type_error(text);
}

// The name of the type as the caller wrote it (its qualified name).
std::string type_name(PyObject* obj) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (name) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (utf8 != nullptr) return std::string(utf8, static_cast<size_t>(size));
  }
  PyErr_Clear();
  return Py_TYPE(obj)->tp_name;
}

bool raise_prefixed(const char* param, const std::string& text) {
  PyErr_SetString(PyExc_TypeError, text.c_str());
  return prefix_type_error(param);
}

bool byte_out_of_range() {
  PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
  return false;
}

// One element of a `bytecode` sequence: converted as a signed 64-bit integer
// first (its errors are the conversion's own), then checked against 0-255.
bool element_byte(const char* param, PyObject* item, unsigned char& out) {
  if (PyLong_CheckExact(item) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(item))) {
    Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(item));
    if (v < 0 || v > 255) return byte_out_of_range();
    out = static_cast<unsigned char>(v);
    return true;
  }
  long long v;
  if (PyLong_Check(item)) {
    v = PyLong_AsLongLong(item);
  } else {
    PyRef index = PyRef::steal(PyNumber_Index(item));
    if (!index) return prefix_type_error(param);
    v = PyLong_AsLongLong(index.get());
  }
  if (v == -1 && PyErr_Occurred()) return prefix_type_error(param);
  if (v < 0 || v > 255) return byte_out_of_range();
  out = static_cast<unsigned char>(v);
  return true;
}

enum class Fast { Done, Failed, Fallback };

// Lists and tuples of exact ints are read straight from their item arrays. Any
// other item could run Python code (__index__) that changes the list under
// us, so at the first such item the caller starts over on the general path;
// no Python code has run by then, so nothing observable happens twice.
Fast fast_sequence_bytes(PyObject* const* items, Py_ssize_t n, ByteArgument& out) {
  out.storage.resize(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = items[i];
    if (!PyLong_CheckExact(item) ||
        !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(item))) {
      out.storage.clear();
      return Fast::Fallback;
    }
    Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(item));
    if (v < 0 || v > 255) return byte_out_of_range(), Fast::Failed;
    out.storage[static_cast<size_t>(i)] = static_cast<unsigned char>(v);
  }
  out.bytes = std::string_view(reinterpret_cast<const char*>(out.storage.data()), out.storage.size());
  return Fast::Done;
}

// A bytearray or a one-dimensional contiguous memoryview of unsigned bytes,
// copied in one go. Anything else (another format or shape, a released view)
// returns false with no exception set, and takes the item-by-item path, which
// gives the same bytes or the same error as iterating would.
bool copy_byte_buffer(PyObject* obj, ByteArgument& out) {
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_FULL_RO) < 0) {
    PyErr_Clear();
    return false;
  }
  struct Release {
    Py_buffer* v;
    ~Release() { PyBuffer_Release(v); }
  } release{&view};
  bool plain_bytes = view.ndim == 1 && view.itemsize == 1 &&
                     (view.format == nullptr || std::string_view(view.format) == "B") &&
                     PyBuffer_IsContiguous(&view, 'C');
  if (!plain_bytes) return false;
  const auto* data = static_cast<const unsigned char*>(view.buf);
  out.storage.assign(data, data + view.len);
  out.bytes = std::string_view(reinterpret_cast<const char*>(out.storage.data()), out.storage.size());
  return true;
}

}  // namespace

bool prefix_type_error(const char* param) {
  PyRef cause = PyRef::steal(PyErr_GetRaisedException());
  if (!cause) return false;
  if (!Py_IS_TYPE(cause.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyErr_SetRaisedException(cause.release());  // steals
    return false;
  }
  PyRef text = PyRef::steal(PyObject_Str(cause.get()));
  if (!text) return false;
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
  if (!message) return false;
  PyRef wrapped = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!wrapped) return false;
  PyException_SetCause(wrapped.get(), cause.release());  // steals the cause
  PyErr_SetRaisedException(wrapped.release());
  return false;
}

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, PyObject** slots) {
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs > sig.count) return too_many_positional(sig, nargs);
  for (int i = 0; i < sig.count; ++i) slots[i] = i < nargs ? args[i] : nullptr;

  Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    int index = -1;
    for (int i = 0; i < sig.count; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
        index = i;
        break;
      }
    }
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function,
                   key);
      return false;
    }
    if (slots[index] != nullptr) {
      return raise_type_error(function_prefix(sig) + " got multiple values for argument '" +
                              sig.params[index] + "'");
    }
    slots[index] = args[nargs + k];
  }

  std::vector<const char*> missing;
  for (int i = 0; i < sig.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(sig.params[i]);
  }
  if (!missing.empty()) {
    return raise_type_error(function_prefix(sig) + " missing " + std::to_string(missing.size()) +
                            " required positional " +
                            (missing.size() == 1 ? "argument" : "arguments") + ": " +
                            quoted_list(missing));
  }
  return true;
}

bool text_argument(const char* param, PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    return raise_prefixed(param, "'" + type_name(obj) + "' object cannot be converted to 'PyString'");
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) return prefix_type_error(param);  // UnicodeEncodeError passes unchanged
  out = std::string_view(utf8, static_cast<size_t>(size));
  return true;
}

bool u64_argument(const char* param, PyObject* obj, std::uint64_t& out) {
  PyRef index;
  if (!PyLong_Check(obj)) {
    index = PyRef::steal(PyNumber_Index(obj));
    if (!index) return prefix_type_error(param);
    obj = index.get();
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return prefix_type_error(param);
  out = v;
  return true;
}

bool bytes_argument(const char* param, PyObject* obj, ByteArgument& out) {
  if (PyUnicode_Check(obj)) return raise_prefixed(param, "Can't extract `str` to `Vec`");
  if (PyBytes_CheckExact(obj)) {
    out.bytes = std::string_view(PyBytes_AS_STRING(obj), static_cast<size_t>(PyBytes_GET_SIZE(obj)));
    return true;
  }
  if ((PyByteArray_CheckExact(obj) || PyMemoryView_Check(obj)) && copy_byte_buffer(obj, out)) {
    return true;
  }
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    Fast fast = fast_sequence_bytes(PySequence_Fast_ITEMS(obj), PySequence_Fast_GET_SIZE(obj), out);
    if (fast != Fast::Fallback) return fast == Fast::Done;
  }
  if (!PySequence_Check(obj)) {
    return raise_prefixed(param, "'" + type_name(obj) + "' object cannot be converted to 'Sequence'");
  }
  Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  // A length is only a hint: a forged one must not reserve memory by itself.
  out.storage.reserve(static_cast<size_t>(std::min<Py_ssize_t>(hint, Py_ssize_t{1} << 20)));
  PyRef iter = PyRef::steal(PyObject_GetIter(obj));
  if (!iter) return prefix_type_error(param);
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    unsigned char b = 0;
    if (!element_byte(param, item.get(), b)) return false;
    out.storage.push_back(b);
  }
  if (PyErr_Occurred()) return prefix_type_error(param);
  out.bytes = std::string_view(reinterpret_cast<const char*>(out.storage.data()), out.storage.size());
  return true;
}

}  // namespace quarn::py
