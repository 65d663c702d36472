// Conversion of Python call arguments (vectorcall: positional array plus
// keyword names) into C++ values, with the exact TypeError / OverflowError
// texts that callers match. Every function returns false with a Python
// exception set when the argument is refused.
#pragma once

#include "quarn_py/py_ref.h"

#include <cstdint>
#include <string_view>
#include <vector>

namespace quarn::py {

// One module function's parameters, all positional-or-keyword, in order; the
// first `required` of them must be given.
struct Signature {
  const char* function;  // "create_audit"
  const char* const* params;
  int count;
  int required;
};

// Binds the call's arguments to parameter slots: slots[i] is a borrowed
// reference to the value of parameter i, or nullptr where it was not given.
// REQUIRES: slots has sig.count entries.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, PyObject** slots);

// A str (or subclass) as UTF-8. The view points into the str object's own
// UTF-8 form and stays valid while `obj` lives.
bool text_argument(const char* param, PyObject* obj, std::string_view& out);

// An int (or anything with __index__) as an unsigned 64-bit value.
bool u64_argument(const char* param, PyObject* obj, std::uint64_t& out);

// A sequence of integers 0-255 (not a str) as bytes. `bytes` points either
// into an immutable bytes object (read in place; it lives as long as the
// caller's reference) or into `storage`: a bytearray or a memoryview is copied
// there first, since another thread may write to its buffer while this one
// works without the interpreter lock, and every other sequence is converted
// item by item with the lock held.
struct ByteArgument {
  std::string_view bytes;
  std::vector<unsigned char> storage;
};
bool bytes_argument(const char* param, PyObject* obj, ByteArgument& out);

// Applies the prefix rule to the exception being raised: a TypeError becomes
// "argument '<param>': <text>" with the original as its __cause__; any other
// exception passes through unchanged. Always returns false.
bool prefix_type_error(const char* param);

}  // namespace quarn::py
