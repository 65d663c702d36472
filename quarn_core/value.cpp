#include "quarn_core/value.h"

#include "quarn_core/value_access.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace quarn::core {
namespace {

void normalise_entries(std::vector<ObjectEntry>& entries) {
  std::stable_sort(entries.begin(), entries.end(),
                   [](const ObjectEntry& a, const ObjectEntry& b) { return a.key < b.key; });
  std::size_t kept = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i + 1 < entries.size() && entries[i].key == entries[i + 1].key) continue;
    if (kept != i) entries[kept] = std::move(entries[i]);
    ++kept;
  }
  entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(kept), entries.end());
}

}  // namespace

void ValueAccess::normalise_object(Value& v) {
  normalise_entries(std::get<std::vector<ObjectEntry>>(v.data_));
}

Value Value::Bool(bool b) {
  Value v;
  v.kind_ = ValueKind::Bool;
  v.data_ = b;
  return v;
}

Value Value::Int(std::int64_t i) {
  Value v;
  v.kind_ = ValueKind::Int;
  v.data_ = i;
  return v;
}

Value Value::Float(double f) {
  Value v;
  v.kind_ = ValueKind::Float;
  v.data_ = f;
  return v;
}

Value Value::String(std::string text) {
  Value v;
  v.kind_ = ValueKind::String;
  v.data_ = std::move(text);
  return v;
}

Value Value::Array(std::vector<Value> items) {
  Value v;
  v.kind_ = ValueKind::Array;
  v.data_ = std::move(items);
  return v;
}

Value Value::Object(std::vector<ObjectEntry> entries) {
  normalise_entries(entries);
  Value v;
  v.kind_ = ValueKind::Object;
  v.data_ = std::move(entries);
  return v;
}

Value Value::Contract(std::uint16_t id, std::vector<ContractField> fields) {
  Value v;
  v.kind_ = ValueKind::Contract;
  v.contract_id_ = id;
  v.data_ = std::move(fields);
  return v;
}

Value Value::Handle(std::string text) {
  Value v;
  v.kind_ = ValueKind::Handle;
  v.data_ = std::move(text);
  return v;
}

bool Value::has_children() const {
  switch (kind_) {
    case ValueKind::Array: return !std::get<std::vector<Value>>(data_).empty();
    case ValueKind::Object: return !std::get<std::vector<ObjectEntry>>(data_).empty();
    case ValueKind::Contract: return !std::get<std::vector<ContractField>>(data_).empty();
    default: return false;
  }
}

// Only children that hold children themselves are moved out: leaves are
// destroyed with their container, so a wide flat array costs no extra memory.
void Value::take_children(std::vector<Value>& out) {
  auto take = [&](Value& child) {
    if (child.has_children()) out.push_back(std::move(child));
  };
  switch (kind_) {
    case ValueKind::Array:
      for (Value& c : std::get<std::vector<Value>>(data_)) take(c);
      break;
    case ValueKind::Object:
      for (ObjectEntry& e : std::get<std::vector<ObjectEntry>>(data_)) take(e.value);
      break;
    case ValueKind::Contract:
      for (ContractField& f : std::get<std::vector<ContractField>>(data_)) take(f.value);
      break;
    default:
      break;
  }
}

// Destruction walks a work list instead of recursing: a value decoded from
// input may be nested a million levels deep. Every Value destroyed inside the
// loop has had its children taken, so its own destructor returns at once.
void Value::destroy_children() {
  if (!has_children()) return;
  std::vector<Value> pending;
  take_children(pending);
  while (!pending.empty()) {
    Value v = std::move(pending.back());
    pending.pop_back();
    v.take_children(pending);
  }
}

// Copying also walks a work list: each container in the copy is sized before
// its children are queued, so the queued destinations never move.
Value::Value(const Value& other) : kind_(other.kind_), contract_id_(other.contract_id_) {
  if (!other.has_children()) {
    data_ = other.data_;
    return;
  }
  std::vector<std::pair<const Value*, Value*>> work{{&other, this}};
  while (!work.empty()) {
    auto [src, dst] = work.back();
    work.pop_back();
    dst->kind_ = src->kind_;
    dst->contract_id_ = src->contract_id_;
    switch (src->kind_) {
      case ValueKind::Array: {
        const auto& s = std::get<std::vector<Value>>(src->data_);
        auto& d = dst->data_.emplace<std::vector<Value>>(s.size());
        for (std::size_t i = 0; i < s.size(); ++i) work.emplace_back(&s[i], &d[i]);
        break;
      }
      case ValueKind::Object: {
        const auto& s = std::get<std::vector<ObjectEntry>>(src->data_);
        auto& d = dst->data_.emplace<std::vector<ObjectEntry>>(s.size());
        for (std::size_t i = 0; i < s.size(); ++i) {
          d[i].key = s[i].key;
          work.emplace_back(&s[i].value, &d[i].value);
        }
        break;
      }
      case ValueKind::Contract: {
        const auto& s = std::get<std::vector<ContractField>>(src->data_);
        auto& d = dst->data_.emplace<std::vector<ContractField>>(s.size());
        for (std::size_t i = 0; i < s.size(); ++i) {
          d[i].index = s[i].index;
          work.emplace_back(&s[i].value, &d[i].value);
        }
        break;
      }
      default:
        dst->data_ = src->data_;
        break;
    }
  }
}

Value& Value::operator=(const Value& other) {
  if (this != &other) {
    Value copy(other);
    *this = std::move(copy);
  }
  return *this;
}

// The old content is moved aside first and destroyed last, so assigning a
// container its own descendant (v = std::move(v.as_array()[0])) is safe.
void Value::move_assign_container(Value&& other) noexcept {
  if (this == &other) return;
  Value old(std::move(*this));
  kind_ = other.kind_;
  contract_id_ = other.contract_id_;
  data_ = std::move(other.data_);
}

bool operator==(const Value& a, const Value& b) {
  std::vector<std::pair<const Value*, const Value*>> work{{&a, &b}};
  while (!work.empty()) {
    auto [x, y] = work.back();
    work.pop_back();
    if (x->kind_ != y->kind_) return false;
    switch (x->kind_) {
      case ValueKind::Null:
        break;
      case ValueKind::Bool:
        if (x->as_bool() != y->as_bool()) return false;
        break;
      case ValueKind::Int:
        if (x->as_int() != y->as_int()) return false;
        break;
      case ValueKind::Float: {
        double fx = x->as_float(), fy = y->as_float();
        if (std::memcmp(&fx, &fy, sizeof fx) != 0) return false;
        break;
      }
      case ValueKind::String:
      case ValueKind::Handle:
        if (x->as_text() != y->as_text()) return false;
        break;
      case ValueKind::Array: {
        const auto& xs = x->as_array();
        const auto& ys = y->as_array();
        if (xs.size() != ys.size()) return false;
        for (std::size_t i = 0; i < xs.size(); ++i) work.emplace_back(&xs[i], &ys[i]);
        break;
      }
      case ValueKind::Object: {
        const auto& xs = x->as_object();
        const auto& ys = y->as_object();
        if (xs.size() != ys.size()) return false;
        for (std::size_t i = 0; i < xs.size(); ++i) {
          if (xs[i].key != ys[i].key) return false;
          work.emplace_back(&xs[i].value, &ys[i].value);
        }
        break;
      }
      case ValueKind::Contract: {
        if (x->contract_id_ != y->contract_id_) return false;
        const auto& xs = x->contract_fields();
        const auto& ys = y->contract_fields();
        if (xs.size() != ys.size()) return false;
        for (std::size_t i = 0; i < xs.size(); ++i) {
          if (xs[i].index != ys[i].index) return false;
          work.emplace_back(&xs[i].value, &ys[i].value);
        }
        break;
      }
    }
  }
  return true;
}

}  // namespace quarn::core
