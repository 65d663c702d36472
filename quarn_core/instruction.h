// Instruction: the 126 variants of the register machine, generated from
// instructions.def. Each variant is a plain aggregate struct named as in the
// table, with its fields in table order, so
//   Instruction insn = Add{dst, lhs, rhs};
//   std::get<Jump>(code[at]).target = here;
// work as expected. Every consumer that must see every field (encoder,
// length computation, decoder, disassembler, equality) goes through
// for_each_field, so it cannot drift from the table.
#pragma once

#include "quarn_core/value.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace quarn::core {

// Field type aliases used by instructions.def (Reg, Target, U32 in value.h).
using I64 = std::int64_t;
using F64 = double;
using Bool = bool;
using Text = std::string;
using RegList = std::vector<Reg>;
using U64List = std::vector<std::uint64_t>;
using TextList = std::vector<std::string>;
using OptReg = std::optional<Reg>;
using OptU32 = std::optional<U32>;
using OptF64 = std::optional<F64>;
using OptText = std::optional<std::string>;
using OptType = std::optional<BytecodeType>;
using ConstantList = std::vector<ConstantEntry>;
using StructList = std::vector<StructEntry>;
using FunctionList = std::vector<FunctionEntry>;

// A field held out of line. The instruction list stores every instruction at
// the size of the largest variant, so the few variants with many or wide
// fields (ModuleDef, Asm) keep those fields here, behind one pointer, rather
// than make every Add and Jump of a large program that much bigger.
// It reads as a const T; an empty one (the default) reads as T{} and owns
// nothing. Copies are deep.
template <class T>
class Indirect {
 public:
  Indirect() = default;
  template <class U>
    requires std::is_constructible_v<T, U&&> && (!std::is_same_v<std::decay_t<U>, Indirect>)
  Indirect(U&& value) : p_(std::make_unique<T>(std::forward<U>(value))) {}  // NOLINT: reads as T
  Indirect(std::initializer_list<typename T::value_type> items)
      : p_(std::make_unique<T>(items)) {}
  Indirect(const Indirect& other) : p_(other.p_ ? std::make_unique<T>(*other.p_) : nullptr) {}
  Indirect(Indirect&&) noexcept = default;
  Indirect& operator=(const Indirect& other) {
    if (this != &other) p_ = other.p_ ? std::make_unique<T>(*other.p_) : nullptr;
    return *this;
  }
  Indirect& operator=(Indirect&&) noexcept = default;
  ~Indirect() = default;

  const T& get() const { return p_ ? *p_ : empty(); }
  const T& operator*() const { return get(); }
  const T* operator->() const { return &get(); }
  // Replaces the value; an empty T leaves nothing allocated.
  void set(T value) {
    if (value.empty()) {
      p_.reset();
    } else {
      p_ = std::make_unique<T>(std::move(value));
    }
  }

  friend bool operator==(const Indirect& a, const Indirect& b) { return a.get() == b.get(); }

 private:
  static const T& empty() {
    static const T kEmpty{};
    return kEmpty;
  }
  std::unique_ptr<T> p_;
};

using BoxedText = Indirect<Text>;
using BoxedTextList = Indirect<TextList>;
using BoxedConstantList = Indirect<ConstantList>;
using BoxedStructList = Indirect<StructList>;
using BoxedFunctionList = Indirect<FunctionList>;

// Wire tags (the declaration order): written to disk, never renumber.
enum class Opcode : std::uint32_t {
#define QUARN_INSTRUCTION(Tag, Name, Fields) Name = Tag,
#define FIELD(Type, name)
#include "quarn_core/instructions.def"
};

inline constexpr std::uint32_t kOpcodeCount = 126;

// A field's type alias in instructions.def. Reg, Target and U32 (and the
// lists and optionals of them) share one representation, a u32, but not one
// meaning: the kind is what tells a register from a jump target.
enum class FieldKind : std::uint8_t {
  Reg, Target, U32, I64, F64, Bool, Text, RegList, U64List, TextList,
  OptReg, OptU32, OptF64, OptText, OptType, Value, BytecodeType,
  ConstantList, StructList, FunctionList,
  BoxedText, BoxedTextList, BoxedConstantList, BoxedStructList, BoxedFunctionList,
};

// The kind of an element of a list or optional kind (RegList, OptReg -> Reg);
// other kinds stand for themselves.
constexpr FieldKind element_kind(FieldKind k) {
  switch (k) {
    case FieldKind::RegList: case FieldKind::OptReg: return FieldKind::Reg;
    case FieldKind::OptU32: return FieldKind::U32;
    case FieldKind::OptF64: return FieldKind::F64;
    case FieldKind::OptText: case FieldKind::TextList: return FieldKind::Text;
    case FieldKind::OptType: return FieldKind::BytecodeType;
    default: return k;
  }
}

// What for_each_field_spec reports about a field: its name as printed
// ("template", not "template_"), its type alias as spelled in
// instructions.def ("Reg", "Target", "OptType", ...) and as a kind.
struct FieldSpec {
  std::string_view name;
  std::string_view type;
  FieldKind kind;
};

namespace detail {
consteval std::string_view field_name(std::string_view spelled) {
  return spelled.ends_with('_') ? spelled.substr(0, spelled.size() - 1) : spelled;
}

// Field equality as the byte format sees it: doubles by bit pattern.
inline bool same_f64(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
template <class T>
bool same_field(const T& a, const T& b) {
  if constexpr (std::is_same_v<T, double>) {
    return same_f64(a, b);
  } else if constexpr (std::is_same_v<T, std::optional<double>>) {
    return a.has_value() == b.has_value() && (!a || same_f64(*a, *b));
  } else {
    return a == b;
  }
}
}  // namespace detail

// One struct per variant. Each has
//   kOpcode, kName                    its tag and name
//   for_each_field(f)                 f("dst", dst), ... in order
//   for_each_field_spec(f)            f(FieldSpec{"dst", "Reg"}, dst), ...
//   operator==                        field-wise, doubles by bit pattern
#define FIELD(Type, name) Type name{};
#define QUARN_INSTRUCTION(Tag, Name, Fields)                                          \
  struct Name {                                                                       \
    static constexpr Opcode kOpcode = Opcode::Name;                                   \
    static constexpr std::string_view kName = #Name;                                  \
    Fields                                                                            \
    template <class F> void for_each_field([[maybe_unused]] F&& fn_);                                    \
    template <class F> void for_each_field([[maybe_unused]] F&& fn_) const;                              \
    template <class F> void for_each_field_spec([[maybe_unused]] F&& fn_);                               \
    template <class F> void for_each_field_spec([[maybe_unused]] F&& fn_) const;                         \
    friend bool operator==(const Name& a, const Name& b) {                            \
      bool same = true;                                                               \
      a.for_each_field_pair(b, [&](const auto& x, const auto& y) {                    \
        same = same && detail::same_field(x, y);                                      \
      });                                                                             \
      return same;                                                                    \
    }                                                                                 \
    template <class F> void for_each_field_pair(const Name& other, F&& fn_) const;      \
  };
#include "quarn_core/instructions.def"

// Member template bodies, generated from the same rows.
#define QUARN_INSTRUCTION(Tag, Name, Fields)                                       \
  template <class F> void Name::for_each_field([[maybe_unused]] F&& fn_) {                            \
    Fields                                                                         \
  }                                                                                \
  template <class F> void Name::for_each_field([[maybe_unused]] F&& fn_) const {                      \
    Fields                                                                         \
  }
#define FIELD(Type, name) fn_(detail::field_name(#name), name);
#include "quarn_core/instructions.def"

#define QUARN_INSTRUCTION(Tag, Name, Fields)                                       \
  template <class F> void Name::for_each_field_spec([[maybe_unused]] F&& fn_) {                       \
    Fields                                                                         \
  }                                                                                \
  template <class F> void Name::for_each_field_spec([[maybe_unused]] F&& fn_) const {                 \
    Fields                                                                         \
  }
#define FIELD(Type, name) fn_(FieldSpec{detail::field_name(#name), #Type, FieldKind::Type}, name);
#include "quarn_core/instructions.def"

#define QUARN_INSTRUCTION(Tag, Name, Fields)                                       \
  template <class F> void Name::for_each_field_pair([[maybe_unused]] const Name& other, [[maybe_unused]] F&& fn_) const { \
    Fields                                                                         \
  }
#define FIELD(Type, name) fn_(name, other.name);
#include "quarn_core/instructions.def"

namespace detail {
template <class First, class... Rest>
struct VariantOfRest {
  using type = std::variant<Rest...>;
};
}  // namespace detail

// The variant, alternatives in tag order: index() == tag.
using Instruction = detail::VariantOfRest<void
#define QUARN_INSTRUCTION(Tag, Name, Fields) , Name
#define FIELD(Type, name)
#include "quarn_core/instructions.def"
    >::type;

static_assert(std::variant_size_v<Instruction> == kOpcodeCount);
// Every instruction of a program is stored at this size. A variant that
// would exceed it keeps its widest fields out of line (Indirect).
static_assert(sizeof(Instruction) <= 80, "a variant grew every instruction; box its wide fields");
// Every row sits at its own tag.
#define QUARN_INSTRUCTION(Tag, Name, Fields)                                        \
  static_assert(std::is_same_v<std::variant_alternative_t<Tag, Instruction>, Name>, \
                #Name " is not at tag " #Tag);
#define FIELD(Type, name)
#include "quarn_core/instructions.def"

// Each variant's fields as data, in table order: FieldTable<Add>::kFields[1]
// is {"lhs", "Reg", FieldKind::Reg}. Writers that take a field's value
// from elsewhere than an Instruction (the lowering's in-place writer) go by
// these, and patches name the field they overwrite.
template <class Insn>
struct FieldTable;
#define QUARN_INSTRUCTION(Tag, Name, Fields)                                    \
  template <>                                                                   \
  struct FieldTable<Name> {                                                     \
    static constexpr FieldSpec kFields[] = {Fields FieldSpec{"", "", FieldKind::Reg}}; \
    static constexpr std::size_t kCount = std::size(kFields) - 1;               \
  };
#define FIELD(Type, name) FieldSpec{detail::field_name(#name), #Type, FieldKind::Type},
#include "quarn_core/instructions.def"

// The index of the field named `name` in Insn's row; no such field does not
// compile.
template <class Insn>
consteval std::size_t field_index(std::string_view name) {
  for (std::size_t i = 0; i < FieldTable<Insn>::kCount; ++i) {
    if (FieldTable<Insn>::kFields[i].name == name) return i;
  }
  throw "no field of that name in the instruction's row";
}

// The bytes of a field of fixed width on the wire, or 0 for a field whose
// length depends on its value.
constexpr std::size_t fixed_wire_size(FieldKind kind) {
  switch (kind) {
    case FieldKind::Reg: case FieldKind::Target: case FieldKind::U32: return 4;
    case FieldKind::I64: case FieldKind::F64: return 8;
    case FieldKind::Bool: return 1;
    default: return 0;
  }
}

// Where the field named `name` starts in an encoded Insn, counted from the
// start of its tag (4 bytes), when every field before it has a fixed width;
// otherwise (or with no such field) it does not compile.
template <class Insn>
consteval std::size_t fixed_field_offset(std::string_view name) {
  std::size_t offset = sizeof(std::uint32_t);  // the tag
  for (std::size_t i = 0; i < field_index<Insn>(name); ++i) {
    const std::size_t width = fixed_wire_size(FieldTable<Insn>::kFields[i].kind);
    if (width == 0) throw "a field before it has no fixed width";
    offset += width;
  }
  return offset;
}

inline Opcode opcode_of(const Instruction& insn) { return static_cast<Opcode>(insn.index()); }

// "LoadConst" for Opcode::LoadConst. REQUIRES: a valid opcode.
std::string_view opcode_name(Opcode op);

// f(name, field) for every field of any variant struct, in order.
template <class Insn, class F>
void for_each_field(Insn& insn, F&& fn_) {
  insn.for_each_field(fn_);
}

}  // namespace quarn::core
