// Encoding of a CompiledProgram to bytes.
//
// Primitives, all little-endian, no padding, no header:
//   u8/bool 1 byte; u16 2; u32 4; u64, i64, f64 8 (f64 as its bit pattern)
//   text     u64 byte length, then the UTF-8 bytes
//   list     u64 count, then the elements
//   map      u64 count, then key, value for each entry
//   optional u8 0 (absent) or u8 1 followed by the value
//   enum     u32 tag, then the variant's fields in declaration order
//   record   its fields in order
// Container: format_version u8, instructions (list of Instruction),
// content_hash (32 raw bytes), metadata (optional ProgramMetadata).
// Object Values and metadata maps are written in ascending key order.
//
// The encoder computes the exact length first and writes into one buffer of
// that size.
#pragma once

#include "quarn_core/quarn_crate/crate.h"
#include "quarn_core/result.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::core {

using Bytes = std::vector<std::uint8_t>;

struct EncodeError {
  std::string message;
};

// Exact encoded length of the container.
std::size_t encoded_size(const CompiledProgram& program);

// The container's bytes. Fails only when the program cannot be held in one
// buffer (its length exceeds what a std::vector can address).
Result<Bytes, EncodeError> encode_program(const CompiledProgram& program);

// The instruction list alone: its u64 count, then every instruction. These
// are the bytes that the content hash covers.
Bytes encode_instructions(const std::vector<Instruction>& instructions);

// BLAKE3 of encode_instructions(instructions).
ContentHash content_hash_of(const std::vector<Instruction>& instructions);

// One instruction's bytes (tag and fields); for tests and tools.
Bytes encode_instruction(const Instruction& instruction);

// ---- Writing single instructions in place --------------------------------
// The lowering writes most instructions straight into the output instead of
// building an Instruction first; these are the pieces it writes them with.

namespace detail {
constexpr int word_field(FieldKind kind) {
  return kind == FieldKind::Reg || kind == FieldKind::Target || kind == FieldKind::U32 ? 1 : -1000;
}
}  // namespace detail

// The number of fields of an instruction struct whose fields are all plain
// u32s (registers, targets, numbers), so that its bytes are its tag and then
// one u32 per field; -1 for a struct with any other field.
template <class Insn>
inline constexpr int kWordFields = -1;
#define QUARN_INSTRUCTION(Tag, Name, Fields) \
  template <>                                \
  inline constexpr int kWordFields<Name> = (0 Fields) < 0 ? -1 : (0 Fields);
#define FIELD(Type, name) +detail::word_field(FieldKind::Type)
#include "quarn_core/instructions.def"

// The same by opcode, for instructions chosen at run time.
inline constexpr int kWordFieldsByOpcode[] = {
#define QUARN_INSTRUCTION(Tag, Name, Fields) kWordFields<Name>,
#define FIELD(Type, name)
#include "quarn_core/instructions.def"
};
static_assert(std::size(kWordFieldsByOpcode) == kOpcodeCount);

// Primitive writers: each writes at `p` and returns the end of what it wrote.
// REQUIRES: room for the bytes written (the *_size functions say how many).
namespace wire {
inline std::uint8_t* put_u32(std::uint8_t* p, std::uint32_t v) {
  std::memcpy(p, &v, sizeof v);
  return p + sizeof v;
}
inline std::uint8_t* put_u64(std::uint8_t* p, std::uint64_t v) {
  std::memcpy(p, &v, sizeof v);
  return p + sizeof v;
}
inline std::uint8_t* put_text(std::uint8_t* p, std::string_view text) {
  p = put_u64(p, text.size());
  if (!text.empty()) std::memcpy(p, text.data(), text.size());
  return p + text.size();
}
inline std::uint8_t* put_u32_list(std::uint8_t* p, std::span<const std::uint32_t> list) {
  p = put_u64(p, list.size());
  if (!list.empty()) std::memcpy(p, list.data(), list.size_bytes());
  return p + list.size_bytes();
}
// u8 0, or u8 1 then the type: a run of tag 5 (array of) ended by its scalar
// kind's tag.
inline std::uint8_t* put_optional_type(std::uint8_t* p, const std::optional<BytecodeType>& type) {
  *p++ = type ? 1 : 0;
  if (!type) return p;
  for (std::uint64_t i = 0; i < type->array_depth(); ++i) {
    p = put_u32(p, static_cast<std::uint32_t>(TypeKind::Array));
  }
  return put_u32(p, static_cast<std::uint32_t>(type->base()));
}
constexpr std::size_t text_size(std::string_view text) { return 8 + text.size(); }
constexpr std::size_t u32_list_size(std::size_t n) { return 8 + 4 * n; }
inline std::size_t optional_type_size(const std::optional<BytecodeType>& type) {
  return type ? 1 + 4 * (static_cast<std::size_t>(type->array_depth()) + 1) : 1;
}
}  // namespace wire

// A constant of one of the kinds the compiler makes (Null, Bool, Int, Float,
// String), its text a view: what LoadConst carries, written in place
// without building a Value.
struct ScalarConstant {
  ValueKind kind = ValueKind::Null;
  bool b = false;
  std::int64_t i = 0;
  double f = 0;
  std::string_view text;

  static ScalarConstant null() { return {}; }
  static ScalarConstant boolean(bool v) { return {ValueKind::Bool, v, 0, 0, {}}; }
  static ScalarConstant integer(std::int64_t v) { return {ValueKind::Int, false, v, 0, {}}; }
  static ScalarConstant real(double v) { return {ValueKind::Float, false, 0, v, {}}; }
  static ScalarConstant string(std::string_view v) { return {ValueKind::String, false, 0, 0, v}; }
};

namespace wire {

// One field's bytes by its kind in instructions.def, from a view of its
// value: u32 kinds from a number, Text from a string_view, RegList from a
// span of u32, TextList from a span of string_view, OptType from an
// optional BytecodeType, Value from a ScalarConstant. A kind without a
// view here does not compile.
template <class>
inline constexpr bool kNoInPlaceWriter = false;

template <FieldKind K, class V>
std::size_t field_size(const V& v) {
  if constexpr (fixed_wire_size(K) == 4) {
    static_assert(std::is_convertible_v<V, std::uint32_t>);
    return 4;
  } else if constexpr (K == FieldKind::Text) {
    return text_size(std::string_view(v));
  } else if constexpr (K == FieldKind::RegList) {
    return u32_list_size(std::span<const std::uint32_t>(v).size());
  } else if constexpr (K == FieldKind::TextList) {
    std::size_t size = 8;
    for (std::string_view t : std::span<const std::string_view>(v)) size += text_size(t);
    return size;
  } else if constexpr (K == FieldKind::OptType) {
    return optional_type_size(v);
  } else if constexpr (K == FieldKind::Value) {
    static_assert(std::is_same_v<V, ScalarConstant>);
    switch (v.kind) {  // the kind's u32 tag, then its payload
      case ValueKind::Bool: return 4 + 1;
      case ValueKind::Int: case ValueKind::Float: return 4 + 8;
      case ValueKind::String: return 4 + text_size(v.text);
      default: return 4;
    }
  } else {
    static_assert(kNoInPlaceWriter<V>, "no in-place writer for this field kind");
  }
}

// REQUIRES: room for field_size<K>(v) bytes at p.
template <FieldKind K, class V>
std::uint8_t* put_field(std::uint8_t* p, const V& v) {
  if constexpr (fixed_wire_size(K) == 4) {
    return put_u32(p, static_cast<std::uint32_t>(v));
  } else if constexpr (K == FieldKind::Text) {
    return put_text(p, std::string_view(v));
  } else if constexpr (K == FieldKind::RegList) {
    return put_u32_list(p, std::span<const std::uint32_t>(v));
  } else if constexpr (K == FieldKind::TextList) {
    const std::span<const std::string_view> texts(v);
    p = put_u64(p, texts.size());
    for (std::string_view t : texts) p = put_text(p, t);
    return p;
  } else if constexpr (K == FieldKind::OptType) {
    return put_optional_type(p, v);
  } else if constexpr (K == FieldKind::Value) {
    p = put_u32(p, static_cast<std::uint32_t>(v.kind));
    switch (v.kind) {
      case ValueKind::Bool: *p = v.b ? 1 : 0; return p + 1;
      case ValueKind::Int: return put_u64(p, static_cast<std::uint64_t>(v.i));
      case ValueKind::Float: return put_u64(p, std::bit_cast<std::uint64_t>(v.f));
      case ValueKind::String: return put_text(p, v.text);
      default: return p;
    }
  } else {
    static_assert(kNoInPlaceWriter<V>, "no in-place writer for this field kind");
  }
}

}  // namespace wire

// Where an instruction written in place starts, and where each of its
// fields starts (in table order), as offsets into the encoder's output.
template <std::size_t N>
struct Emitted {
  std::size_t offset = 0;
  std::array<std::size_t, N> fields{};
};

// The metadata's map of function name to parameter types, laid out flat so
// that a program of many functions needs no map node and no list per
// function: entry k is names[k] with the types [ends[k-1], ends[k]) of
// `types` (from 0 for k = 0).
// REQUIRES: names ascending (byte-wise) and unique, one end per name.
struct ParamTypeTable {
  std::vector<std::string> names;
  std::vector<std::size_t> ends;
  std::vector<BytecodeType> types;
};

// The container written piece by piece while the program is lowered, so that
// the whole instruction list never has to exist at once: instructions are
// appended in order as soon as their code is final, the metadata comes last.
// The bytes equal encode_program's for the same program. The instruction
// count and the content hash, which precede or cover the list, are filled in
// by finish(), which hashes the list where it already stands in the output.
//
//   ProgramEncoder encoder(out);          // out's old bytes go, its capacity stays
//   encoder.append(code, marks, ends);    // as often as needed
//   encoder.patch_u32(ends[0] - 4, v);    // fixed-width fields may change later
//   QUARN_CHECK(encoder.finish(metadata));
class ProgramEncoder {
 public:
  explicit ProgramEncoder(Bytes& out);
  ProgramEncoder(const ProgramEncoder&) = delete;
  ProgramEncoder& operator=(const ProgramEncoder&) = delete;

  // Appends `code`. For each index in `marks` (ascending, into `code`) the
  // offset just past that instruction's bytes is appended to `mark_ends`.
  void append(std::span<const Instruction> code, std::span<const std::uint32_t> marks,
              std::vector<std::size_t>& mark_ends);
  void append(std::span<const Instruction> code);

  // Instructions appended so far.
  std::uint64_t count() const { return count_; }

  // One more instruction of exactly `size` bytes, tag included, which the
  // caller then writes in full at the pointer returned (valid until the
  // next call that adds bytes). `offset` receives where it starts.
  std::uint8_t* add_instruction(std::size_t size, std::size_t& offset) {
    offset = end_;
    if (size > room_ - end_) make_room(size);
    end_ += size;
    ++count_;
    return data_ + offset;
  }
  // One instruction whose fields are all u32; returns where it starts.
  template <class Insn>
    requires(kWordFields<Insn> >= 0)
  std::size_t add_words(const Insn& insn) {
    std::size_t offset;
    std::uint8_t* p = add_instruction(4 + 4 * kWordFields<Insn>, offset);
    p = wire::put_u32(p, static_cast<std::uint32_t>(Insn::kOpcode));
    insn.for_each_field([&](std::string_view, std::uint32_t v) { p = wire::put_u32(p, v); });
    return offset;
  }
  // One instruction written from views of its fields, one per field of
  // Insn's row in instructions.def and in its order; each field's bytes
  // follow the kind the row gives it (wire::put_field).
  template <class Insn, class... Views>
  Emitted<sizeof...(Views)> emit(const Views&... views) {
    static_assert(sizeof...(Views) == FieldTable<Insn>::kCount, "one value per field of the row");
    return emit_fields<Insn>(std::index_sequence_for<Views...>{}, views...);
  }
  // The instruction `op`, known only at run time, whose row holds exactly
  // 1 + args.size() fields, all u32 (kWordFieldsByOpcode), written from dst
  // and then args; throws when the row holds other fields.
  std::size_t emit_words(Opcode op, std::uint32_t dst, std::span<const std::uint32_t> args) {
    if (kWordFieldsByOpcode[static_cast<std::size_t>(op)] != static_cast<int>(args.size()) + 1) {
      not_words(op);
    }
    std::size_t offset;
    std::uint8_t* p = add_instruction(sizeof(std::uint32_t) * (2 + args.size()), offset);
    p = wire::put_u32(p, static_cast<std::uint32_t>(op));
    p = wire::put_u32(p, dst);
    for (const std::uint32_t r : args) p = wire::put_u32(p, r);
    return offset;
  }
  // Any instruction, by the general encoding; returns where it starts.
  std::size_t add(const Instruction& insn);

  // The u32 at `offset` (inside an appended instruction).
  std::uint32_t u32_at(std::size_t offset) const {
    std::uint32_t value;
    check_inside(offset, sizeof value);
    std::memcpy(&value, data_ + offset, sizeof value);
    return value;
  }

  // The text (u64 length, then its bytes) at `offset`, inside an appended
  // instruction; valid until the next call that adds bytes.
  std::string_view text_at(std::size_t offset) const;

  // Overwrites the u32 at `offset` (inside an appended instruction).
  void patch_u32(std::size_t offset, std::uint32_t value) {
    if (too_large_) return;
    check_inside(offset, sizeof value);
    std::memcpy(data_ + offset, &value, sizeof value);
  }

  // Writes the count, the content hash and the metadata. Fails only when
  // the program cannot be held in one buffer. The encoder is done after it.
  // Given `param_types`, its entries stand in the metadata's place of
  // param_types, which must then be empty: the bytes are those of a
  // metadata whose map holds them.
  Result<Unit, EncodeError> finish(const std::optional<ProgramMetadata>& metadata,
                                   const ParamTypeTable* param_types = nullptr);

 private:
  template <class Insn, std::size_t... I, class... Views>
  Emitted<sizeof...(Views)> emit_fields(std::index_sequence<I...>, const Views&... views) {
    const std::size_t size =
        sizeof(std::uint32_t) + (std::size_t{0} + ... +
                                 wire::field_size<FieldTable<Insn>::kFields[I].kind>(views));
    Emitted<sizeof...(Views)> out;
    std::uint8_t* const start = add_instruction(size, out.offset);
    std::uint8_t* p = wire::put_u32(start, static_cast<std::uint32_t>(Insn::kOpcode));
    ((out.fields[I] = out.offset + static_cast<std::size_t>(p - start),
      p = wire::put_field<FieldTable<Insn>::kFields[I].kind>(p, views)),
     ...);
    return out;
  }

  // Throws unless [offset, offset + size) lies inside the instructions
  // appended so far: a read or patch elsewhere is a fault of the caller.
  void check_inside(std::size_t offset, std::size_t size) const {
    if (offset < kListOffset || offset > end_ || size > end_ - offset) outside(offset);
  }
  [[noreturn]] static void outside(std::size_t offset);
  [[noreturn]] static void not_words(Opcode op);
  // The container's head: format_version, then the instruction count, which
  // finish() fills in; the instructions start after it.
  static constexpr std::size_t kCountOffset = 1;
  static constexpr std::size_t kListOffset = kCountOffset + sizeof(std::uint64_t);

  // Grows out_ by at least `size` bytes past end_, a good step at a time.
  void make_room(std::size_t size);
  // Drops the room past end_: out_ then holds exactly what is written.
  void trim() {
    out_.resize(end_);
    sync();
  }
  // Notes where out_'s bytes are and how many, after any change of its size:
  // adding an instruction then reads these two words and not the vector.
  void sync() {
    data_ = out_.data();
    room_ = out_.size();
  }

  Bytes& out_;
  std::uint8_t* data_ = nullptr;
  std::size_t room_ = 0;
  // The bytes written end here; out_ may hold zeroed room past it, so that
  // adding an instruction seldom resizes it.
  std::size_t end_;
  std::uint64_t count_ = 0;
  bool too_large_ = false;  // an append did not fit; finish() reports it
};

}  // namespace quarn::core
