// Recorded outcomes: what the compiler gave, byte for byte and error text for
// error text, on generated programs, on broken copies of them and on the
// fuzzing seed programs, before the front end and the driver were tuned for
// speed. Any rewrite of parsing, lowering or encoding must give exactly these
// outcomes again. The outcomes are kept as digests in
// tests/golden/compile_outcomes.txt, one line per case:
//   <case> <digest of the source> <digest of the outcome>
// The source digest tells a changed case (the generator or the corpus moved,
// so the record no longer applies) from a changed compiler.
//
// QUARN_RECORD_GOLDEN=1 rewrites the file from the current build. Only do that
// from a build whose outcomes are known to be right.
#include "quarn_compiler/compile.h"
#include "quarn_compiler/source_generator.h"
#include "quarn_core/text.h"

#include <blake3.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace quarn::compiler {
namespace {

const std::filesystem::path kRoot = std::filesystem::path(__FILE__).parent_path().parent_path();
const std::filesystem::path kRecord = kRoot / "tests/golden/compile_outcomes.txt";

std::string digest(std::string_view tag, std::string_view bytes) {
  blake3_hasher h;
  blake3_hasher_init(&h);
  blake3_hasher_update(&h, tag.data(), tag.size());
  blake3_hasher_update(&h, bytes.data(), bytes.size());
  std::uint8_t out[12];
  blake3_hasher_finalize(&h, out, sizeof out);
  return core::lower_hex(out);
}

std::string outcome_digest(std::string_view source) {
  CompileOutcome outcome = compile_program_text(source);
  if (outcome.ok()) {
    const auto& bytes = outcome.value();
    return digest("ok", std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  }
  return digest("error", outcome.error().message);
}

struct Case {
  std::string name;
  std::string source;
};

// Breaks a valid program the ways an editor leaves one: cut short, a
// character dropped, a character replaced by punctuation that starts or ends
// another form. Each break gives a different failure trail or a lowering
// error; the positions come from the seed.
void add_broken_copies(const std::string& name, const std::string& text, std::uint64_t seed,
                       std::vector<Case>& cases) {
  if (text.empty()) return;
  testing::SplitMix at(seed * 7919 + 17);
  static constexpr std::string_view kReplacements = ";}{)(,=x1\" .:[";
  const auto n = static_cast<std::uint32_t>(text.size());
  for (int k = 0; k < 2; ++k) {
    cases.push_back({name + "/cut" + std::to_string(k), text.substr(0, at.next(n))});
  }
  for (int k = 0; k < 2; ++k) {
    std::string dropped = text;
    dropped.erase(at.next(n), 1);
    cases.push_back({name + "/drop" + std::to_string(k), std::move(dropped)});
  }
  for (int k = 0; k < 3; ++k) {
    std::string replaced = text;
    replaced[at.next(n)] = kReplacements[at.next(static_cast<std::uint32_t>(kReplacements.size()))];
    cases.push_back({name + "/swap" + std::to_string(k), std::move(replaced)});
  }
}

std::vector<Case> all_cases() {
  std::vector<Case> cases;
  for (std::uint64_t seed = 1; seed <= 250; ++seed) {
    testing::SplitMix choices(seed);
    std::string text = testing::generate_program(choices);
    const std::string name = "generated/" + std::to_string(seed);
    add_broken_copies(name, text, seed, cases);
    cases.push_back({name, std::move(text)});
  }
  std::vector<std::filesystem::path> files;
  for (const char* dir : {"fuzz/corpus/fuzz_compile", "fuzz/corpus/fuzz_parse"}) {
    for (const auto& entry : std::filesystem::directory_iterator(kRoot / dir)) {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  for (std::size_t i = 0; i < files.size(); ++i) {
    std::ifstream in(files[i], std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string name = std::filesystem::relative(files[i], kRoot).generic_string();
    add_broken_copies(name, text.str(), i + 1000, cases);
    cases.push_back({name, text.str()});
  }
  return cases;
}

TEST(GoldenOutcomes, EveryCaseCompilesAsRecorded) {
  const std::vector<Case> cases = all_cases();
  if (const char* record = std::getenv("QUARN_RECORD_GOLDEN"); record && *record == '1') {
    std::filesystem::create_directories(kRecord.parent_path());
    std::ofstream out(kRecord, std::ios::binary | std::ios::trunc);
    for (const Case& c : cases) {
      out << c.name << ' ' << digest("source", c.source) << ' ' << outcome_digest(c.source) << '\n';
    }
    GTEST_SKIP() << "recorded " << cases.size() << " outcomes in " << kRecord;
  }

  std::ifstream in(kRecord);
  ASSERT_TRUE(in) << "missing " << kRecord;
  std::map<std::string, std::pair<std::string, std::string>> recorded;
  std::string name, source, outcome;
  while (in >> name >> source >> outcome) recorded[name] = {source, outcome};

  ASSERT_EQ(recorded.size(), cases.size()) << "the record and the cases differ in number";
  int changed = 0;
  for (const Case& c : cases) {
    auto it = recorded.find(c.name);
    ASSERT_NE(it, recorded.end()) << c.name << " is not in the record";
    ASSERT_EQ(it->second.first, digest("source", c.source))
        << c.name << ": the source is not the one recorded (the generator or the corpus changed; "
        << "keep the existing seeds' programs as they are and add new shapes as new cases)";
    if (it->second.second != outcome_digest(c.source) && ++changed <= 20) {
      ADD_FAILURE() << c.name << ": the outcome differs from the recorded one\n"
                    << c.source.substr(0, 400);
    }
  }
  EXPECT_EQ(changed, 0);
}

}  // namespace
}  // namespace quarn::compiler
