#include "quarn_core/quarn_crate/decode.h"

#include "quarn_core/value_access.h"

#include <algorithm>
#include <bit>
#include <charconv>
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

std::string decimal(std::uint64_t n) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, n);
  (void)ec;
  return std::string(buf, end);
}

// The cursor over the input, and the first error met.
class Reader {
 public:
  Reader(const std::uint8_t* begin, const std::uint8_t* end) : p_(begin), end_(end) {}

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
  std::size_t allowance_ = kReserveAllowance;
  std::string message_;
  std::string field_;
};

// --- UTF-8 -------------------------------------------------------------------

// Validates UTF-8 (no surrogates, no overlong forms, nothing above U+10FFFF).
// On failure describes the first bad sequence: where it starts and how many
// bytes form the invalid part, or that the text ends inside a sequence.
bool check_utf8(const std::uint8_t* s, std::size_t n, std::string& description) {
  std::size_t i = 0;
  while (i < n) {
    // ASCII runs, eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t w;
      std::memcpy(&w, s + i, 8);
      if (w & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= n) break;
    std::uint8_t b = s[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    std::size_t width;
    std::uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      width = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      width = 3;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      width = 4;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      description = "invalid utf-8 sequence of 1 bytes from index " + decimal(i);
      return false;
    }
    for (std::size_t k = 1; k < width; ++k) {
      if (i + k >= n) {
        description = "incomplete utf-8 byte sequence from index " + decimal(i);
        return false;
      }
      std::uint8_t c = s[i + k];
      bool good = k == 1 ? (c >= lo && c <= hi) : (c >= 0x80 && c <= 0xBF);
      if (!good) {
        description = "invalid utf-8 sequence of " + decimal(k) + " bytes from index " + decimal(i);
        return false;
      }
    }
    i += width;
  }
  return true;
}

// --- primitives and records ---------------------------------------------------

bool get(Reader& r, std::uint8_t& v) { return r.fixed(v); }
bool get(Reader& r, std::uint32_t& v) { return r.fixed(v); }
bool get(Reader& r, std::uint64_t& v) { return r.fixed(v); }
bool get(Reader& r, std::int64_t& v) { return r.fixed(v); }
bool get(Reader& r, double& v) { return r.fixed(v); }

bool get(Reader& r, bool& v) {
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
  if (!check_utf8(bytes, static_cast<std::size_t>(len), description))
    return r.fail("string is not valid utf8: " + description);
  text = std::string_view(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(len));
  return true;
}

bool get(Reader& r, std::string& text) {
  std::string_view view;
  if (!view_text(r, view)) return false;
  text.assign(view);
  return true;
}

bool get(Reader& r, BytecodeType& t);
bool get(Reader& r, Value& v);
bool get(Reader& r, ConstantEntry& e);
bool get(Reader& r, StructField& e);
bool get(Reader& r, StructEntry& e);
bool get(Reader& r, FunctionEntry& e);
bool get(Reader& r, SourceMapEntry& e);
bool get(Reader& r, SwarmEntry& e);
bool get(Reader& r, ExportEntry& e);

template <class T>
bool get(Reader& r, std::vector<T>& list) {
  std::uint64_t count = 0;
  if (!r.fixed(count)) return false;
  list.clear();
  if constexpr (std::is_same_v<T, std::uint32_t> || std::is_same_v<T, std::uint64_t>) {
    // Fixed-width elements: all present, or the input ends inside them.
    if (count > r.remaining() / sizeof(T)) return r.fail(kEof);
    list.resize(static_cast<std::size_t>(count));
    // An empty vector's data() may be null, which memcpy must not be given.
    if (count != 0) std::memcpy(list.data(), r.take(list.size() * sizeof(T)), list.size() * sizeof(T));
    return true;
  } else {
    std::size_t reserved = r.reserve_count<T>(count);
    list.reserve(reserved);
    for (std::uint64_t i = 0; i < count; ++i) {
      if (!get(r, list.emplace_back())) return false;
    }
    r.give_back<T>(reserved);
    return true;
  }
}

// Read exactly as the value it holds; an empty one stays unallocated.
template <class T>
bool get(Reader& r, Indirect<T>& boxed) {
  T value;
  if (!get(r, value)) return false;
  boxed.set(std::move(value));
  return true;
}

template <class T>
bool get(Reader& r, std::optional<T>& opt) {
  std::uint8_t marker = 0;
  if (!r.fixed(marker)) return false;
  if (marker == 0) {
    opt.reset();
    return true;
  }
  if (marker != 1) return r.fail("tag for enum is not valid, found " + decimal(marker));
  return get(r, opt.emplace());
}

// Entries may come in any order; a repeated key keeps its last value.
template <class V>
bool get(Reader& r, std::map<std::string, V>& map) {
  std::uint64_t count = 0;
  if (!r.fixed(count)) return false;
  map.clear();
  for (std::uint64_t i = 0; i < count; ++i) {
    std::string key;
    V value{};
    if (!get(r, key) || !get(r, value)) return false;
    map.insert_or_assign(std::move(key), std::move(value));
  }
  return true;
}

// A run of tag 5 (array of) ended by a scalar kind: counted, not recursed.
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

// Values nest to any depth: an explicit stack of open containers replaces
// recursion. Each open container is the last child of the one below it, so
// the pointers on the stack stay valid while it is open.
struct OpenContainer {
  Value* value;
  std::uint64_t remaining;
  std::size_t reserved;  // elements reserved against the allowance
};

bool get(Reader& r, Value& root) {
  std::vector<OpenContainer> open;
  Value* slot = &root;
  for (;;) {
    std::uint32_t tag = 0;
    if (!r.fixed(tag)) return false;
    if (tag >= kValueKindCount) return r.bad_tag(tag, kValueKindCount);
    switch (static_cast<ValueKind>(tag)) {
      case ValueKind::Null:
        *slot = Value::Null();
        break;
      case ValueKind::Bool: {
        bool b = false;
        if (!get(r, b)) return false;
        *slot = Value::Bool(b);
        break;
      }
      case ValueKind::Int: {
        std::int64_t i = 0;
        if (!r.fixed(i)) return false;
        *slot = Value::Int(i);
        break;
      }
      case ValueKind::Float: {
        double f = 0;
        if (!r.fixed(f)) return false;
        *slot = Value::Float(f);
        break;
      }
      case ValueKind::String:
      case ValueKind::Handle: {
        std::string text;
        if (!get(r, text)) return false;
        *slot = tag == static_cast<std::uint32_t>(ValueKind::String) ? Value::String(std::move(text))
                                                                      : Value::Handle(std::move(text));
        break;
      }
      case ValueKind::Array: {
        std::uint64_t count = 0;
        if (!r.fixed(count)) return false;
        *slot = Value::Array({});
        std::size_t reserved = r.reserve_count<Value>(count);
        slot->as_array().reserve(reserved);
        open.push_back({slot, count, reserved});
        break;
      }
      case ValueKind::Object: {
        std::uint64_t count = 0;
        if (!r.fixed(count)) return false;
        auto& entries = ValueAccess::start_object(*slot);
        std::size_t reserved = r.reserve_count<ObjectEntry>(count);
        entries.reserve(reserved);
        open.push_back({slot, count, reserved});
        break;
      }
      case ValueKind::Contract: {
        std::uint16_t id = 0;
        std::uint64_t count = 0;
        if (!r.fixed(id) || !r.fixed(count)) return false;
        *slot = Value::Contract(id, {});
        std::size_t reserved = r.reserve_count<ContractField>(count);
        slot->contract_fields().reserve(reserved);
        open.push_back({slot, count, reserved});
        break;
      }
    }
    // Find the next slot: the next child of the innermost open container,
    // closing the ones that are complete.
    for (;;) {
      if (open.empty()) return true;
      OpenContainer& top = open.back();
      if (top.remaining == 0) {
        switch (top.value->kind()) {
          case ValueKind::Array:
            r.give_back<Value>(top.reserved);
            break;
          case ValueKind::Object:
            r.give_back<ObjectEntry>(top.reserved);
            ValueAccess::normalise_object(*top.value);
            break;
          default:
            r.give_back<ContractField>(top.reserved);
            break;
        }
        open.pop_back();
        continue;
      }
      --top.remaining;
      switch (top.value->kind()) {
        case ValueKind::Array:
          slot = &top.value->as_array().emplace_back();
          break;
        case ValueKind::Object: {
          std::string key;
          if (!get(r, key)) return false;
          auto& entries = ValueAccess::object_entries(*top.value);
          slot = &entries.emplace_back(ObjectEntry{std::move(key), Value()}).value;
          break;
        }
        default: {
          std::uint8_t index = 0;
          if (!r.fixed(index)) return false;
          slot = &top.value->contract_fields().emplace_back(ContractField{index, Value()}).value;
          break;
        }
      }
      break;
    }
  }
}

bool get(Reader& r, ConstantEntry& e) {
  return get(r, e.name) && get(r, e.type) && get(r, e.reg);
}
bool get(Reader& r, StructField& e) { return get(r, e.name) && get(r, e.type); }
bool get(Reader& r, StructEntry& e) { return get(r, e.name) && get(r, e.fields); }
bool get(Reader& r, FunctionEntry& e) {
  return get(r, e.name) && get(r, e.params) && get(r, e.entry);
}
bool get(Reader& r, SourceMapEntry& e) {
  return get(r, e.index) && get(r, e.line) && get(r, e.col);
}
bool get(Reader& r, SwarmEntry& e) {
  return get(r, e.flag) && get(r, e.swarm_size) && get(r, e.substrate) && get(r, e.barrier_count);
}
bool get(Reader& r, ExportEntry& e) {
  return get(r, e.no_mangle) && get(r, e.exported) && get(r, e.params) && get(r, e.return_type);
}

// Reads one field of a record, naming it on failure.
template <class T>
bool field(Reader& r, std::string_view name, T& value) {
  if (get(r, value)) return true;
  r.note_field(name);
  return false;
}

bool get(Reader& r, ProgramMetadata& m) {
  return field(r, "source_name", m.source_name) && field(r, "description", m.description) &&
         field(r, "compiler_version", m.compiler_version) &&
         field(r, "register_count", m.register_count) &&
         field(r, "param_types", m.param_types) && field(r, "source_map", m.source_map) &&
         field(r, "swarm", m.swarm) && field(r, "exports", m.exports);
}

// --- skipping ---------------------------------------------------------------------
//
// check_program makes exactly the reads of get() above, in the same order and
// with the same errors, but builds nothing: texts are validated in place,
// fixed-width lists are bounds-checked, Values are walked with a stack of
// counts. The fuzz target holds the two to the same outcome on every input.

template <class T>
struct Skip {
  static bool run(Reader& r) {
    T scratch{};
    return get(r, scratch);
  }
};

template <>
struct Skip<std::string> {
  static bool run(Reader& r) {
    std::string_view view;
    return view_text(r, view);
  }
};

template <class T>
struct Skip<std::vector<T>> {
  static bool run(Reader& r) {
    std::uint64_t count = 0;
    if (!r.fixed(count)) return false;
    if constexpr (std::is_same_v<T, std::uint32_t> || std::is_same_v<T, std::uint64_t>) {
      if (count > r.remaining() / sizeof(T)) return r.fail(kEof);
      r.take(static_cast<std::size_t>(count) * sizeof(T));
      return true;
    } else {
      for (std::uint64_t i = 0; i < count; ++i) {
        if (!Skip<T>::run(r)) return false;
      }
      return true;
    }
  }
};

template <class T>
struct Skip<Indirect<T>> {
  static bool run(Reader& r) { return Skip<T>::run(r); }
};

template <class T>
struct Skip<std::optional<T>> {
  static bool run(Reader& r) {
    std::uint8_t marker = 0;
    if (!r.fixed(marker)) return false;
    if (marker == 0) return true;
    if (marker != 1) return r.fail("tag for enum is not valid, found " + decimal(marker));
    return Skip<T>::run(r);
  }
};

template <>
struct Skip<Value> {
  struct Open {
    ValueKind kind;
    std::uint64_t remaining;
  };

  static bool run(Reader& r) {
    std::vector<Open> open;
    for (;;) {
      std::uint32_t tag = 0;
      if (!r.fixed(tag)) return false;
      if (tag >= kValueKindCount) return r.bad_tag(tag, kValueKindCount);
      auto kind = static_cast<ValueKind>(tag);
      switch (kind) {
        case ValueKind::Null:
          break;
        case ValueKind::Bool: {
          bool b = false;
          if (!get(r, b)) return false;
          break;
        }
        case ValueKind::Int:
        case ValueKind::Float: {
          std::uint64_t bits = 0;
          if (!r.fixed(bits)) return false;
          break;
        }
        case ValueKind::String:
        case ValueKind::Handle:
          if (!Skip<std::string>::run(r)) return false;
          break;
        case ValueKind::Array:
        case ValueKind::Object: {
          std::uint64_t count = 0;
          if (!r.fixed(count)) return false;
          open.push_back({kind, count});
          break;
        }
        case ValueKind::Contract: {
          std::uint16_t id = 0;
          std::uint64_t count = 0;
          if (!r.fixed(id) || !r.fixed(count)) return false;
          open.push_back({kind, count});
          break;
        }
      }
      for (;;) {
        if (open.empty()) return true;
        Open& top = open.back();
        if (top.remaining == 0) {
          open.pop_back();
          continue;
        }
        --top.remaining;
        if (top.kind == ValueKind::Object) {
          if (!Skip<std::string>::run(r)) return false;
        } else if (top.kind == ValueKind::Contract) {
          std::uint8_t index = 0;
          if (!r.fixed(index)) return false;
        }
        break;
      }
    }
  }
};

// --- instructions ---------------------------------------------------------------

// Reads a variant's fields in order with `read(field)`; on the first failure
// names the field and the variant.
template <class Insn, class Read>
bool read_fields(Reader& r, Insn& insn, Read&& read) {
  bool ok = true;
  std::string_view failed;
  insn.for_each_field([&](std::string_view name, auto& value) {
    if (ok && !read(value)) {
      ok = false;
      failed = name;
    }
  });
  if (!ok) {
    r.note_field(failed);
    r.note_field(std::remove_const_t<Insn>::kName);
  }
  return ok;
}

// Decodes one variant's fields and appends it to `out`.
template <class Insn>
bool decode_variant(Reader& r, std::vector<Instruction>* out) {
  Insn insn;
  if (!read_fields(r, insn, [&](auto& value) { return get(r, value); })) return false;
  out->emplace_back(std::in_place_type<Insn>, std::move(insn));
  return true;
}

// Reads one variant's fields without building it.
template <class Insn>
bool skip_variant(Reader& r, std::vector<Instruction>*) {
  static const Insn kShape{};  // only the field types are used
  return read_fields(r, kShape, [&](const auto& value) {
    return Skip<std::decay_t<decltype(value)>>::run(r);
  });
}

using DecodeVariant = bool (*)(Reader&, std::vector<Instruction>*);

constexpr DecodeVariant kDecoders[] = {
#define QUARN_INSTRUCTION(Tag, Name, Fields) &decode_variant<Name>,
#define FIELD(Type, name)
#include "quarn_core/instructions.def"
};
constexpr DecodeVariant kSkippers[] = {
#define QUARN_INSTRUCTION(Tag, Name, Fields) &skip_variant<Name>,
#define FIELD(Type, name)
#include "quarn_core/instructions.def"
};
static_assert(std::size(kDecoders) == kOpcodeCount);
static_assert(std::size(kSkippers) == kOpcodeCount);

// Appends the instruction to `out`, or only reads it when out is null.
bool get_instruction(Reader& r, std::vector<Instruction>* out) {
  std::uint32_t tag = 0;
  if (!r.fixed(tag)) return false;
  if (tag >= kOpcodeCount) return r.bad_tag(tag, kOpcodeCount);
  return out ? kDecoders[tag](r, out) : kSkippers[tag](r, nullptr);
}

// Keep=false runs the identical reads but drops each instruction as soon as
// it is decoded.
template <bool Keep>
bool get_instructions(Reader& r, std::vector<Instruction>& list) {
  std::uint64_t count = 0;
  if (!r.fixed(count)) return false;
  std::size_t reserved = 0;
  if constexpr (Keep) {
    reserved = r.reserve_count<Instruction>(count);
    list.reserve(reserved);
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    if (!get_instruction(r, Keep ? &list : nullptr)) {
      r.note_field("[" + decimal(i) + "]");
      return false;
    }
  }
  if constexpr (Keep) r.give_back<Instruction>(reserved);
  return true;
}

template <bool Keep>
bool get_program(Reader& r, CompiledProgram& p) {
  if (!field(r, "format_version", p.format_version)) return false;
  if (!get_instructions<Keep>(r, p.instructions)) {
    r.note_field("instructions");
    return false;
  }
  if (r.remaining() < p.content_hash.size()) {
    r.fail(kEof);
    r.note_field("content_hash");
    return false;
  }
  std::memcpy(p.content_hash.data(), r.take(p.content_hash.size()), p.content_hash.size());
  if (!get(r, p.metadata)) {
    r.note_field("metadata");
    return false;
  }
  return true;
}

std::span<const std::uint8_t> as_bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace

Result<CompiledProgram, DecodeError> decode_program(std::span<const std::uint8_t> bytes) {
  Reader r(bytes.data(), bytes.data() + bytes.size());
  CompiledProgram program;
  if (!get_program<true>(r, program)) return std::move(r).error();
  return program;
}

Result<CompiledProgram, DecodeError> decode_program(std::string_view bytes) {
  return decode_program(as_bytes(bytes));
}

Result<Unit, DecodeError> check_program(std::span<const std::uint8_t> bytes) {
  Reader r(bytes.data(), bytes.data() + bytes.size());
  CompiledProgram program;
  if (!get_program<false>(r, program)) return std::move(r).error();
  return Unit{};
}

Result<Unit, DecodeError> check_program(std::string_view bytes) {
  return check_program(as_bytes(bytes));
}

}  // namespace quarn::core
