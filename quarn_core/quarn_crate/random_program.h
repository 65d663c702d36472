// Seeded generator of arbitrary, well-formed programs for round-trip tests,
// the fuzz seed corpus and benchmarks. Every field of every variant and of
// every record is filled through for_each_field / for_each_record_field, so
// new variants and fields are covered automatically.
#pragma once

#include "quarn_core/quarn_crate/records.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace quarn::core::testing {

class RandomProgram {
 public:
  explicit RandomProgram(std::uint64_t seed) : rng_(seed) {}

  CompiledProgram program(std::size_t instructions) {
    CompiledProgram p;
    p.format_version = pick(4) == 0 ? static_cast<std::uint8_t>(rng_()) : kFormatVersion;
    for (std::size_t i = 0; i < instructions; ++i) p.instructions.push_back(instruction());
    for (auto& b : p.content_hash) b = static_cast<std::uint8_t>(rng_());
    if (pick(5) != 0) fill(p.metadata.emplace());
    return p;
  }

  // One instruction of the given tag with random fields.
  Instruction instruction(std::uint32_t tag) {
    Instruction insn = make(tag);
    std::visit([&](auto& v) { v.for_each_field([&](std::string_view, auto& f) { fill(f); }); },
               insn);
    return insn;
  }
  Instruction instruction() { return instruction(static_cast<std::uint32_t>(pick(kOpcodeCount))); }

  Value value(int depth = 3) {
    switch (pick(depth > 0 ? 9 : 5)) {
      case 0: return Value::Null();
      case 1: return Value::Bool(pick(2) == 1);
      case 2: return Value::Int(i64());
      case 3: return Value::Float(f64());
      case 4: return Value::String(text());
      case 5: {
        std::vector<Value> items;
        for (std::size_t n = pick(4); n > 0; --n) items.push_back(value(depth - 1));
        return Value::Array(std::move(items));
      }
      case 6: {
        std::vector<ObjectEntry> entries;
        for (std::size_t n = pick(4); n > 0; --n) entries.push_back({text(), value(depth - 1)});
        return Value::Object(std::move(entries));
      }
      case 7: {
        std::vector<ContractField> fields;
        for (std::size_t n = pick(4); n > 0; --n)
          fields.push_back({static_cast<std::uint8_t>(rng_()), value(depth - 1)});
        return Value::Contract(static_cast<std::uint16_t>(rng_()), std::move(fields));
      }
      default: return Value::Handle(text());
    }
  }

 private:
  static Instruction make(std::uint32_t tag) {
    static constexpr Instruction (*kMake[])() = {
#define QUARN_INSTRUCTION(Tag, Name, Fields) [] { return Instruction(std::in_place_type<Name>); },
#define FIELD(Type, name)
#include "quarn_core/instructions.def"
    };
    return kMake[tag]();
  }

  std::size_t pick(std::size_t n) { return static_cast<std::size_t>(rng_() % n); }

  std::uint32_t u32() {
    switch (pick(4)) {
      case 0: return 0;
      case 1: return 0xffffffffu;
      default: return static_cast<std::uint32_t>(pick(2) ? rng_() : pick(300));
    }
  }
  std::uint64_t u64() { return pick(3) == 0 ? ~std::uint64_t{0} : rng_(); }
  std::int64_t i64() { return static_cast<std::int64_t>(u64()); }
  double f64() {
    std::uint64_t bits = rng_();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return pick(2) ? d : static_cast<double>(static_cast<int>(pick(2000)) - 1000) / 8;
  }
  std::string text() {
    static const char* const kPieces[] = {"a", "main", "x_1", " ", "\xc3\xa9", "\xe2\x82\xac",
                                          "\xf0\x9f\x98\x80", "\"", "\\", "\n", "__vek_"};
    std::string s;
    for (std::size_t n = pick(5); n > 0; --n) s += kPieces[pick(std::size(kPieces))];
    return s;
  }
  BytecodeType type() {
    static constexpr TypeKind kBases[] = {TypeKind::Kind0, TypeKind::Float, TypeKind::Kind2,
                                          TypeKind::Int, TypeKind::Bool};
    return BytecodeType::nested(kBases[pick(5)], pick(3) == 0 ? pick(4) : 0);
  }

  void fill(std::uint8_t& v) { v = static_cast<std::uint8_t>(rng_()); }
  void fill(std::uint32_t& v) { v = u32(); }
  void fill(std::uint64_t& v) { v = u64(); }
  void fill(std::int64_t& v) { v = i64(); }
  void fill(double& v) { v = f64(); }
  void fill(bool& v) { v = pick(2) == 1; }
  void fill(std::string& v) { v = text(); }
  void fill(Value& v) { v = value(); }
  void fill(BytecodeType& v) { v = type(); }
  // Every record through its field list, so a field added there is filled.
  template <Record R> void fill(R& record) {
    for_each_record_field(record, [&](std::string_view, auto& field) { fill(field); });
  }
  template <class V> void fill(std::map<std::string, V>& map) {
    for (std::size_t n = pick(4); n > 0; --n) fill(map[text()]);
  }
  template <class T> void fill(std::vector<T>& list) {
    list.resize(pick(4));
    for (T& x : list) fill(x);
  }
  template <class T> void fill(Indirect<T>& boxed) {
    T value;
    fill(value);
    boxed.set(std::move(value));
  }
  template <class T> void fill(std::optional<T>& opt) {
    if (pick(2)) {
      fill(opt.emplace());
    } else {
      opt.reset();
    }
  }

  std::mt19937_64 rng_;
};

}  // namespace quarn::core::testing
