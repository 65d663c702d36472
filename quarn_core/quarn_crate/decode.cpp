#include "quarn_core/quarn_crate/decode.h"

#include "quarn_core/quarn_crate/records.h"
#include "quarn_core/text.h"
#include "quarn_core/value_access.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace quarn::core {
namespace {

static_assert(std::endian::native == std::endian::little, "big-endian hosts need byte swaps here");

// Declared counts are trusted for reserving at most this many bytes of
// elements that have not arrived yet. The allowance is shared by every
// collection being decoded at one time (and given back as each completes),
// so nested collections with forged counts cannot multiply it.
constexpr std::size_t kReserveAllowance = std::size_t{1} << 20;

constexpr char kEof[] = "io error: unexpected end of file";

// The cursor over the input, and the first error met.
class Reader {
 public:
  Reader(const std::uint8_t* begin, const std::uint8_t* end,
         const InstructionVisitor* each = nullptr)
      : p_(begin), end_(end), each_(each) {}

  // Where decoded instructions go instead of the list (decode_program_each);
  // null when the list keeps them.
  const InstructionVisitor* each() const { return each_; }

  std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }

  template <class T>
  bool fixed(T& out) {
    if (remaining() < sizeof(T)) return fail(kEof);
    std::memcpy(&out, p_, sizeof(T));
    p_ += sizeof(T);
    return true;
  }

  // REQUIRES: remaining() >= n
  const std::uint8_t* take(std::size_t n) {
    const std::uint8_t* at = p_;
    p_ += n;
    return at;
  }

  bool fail(std::string message) {
    if (message_.empty()) message_ = std::move(message);
    return false;
  }
  bool bad_tag(std::uint32_t tag, std::uint32_t count) {
    return fail("invalid value: integer `" + decimal(tag) + "`, expected variant index 0 <= i < " +
                decimal(count));
  }

  // Names the field being read when the failure happened; the innermost
  // caller that knows a name sets it, outer ones prefix theirs.
  void note_field(std::string_view name) {
    if (field_.empty()) {
      field_ = name;
    } else {
      field_ = std::string(name) + (field_.front() == '[' ? "" : ".") + field_;
    }
  }

  // Reservation allowance for elements not yet read (see kReserveAllowance).
  template <class T>
  std::size_t reserve_count(std::uint64_t declared) {
    std::size_t n = std::min<std::uint64_t>(declared, allowance_ / sizeof(T));
    allowance_ -= n * sizeof(T);
    return n;
  }
  template <class T>
  void give_back(std::size_t reserved) { allowance_ += reserved * sizeof(T); }

  DecodeError error() && { return DecodeError{std::move(message_), std::move(field_)}; }

 private:
  const std::uint8_t* p_;
  const std::uint8_t* end_;
  const InstructionVisitor* each_;
  std::size_t allowance_ = kReserveAllowance;
  std::string message_;
  std::string field_;
};

// --- primitives ------------------------------------------------------------------
//
// Every reader takes Keep: true builds the value, false makes exactly the
// same reads, in the same order and with the same errors, but builds nothing
// (texts are validated in place, fixed-width lists bounds-checked, Values
// walked with a stack of counts). check_program runs the whole decoding with
// Keep false; the fuzz target holds the two to the same outcome.

template <bool Keep> bool get(Reader& r, std::uint8_t& v) { return r.fixed(v); }
template <bool Keep> bool get(Reader& r, std::uint32_t& v) { return r.fixed(v); }
template <bool Keep> bool get(Reader& r, std::uint64_t& v) { return r.fixed(v); }
template <bool Keep> bool get(Reader& r, std::int64_t& v) { return r.fixed(v); }
template <bool Keep> bool get(Reader& r, double& v) { return r.fixed(v); }

template <bool Keep> bool get(Reader& r, bool& v) {
  std::uint8_t b = 0;
  if (!r.fixed(b)) return false;
  if (b > 1) return r.fail("invalid u8 while decoding bool, expected 0 or 1, found " + decimal(b));
  v = b == 1;
  return true;
}

// A text, validated, as a view into the input.
bool view_text(Reader& r, std::string_view& text) {
  std::uint64_t len = 0;
  if (!r.fixed(len)) return false;
  // The bytes must be present before anything is allocated for them.
  if (r.remaining() < len) return r.fail("io error: ");
  const std::uint8_t* bytes = r.take(static_cast<std::size_t>(len));
  std::string description;
  text = std::string_view(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(len));
  if (!check_utf8(text, &description)) return r.fail("string is not valid utf8: " + description);
  return true;
}

template <bool Keep> bool get(Reader& r, std::string& text) {
  std::string_view view;
  if (!view_text(r, view)) return false;
  if constexpr (Keep) text.assign(view);
  return true;
}

// Raw bytes, no length: the content hash, taken as it is.
template <bool Keep, std::size_t N> bool get(Reader& r, std::array<std::uint8_t, N>& bytes) {
  if (r.remaining() < N) return r.fail(kEof);
  const std::uint8_t* at = r.take(N);
  if constexpr (Keep) std::memcpy(bytes.data(), at, N);
  return true;
}

template <bool Keep> bool get(Reader& r, BytecodeType& t);
template <bool Keep> bool get(Reader& r, Value& v);
template <bool Keep> bool get(Reader& r, std::vector<Instruction>& list);
template <bool Keep, Record R> bool get(Reader& r, R& record);

template <bool Keep, class T>
bool get(Reader& r, std::vector<T>& list) {
  std::uint64_t count = 0;
  if (!r.fixed(count)) return false;
  if constexpr (std::is_same_v<T, std::uint32_t> || std::is_same_v<T, std::uint64_t>) {
    // Fixed-width elements: all present, or the input ends inside them.
    if (count > r.remaining() / sizeof(T)) return r.fail(kEof);
    const std::uint8_t* at = r.take(static_cast<std::size_t>(count) * sizeof(T));
    if constexpr (Keep) {
      list.resize(static_cast<std::size_t>(count));
      // An empty vector's data() may be null, which memcpy must not be given.
      if (count != 0) std::memcpy(list.data(), at, list.size() * sizeof(T));
    }
    return true;
  } else if constexpr (Keep) {
    list.clear();
    std::size_t reserved = r.reserve_count<T>(count);
    list.reserve(reserved);
    for (std::uint64_t i = 0; i < count; ++i) {
      if (!get<true>(r, list.emplace_back())) return false;
    }
    r.give_back<T>(reserved);
    return true;
  } else {
    T scratch{};
    for (std::uint64_t i = 0; i < count; ++i) {
      if (!get<false>(r, scratch)) return false;
    }
    return true;
  }
}

// Read exactly as the value it holds; an empty one stays unallocated.
template <bool Keep, class T>
bool get(Reader& r, Indirect<T>& boxed) {
  T value;
  if (!get<Keep>(r, value)) return false;
  if constexpr (Keep) boxed.set(std::move(value));
  return true;
}

template <bool Keep, class T>
bool get(Reader& r, std::optional<T>& opt) {
  std::uint8_t marker = 0;
  if (!r.fixed(marker)) return false;
  if (marker == 0) {
    opt.reset();
    return true;
  }
  if (marker != 1) return r.fail("tag for enum is not valid, found " + decimal(marker));
  if constexpr (Keep) {
    return get<true>(r, opt.emplace());
  } else {
    T scratch{};
    return get<false>(r, scratch);
  }
}

// Entries may come in any order; a repeated key keeps its last value.
template <bool Keep, class V>
bool get(Reader& r, std::map<std::string, V>& map) {
  std::uint64_t count = 0;
  if (!r.fixed(count)) return false;
  map.clear();
  for (std::uint64_t i = 0; i < count; ++i) {
    std::string key;
    V value{};
    if (!get<Keep>(r, key) || !get<Keep>(r, value)) return false;
    if constexpr (Keep) map.insert_or_assign(std::move(key), std::move(value));
  }
  return true;
}

// A run of tag 5 (array of) ended by a scalar kind: counted, not recursed.
template <bool Keep>
bool get(Reader& r, BytecodeType& t) {
  std::uint64_t depth = 0;
  for (;;) {
    std::uint32_t tag = 0;
    if (!r.fixed(tag)) return false;
    if (tag >= kTypeKindCount) return r.bad_tag(tag, kTypeKindCount);
    if (tag == static_cast<std::uint32_t>(TypeKind::Array)) {
      ++depth;
      continue;
    }
    t = BytecodeType::nested(static_cast<TypeKind>(tag), depth);
    return true;
  }
}

// --- values ---------------------------------------------------------------------------

// Values nest to any depth: an explicit stack of open containers replaces
// recursion. Each open container is the last child of the one below it, so
// the pointers on the stack stay valid while it is open. When skipping,
// nothing is built and `value` stays null.
struct OpenContainer {
  Value* value;
  ValueKind kind;
  std::uint64_t remaining;
  std::size_t reserved;  // elements reserved against the allowance
};

template <bool Keep>
bool get(Reader& r, Value& root) {
  std::vector<OpenContainer> open;
  Value* slot = &root;
  for (;;) {
    std::uint32_t tag = 0;
    if (!r.fixed(tag)) return false;
    if (tag >= kValueKindCount) return r.bad_tag(tag, kValueKindCount);
    const auto kind = static_cast<ValueKind>(tag);
    switch (kind) {
      case ValueKind::Null:
        if constexpr (Keep) *slot = Value::Null();
        break;
      case ValueKind::Bool: {
        bool b = false;
        if (!get<Keep>(r, b)) return false;
        if constexpr (Keep) *slot = Value::Bool(b);
        break;
      }
      case ValueKind::Int: {
        std::int64_t i = 0;
        if (!r.fixed(i)) return false;
        if constexpr (Keep) *slot = Value::Int(i);
        break;
      }
      case ValueKind::Float: {
        double f = 0;
        if (!r.fixed(f)) return false;
        if constexpr (Keep) *slot = Value::Float(f);
        break;
      }
      case ValueKind::String:
      case ValueKind::Handle: {
        std::string text;
        if (!get<Keep>(r, text)) return false;
        if constexpr (Keep) {
          *slot = kind == ValueKind::String ? Value::String(std::move(text))
                                            : Value::Handle(std::move(text));
        }
        break;
      }
      case ValueKind::Array:
      case ValueKind::Object:
      case ValueKind::Contract: {
        std::uint16_t id = 0;
        std::uint64_t count = 0;
        if (kind == ValueKind::Contract && !r.fixed(id)) return false;
        if (!r.fixed(count)) return false;
        std::size_t reserved = 0;
        if constexpr (Keep) {
          if (kind == ValueKind::Array) {
            *slot = Value::Array({});
            reserved = r.reserve_count<Value>(count);
            slot->as_array().reserve(reserved);
          } else if (kind == ValueKind::Object) {
            auto& entries = ValueAccess::start_object(*slot);
            reserved = r.reserve_count<ObjectEntry>(count);
            entries.reserve(reserved);
          } else {
            *slot = Value::Contract(id, {});
            reserved = r.reserve_count<ContractField>(count);
            slot->contract_fields().reserve(reserved);
          }
        }
        open.push_back({Keep ? slot : nullptr, kind, count, reserved});
        break;
      }
    }
    // Find the next slot: the next child of the innermost open container,
    // closing the ones that are complete.
    for (;;) {
      if (open.empty()) return true;
      OpenContainer& top = open.back();
      if (top.remaining == 0) {
        if constexpr (Keep) {
          if (top.kind == ValueKind::Array) {
            r.give_back<Value>(top.reserved);
          } else if (top.kind == ValueKind::Object) {
            r.give_back<ObjectEntry>(top.reserved);
            ValueAccess::normalise_object(*top.value);
          } else {
            r.give_back<ContractField>(top.reserved);
          }
        }
        open.pop_back();
        continue;
      }
      --top.remaining;
      if (top.kind == ValueKind::Array) {
        if constexpr (Keep) slot = &top.value->as_array().emplace_back();
      } else if (top.kind == ValueKind::Object) {
        std::string key;
        if (!get<Keep>(r, key)) return false;
        if constexpr (Keep) {
          auto& entries = ValueAccess::object_entries(*top.value);
          slot = &entries.emplace_back(ObjectEntry{std::move(key), Value()}).value;
        }
      } else {
        std::uint8_t index = 0;
        if (!r.fixed(index)) return false;
        if constexpr (Keep) {
          slot = &top.value->contract_fields().emplace_back(ContractField{index, Value()}).value;
        }
      }
      break;
    }
  }
}

// --- records --------------------------------------------------------------------------

// Reads the fields in the order of records.h; on the first failure the
// container and the metadata name the field.
template <bool Keep, Record R>
bool get(Reader& r, R& record) {
  bool ok = true;
  std::string_view failed;
  for_each_record_field(record, [&](std::string_view name, auto& value) {
    if (ok && !get<Keep>(r, value)) {
      ok = false;
      failed = name;
    }
  });
  if (!ok && kNamesFieldsInErrors<R>) r.note_field(failed);
  return ok;
}

// --- instructions ---------------------------------------------------------------------

// Decodes one variant's fields, naming the field and the variant on the
// first failure, and appends the variant to `out` when keeping.
template <bool Keep, class Insn>
bool get_variant(Reader& r, std::vector<Instruction>& out) {
  Insn insn;
  bool ok = true;
  std::string_view failed;
  insn.for_each_field([&](std::string_view name, auto& value) {
    if (ok && !get<Keep>(r, value)) {
      ok = false;
      failed = name;
    }
  });
  if (!ok) {
    r.note_field(failed);
    r.note_field(Insn::kName);
    return false;
  }
  if constexpr (Keep) out.emplace_back(std::in_place_type<Insn>, std::move(insn));
  return true;
}

template <bool Keep>
using GetVariant = bool (*)(Reader&, std::vector<Instruction>&);

template <bool Keep>
constexpr GetVariant<Keep> kVariants[] = {
#define QUARN_INSTRUCTION(Tag, Name, Fields) &get_variant<Keep, Name>,
#define FIELD(Type, name)
#include "quarn_core/instructions.def"
};
static_assert(std::size(kVariants<true>) == kOpcodeCount);

// When skipping, each instruction is dropped as soon as it is read; when
// handing them to a visitor, right after the visitor has seen it.
template <bool Keep>
bool get(Reader& r, std::vector<Instruction>& list) {
  std::uint64_t count = 0;
  if (!r.fixed(count)) return false;
  std::size_t reserved = 0;
  if constexpr (Keep) {
    if (r.each() == nullptr) {
      reserved = r.reserve_count<Instruction>(count);
      list.reserve(reserved);
    }
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint32_t tag = 0;
    bool ok = r.fixed(tag);
    if (ok && tag >= kOpcodeCount) ok = r.bad_tag(tag, kOpcodeCount);
    if (ok) ok = kVariants<Keep>[tag](r, list);
    if (!ok) {
      r.note_field("[" + decimal(i) + "]");
      return false;
    }
    if constexpr (Keep) {
      if (r.each() != nullptr) {
        (*r.each())(i, list.back());
        list.clear();
      }
    }
  }
  if constexpr (Keep) r.give_back<Instruction>(reserved);
  return true;
}

std::span<const std::uint8_t> as_bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

template <bool Keep>
Result<CompiledProgram, DecodeError> run(std::span<const std::uint8_t> bytes,
                                         const InstructionVisitor* each = nullptr) {
  Reader r(bytes.data(), bytes.data() + bytes.size(), each);
  CompiledProgram program;
  if (!get<Keep>(r, program)) return std::move(r).error();
  return program;
}

}  // namespace

Result<CompiledProgram, DecodeError> decode_program(std::span<const std::uint8_t> bytes) {
  return run<true>(bytes);
}

Result<CompiledProgram, DecodeError> decode_program(std::string_view bytes) {
  return decode_program(as_bytes(bytes));
}

Result<Unit, DecodeError> check_program(std::span<const std::uint8_t> bytes) {
  auto r = run<false>(bytes);
  if (!r.ok()) return std::move(r).error();
  return Unit{};
}

Result<Unit, DecodeError> check_program(std::string_view bytes) {
  return check_program(as_bytes(bytes));
}

Result<CompiledProgram, DecodeError> decode_program_each(std::span<const std::uint8_t> bytes,
                                                         const InstructionVisitor& each) {
  return run<true>(bytes, &each);
}

}  // namespace quarn::core
