#include "quarn_core/quarn_crate/encode.h"

#include "quarn_core/huge_pages.h"
#include "quarn_core/quarn_crate/records.h"

#include <blake3.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace quarn::core {
namespace {

constexpr std::string_view kTooLarge = "encoded program is too large to hold in memory";

// The encoder walks the fields once with a SizeSink to learn the exact
// length, then again with a WriteSink into a buffer of that size. Both walks
// are the same templates, so the length cannot disagree with the bytes.

class SizeSink {
 public:
  void bytes(const void*, std::size_t n) { add(n); }
  void add(std::size_t n) {
    if (__builtin_add_overflow(size_, n, &size_)) overflow_ = true;
  }
  std::size_t size() const { return size_; }
  bool overflow() const { return overflow_; }

 private:
  std::size_t size_ = 0;
  bool overflow_ = false;
};

class WriteSink {
 public:
  // REQUIRES: [out, out + capacity) holds the exact encoded length.
  explicit WriteSink(std::uint8_t* out) : p_(out) {}
  void bytes(const void* src, std::size_t n) {
    if (n == 0) return;
    std::memcpy(p_, src, n);
    p_ += n;
  }
  std::uint8_t* position() const { return p_; }

 private:
  std::uint8_t* p_;
};

// Feeds the encoding straight into BLAKE3 through a small buffer, so that
// hashing a large instruction list does not first build its whole encoding.
class HashSink {
 public:
  HashSink() { blake3_hasher_init(&hasher_); }
  void bytes(const void* src, std::size_t n) {
    if (n == 0) return;  // an empty list's data() may be null
    if (n > kBuffer - used_) {
      flush();
      if (n >= kBuffer) {
        blake3_hasher_update(&hasher_, src, n);
        return;
      }
    }
    std::memcpy(buffer_ + used_, src, n);
    used_ += n;
  }
  ContentHash finish() {
    flush();
    ContentHash hash;
    blake3_hasher_finalize(&hasher_, hash.data(), hash.size());
    return hash;
  }

 private:
  // Large enough for BLAKE3's wide kernels to work on many chunks at once.
  static constexpr std::size_t kBuffer = 64 * 1024;
  void flush() {
    if (used_ > 0) blake3_hasher_update(&hasher_, buffer_, used_);
    used_ = 0;
  }

  blake3_hasher hasher_;
  std::size_t used_ = 0;
  std::uint8_t buffer_[kBuffer];
};

// Little-endian fixed-width numbers. The build targets are little-endian, so
// the in-memory representation is the wire one.
static_assert(std::endian::native == std::endian::little, "big-endian hosts need byte swaps here");

template <class S, class T>
void put_fixed(S& s, T v) {
  s.bytes(&v, sizeof v);
}

template <class S> void put(S& s, std::uint8_t v) { put_fixed(s, v); }
template <class S> void put(S& s, bool v) { put_fixed(s, static_cast<std::uint8_t>(v ? 1 : 0)); }
template <class S> void put(S& s, std::uint16_t v) { put_fixed(s, v); }
template <class S> void put(S& s, std::uint32_t v) { put_fixed(s, v); }
template <class S> void put(S& s, std::uint64_t v) { put_fixed(s, v); }
template <class S> void put(S& s, std::int64_t v) { put_fixed(s, v); }
template <class S> void put(S& s, double v) { put_fixed(s, v); }

template <class S> void put_len(S& s, std::size_t n) { put(s, static_cast<std::uint64_t>(n)); }

template <class S> void put(S& s, const std::string& text) {
  put_len(s, text.size());
  s.bytes(text.data(), text.size());
}

template <class S> void put(S& s, const BytecodeType& t);
template <class S> void put(S& s, const Value& v);
template <class S> void put(S& s, const Instruction& insn);
template <class S, Record R> void put(S& s, const R& record);

// Raw bytes, no length: the content hash.
template <class S, std::size_t N> void put(S& s, const std::array<std::uint8_t, N>& bytes) {
  s.bytes(bytes.data(), N);
}

// Written exactly as the value it holds.
template <class S, class T> void put(S& s, const Indirect<T>& boxed) { put(s, boxed.get()); }

// A source map entry's fields lie in memory as they go on the wire (u64,
// u32, u32, no padding), so a list of them is written as one block.
static_assert(sizeof(SourceMapEntry) == 16 && offsetof(SourceMapEntry, index) == 0 &&
              offsetof(SourceMapEntry, line) == 8 && offsetof(SourceMapEntry, col) == 12);

template <class S, class T> void put(S& s, const std::vector<T>& list) {
  put_len(s, list.size());
  if constexpr (std::is_same_v<T, std::uint32_t> || std::is_same_v<T, std::uint64_t> ||
                std::is_same_v<T, SourceMapEntry>) {
    s.bytes(list.data(), list.size() * sizeof(T));
  } else {
    for (const T& x : list) put(s, x);
  }
}

template <class S, class T> void put(S& s, const std::optional<T>& opt) {
  if (!opt) {
    put(s, std::uint8_t{0});
    return;
  }
  put(s, std::uint8_t{1});
  put(s, *opt);
}

// std::map iterates in ascending key order: equal maps give equal bytes.
template <class S, class V> void put(S& s, const std::map<std::string, V>& map) {
  put_len(s, map.size());
  for (const auto& [key, value] : map) {
    put(s, key);
    put(s, value);
  }
}

// A nested array type is a run of tag 5 ended by its scalar kind's tag.
template <class S> void put(S& s, const BytecodeType& t) {
  if constexpr (std::is_same_v<S, SizeSink>) {
    // (depth + 1) * 4 bytes, counted without a loop over the depth.
    std::uint64_t depth = t.array_depth();
    if (depth >= std::numeric_limits<std::size_t>::max() / 4) {
      s.add(std::numeric_limits<std::size_t>::max());
      s.add(1);  // overflow
      return;
    }
    s.add(static_cast<std::size_t>(depth + 1) * 4);
  } else {
    for (std::uint64_t i = 0; i < t.array_depth(); ++i)
      put(s, static_cast<std::uint32_t>(TypeKind::Array));
    put(s, static_cast<std::uint32_t>(t.base()));
  }
}

// Values may nest to any depth: a work list writes them in pre-order, each
// pending child with what precedes it (an Object entry's key, a Contract
// field's index).
struct PendingValue {
  const Value* value;
  const std::string* key;  // Object entry key, or nullptr
  int index;               // Contract field index, or -1
};

template <class S> void put_value_node(S& s, const Value& v, std::vector<PendingValue>& work) {
  put(s, static_cast<std::uint32_t>(v.kind()));
  switch (v.kind()) {
    case ValueKind::Null:
      break;
    case ValueKind::Bool:
      put(s, v.as_bool());
      break;
    case ValueKind::Int:
      put(s, v.as_int());
      break;
    case ValueKind::Float:
      put(s, v.as_float());
      break;
    case ValueKind::String:
    case ValueKind::Handle:
      put(s, v.as_text());
      break;
    case ValueKind::Array: {
      const auto& items = v.as_array();
      put_len(s, items.size());
      for (auto it = items.rbegin(); it != items.rend(); ++it) work.push_back({&*it, nullptr, -1});
      break;
    }
    case ValueKind::Object: {
      const auto& entries = v.as_object();  // kept in ascending key order
      put_len(s, entries.size());
      for (auto it = entries.rbegin(); it != entries.rend(); ++it)
        work.push_back({&it->value, &it->key, -1});
      break;
    }
    case ValueKind::Contract: {
      put(s, v.contract_id());
      const auto& fields = v.contract_fields();
      put_len(s, fields.size());
      for (auto it = fields.rbegin(); it != fields.rend(); ++it)
        work.push_back({&it->value, nullptr, it->index});
      break;
    }
  }
}

template <class S> void put(S& s, const Value& v) {
  std::vector<PendingValue> work;
  put_value_node(s, v, work);
  while (!work.empty()) {
    PendingValue p = work.back();
    work.pop_back();
    if (p.key) put(s, *p.key);
    if (p.index >= 0) put(s, static_cast<std::uint8_t>(p.index));
    put_value_node(s, *p.value, work);
  }
}

// Every record: its fields in the order records.h lists them.
template <class S, Record R> void put(S& s, const R& record) {
  for_each_record_field(record, [&](std::string_view, const auto& field) { put(s, field); });
}

// The parameter-type map from its flat table, as put() writes the map.
template <class S> void put(S& s, const ParamTypeTable& table) {
  put_len(s, table.names.size());
  std::size_t begin = 0;
  for (std::size_t k = 0; k < table.names.size(); ++k) {
    put(s, table.names[k]);
    put_len(s, table.ends[k] - begin);
    for (std::size_t t = begin; t < table.ends[k]; ++t) put(s, table.types[t]);
    begin = table.ends[k];
  }
}

// Metadata whose parameter-type map comes from `table` instead.
// REQUIRES: metadata.param_types is empty.
template <class S>
void put_metadata(S& s, const std::optional<ProgramMetadata>& metadata,
                  const ParamTypeTable* table) {
  if (!metadata || table == nullptr) {
    put(s, metadata);
    return;
  }
  put(s, std::uint8_t{1});
  for_each_record_field(*metadata, [&](std::string_view, const auto& field) {
    if constexpr (std::is_same_v<std::decay_t<decltype(field)>,
                                 decltype(ProgramMetadata::param_types)>) {
      put(s, *table);
    } else {
      put(s, field);
    }
  });
}

template <class S> void put(S& s, const Instruction& insn) {
  put(s, static_cast<std::uint32_t>(insn.index()));
  std::visit([&](const auto& variant) { variant.for_each_field([&](std::string_view, const auto& field) { put(s, field); }); },
             insn);
}

// Sizes, then writes, any record with a put() overload.
template <class T, class Put>
Result<Bytes, EncodeError> encode_with(const T& record, Put&& put_fn) {
  SizeSink sizer;
  put_fn(sizer, record);
  Bytes out;
  if (sizer.overflow() || sizer.size() > out.max_size()) return EncodeError{std::string(kTooLarge)};
  out.reserve(sizer.size());
  advise_huge_pages(out.data(), out.capacity());
  out.resize(sizer.size());
  WriteSink writer(out.data());
  put_fn(writer, record);
  assert(writer.position() == out.data() + out.size());
  return out;
}

}  // namespace

std::size_t encoded_size(const CompiledProgram& program) {
  SizeSink sizer;
  put(sizer, program);
  return sizer.overflow() ? std::numeric_limits<std::size_t>::max() : sizer.size();
}

Result<Bytes, EncodeError> encode_program(const CompiledProgram& program) {
  return encode_with(program, [](auto& s, const CompiledProgram& p) { put(s, p); });
}

// An instruction list built in memory always fits its own encoding; only an
// absurd BytecodeType depth could overflow, and that is a caller fault.
Bytes encode_instructions(const std::vector<Instruction>& instructions) {
  auto r = encode_with(instructions, [](auto& s, const std::vector<Instruction>& l) { put(s, l); });
  if (!r.ok()) throw std::length_error(r.error().message);
  return std::move(r).value();
}

Bytes encode_instruction(const Instruction& instruction) {
  auto r = encode_with(instruction, [](auto& s, const Instruction& i) { put(s, i); });
  if (!r.ok()) throw std::length_error(r.error().message);
  return std::move(r).value();
}


ProgramEncoder::ProgramEncoder(Bytes& out) : out_(out), end_(kListOffset) {
  out_.assign(kListOffset, 0);
  out_[0] = kFormatVersion;
  sync();
}

void ProgramEncoder::make_room(std::size_t size) {
  // Zeroing the room costs about what writing it will; the step only keeps
  // resize() out of the way of each instruction.
  constexpr std::size_t kStep = 64 * 1024;
  if (end_ > out_.max_size() - kStep || size > out_.max_size() - kStep - end_) {
    throw std::length_error(std::string(kTooLarge));
  }
  out_.resize(end_ + std::max(size, kStep));
  sync();
}

void ProgramEncoder::append(std::span<const Instruction> code) {
  std::vector<std::size_t> unused;
  append(code, {}, unused);
}

void ProgramEncoder::append(std::span<const Instruction> code,
                            std::span<const std::uint32_t> marks,
                            std::vector<std::size_t>& mark_ends) {
  if (too_large_) return;
  trim();
  SizeSink sizer;
  sizer.add(out_.size());
  for (const Instruction& insn : code) put(sizer, insn);
  if (sizer.overflow() || sizer.size() > out_.max_size()) {
    too_large_ = true;
    return;
  }
  const std::size_t start = out_.size();
  out_.resize(sizer.size());
  sync();
  WriteSink writer(out_.data() + start);
  const std::uint32_t* mark = marks.data();
  const std::uint32_t* const marks_end = mark + marks.size();
  for (std::size_t i = 0; i < code.size(); ++i) {
    put(writer, code[i]);
    if (mark != marks_end && *mark == i) {
      mark_ends.push_back(static_cast<std::size_t>(writer.position() - out_.data()));
      ++mark;
    }
  }
  assert(writer.position() == out_.data() + out_.size());
  end_ = out_.size();
  count_ += code.size();
}

void ProgramEncoder::not_words(Opcode op) {
  throw std::logic_error(std::string(opcode_name(op)) + " does not take its registers as listed");
}

std::size_t ProgramEncoder::add(const Instruction& insn) {
  SizeSink sizer;
  put(sizer, insn);
  if (sizer.overflow()) throw std::length_error(std::string(kTooLarge));
  std::size_t offset;
  WriteSink writer(add_instruction(sizer.size(), offset));
  put(writer, insn);
  return offset;
}

std::string_view ProgramEncoder::text_at(std::size_t offset) const {
  std::uint64_t size;
  check_inside(offset, sizeof size);
  std::memcpy(&size, data_ + offset, sizeof size);
  check_inside(offset + sizeof size, size);
  return std::string_view(reinterpret_cast<const char*>(data_) + offset + sizeof size,
                          static_cast<std::size_t>(size));
}

void ProgramEncoder::outside(std::size_t offset) {
  throw std::out_of_range("offset " + std::to_string(offset) +
                          " lies outside the encoded instructions");
}

Result<Unit, EncodeError> ProgramEncoder::finish(const std::optional<ProgramMetadata>& metadata,
                                                 const ParamTypeTable* param_types) {
  if (too_large_) return EncodeError{std::string(kTooLarge)};
  if (param_types != nullptr && metadata && !metadata->param_types.empty()) {
    throw std::invalid_argument("parameter types given twice");
  }
  trim();
  std::memcpy(out_.data() + kCountOffset, &count_, sizeof count_);

  // The hash covers the count and the instructions, which stand together
  // right after the format version.
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  blake3_hasher_update(&hasher, out_.data() + kCountOffset, out_.size() - kCountOffset);
  ContentHash hash;
  blake3_hasher_finalize(&hasher, hash.data(), hash.size());

  SizeSink sizer;
  sizer.add(out_.size());
  put(sizer, hash);
  put_metadata(sizer, metadata, param_types);
  if (sizer.overflow() || sizer.size() > out_.max_size()) return EncodeError{std::string(kTooLarge)};
  const std::size_t start = out_.size();
  out_.resize(sizer.size());
  sync();
  WriteSink writer(out_.data() + start);
  put(writer, hash);
  put_metadata(writer, metadata, param_types);
  assert(writer.position() == out_.data() + out_.size());
  end_ = out_.size();
  return Unit{};
}

ContentHash content_hash_of(const std::vector<Instruction>& instructions) {
  auto hasher = std::make_unique<HashSink>();
  put(*hasher, instructions);
  return hasher->finish();
}

}  // namespace quarn::core
