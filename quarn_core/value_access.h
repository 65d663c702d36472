// Internal: lets the decoder build Values in place (an Object's entries are
// filled while its children are still being decoded, then put in key order).
// Not for general use: it can break the Object invariant until normalised.
#pragma once

#include "quarn_core/value.h"

#include <vector>

namespace quarn::core {

struct ValueAccess {
  static std::vector<ObjectEntry>& start_object(Value& v) {
    v.kind_ = ValueKind::Object;
    v.contract_id_ = 0;
    return v.data_.emplace<std::vector<ObjectEntry>>();
  }
  // REQUIRES: v.kind() == ValueKind::Object
  static std::vector<ObjectEntry>& object_entries(Value& v) {
    return std::get<std::vector<ObjectEntry>>(v.data_);
  }
  // Puts the entries in ascending key order, the last of equal keys winning.
  static void normalise_object(Value& v);
};

}  // namespace quarn::core
