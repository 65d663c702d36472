// The operand vocabulary of the instruction set: register and target numbers,
// the constants that LoadConst carries (Value), the declared-type descriptors
// (BytecodeType) and the entry records of ModuleDef.
//
// Values and array types may nest to any depth when they come from decoded
// input, so nothing here recurses on the machine stack: Value's copy,
// comparison and destruction walk an explicit work list, and BytecodeType
// stores a nested array type as (element kind, array depth).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace quarn::core {

// A register number: one counter per compilation hands them out from 0.
using Reg = std::uint32_t;
// An absolute index into the program's instruction list.
using Target = std::uint32_t;
// A plain 32-bit number that is neither register nor target (max_depth,
// max_iter, the operands of the instructions without a settled meaning).
using U32 = std::uint32_t;

// ---------------------------------------------------------------------------
// BytecodeType

// Wire tags; written to disk, never renumber. Tags 0 and 2 exist in the format
// but no declared type maps to them.
enum class TypeKind : std::uint32_t {
  Kind0 = 0,
  Float = 1,
  Kind2 = 2,
  Int = 3,
  Bool = 4,
  Array = 5,  // array of one element type
};
inline constexpr std::uint32_t kTypeKindCount = 6;

class BytecodeType {
 public:
  // Kind0, the all-zero state.
  constexpr BytecodeType() = default;

  // REQUIRES: kind != TypeKind::Array
  static constexpr BytecodeType scalar(TypeKind kind) { return BytecodeType(kind, 0); }
  static constexpr BytecodeType Int() { return scalar(TypeKind::Int); }
  static constexpr BytecodeType Float() { return scalar(TypeKind::Float); }
  static constexpr BytecodeType Bool() { return scalar(TypeKind::Bool); }
  static constexpr BytecodeType array_of(BytecodeType element) {
    return BytecodeType(element.base_, element.depth_ + 1);
  }
  // `depth` array levels around the scalar kind `base`.
  // REQUIRES: base != TypeKind::Array
  static constexpr BytecodeType nested(TypeKind base, std::uint64_t depth) {
    return BytecodeType(base, depth);
  }

  constexpr TypeKind kind() const { return depth_ > 0 ? TypeKind::Array : base_; }
  // The innermost, non-array kind, and the number of array levels around it.
  constexpr TypeKind base() const { return base_; }
  constexpr std::uint64_t array_depth() const { return depth_; }
  // REQUIRES: kind() == TypeKind::Array
  constexpr BytecodeType element() const { return BytecodeType(base_, depth_ - 1); }

  friend constexpr bool operator==(const BytecodeType&, const BytecodeType&) = default;

 private:
  constexpr BytecodeType(TypeKind base, std::uint64_t depth) : depth_(depth), base_(base) {}

  std::uint64_t depth_ = 0;
  TypeKind base_ = TypeKind::Kind0;
};

// ---------------------------------------------------------------------------
// Value

// Wire tags; written to disk, never renumber.
enum class ValueKind : std::uint32_t {
  Null = 0,
  Bool = 1,
  Int = 2,
  Float = 3,
  String = 4,
  Array = 5,
  Object = 6,
  Contract = 7,
  Handle = 8,
};
inline constexpr std::uint32_t kValueKindCount = 9;

struct ObjectEntry;
struct ContractField;

class Value {
 public:
  // Null.
  Value() = default;

  static Value Null();
  static Value Bool(bool b);
  static Value Int(std::int64_t i);
  static Value Float(double f);
  static Value String(std::string text);
  static Value Array(std::vector<Value> items);
  // An object is a map: entries are kept sorted by key (byte-wise) with
  // unique keys. Given several entries with one key, the last one wins.
  static Value Object(std::vector<ObjectEntry> entries);
  static Value Contract(std::uint16_t id, std::vector<ContractField> fields);
  static Value Handle(std::string text);

  Value(const Value& other);
  Value(Value&& other) noexcept = default;
  Value& operator=(const Value& other);
  Value& operator=(Value&& other) noexcept;
  ~Value();

  ValueKind kind() const { return kind_; }

  // Accessors. REQUIRES: kind() is the kind named (as_text: String or Handle;
  // contract_*: Contract).
  bool as_bool() const;
  std::int64_t as_int() const;
  double as_float() const;
  const std::string& as_text() const;
  const std::vector<Value>& as_array() const;
  std::vector<Value>& as_array();
  const std::vector<ObjectEntry>& as_object() const;
  std::uint16_t contract_id() const;
  const std::vector<ContractField>& contract_fields() const;
  std::vector<ContractField>& contract_fields();

  // Equal when the two would encode to the same bytes: same kinds, same
  // payloads, floats compared by bit pattern (so NaN equals itself and 0.0
  // differs from -0.0).
  friend bool operator==(const Value& a, const Value& b);

 private:
  // The decoder builds values in place through this hook.
  friend struct ValueAccess;

  // Moves every child Value that holds children itself into `out`. Used by
  // the destructor's work list.
  void take_children(std::vector<Value>& out);
  // True for Array, Object and Contract values that hold at least one child.
  bool has_children() const;
  bool is_container() const { return kind_ >= ValueKind::Array && kind_ <= ValueKind::Contract; }
  // The slow paths of the destructor and of move assignment, for containers.
  void destroy_children();
  void move_assign_container(Value&& other) noexcept;

  ValueKind kind_ = ValueKind::Null;
  // String and Handle share the std::string alternative; kind_ tells them
  // apart, contract_id_ belongs to Contract.
  std::variant<std::monostate, bool, std::int64_t, double, std::string, std::vector<Value>,
               std::vector<ObjectEntry>, std::vector<ContractField>>
      data_;
  std::uint16_t contract_id_ = 0;
};

struct ObjectEntry {
  std::string key;
  Value value;
  friend bool operator==(const ObjectEntry&, const ObjectEntry&) = default;
};

struct ContractField {
  std::uint8_t index = 0;
  Value value;
  friend bool operator==(const ContractField&, const ContractField&) = default;
};

// Defined here, not in the class: the variant's members may only be
// instantiated once ObjectEntry and ContractField are complete. Scalars and
// texts take the inline paths; containers go out of line.
inline Value Value::Null() { return Value(); }
inline Value::~Value() {
  if (is_container()) destroy_children();
}
inline Value& Value::operator=(Value&& other) noexcept {
  if (is_container()) {
    move_assign_container(std::move(other));
  } else if (this != &other) {
    kind_ = other.kind_;
    contract_id_ = other.contract_id_;
    data_ = std::move(other.data_);
  }
  return *this;
}
inline bool Value::as_bool() const { return std::get<bool>(data_); }
inline std::int64_t Value::as_int() const { return std::get<std::int64_t>(data_); }
inline double Value::as_float() const { return std::get<double>(data_); }
inline const std::string& Value::as_text() const { return std::get<std::string>(data_); }
inline const std::vector<Value>& Value::as_array() const {
  return std::get<std::vector<Value>>(data_);
}
inline std::vector<Value>& Value::as_array() { return std::get<std::vector<Value>>(data_); }
inline const std::vector<ObjectEntry>& Value::as_object() const {
  return std::get<std::vector<ObjectEntry>>(data_);
}
inline std::uint16_t Value::contract_id() const { return contract_id_; }
inline const std::vector<ContractField>& Value::contract_fields() const {
  return std::get<std::vector<ContractField>>(data_);
}
inline std::vector<ContractField>& Value::contract_fields() {
  return std::get<std::vector<ContractField>>(data_);
}

// ---------------------------------------------------------------------------
// ModuleDef entries (field order is the byte format)

// A module constant: its value lives in `reg`.
struct ConstantEntry {
  std::string name;
  BytecodeType type;
  Reg reg = 0;
  friend bool operator==(const ConstantEntry&, const ConstantEntry&) = default;
};

struct StructField {
  std::string name;
  BytecodeType type;
  friend bool operator==(const StructField&, const StructField&) = default;
};

struct StructEntry {
  std::string name;
  std::vector<StructField> fields;
  friend bool operator==(const StructEntry&, const StructEntry&) = default;
};

// A module function: parameter registers in order, entry the index of the
// first instruction of its body.
struct FunctionEntry {
  std::string name;
  std::vector<Reg> params;
  Target entry = 0;
  friend bool operator==(const FunctionEntry&, const FunctionEntry&) = default;
};

}  // namespace quarn::core
