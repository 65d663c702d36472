// A wide net under the compiler: the outcomes of 200,000 generated programs
// and 200,000 broken copies of such programs, recorded from a build whose
// outcomes were known to be right. A rewrite of the front end must give
// every one of them again, byte for byte and error text for error text.
//
// The programs are not stored: they are made again from the seed below, so
// the record is only digests. tests/golden/compile_net.txt holds one line per
// batch of kBatch cases:
//   <family> <first case> <digest of cases 0..99> <digest of 100..199> ...
// Each digest covers kGroup consecutive cases, so a difference points at one
// group of a hundred programs; compile those with an older build to find the
// case. The test only checks. To write the record again, from a build whose
// outcomes are known to be right:
//   QUARN_RECORD_NET=1 build/quarn_compiler/quarn_compiler_tests --gtest_filter='CompileNet.*'
#include "quarn_compiler/compile.h"
#include "quarn_compiler/source_generator.h"
#include "quarn_core/text.h"

#include <blake3.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quarn::compiler {
namespace {

const std::filesystem::path kRecord =
    std::filesystem::path(__FILE__).parent_path().parent_path() / "tests/golden/compile_net.txt";

constexpr std::uint64_t kSeed = 0x5175'6172'6e4e'6574;  // fixed: the record depends on it
constexpr int kCasesPerFamily = 200'000;
constexpr int kBatch = 1000;
constexpr int kGroup = 100;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kBatchStride = 25;  // under sanitizers every 25th batch only
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr int kBatchStride = 25;
#else
constexpr int kBatchStride = 1;
#endif
#else
constexpr int kBatchStride = 1;
#endif

using testing::SplitMix;

std::uint32_t below(SplitMix& r, std::size_t n) { return r.next(static_cast<std::uint32_t>(n)); }

bool is_word_byte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c >= 0x80;
}

// The text cut into tokens the way a writer sees them: words (with any
// non-ASCII letters), string literals, comments, runs of white space and
// single punctuation characters. Only for placing the breaks; it never
// splits a UTF-8 sequence.
std::vector<std::string_view> tokens_of(std::string_view s) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < s.size()) {
    const std::size_t start = i;
    const auto c = static_cast<unsigned char>(s[i]);
    if (is_word_byte(c)) {
      while (i < s.size() && is_word_byte(static_cast<unsigned char>(s[i]))) ++i;
    } else if (c == '"') {
      for (++i; i < s.size() && s[i] != '"'; ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) ++i;
      }
      if (i < s.size()) ++i;
    } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '/') {
      while (i < s.size() && s[i] != '\n') ++i;
    } else if (c == ' ' || c == '\n' || c == '\t' || c == '\r') {
      while (i < s.size() && (s[i] == ' ' || s[i] == '\n' || s[i] == '\t' || s[i] == '\r')) ++i;
    } else {
      ++i;
    }
    out.push_back(s.substr(start, i - start));
  }
  return out;
}

bool is_blank(std::string_view t) { return t[0] == ' ' || t[0] == '\n' || t[0] == '\t' || t[0] == '\r'; }

std::string joined(const std::vector<std::string_view>& tokens) {
  std::string out;
  for (std::string_view t : tokens) out.append(t);
  return out;
}

// Local names v0, v1, ... written with a Greek or accented first letter:
// still letters, so the program stays valid.
std::string with_unicode_names(std::string_view text, SplitMix& r) {
  static constexpr std::string_view kLetters[] = {"\u03bd", "\u00e9", "\u0436", "\u00df"};
  std::string_view letter = kLetters[below(r, std::size(kLetters))];
  std::string out;
  for (std::string_view t : tokens_of(text)) {
    if (t.size() > 1 && t[0] == 'v' && t[1] >= '0' && t[1] <= '9') {
      out.append(letter).append(t.substr(1));
    } else {
      out.append(t);
    }
  }
  return out;
}

// A line comment after some line breaks, some with non-ASCII text.
std::string with_comments(std::string_view text, SplitMix& r) {
  static constexpr std::string_view kComments[] = {"// note", "// caf\u00e9 \u2014 \u03bb x",
                                                   "//", "// ;}{)(\"", "///**/"};
  std::string out;
  for (char c : text) {
    out.push_back(c);
    if (c == '\n' && below(r, 3) == 0) {
      out.append(below(r, 4), ' ').append(kComments[below(r, std::size(kComments))]).push_back('\n');
    }
  }
  return out;
}

// The whole program on one line.
std::string on_one_line(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == '\n') c = ' ';
  }
  return out;
}

// Statement forms that no generated program holds: prefix operators at the
// start of a statement, casts, contracts, assembly without operands.
std::string with_rare_statements(std::string_view text, SplitMix& r) {
  static constexpr std::string_view kStatements[] = {
      "-1;", "!true;", "-(2 * 3);", "let c = 3 as float;", "let d = {1: {@0: 2}};",
      "asm(\"nop\");", "let e = [1, 2][0] as int;", "!(1 < 2) || false;", "(4);",
      "let s = \"\u00fcber \\u{48}\";"};
  std::string out;
  std::size_t from = 0;
  for (std::size_t at = text.find(" {\n"); at != std::string_view::npos; at = text.find(" {\n", at + 1)) {
    out.append(text.substr(from, at + 3 - from));
    from = at + 3;
    if (below(r, 2) == 0) out.append(kStatements[below(r, std::size(kStatements))]).push_back('\n');
  }
  out.append(text.substr(from));
  return out;
}

std::string valid_case(int index) {
  SplitMix choices(kSeed + static_cast<std::uint64_t>(index));
  std::string text = testing::generate_program(choices, testing::ProgramSize::Small);
  SplitMix r(kSeed ^ (0x9E37'79B9ull * static_cast<std::uint64_t>(index + 1)));
  switch (index % 5) {
    case 0: return text;
    case 1: return with_unicode_names(text, r);
    case 2: return with_comments(text, r);
    case 3: return on_one_line(text);
    default: return with_rare_statements(text, r);
  }
}

// Brackets, parentheses, braces or blocks opened `depth` times around one
// expression, placed where a statement may start.
std::string nested(std::size_t depth, std::uint32_t shape) {
  static constexpr std::string_view kOpen[] = {"(", "[", "{k: ", "-(", "f("};
  static constexpr std::string_view kClose[] = {")", "]", "}", ")", ")"};
  std::string out;
  if (shape == 5) {
    for (std::size_t i = 0; i < depth; ++i) out += "if x { ";
    out += "x = 1;";
    for (std::size_t i = 0; i < depth; ++i) out += " }";
    return out;
  }
  out = "let n = ";
  for (std::size_t i = 0; i < depth; ++i) out += kOpen[shape];
  out += "1";
  for (std::size_t i = 0; i < depth; ++i) out += kClose[shape];
  return out + ";";
}

// A valid program broken once: cut short, a token dropped, two tokens
// swapped, a token replaced, a non-ASCII character put in, or something
// nested very deep.
std::string broken_case(int index) {
  std::string base = valid_case(kCasesPerFamily + index);
  SplitMix r(~kSeed + 0x2545'F491ull * static_cast<std::uint64_t>(index + 1));
  std::vector<std::string_view> tokens = tokens_of(base);
  if (tokens.empty()) return base;
  const std::size_t at = below(r, tokens.size());
  switch (index % 7) {
    case 0: {  // cut at a character boundary, maybe inside a token
      std::size_t cut = below(r, base.size() + 1);
      while (cut < base.size() && (static_cast<unsigned char>(base[cut]) & 0xC0) == 0x80) ++cut;
      return base.substr(0, cut);
    }
    case 1: tokens.erase(tokens.begin() + static_cast<std::ptrdiff_t>(at)); break;
    case 2: {  // swap two neighbouring tokens that are not white space
      std::size_t next = at + 1;
      while (next < tokens.size() && is_blank(tokens[next])) ++next;
      if (next < tokens.size()) std::swap(tokens[at], tokens[next]);
      break;
    }
    case 3: {
      static constexpr std::string_view kReplacements[] = {
          ";", "}", "{", ")", "(", ",", "=", "==", "x", "1", "\"", ".", ":", "[", "]", "let",
          "if", "else", "fn", "return", "@", "#", "-", "!", "as", "=>", "|", "0x", "1.", "\"\\q\""};
      tokens[at] = kReplacements[below(r, std::size(kReplacements))];
      break;
    }
    case 4: {
      static constexpr std::string_view kForeign[] = {"\u00e9", "\u2014", "\u03bb", "\U0001F600",
                                                      "\u00a0", "\u3000", "\u0301", "\u0660"};
      tokens.insert(tokens.begin() + static_cast<std::ptrdiff_t>(at),
                    kForeign[below(r, std::size(kForeign))]);
      break;
    }
    case 5: {  // deep nesting around the limit of 200 levels, or far past it
      const std::size_t depth = below(r, 8) == 0 ? 1000 + below(r, 3000) : 185 + below(r, 30);
      const std::string statement = nested(depth, below(r, 6));
      const std::size_t body = base.find(") {\n");
      if (body == std::string::npos) return base;
      return base.substr(0, body + 4) + statement + "\n" + base.substr(body + 4);
    }
    default: {  // a line made very long, then broken at its end
      std::string chain = "let w = 1";
      for (std::uint32_t n = 300 + below(r, 1200), i = 0; i < n; ++i) chain += i % 7 ? " + 1" : " * x";
      const std::size_t body = base.find(") {\n");
      if (body == std::string::npos) return base;
      return base.substr(0, body + 4) + chain + (below(r, 2) ? ";\n" : "\n") + base.substr(body + 4);
    }
  }
  return joined(tokens);
}

std::string case_source(int family, int index) {
  return family == 0 ? valid_case(index) : broken_case(index);
}

void add_outcome(blake3_hasher& h, std::string_view source) {
  CompileOutcome outcome = compile_program_text(source);
  const std::uint64_t size = source.size();
  blake3_hasher_update(&h, &size, sizeof size);
  if (outcome.ok()) {
    const auto& bytes = outcome.value();
    const std::uint64_t n = bytes.size();
    blake3_hasher_update(&h, "ok", 2);
    blake3_hasher_update(&h, &n, sizeof n);
    blake3_hasher_update(&h, bytes.data(), bytes.size());
  } else {
    const std::string& text = outcome.error().message;
    const std::uint64_t n = text.size();
    blake3_hasher_update(&h, "error", 5);
    blake3_hasher_update(&h, &n, sizeof n);
    blake3_hasher_update(&h, text.data(), text.size());
  }
}

// One record line without its family and first case: the group digests.
std::vector<std::string> batch_digests(int family, int first) {
  std::vector<std::string> groups;
  for (int g = first; g < first + kBatch; g += kGroup) {
    blake3_hasher h;
    blake3_hasher_init(&h);
    for (int i = g; i < g + kGroup; ++i) add_outcome(h, case_source(family, i));
    std::uint8_t out[8];
    blake3_hasher_finalize(&h, out, sizeof out);
    groups.push_back(core::lower_hex(out));
  }
  return groups;
}

constexpr const char* kFamilies[] = {"valid", "broken"};

TEST(CompileNet, ShapesOfTheCases) {
  // The breaks do what they say: a cut is a prefix, a case is the same text
  // each time it is made, and the valid family's programs all compile.
  EXPECT_EQ(case_source(1, 7), case_source(1, 7));
  const std::string cut = broken_case(0);
  EXPECT_EQ(valid_case(kCasesPerFamily).substr(0, cut.size()), cut);
  for (int i = 0; i < 40; ++i) {
    if (i % 5 == 4) continue;  // the rare statements may be refused by the lowering
    CompileOutcome outcome = compile_program_text(valid_case(i));
    EXPECT_TRUE(outcome.ok()) << i << "\n" << valid_case(i) << "\n" << (outcome.ok() ? "" : outcome.error().message);
  }
  int non_ascii = 0;
  for (int i = 1; i < 40; i += 5) {
    for (char c : valid_case(i)) non_ascii += static_cast<unsigned char>(c) >= 0x80;
  }
  EXPECT_GT(non_ascii, 0);
}

TEST(CompileNet, EveryBatchCompilesAsRecorded) {
  if (const char* record = std::getenv("QUARN_RECORD_NET"); record && *record == '1') {
    std::ofstream out(kRecord, std::ios::binary | std::ios::trunc);
    out << "# seed " << kSeed << ", " << kCasesPerFamily << " cases per family, " << kGroup
        << " per digest\n";
    for (int family = 0; family < 2; ++family) {
      for (int first = 0; first < kCasesPerFamily; first += kBatch) {
        out << kFamilies[family] << ' ' << first;
        for (const std::string& d : batch_digests(family, first)) out << ' ' << d;
        out << '\n';
      }
    }
    GTEST_SKIP() << "recorded " << 2 * kCasesPerFamily << " outcomes in " << kRecord;
  }

  std::ifstream in(kRecord);
  ASSERT_TRUE(in) << "missing " << kRecord;
  struct Batch {
    int family = 0;
    int first = 0;
    std::vector<std::string> want, got;
  };
  std::vector<Batch> batches;
  std::string line;
  int lines = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string family_name;
    Batch b;
    fields >> family_name >> b.first;
    b.family = family_name == kFamilies[0] ? 0 : 1;
    ASSERT_TRUE(b.family == 0 || family_name == kFamilies[1]) << line;
    for (std::string d; fields >> d;) b.want.push_back(d);
    if (lines++ % kBatchStride == 0) batches.push_back(std::move(b));
  }
  EXPECT_EQ(lines, 2 * kCasesPerFamily / kBatch);
  ASSERT_FALSE(batches.empty());

  // Batches are independent: two threads share them.
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < batches.size();) {
      batches[i].got = batch_digests(batches[i].family, batches[i].first);
    }
  };
  std::thread helper(work);
  work();
  helper.join();

  for (const Batch& b : batches) {
    ASSERT_EQ(b.got.size(), b.want.size()) << kFamilies[b.family] << ' ' << b.first;
    for (std::size_t g = 0; g < b.got.size(); ++g) {
      EXPECT_EQ(b.got[g], b.want[g]) << kFamilies[b.family] << " cases "
                                     << b.first + static_cast<int>(g) * kGroup << " to "
                                     << b.first + static_cast<int>(g + 1) * kGroup - 1
                                     << " compile differently from the record";
    }
  }
}

}  // namespace
}  // namespace quarn::compiler
