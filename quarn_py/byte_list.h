// compile_source's list of ints, one per byte of the encoded program.
#pragma once

#include "quarn_py/py_ref.h"

#include <cstdint>
#include <vector>

namespace quarn::py {

// A new list whose item k is the int bytes[k]; null with the exception set
// when making it fails.
PyRef byte_list(const std::vector<std::uint8_t>& bytes);

}  // namespace quarn::py
