#include "quarn_core/quarn_crate/decode.h"
#include "quarn_core/quarn_crate/encode.h"
#include "quarn_core/quarn_crate/random_program.h"
#include "quarn_core/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <pthread.h>
#include <random>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace quarn::core {
namespace {

// Builds byte strings by hand, field by field.
class Wire {
 public:
  Wire& u8(std::uint8_t v) { return raw(&v, 1); }
  Wire& u16(std::uint16_t v) { return raw(&v, 2); }
  Wire& u32(std::uint32_t v) { return raw(&v, 4); }
  Wire& u64(std::uint64_t v) { return raw(&v, 8); }
  Wire& f64(double v) { return raw(&v, 8); }
  Wire& text(std::string_view s) {
    u64(s.size());
    return raw(s.data(), s.size());
  }
  Wire& zeros(std::size_t n) {
    bytes_.append(n, '\0');
    return *this;
  }
  // format_version 1 and an instruction count.
  Wire& header(std::uint64_t count) { return u8(1).u64(count); }
  // An all-zero hash and the given metadata marker.
  Wire& trailer(std::uint8_t metadata_marker = 0) { return zeros(32).u8(metadata_marker); }
  Wire& raw(const void* p, std::size_t n) {
    bytes_.append(static_cast<const char*>(p), n);
    return *this;
  }
  const std::string& str() const { return bytes_; }

 private:
  std::string bytes_;
};

std::string as_string(const Bytes& b) { return std::string(b.begin(), b.end()); }

std::string decode_error(std::string_view bytes) {
  auto r = decode_program(bytes);
  if (r.ok()) return "<decoded>";
  // The checking pass must agree with the full one.
  auto c = check_program(bytes);
  EXPECT_FALSE(c.ok());
  if (!c.ok()) {
    EXPECT_EQ(c.error().message, r.error().message);
  }
  return r.error().message;
}

CompiledProgram sample_program() {
  CompiledProgram p;
  p.instructions = {
      LoadConst{0, Value::Int(1)},
      LoadConst{1, Value::String("h\xc3\xa9")},
      Add{2, 0, 1},
      Call{3, "fopen", {1, 2}, 1000},
      JumpIf{2, 5, 6},
      Barrier{std::string("b1")},
      ArrayCreate{4, {0, 1}, BytecodeType::array_of(BytecodeType::Int())},
      Asm{std::nullopt, "nop", "r,m", true},
      ModuleDef{"m", {"io"}, {{"PI", BytecodeType::Float(), 7}},
                {{"P", {{"x", BytecodeType::Int()}}}}, {{"f", {8, 9}, 2}}},
      Return{3},
  };
  p.content_hash = content_hash_of(p.instructions);
  ProgramMetadata m;
  m.source_name = "demo.vekl";
  m.compiler_version = "0.1.0";
  m.register_count = 10;
  m.param_types["f"] = {BytecodeType::Int(), BytecodeType::Bool()};
  m.source_map = {{2, 3, 5}, {9, 4, 1}};
  m.swarm["main"] = SwarmEntry{1, 4, "quantum_sim", 2};
  m.exports["f"] = ExportEntry{1, 0, {BytecodeType::Int()}, BytecodeType::Float()};
  p.metadata = m;
  return p;
}

Bytes encode(const CompiledProgram& p) {
  auto r = encode_program(p);
  EXPECT_TRUE(r.ok());
  return r.ok() ? std::move(r).value() : Bytes{};
}

// --- layout ------------------------------------------------------------------

TEST(Codec, EmptyContainerIsFortyTwoBytes) {
  CompiledProgram p;
  p.content_hash = content_hash_of({});
  Bytes bytes = encode(p);
  ASSERT_EQ(bytes.size(), 42u);
  EXPECT_EQ(encoded_size(p), 42u);
  EXPECT_EQ(bytes[0], 1);
  EXPECT_EQ(bytes[41], 0);
  // BLAKE3 of the eight zero bytes of an empty instruction list.
  static const std::uint8_t kHash[32] = {
      0x71, 0xe0, 0xa9, 0x91, 0x73, 0x56, 0x49, 0x31, 0xc0, 0xb8, 0xac, 0xc5, 0x2d, 0x26, 0x85, 0xa8,
      0xe3, 0x9c, 0x64, 0xdc, 0x52, 0xe3, 0xd0, 0x23, 0x90, 0xfd, 0xac, 0x2a, 0x12, 0xb1, 0x55, 0xcb};
  EXPECT_EQ(std::memcmp(bytes.data() + 9, kHash, 32), 0);

  // Any hash, any version byte, trailing bytes: all decode.
  EXPECT_TRUE(decode_program(Wire().header(0).trailer().str()).ok());
  EXPECT_TRUE(decode_program(Wire().u8(7).u64(0).trailer().str()).ok());
  EXPECT_TRUE(decode_program(Wire().header(0).trailer().u32(99).str()).ok());
  auto r = decode_program(Wire().u8(7).u64(0).trailer().str());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().format_version, 7);
  EXPECT_FALSE(r.value().metadata.has_value());
}

TEST(Codec, InstructionBytes) {
  EXPECT_EQ(lower_hex(encode_instruction(LoadConst{1, Value::Int(-2)})),
            "00000000" "01000000" "02000000" "feffffffffffffff");
  EXPECT_EQ(lower_hex(encode_instruction(Break{})), "55000000");
  EXPECT_EQ(lower_hex(encode_instruction(Continue{})), "56000000");
  EXPECT_EQ(lower_hex(encode_instruction(Nop{})), "7d000000");
  EXPECT_EQ(lower_hex(encode_instruction(Barrier{})), "57000000" "00");
  EXPECT_EQ(lower_hex(encode_instruction(Barrier{std::string("b")})),
            "57000000" "01" "0100000000000000" "62");
  EXPECT_EQ(lower_hex(encode_instruction(Call{2, "f", {7}, 1000})),
            "53000000" "02000000" "0100000000000000" "66" "0100000000000000" "07000000"
            "e8030000");
  // An array of arrays of kind 3 is the tags 5, 5, 3.
  EXPECT_EQ(lower_hex(encode_instruction(AllocArray{1, 2, BytecodeType::nested(TypeKind::Int, 2)})),
            "5b000000" "01000000" "02000000" "01" "05000000" "05000000" "03000000");
  EXPECT_EQ(lower_hex(encode_instruction(Asm{5u, "t", "", false})),
            "7c000000" "01" "05000000" "0100000000000000" "74" "0000000000000000" "00");
  EXPECT_EQ(lower_hex(encode_instruction(TensorCreate{1, {2}, BytecodeType::Bool(), 0.5})),
            "23000000" "01000000" "0100000000000000" "0200000000000000" "04000000" "01"
            "000000000000e03f");
  // Object keys in ascending byte order, whatever order they were given in;
  // Contract: u16 id, then (u8, Value) pairs.
  Value obj = Value::Object({{"b", Value::Null()}, {"a", Value::Bool(true)}});
  EXPECT_EQ(lower_hex(encode_instruction(LoadConst{0, obj})),
            "00000000" "00000000" "06000000" "0200000000000000"
            "0100000000000000" "61" "01000000" "01"
            "0100000000000000" "62" "00000000");
  Value contract = Value::Contract(0x0102, {{9, Value::Handle("h")}});
  EXPECT_EQ(lower_hex(encode_instruction(LoadConst{0, contract})),
            "00000000" "00000000" "07000000" "0201" "0100000000000000" "09"
            "08000000" "0100000000000000" "68");
}

// Maps are written in ascending key order, so equal programs give equal bytes
// however their maps were filled.
TEST(Codec, MetadataMapsAreOrdered) {
  CompiledProgram a = sample_program(), b = sample_program();
  a.metadata->param_types["zeta"] = {};
  a.metadata->param_types["alpha"] = {};
  b.metadata->param_types["alpha"] = {};
  b.metadata->param_types["zeta"] = {};
  EXPECT_EQ(encode(a), encode(b));
}

// A reader accepts map entries in any order; a repeated key keeps the last.
TEST(Codec, MetadataMapsInAnyOrder) {
  Wire w;
  w.header(0).zeros(32).u8(1);                  // metadata present
  w.u8(0).u8(0).u8(0).u8(0);                    // four absent optionals
  w.u64(3);                                     // param_types: 3 entries
  w.text("z").u64(1).u32(3);
  w.text("a").u64(0);
  w.text("z").u64(2).u32(4).u32(1);
  w.u64(0).u64(0).u64(0);                       // source_map, swarm, exports
  auto r = decode_program(w.str());
  ASSERT_TRUE(r.ok()) << r.error().message;
  const auto& types = r.value().metadata->param_types;
  ASSERT_EQ(types.size(), 2u);
  EXPECT_EQ(types.at("a"), std::vector<BytecodeType>{});
  EXPECT_EQ(types.at("z"), (std::vector<BytecodeType>{BytecodeType::Bool(), BytecodeType::Float()}));
}

// The shapes of the u32-only variants, listed independently of the table that
// generates the code: a typo in the table shows up here.
TEST(Codec, FixedShapes) {
  const std::vector<std::pair<int, std::vector<int>>> kShapes = {
      {0, {85, 86, 125}},
      {1, {65, 79, 84, 118, 119, 123}},
      {2, {1, 7, 8, 10, 11, 12, 13, 14, 15, 16, 17, 18, 27, 41, 42, 52, 56, 57, 58, 59, 60, 67, 68,
           69, 70, 71, 72, 76, 88, 95, 101, 102, 103, 107, 115, 116, 120, 121, 122}},
      {3, {2,  3,  4,  5,  6,  9,  19, 20, 21,  22,  23,  24,  25,  26,  28,  29,  30,  31,
           32, 33, 36, 40, 48, 50, 51, 53, 54,  55,  61,  63,  66,  73,  74,  77,  78,  89,
           93, 94, 97, 99, 100, 104, 105, 106, 108, 109, 110, 111, 112, 114, 117}},
      {4, {34, 64, 75, 96, 98, 113}},
      {5, {80}},
  };
  std::vector<bool> seen(kOpcodeCount);
  testing::RandomProgram gen(1);
  for (const auto& [words, tags] : kShapes) {
    for (int tag : tags) {
      seen[tag] = true;
      // Any field values: the length depends on the shape alone.
      for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(encode_instruction(gen.instruction(tag)).size(), 4u + 4u * words)
            << opcode_name(static_cast<Opcode>(tag));
      }
    }
  }
  // The rest have variable-length or wider fields.
  for (std::uint32_t tag = 0; tag < kOpcodeCount; ++tag) {
    if (seen[tag]) continue;
    std::size_t n = 0;
    std::visit([&](const auto& v) { v.for_each_field_spec([&](const FieldSpec& s, const auto&) {
                                     n += s.type == "Reg" || s.type == "Target" || s.type == "U32";
                                   }); },
               gen.instruction(tag));
    std::size_t fields = 0;
    std::visit([&](const auto& v) { v.for_each_field([&](std::string_view, const auto&) { ++fields; }); },
               gen.instruction(tag));
    EXPECT_LT(n, fields) << opcode_name(static_cast<Opcode>(tag)) << " has only u32 fields";
  }
}

// --- round trips ---------------------------------------------------------------

TEST(Codec, EveryVariantRoundTrips) {
  testing::RandomProgram gen(42);
  for (std::uint32_t tag = 0; tag < kOpcodeCount; ++tag) {
    for (int round = 0; round < 20; ++round) {
      Instruction insn = gen.instruction(tag);
      CompiledProgram p;
      p.instructions = {insn};
      Bytes bytes = encode(p);
      ASSERT_EQ(bytes.size(), encoded_size(p));
      auto r = decode_program(std::span<const std::uint8_t>(bytes));
      ASSERT_TRUE(r.ok()) << opcode_name(static_cast<Opcode>(tag)) << ": " << r.error().message;
      ASSERT_EQ(r.value().instructions.size(), 1u);
      EXPECT_EQ(r.value().instructions[0].index(), tag);
      EXPECT_TRUE(r.value().instructions[0] == insn) << opcode_name(static_cast<Opcode>(tag));
      EXPECT_EQ(encode(r.value()), bytes);
    }
  }
}

TEST(Codec, RandomProgramsRoundTripByteExactly) {
  for (std::uint64_t seed = 0; seed < 300; ++seed) {
    testing::RandomProgram gen(seed);
    CompiledProgram p = gen.program(seed % 40);
    Bytes bytes = encode(p);
    ASSERT_EQ(bytes.size(), encoded_size(p));
    auto r = decode_program(std::span<const std::uint8_t>(bytes));
    ASSERT_TRUE(r.ok()) << "seed " << seed << ": " << r.error().message;
    EXPECT_TRUE(r.value() == p) << "seed " << seed;
    EXPECT_EQ(encode(r.value()), bytes) << "seed " << seed;
    EXPECT_TRUE(check_program(std::span<const std::uint8_t>(bytes)).ok());
  }
}

// Written piece by piece, the container is what encoding it whole gives,
// with the content hash computed from the list: for any way of cutting the
// list, into a buffer that held an earlier program, and with the marked
// instructions' ends where their last field sits.
TEST(Codec, PiecewiseEncoderEqualsWholeEncoding) {
  Bytes out = {9, 9, 9};
  std::mt19937_64 cuts(5);
  for (std::uint64_t seed = 0; seed < 200; ++seed) {
    testing::RandomProgram gen(seed);
    CompiledProgram p = gen.program(seed % 50);
    p.format_version = kFormatVersion;
    p.content_hash = content_hash_of(p.instructions);

    ProgramEncoder encoder(out);
    std::vector<std::size_t> ends;
    std::vector<std::size_t> expected_ends;
    std::size_t at = 0;
    std::size_t offset = 9;
    while (at < p.instructions.size()) {
      const std::size_t n = std::min<std::size_t>(cuts() % 7, p.instructions.size() - at);
      std::vector<std::uint32_t> marks;
      for (std::size_t i = 0; i < n; ++i) {
        offset += encode_instruction(p.instructions[at + i]).size();
        if (cuts() % 3 == 0) {
          marks.push_back(static_cast<std::uint32_t>(i));
          expected_ends.push_back(offset);
        }
      }
      encoder.append(std::span<const Instruction>(p.instructions).subspan(at, n), marks, ends);
      at += n;
    }
    EXPECT_EQ(encoder.count(), p.instructions.size());
    ASSERT_TRUE(encoder.finish(p.metadata).ok());
    EXPECT_EQ(out, encode(p)) << "seed " << seed;
    EXPECT_EQ(ends, expected_ends) << "seed " << seed;
  }
}

// The lowering adds instructions one at a time: those of plain u32 fields
// word by word, the others through the general encoding. Both, in any mix,
// give the bytes of the whole encoding, also across the steps by which the
// output grows; the room past what is written is out of bounds for reads
// and patches.
TEST(Codec, InstructionsAddedOneAtATimeEqualWholeEncoding) {
  Bytes out = {9, 9, 9};
  for (std::uint64_t seed = 0; seed < 100; ++seed) {
    testing::RandomProgram gen(seed);
    CompiledProgram p = gen.program(seed % 50);
    if (seed % 10 == 0) {
      for (std::uint32_t r = 0; r < 30000; ++r) p.instructions.push_back(Add{r, r + 1, r + 2});
    }
    p.format_version = kFormatVersion;
    p.content_hash = content_hash_of(p.instructions);

    ProgramEncoder encoder(out);
    std::size_t expected_offset = 9;
    for (const Instruction& insn : p.instructions) {
      const std::size_t offset = std::visit(
          [&](const auto& variant) {
            using T = std::decay_t<decltype(variant)>;
            if constexpr (kWordFields<T> >= 0) {
              if (seed % 2 == 0) return encoder.add_words(variant);
            }
            return encoder.add(insn);
          },
          insn);
      EXPECT_EQ(offset, expected_offset);
      EXPECT_EQ(encoder.u32_at(offset), insn.index());
      expected_offset += encode_instruction(insn).size();
    }
    EXPECT_THROW((void)encoder.u32_at(expected_offset), std::out_of_range);
    EXPECT_THROW(encoder.patch_u32(expected_offset - 3, 0), std::out_of_range);
    EXPECT_EQ(encoder.count(), p.instructions.size());
    ASSERT_TRUE(encoder.finish(p.metadata).ok());
    EXPECT_EQ(out, encode(p)) << "seed " << seed;
  }
}

// kWordFields says which instructions may be written word by word: exactly
// those whose every field is a register, a target or a plain u32.
TEST(Codec, WordFieldCountsFollowTheTable) {
  for (std::uint32_t tag = 0; tag < kOpcodeCount; ++tag) {
    const Instruction insn = testing::RandomProgram(1).instruction(tag);
    int words = 0;
    bool only_words = true;
    std::visit(
        [&](const auto& variant) {
          variant.for_each_field_spec([&](const FieldSpec& field, const auto&) {
            if (field.kind == FieldKind::Reg || field.kind == FieldKind::Target ||
                field.kind == FieldKind::U32) {
              ++words;
            } else {
              only_words = false;
            }
          });
        },
        insn);
    EXPECT_EQ(kWordFieldsByOpcode[tag], only_words ? words : -1)
        << opcode_name(static_cast<Opcode>(tag));
    if (only_words) {
      EXPECT_EQ(encode_instruction(insn).size(), 4u + 4u * words);
    }
  }
}

// A u32 patched after the append lands in the hash and the bytes as if it
// had been written so; patches outside the instructions are refused.
TEST(Codec, PiecewiseEncoderPatchesFixedFields) {
  CompiledProgram p;
  p.instructions = {Call{1, "f", {2, 3}, 1000}, Jump{4}};
  Bytes out;
  ProgramEncoder encoder(out);
  std::vector<std::size_t> ends;
  const std::uint32_t first[] = {0};
  encoder.append(p.instructions, first, ends);
  ASSERT_EQ(ends.size(), 1u);
  encoder.patch_u32(ends[0] - 4, 7);
  EXPECT_THROW(encoder.patch_u32(out.size() - 3, 7), std::out_of_range);
  EXPECT_THROW(encoder.patch_u32(0, 7), std::out_of_range);
  ASSERT_TRUE(encoder.finish(std::nullopt).ok());
  std::get<Call>(p.instructions[0]).max_depth = 7;
  p.content_hash = content_hash_of(p.instructions);
  EXPECT_EQ(out, encode(p));
}

// Instructions written in place from views of their fields, by the rows of
// the instruction table, are the bytes of the same instructions encoded
// whole; the offsets it reports and the table's fixed offsets point at the
// values written there.
TEST(Codec, InPlaceWriterFollowsTheTable) {
  const std::string_view keys[] = {"b", "a"};
  const std::uint32_t regs[] = {5, 6};
  CompiledProgram p;
  p.instructions = {
      LoadConst{1, Value::Null()},
      LoadConst{2, Value::Bool(true)},
      LoadConst{3, Value::Int(-2)},
      LoadConst{4, Value::Float(0.25)},
      LoadConst{5, Value::String("h\xC3\xA9")},
      Call{6, "f", {5, 6}, 1000},
      FuncDef{"main", {}, 0, 77},
      ArrayCreate{7, {5, 6}, BytecodeType::nested(TypeKind::Bool, 1)},
      ArrayCreate{8, {}, std::nullopt},
      ObjectCreate{9, {"b", "a"}, {5, 6}},
      FormatString{10, 11, {5, 6}},
      Sub{12, 5, 6},
      JumpIf{13, 14, 15},
      Loop{16, 17, 18, 19, 20},
      Jump{21},
  };
  p.content_hash = content_hash_of(p.instructions);
  Bytes out;
  ProgramEncoder encoder(out);
  encoder.emit<LoadConst>(1u, ScalarConstant::null());
  encoder.emit<LoadConst>(2u, ScalarConstant::boolean(true));
  encoder.emit<LoadConst>(3u, ScalarConstant::integer(-2));
  encoder.emit<LoadConst>(4u, ScalarConstant::real(0.25));
  encoder.emit<LoadConst>(5u, ScalarConstant::string("h\xC3\xA9"));
  const auto call = encoder.emit<Call>(6u, std::string_view("f"), std::span<const std::uint32_t>(regs), 1000u);
  const auto def = encoder.emit<FuncDef>(std::string_view("main"), std::span<const std::uint32_t>(), 0u, 77u);
  encoder.emit<ArrayCreate>(7u, std::span<const std::uint32_t>(regs),
                            std::optional<BytecodeType>(BytecodeType::nested(TypeKind::Bool, 1)));
  encoder.emit<ArrayCreate>(8u, std::span<const std::uint32_t>(), std::optional<BytecodeType>());
  encoder.emit<ObjectCreate>(9u, std::span<const std::string_view>(keys), std::span<const std::uint32_t>(regs));
  encoder.emit<FormatString>(10u, 11u, std::span<const std::uint32_t>(regs));
  const std::uint32_t sub_args[] = {5, 6};
  encoder.emit_words(Opcode::Sub, 12, sub_args);
  const auto branch = encoder.emit<JumpIf>(13u, 14u, 15u);
  const auto loop = encoder.emit<Loop>(16u, 17u, 18u, 19u, 20u);
  const auto jump = encoder.emit<Jump>(21u);
  // Call: dst, then the name's text, the args, max_depth.
  EXPECT_EQ(encoder.text_at(call.fields[1]), "f");
  EXPECT_EQ(encoder.u32_at(call.fields[3]), 1000u);
  EXPECT_EQ(encoder.text_at(def.fields[0]), "main");
  EXPECT_EQ(encoder.u32_at(def.fields[3]), 77u);
  EXPECT_EQ(encoder.u32_at(branch.offset + fixed_field_offset<JumpIf>("cond")), 13u);
  EXPECT_EQ(encoder.u32_at(branch.offset + fixed_field_offset<JumpIf>("then_target")), 14u);
  EXPECT_EQ(encoder.u32_at(branch.offset + fixed_field_offset<JumpIf>("else_target")), 15u);
  EXPECT_EQ(encoder.u32_at(loop.offset + fixed_field_offset<Loop>("body")), 18u);
  EXPECT_EQ(encoder.u32_at(loop.offset + fixed_field_offset<Loop>("end")), 19u);
  EXPECT_EQ(encoder.u32_at(loop.offset + fixed_field_offset<Loop>("max_iter")), 20u);
  EXPECT_EQ(encoder.u32_at(jump.offset + fixed_field_offset<Jump>("target")), 21u);
  EXPECT_EQ(branch.fields[2], branch.offset + fixed_field_offset<JumpIf>("else_target"));
  // A row that holds other than u32 fields is refused by number.
  EXPECT_THROW(encoder.emit_words(Opcode::Call, 1, sub_args), std::logic_error);
  ASSERT_TRUE(encoder.finish(std::nullopt).ok());
  EXPECT_EQ(lower_hex(out), lower_hex(encode(p)));
}

TEST(Codec, ContentHashCoversTheInstructionListBytes) {
  CompiledProgram p = sample_program();
  Bytes list = encode_instructions(p.instructions);
  Bytes whole = encode(p);
  // The list's bytes sit right after the version byte.
  ASSERT_GT(whole.size(), list.size());
  EXPECT_TRUE(std::equal(list.begin(), list.end(), whole.begin() + 1));
  EXPECT_EQ(std::memcmp(whole.data() + 1 + list.size(), p.content_hash.data(), 32), 0);
  CompiledProgram q = p;
  std::get<Add>(q.instructions[2]).rhs = 0;
  EXPECT_NE(content_hash_of(q.instructions), p.content_hash);
}

// --- errors --------------------------------------------------------------------
// Every value kind, with the edge field indices of a contract (0 and 255) and
// the edge ids, written out by hand; then the encoded program is cut at
// every byte. The hand-written layout says where each text's bytes lie: a
// cut there ends inside a text ("io error: "), any other cut inside a
// fixed-width field or a count.
TEST(Codec, EveryValueKindByHandAndCutAtEveryByte) {
  const Value contract_edges = Value::Contract(0xFFFF, {{0, Value::Null()}, {255, Value::String("x")}});
  const std::vector<Value> values = {
      Value::Null(),
      Value::Bool(false),
      Value::Bool(true),
      Value::Int(INT64_MIN),
      Value::Float(1.5),
      Value::String("h\xC3\xA9"),
      Value::Array({}),
      Value::Array({Value::Int(7), contract_edges}),
      Value::Object({{"k", Value::Array({})}, {"", Value::Null()}}),
      Value::Contract(0, {}),
      contract_edges,
      Value::Contract(1, {{0, Value::Contract(2, {{0, Value::Int(-1)}})}}),
      Value::Handle(""),
  };
  CompiledProgram p;
  for (std::size_t i = 0; i < values.size(); ++i) {
    p.instructions.push_back(LoadConst{static_cast<Reg>(i), values[i]});
  }
  p.content_hash = content_hash_of(p.instructions);

  Wire w;
  std::vector<std::pair<std::size_t, std::size_t>> texts;  // [first, end) of each text's bytes
  auto text = [&](std::string_view t) {
    w.u64(t.size());
    texts.push_back({w.str().size(), w.str().size() + t.size()});
    w.raw(t.data(), t.size());
  };
  auto load = [&](std::uint32_t dst, std::uint32_t kind) { w.u32(0).u32(dst).u32(kind); };
  // The contract of edges: id 0xFFFF, field 0 = Null, field 255 = String "x".
  auto edges = [&] { w.u32(7).u16(0xFFFF).u64(2).u8(0).u32(0).u8(255).u32(4); text("x"); };
  w.header(values.size());
  load(0, 0);
  load(1, 1), w.u8(0);
  load(2, 1), w.u8(1);
  load(3, 2), w.u64(std::uint64_t{1} << 63);
  load(4, 3), w.f64(1.5);
  load(5, 4), text("h\xC3\xA9");
  load(6, 5), w.u64(0);
  load(7, 5), w.u64(2).u32(2).u64(7), edges();
  load(8, 6), w.u64(2), text(""), w.u32(0), text("k"), w.u32(5).u64(0);  // keys ascending
  load(9, 7), w.u16(0).u64(0);
  load(10, 7), w.u16(0xFFFF).u64(2).u8(0).u32(0).u8(255).u32(4), text("x");
  load(11, 7), w.u16(1).u64(1).u8(0).u32(7).u16(2).u64(1).u8(0).u32(2).u64(UINT64_MAX);
  load(12, 8), text("");
  w.raw(p.content_hash.data(), p.content_hash.size()).u8(0);

  const std::string bytes = as_string(encode(p));
  ASSERT_EQ(lower_hex(Bytes(bytes.begin(), bytes.end())),
            lower_hex(Bytes(w.str().begin(), w.str().end())));
  auto decoded = decode_program(bytes);
  ASSERT_TRUE(decoded.ok()) << decoded.error().message;
  EXPECT_TRUE(decoded.value() == p);
  ASSERT_EQ(decoded.value().instructions.size(), values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_TRUE(std::get<LoadConst>(decoded.value().instructions[i]).value == values[i]) << i;
  }

  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    const bool in_text = std::any_of(texts.begin(), texts.end(), [&](const auto& t) {
      return t.first <= cut && cut < t.second;
    });
    EXPECT_EQ(decode_error(std::string_view(bytes).substr(0, cut)),
              in_text ? "io error: " : "io error: unexpected end of file")
        << "cut at " << cut;
  }
}


TEST(Codec, EveryPrefixFailsAtEndOfInput) {
  for (std::uint64_t seed : {1u, 2u, 3u}) {
    testing::RandomProgram gen(seed);
    CompiledProgram p = gen.program(30);
    p.metadata = sample_program().metadata;
    std::string bytes = as_string(encode(p));
    for (std::size_t n = 0; n < bytes.size(); ++n) {
      std::string msg = decode_error(std::string_view(bytes).substr(0, n));
      ASSERT_TRUE(msg == "io error: unexpected end of file" || msg == "io error: ")
          << "prefix " << n << ": " << msg;
    }
    EXPECT_EQ(decode_error(std::string_view(bytes).substr(0, bytes.size() - 1)),
              "io error: unexpected end of file");
    EXPECT_EQ(decode_error(bytes), "<decoded>");
  }
  EXPECT_EQ(decode_error(""), "io error: unexpected end of file");
}

TEST(Codec, ErrorTexts) {
  // Text cut inside its bytes.
  EXPECT_EQ(decode_error(Wire().header(1).u32(81).u64(5).raw("ab", 2).str()), "io error: ");
  // Enumeration tags out of range.
  EXPECT_EQ(decode_error(Wire().header(1).u32(126).str()),
            "invalid value: integer `126`, expected variant index 0 <= i < 126");
  EXPECT_EQ(decode_error(Wire().header(1).u32(0xffffffffu).str()),
            "invalid value: integer `4294967295`, expected variant index 0 <= i < 126");
  EXPECT_EQ(decode_error(Wire().header(1).u32(0).u32(1).u32(9).str()),
            "invalid value: integer `9`, expected variant index 0 <= i < 9");
  EXPECT_EQ(decode_error(Wire().header(1).u32(91).u32(1).u32(2).u8(1).u32(5).u32(6).str()),
            "invalid value: integer `6`, expected variant index 0 <= i < 6");
  // Optional markers.
  EXPECT_EQ(decode_error(Wire().header(0).trailer(2).str()), "tag for enum is not valid, found 2");
  EXPECT_EQ(decode_error(Wire().header(1).u32(87).u8(255).str()),
            "tag for enum is not valid, found 255");
  // Bools.
  EXPECT_EQ(decode_error(Wire().header(1).u32(0).u32(1).u32(1).u8(2).str()),
            "invalid u8 while decoding bool, expected 0 or 1, found 2");
  EXPECT_EQ(decode_error(Wire().header(1).u32(124).u8(0).text("").text("").u8(200).str()),
            "invalid u8 while decoding bool, expected 0 or 1, found 200");
}

TEST(Codec, Utf8ErrorTexts) {
  auto with_name = [](std::string_view name) {
    return decode_error(Wire().header(1).u32(87).u8(1).text(name).trailer().str());
  };
  const std::string p = "string is not valid utf8: ";
  EXPECT_EQ(with_name("a\xff" "b"), p + "invalid utf-8 sequence of 1 bytes from index 1");
  EXPECT_EQ(with_name("\xc0\x80"), p + "invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ(with_name("\xed\xa0\x80"), p + "invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ(with_name("\xe2\x28\xa1"), p + "invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ(with_name("ok\xe2\x82("), p + "invalid utf-8 sequence of 2 bytes from index 2");
  EXPECT_EQ(with_name("\xf0\x9f\x98("), p + "invalid utf-8 sequence of 3 bytes from index 0");
  EXPECT_EQ(with_name("\xf4\x90\x80\x80"), p + "invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ(with_name("12345678\xe2\x82"), p + "incomplete utf-8 byte sequence from index 8");
  EXPECT_EQ(with_name("\xf0"), p + "incomplete utf-8 byte sequence from index 0");
  EXPECT_EQ(with_name("\x80"), p + "invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ(with_name("\xe2\x82\xac \xf0\x9f\x98\x80 \xc3\xa9 \xef\xbf\xbf \xf4\x8f\xbf\xbf"),
            "<decoded>");
}

TEST(Codec, ErrorNamesTheField) {
  auto field = [](std::string_view bytes) {
    auto r = decode_program(bytes);
    return r.ok() ? std::string("<decoded>") : r.error().field;
  };
  EXPECT_EQ(field(""), "format_version");
  EXPECT_EQ(field(Wire().u8(1).str()), "instructions");
  EXPECT_EQ(field(Wire().header(2).u32(85).u32(83).u32(1).u64(1).raw("\xff", 1).str()),
            "instructions[1].Call.name");
  EXPECT_EQ(field(Wire().header(1).u32(200).str()), "instructions[0]");
  EXPECT_EQ(field(Wire().header(0).zeros(31).str()), "content_hash");
  EXPECT_EQ(field(Wire().header(0).trailer(1).u8(0).u8(0).u8(0).u8(1).str()),
            "metadata.register_count");
}

// Forged counts reserve a bounded amount and fail when the input runs out.
TEST(Codec, ForgedCountsFailWithoutReserving) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(decode_error(Wire().header(std::uint64_t{1} << 63).str()),
            "io error: unexpected end of file");
  EXPECT_EQ(decode_error(Wire().header(~std::uint64_t{0}).u32(85).u32(85).str()),
            "io error: unexpected end of file");
  // Lists, texts, Values, maps.
  EXPECT_EQ(decode_error(Wire().header(1).u32(81).u64(~std::uint64_t{0}).str()), "io error: ");
  EXPECT_EQ(decode_error(Wire().header(1).u32(81).text("f").u64(std::uint64_t{1} << 62).str()),
            "io error: unexpected end of file");
  EXPECT_EQ(decode_error(Wire().header(1).u32(82).text("m").u64(std::uint64_t{1} << 60).str()),
            "io error: unexpected end of file");
  EXPECT_EQ(decode_error(Wire().header(1).u32(0).u32(0).u32(5).u64(std::uint64_t{1} << 62).str()),
            "io error: unexpected end of file");
  EXPECT_EQ(decode_error(Wire().header(0).trailer(1).u8(0).u8(0).u8(0).u8(0).u64(1ull << 63).str()),
            "io error: unexpected end of file");
  // Many nested arrays, each claiming a huge count: the reservation
  // allowance is shared, so this stays small and fast.
  Wire w;
  w.header(1).u32(0).u32(0);
  for (int i = 0; i < 20000; ++i) w.u32(5).u64(std::uint64_t{1} << 40);
  EXPECT_EQ(decode_error(w.str()), "io error: unexpected end of file");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// The reading-only pass must reach the same verdict as the full decode on
// damaged input too: flip, drop and insert bytes of valid programs.
TEST(Codec, CheckingAgreesWithDecodingOnDamagedInput) {
  std::mt19937_64 rng(7);
  for (std::uint64_t seed = 0; seed < 60; ++seed) {
    testing::RandomProgram gen(seed);
    std::string good = as_string(encode(gen.program(12)));
    for (int round = 0; round < 40; ++round) {
      std::string bad = good;
      std::size_t at = rng() % bad.size();
      switch (rng() % 3) {
        case 0: bad[at] = static_cast<char>(rng()); break;
        case 1: bad.erase(at, 1 + rng() % 4); break;
        default: bad.insert(at, 1, static_cast<char>(rng() % 8)); break;
      }
      auto full = decode_program(bad);
      auto check = check_program(bad);
      ASSERT_EQ(full.ok(), check.ok()) << "seed " << seed << " round " << round;
      if (!full.ok()) {
        EXPECT_EQ(full.error().message, check.error().message);
        EXPECT_EQ(full.error().field, check.error().field);
      }
    }
  }
}

// Handing instructions out one at a time is the same decoding: the visitor
// sees the whole decoder's list, in order, and the rest of the program is
// the same; on damaged input the error is the same, after a gapless run of
// indices from 0.
TEST(Codec, DecodingEachInstructionAgreesWithDecodingTheWhole) {
  std::mt19937_64 rng(17);
  for (std::uint64_t seed = 0; seed < 60; ++seed) {
    testing::RandomProgram gen(seed);
    const CompiledProgram p = gen.program(seed % 30);
    const std::string good = as_string(encode(p));
    for (int round = 0; round < 20; ++round) {
      std::string bytes = good;
      if (round > 0) bytes[rng() % bytes.size()] = static_cast<char>(rng());
      auto whole = decode_program(bytes);
      std::vector<Instruction> seen;
      auto each = decode_program_each(
          std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
          [&](std::uint64_t index, const Instruction& insn) {
            EXPECT_EQ(index, seen.size());
            seen.push_back(insn);
          });
      ASSERT_EQ(whole.ok(), each.ok()) << "seed " << seed << " round " << round;
      if (!whole.ok()) {
        EXPECT_EQ(whole.error().message, each.error().message);
        EXPECT_EQ(whole.error().field, each.error().field);
        continue;
      }
      EXPECT_TRUE(each.value().instructions.empty());
      EXPECT_TRUE(seen == whole.value().instructions) << "seed " << seed;
      CompiledProgram rest = whole.value();
      rest.instructions.clear();
      EXPECT_TRUE(rest == each.value()) << "seed " << seed;
    }
  }
}

// --- depth ---------------------------------------------------------------------

// Runs `body` on a thread with a small stack: anything that recursed per
// nesting level would overflow it.
void on_small_stack(void (*body)()) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 256 * 1024);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr, [](void* f) -> void* {
              reinterpret_cast<void (*)()>(f)();
              return nullptr;
            }, reinterpret_cast<void*>(body)), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

constexpr int kDeep = 1000000;

void deep_values() {
  // LoadConst r0 with Array[Object{"k": Contract(1){2: ... Null}}] nested
  // a million levels in total, then a type nested a million levels.
  Wire w;
  w.header(2).u32(0).u32(0);
  for (int i = 0; i < kDeep; ++i) {
    switch (i % 3) {
      case 0: w.u32(5).u64(1); break;
      case 1: w.u32(6).u64(1).text("k"); break;
      default: w.u32(7).u16(1).u64(1).u8(2); break;
    }
  }
  w.u32(0);
  w.u32(90).u32(1).u64(0).u8(1);
  for (int i = 0; i < kDeep; ++i) w.u32(5);
  w.u32(3);
  w.trailer();

  auto decoded = decode_program(w.str());
  ASSERT_TRUE(decoded.ok()) << decoded.error().message;
  ASSERT_TRUE(check_program(w.str()).ok());
  const CompiledProgram& p = decoded.value();
  EXPECT_EQ(std::get<ArrayCreate>(p.instructions[1]).elem_type->array_depth(),
            std::uint64_t{kDeep});
  {
    CompiledProgram copy = p;  // deep copy
    EXPECT_TRUE(copy == p);    // deep compare
    std::get<ArrayCreate>(copy.instructions[1]).elem_type = BytecodeType::Int();
    EXPECT_FALSE(copy == p);
  }
  auto bytes = encode_program(p);
  ASSERT_TRUE(bytes.ok());
  EXPECT_EQ(as_string(bytes.value()), w.str());
  // Walk down to the innermost Null.
  const Value* v = &std::get<LoadConst>(p.instructions[0]).value;
  int depth = 0;
  while (v->kind() != ValueKind::Null) {
    switch (v->kind()) {
      case ValueKind::Array: v = &v->as_array()[0]; break;
      case ValueKind::Object: v = &v->as_object()[0].value; break;
      default: v = &v->contract_fields()[0].value; break;
    }
    ++depth;
  }
  EXPECT_EQ(depth, kDeep);
}  // destroyed here, still on the small stack

TEST(Codec, MillionLevelNestingOnSmallStack) { on_small_stack(deep_values); }

}  // namespace
}  // namespace quarn::core
