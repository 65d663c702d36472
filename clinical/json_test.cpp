#include "clinical/json.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace quarn::clinical {
namespace {

// The canonical text of `text`, or "ERROR" when it does not parse.
std::string canon(std::string_view text, int max_depth = kMaxJsonDepth) {
  auto doc = parse_json(text, max_depth);
  if (!doc.ok()) return "ERROR";
  std::string out;
  write_json(doc.value(), out);
  return out;
}

// A double as the reader's input: seventeen significant digits always read
// back exactly, and "e" keeps even a whole number a double.
std::string canon_double(double v) {
  char buf[40];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, 16);
  return std::string(buf, r.ptr);
}

std::string nested(int depth, std::string_view open = "[", std::string_view close = "]") {
  std::string s;
  for (int i = 0; i < depth; ++i) s += open;
  for (int i = 0; i < depth; ++i) s += close;
  return s;
}

TEST(JsonReader, RoundTrips) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"null", "null"},
      {" \t\r\n true \n", "true"},
      {"false", "false"},
      {"[]", "[]"},
      {"{}", "{}"},
      {"[1, [2, {}], []]", "[1,[2,{}],[]]"},
      // Keys in byte order at every depth; the last of repeated keys wins.
      {R"({"type": "x", "end": 2, "start": 1, "text": "t"})",
       R"({"end":2,"start":1,"text":"t","type":"x"})"},
      {R"({"b": {"d": 1, "c": 2}, "a": [{"z": 0, "y": 1}]})",
       R"({"a":[{"y":1,"z":0}],"b":{"c":2,"d":1}})"},
      {R"({"a": 1, "b": 2, "a": 3})", R"({"a":3,"b":2})"},
      {R"({"a": 1, "a": {"x": 1}, "a": [true]})", R"({"a":[true]})"},
      {R"({"ab": 1, "a": 2, "B": 3, "\u00e9": 4, "": 5})", R"({"":5,"B":3,"a":2,"ab":1,"é":4})"},
      // Numbers: unsigned, signed, otherwise the shortest double.
      {"[0, 18446744073709551615, -1, -9223372036854775808]",
       "[0,18446744073709551615,-1,-9223372036854775808]"},
      {"[18446744073709551616, -9223372036854775809]",
       "[1.8446744073709552e19,-9.223372036854776e18]"},
      {"[1.5, 0.1, 1e2, 1E-2, 2.50, 1e22, -0.0, -0, 5e-324, 1e-400, -1e-400]",
       "[1.5,0.1,100.0,0.01,2.5,1e22,-0.0,0,5e-324,0.0,-0.0]"},
      {"[1.7976931348623157e308]", "[1.7976931348623157e308]"},
      // Escapes as written; everything else as its UTF-8 bytes.
      {R"(["\"\\\/\b\f\n\r\t\u0000\u001f\u007f\u00e9\ud83d\ude00 é"])",
       "[\"\\\"\\\\/\\b\\f\\n\\r\\t\\u0000\\u001f\x7f\xc3\xa9\xf0\x9f\x98\x80 \xc3\xa9\"]"},
  };
  for (const Case& c : cases) EXPECT_EQ(canon(c.in), c.out) << c.in;
}

TEST(JsonReader, Refusals) {
  for (const char* bad : {"", " ", "[1, 2] x", "[1,]", "{\"a\" 1}", "{a: 1}", "'a'", "01", "+1",
                          "1.", ".5", "NaN", "Infinity", "1e400", "-1e400", "[1e309]", "\"\t\"",
                          "\"\\x\"", "\"\\ud800\"", "\"\\udc00\"", "\"\\ud800\\u0041\"",
                          "/* c */ 1", "1 // c", "\xEF\xBB\xBF[]", "\"\xFF\"", "\"\xC0\xAF\"",
                          "[1] [2]", "nul", "[", "{\"a\":1", "\v1", "\f1"}) {
    EXPECT_EQ(canon(bad), "ERROR") << bad;
  }
  // nlohmann would take a NUL byte for the end of the text.
  for (std::string with_nul : {std::string("[1]\0", 4), std::string("[1]\0x", 5),
                               std::string("\0", 1), std::string("\"a\0\"", 4)}) {
    EXPECT_EQ(canon(with_nul), "ERROR");
  }
}

TEST(JsonReader, NestingLimit) {
  EXPECT_EQ(canon(nested(127)), nested(127));
  EXPECT_EQ(canon(nested(128)), "ERROR");
  EXPECT_EQ(canon(nested(128), 128), nested(128));
  EXPECT_EQ(canon(nested(129), 128), "ERROR");
  std::string objects;
  for (int i = 0; i < 127; ++i) objects += "{\"k\":";
  objects += "1";
  objects += std::string(127, '}');
  EXPECT_EQ(canon(objects), objects);
  EXPECT_EQ(canon("[" + objects + "]"), "ERROR");
  // Far deeper than any limit: refused without exhausting the stack.
  EXPECT_EQ(canon(std::string(1'000'000, '[')), "ERROR");
  auto err = parse_json(nested(128));
  ASSERT_FALSE(err.ok());
  EXPECT_EQ(err.error().message, "nesting deeper than 127 levels");
}

TEST(JsonReader, TapeShape) {
  auto doc = parse_json(R"({"a": [1, "xy"], "b": null})");
  ASSERT_TRUE(doc.ok());
  const auto& n = doc.value().nodes;
  ASSERT_EQ(n.size(), 7u);
  EXPECT_EQ(n[0].kind(), JsonKind::Object);
  EXPECT_EQ(n[0].size(), 2u);       // members
  EXPECT_EQ(n[0].payload, 7u);      // end of subtree
  EXPECT_EQ(n[1].kind(), JsonKind::Key);
  EXPECT_EQ(doc.value().text(n[1]), "a");
  EXPECT_EQ(n[2].kind(), JsonKind::Array);
  EXPECT_EQ(n[2].size(), 2u);
  EXPECT_EQ(n[2].payload, 5u);
  EXPECT_EQ(n[3].kind(), JsonKind::Unsigned);
  EXPECT_EQ(doc.value().text(n[4]), "xy");
  EXPECT_EQ(n[6].kind(), JsonKind::Null);
}

TEST(JsonReader, TopLevelString) {
  auto get = [](std::string_view text) -> std::string {
    auto r = top_level_string(text, "hash", 128);
    if (!r.ok()) return "ERROR";
    return r.value() ? "=" + *r.value() : "NONE";
  };
  EXPECT_EQ(get(R"({"hash": "ab"})"), "=ab");
  EXPECT_EQ(get(R"({"x": {"hash": "no"}, "hash": "yes"})"), "=yes");
  EXPECT_EQ(get(R"({"x": {"hash": "no"}})"), "NONE");
  EXPECT_EQ(get(R"([{"hash": "no"}])"), "NONE");
  EXPECT_EQ(get(R"({"hash": 5})"), "NONE");
  EXPECT_EQ(get(R"({"hash": ["a"]})"), "NONE");
  EXPECT_EQ(get(R"({"hash": {"hash": "a"}})"), "NONE");
  EXPECT_EQ(get(R"({"hash": "a", "hash": 1})"), "NONE");
  EXPECT_EQ(get(R"({"hash": 1, "hash": "b"})"), "=b");
  EXPECT_EQ(get(R"({"hash": "a", "other": "b"})"), "=a");
  EXPECT_EQ(get(R"({"hash": "\u0041"})"), "=A");
  EXPECT_EQ(get(R"("hash")"), "NONE");
  EXPECT_EQ(get(R"({"hash": "a"} x)"), "ERROR");
  EXPECT_EQ(get("{"), "ERROR");
  EXPECT_EQ(get("[" + nested(127) + "]"), "NONE");
  EXPECT_EQ(get("[" + nested(128) + "]"), "ERROR");
}

// The reader must accept exactly what nlohmann's strict SAX parser accepts,
// and build the same document from it.
void expect_same_as_reference(std::string_view text, int max_depth = kMaxJsonDepth) {
  auto fast = parse_json(text, max_depth);
  auto ref = parse_json_reference(text, max_depth);
  ASSERT_EQ(fast.ok(), ref.ok()) << text << " / " << (fast.ok() ? ref.error().message : fast.error().message);
  if (fast.ok()) {
    EXPECT_EQ(fast.value().nodes, ref.value().nodes) << text;
    EXPECT_EQ(fast.value().strings, ref.value().strings) << text;
  }
}

TEST(JsonReader, AgreesWithNlohmann) {
  for (const char* text : {
           "null", " true ", "[1,[2,{}],[]]", R"({"a":1,"a":{"b":[null,false]}})", "0", "-0",
           "18446744073709551615", "18446744073709551616", "-9223372036854775808",
           "-9223372036854775809", "1.5", "1e400", "-1e400", "1e-400", "5e-324", "2.2250738585072014e-308",
           "123456789012345678901234567890", "0.1e1", "1E+2", "1e-2", "01", "1.", ".1", "-", "--1",
           "+1", "1e", "1e+", "[1,]", "[,1]", "{,}", "{\"a\"}", "{\"a\":}", "{\"a\":1,}", "[1 2]",
           R"("\u00e9\ud83d\ude00\/\b\f\n\r\t\"\\")", R"("\ud800")", R"("\udc00")",
           R"("\ud800\u0041")", R"("\ud800\")", R"("\u12")", R"("\u12G4")", R"("\x")", "\"\t\"",
           "\"\x7f\"", "\"\xc3\xa9\"", "\"\xc3\"", "\"\xe0\x80\x80\"", "\"\xed\xa0\x80\"",
           "\"\xf4\x90\x80\x80\"", "\"\xf0\x90\x80\x80\"", "\"\xc0\xaf\"", "\"\xff\"", "\xc3\xa9",
           "tru", "truex", "nul", "nullnull", "[true,false,null]", "\xEF\xBB\xBF[]", "[1]x", "[] []",
           "{\"\":0}", "\"", "[", "]", "{", "}", "", "  ", "\v1", "[1e309]", "[-1e309]",
           "[0.0000000000000000000000000000000000000000000000000000000000000000000000001e-300]"}) {
    expect_same_as_reference(text);
  }
  std::string with_nul("[1]\0", 4);
  expect_same_as_reference(with_nul);
  expect_same_as_reference(nested(127));
  expect_same_as_reference(nested(128));
  expect_same_as_reference(nested(128), 128);
  expect_same_as_reference(std::string(100000, '['));
}

TEST(JsonReader, AgreesWithNlohmannOnMutations) {
  const std::string seeds[] = {
      R"([{"text": "pain", "type": "symptom", "start": 0, "end": 4}, -1.5e3, true, null])",
      R"({"a\n": ["\u00e9", {"b": [[], {}]}], "c": 18446744073709551615})",
      "\"caf\xc3\xa9 \xf0\x9f\x98\x80\"",
  };
  const std::string inserts[] = {"{", "}", "[", "]", ",", ":", "\"", "\\", "u", "1", "-", ".",
                                 "e", "E", "+", "0", " ", "\n", "\x01", "\xc3", "\xa9", "\xed",
                                 "\xa0", "t", "n", "\\u", "d8", "dc"};
  std::mt19937 rng(7);
  for (int round = 0; round < 20000; ++round) {
    std::string text = seeds[rng() % 3];
    int edits = 1 + static_cast<int>(rng() % 3);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      std::size_t at = rng() % text.size();
      switch (rng() % 3) {
        case 0: text.erase(at, 1); break;
        case 1: text.insert(at, inserts[rng() % std::size(inserts)]); break;
        default: text[at] = inserts[rng() % std::size(inserts)][0]; break;
      }
    }
    expect_same_as_reference(text);
    if (HasFatalFailure()) return;
  }
}

// A written double reads back through this reader as a double with the same
// bits, the sign of zero included, for values of every exponent range.
TEST(JsonWriter, DoublesReadBackAsTheSameDouble) {
  std::mt19937_64 rng(7);
  std::vector<double> values = {0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308,
                                1.7976931348623157e308, 18446744073709551616.0, 1e16, 1.0, 100.0};
  for (int i = 0; i < 100000; ++i) {
    double v = std::bit_cast<double>(rng());
    if (std::isfinite(v)) values.push_back(v);
  }
  for (double v : values) {
    std::string text = canon("[" + canon_double(v) + "]");
    auto doc = parse_json(text);
    ASSERT_TRUE(doc.ok()) << text;
    const JsonNode& n = doc.value().nodes[1];
    ASSERT_EQ(n.kind(), JsonKind::Double) << text;
    ASSERT_EQ(n.payload, std::bit_cast<std::uint64_t>(v)) << text;
  }
}

TEST(JsonWriter, Strings) {
  std::string out;
  write_json_string(std::string("a\"b\\c/\x01\x1f\x7f\xe2\x80\xa8\0z", 14), out);
  EXPECT_EQ(out, "\"a\\\"b\\\\c/\\u0001\\u001f\x7f\xe2\x80\xa8\\u0000z\"");
  out.clear();
  write_json_unsigned(18446744073709551615ull, out);
  EXPECT_EQ(out, "18446744073709551615");
}

}  // namespace
}  // namespace quarn::clinical
