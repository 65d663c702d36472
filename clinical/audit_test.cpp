#include "clinical/audit.h"

#include <gtest/gtest.h>

#include <string>

namespace quarn::clinical {
namespace {

std::string create(std::string_view note_id, std::string_view entities, std::uint64_t ts) {
  auto r = create_audit(note_id, entities, ts);
  return r.ok() ? r.value() : "ERROR: " + r.error().message;
}

std::string verify(std::string_view audit, std::string_view entities) {
  auto r = verify_audit(audit, entities);
  if (r.ok()) return r.value() ? "true" : "false";
  return r.error() == VerifyError::InvalidJson ? "Invalid audit JSON" : "No hash in audit";
}

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(Blake3, KnownDigests) {
  EXPECT_EQ(blake3_hex(""), "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262");
  EXPECT_EQ(blake3_hex("abc"), "6437b3ac38465133ffb63b75273a8db548c558465d79db03fd359c6cd5bd9d85");
}

TEST(Audit, RecordLayout) {
  const std::string entities =
      R"([{"text": "diabetes", "type": "condition", "start": 12, "end": 20}])";
  EXPECT_EQ(create("note-123", entities, 1234567890),
            R"({"entities":[{"end":20,"start":12,"text":"diabetes","type":"condition"}],"hash":")" +
                blake3_hex(entities) + R"(","note_id":"note-123","timestamp":1234567890})");
  EXPECT_EQ(create("", "", 0), R"({"entities":null,"hash":")" + blake3_hex("") +
                                   R"(","note_id":"","timestamp":0})");
  EXPECT_EQ(create("a\"b\n", "[1, 2] x", 18446744073709551615ull),
            R"({"entities":null,"hash":")" + blake3_hex("[1, 2] x") +
                R"(","note_id":"a\"b\n","timestamp":18446744073709551615})");
}

TEST(Audit, EntitiesNestingAndTheRecordsOwnLevel) {
  // The deepest entities accepted make a record one level deeper, which
  // still verifies.
  std::string deep = create("n", nested(127), 1);
  EXPECT_NE(deep.find(nested(127)), std::string::npos);
  EXPECT_EQ(verify(deep, nested(127)), "true");
  EXPECT_NE(create("n", nested(128), 1).find("\"entities\":null"), std::string::npos);
  // A hand-made record deeper than any written is refused.
  EXPECT_EQ(verify("{\"hash\":\"x\",\"e\":" + nested(128) + "}", "x"), "Invalid audit JSON");
}

TEST(Audit, Verification) {
  const std::string entities = R"([{"text":"pain"}])";
  std::string record = create("n", entities, 5);
  EXPECT_EQ(verify(record, entities), "true");
  EXPECT_EQ(verify(record, entities + " "), "false");
  EXPECT_EQ(verify(record, R"([{"text": "pain"}])"), "false");
  EXPECT_EQ(verify(create("n", "not json", 5), "not json"), "true");
  // Only the hash counts; other fields may change or go.
  EXPECT_EQ(verify(R"({"hash":")" + blake3_hex("x") + R"("})", "x"), "true");
  std::string upper = blake3_hex("x");
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(verify(R"({"hash":")" + upper + R"("})", "x"), "false");
  EXPECT_EQ(verify(R"({"hash":""})", ""), "false");
  EXPECT_EQ(verify("[]", "x"), "No hash in audit");
  EXPECT_EQ(verify(R"({"hash":5})", "x"), "No hash in audit");
  EXPECT_EQ(verify("{}", "x"), "No hash in audit");
  EXPECT_EQ(verify("{", "x"), "Invalid audit JSON");
  EXPECT_EQ(verify("", "x"), "Invalid audit JSON");
  EXPECT_EQ(verify(record + "x", entities), "Invalid audit JSON");
}

TEST(Audit, NoteIdMustBeUtf8) {
  EXPECT_EQ(create("\xFF", "[]", 0), "ERROR: note_id is not valid UTF-8");
  std::string odd = create("caf\xC3\xA9 \xE2\x80\xA8", "[]", 0);
  EXPECT_EQ(verify(odd, "[]"), "true");
}

}  // namespace
}  // namespace quarn::clinical
