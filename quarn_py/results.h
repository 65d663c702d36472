// The small Python objects every function's result is made of.
#pragma once

#include "quarn_py/py_ref.h"

#include <string_view>

namespace quarn::py {

// A str from UTF-8 text. `errors` is the decoder's error handler: nullptr
// (strict) where the text was checked, "replace" where a fault in it must not
// turn into an exception.
PyRef utf8_str(std::string_view text, const char* errors = nullptr);

// {"success": success, key: value}, inserted in that order, as a new
// reference; nullptr with the exception set when any part fails (a null
// `value` means making it failed, and is passed on).
PyObject* result_dict(bool success, const char* key, PyRef value);

}  // namespace quarn::py
