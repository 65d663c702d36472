#include "clinical/entities.h"

#include "clinical/icu_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace quarn::clinical {
namespace {

struct Found {
  std::string text;
  std::string type;
  std::size_t start, end;
  friend bool operator==(const Found&, const Found&) = default;
  friend std::ostream& operator<<(std::ostream& os, const Found& f) {
    return os << f.text << "/" << f.type << "@" << f.start << "-" << f.end;
  }
};

std::vector<Found> found(std::string_view note) {
  std::vector<Found> out;
  for (const EntityMatch& m : extract_entities(note)) {
    out.push_back({std::string(kTerms[m.term].text),
                   std::string(category_name(kTerms[m.term].category)), m.start, m.end});
  }
  return out;
}

// The algorithm in its plainest form: per term, a substring search restarting
// one byte after each hit; the characters around a hit found by counting the
// characters before it; a stable sort by start; duplicates dropped.
std::vector<EntityMatch> reference(std::string_view note) {
  std::string l = to_lower(note);
  std::vector<std::size_t> char_start;  // byte offset of each character
  for (std::size_t i = 0; i < l.size(); i += decode_at(l, i).len) char_start.push_back(i);
  auto count_before = [&](std::size_t byte) {
    return static_cast<std::size_t>(std::lower_bound(char_start.begin(), char_start.end(), byte) -
                                    char_start.begin());
  };
  std::vector<EntityMatch> all;
  for (std::size_t t = 0; t < kTermCount; ++t) {
    std::string_view term = kTerms[t].text;
    for (std::size_t p = l.find(term); p != std::string::npos; p = l.find(term, p + 1)) {
      std::size_t e = p + term.size();
      std::size_t cs = count_before(p), ce = count_before(e);
      bool ok_before = cs == 0 || !is_alphanumeric(decode_at(l, char_start[cs - 1]).cp);
      bool ok_after = ce == char_start.size() || !is_alphanumeric(decode_at(l, char_start[ce]).cp);
      if (ok_before && ok_after) all.push_back({t, p, e});
    }
  }
  std::stable_sort(all.begin(), all.end(),
                   [](const EntityMatch& a, const EntityMatch& b) { return a.start < b.start; });
  std::vector<EntityMatch> out;
  for (const EntityMatch& m : all) {
    if (!out.empty() && out.back().start == m.start && out.back().end == m.end) continue;
    out.push_back(m);
  }
  return out;
}

TEST(Entities, Examples) {
  EXPECT_EQ(found(""), std::vector<Found>{});
  EXPECT_EQ(found("nothing to see"), std::vector<Found>{});
  EXPECT_EQ(found("Patient has diabetes and takes insulin"),
            (std::vector<Found>{{"diabetes", "condition", 12, 20}}));
  EXPECT_EQ(found("Chest Pain"),
            (std::vector<Found>{{"chest pain", "symptom", 0, 10}, {"pain", "symptom", 6, 10}}));
  EXPECT_EQ(found("heart pain"),
            (std::vector<Found>{{"heart", "anatomy", 0, 5}, {"pain", "symptom", 6, 10}}));
  EXPECT_EQ(found("pain pain"),
            (std::vector<Found>{{"pain", "symptom", 0, 4}, {"pain", "symptom", 5, 9}}));
  EXPECT_EQ(found("MRI, CT scan; xray"),
            (std::vector<Found>{{"mri", "procedure", 0, 3},
                                {"ct scan", "procedure", 5, 12},
                                {"xray", "procedure", 14, 18}}));
}

TEST(Entities, WordBoundaries) {
  for (const char* none : {"painful", "pain2", "spain", "mris", "chestpain", "CT-scan", "x-ray",
                           "2pain", "\u00e9pain", "pain\u00e9", "pain\u0660", "\u2160pain",
                           "pain\u0345"}) {
    EXPECT_EQ(found(none), std::vector<Found>{}) << none;
  }
  for (const char* one : {"pain.", "(pain)", "back-pain", "_pain_", "pain\u200b", "\u00b7pain",
                          "pain\U0001F600", "pain\u2014"}) {
    EXPECT_EQ(found(one).size(), 1u) << one;
  }
  EXPECT_EQ(found("mri's"), (std::vector<Found>{{"mri", "procedure", 0, 3}}));
  EXPECT_EQ(found("chest  pain"), (std::vector<Found>{{"pain", "symptom", 7, 11}}));
  EXPECT_EQ(found("chest\npain"), (std::vector<Found>{{"pain", "symptom", 6, 10}}));
}

TEST(Entities, ByteOffsetsInTheLowerCasedNote) {
  EXPECT_EQ(found("fi\u00e8vre pain"), (std::vector<Found>{{"pain", "symptom", 8, 12}}));
  EXPECT_EQ(found("\u0130 pain"), (std::vector<Found>{{"pain", "symptom", 4, 8}}));
  // The Kelvin sign shrinks from three bytes to one.
  EXPECT_EQ(found("\u212a pain"), (std::vector<Found>{{"pain", "symptom", 2, 6}}));
  EXPECT_EQ(found("\u212aidney"), (std::vector<Found>{{"kidney", "anatomy", 0, 6}}));
}

TEST(Entities, MatchesThePlainAlgorithm) {
  const std::vector<std::string> pieces = {
      "pain", "chest", " ", "chest pain", "Pain", "PAIN", "ct", "scan", "ct scan", "mri", "xray",
      "heart", "lung", "liver", "kidney", "brain", "copd", "cough", "asthma", "-", "_", ".", "s",
      "2", "\u00e9", "\u0130", "\u212a", "\u03a3", "\u0660", "\u200b", "\n", "'",
      "lisinopril", "metformin", "hypertension", "ultrasound", "biopsy", "pneumonia"};
  std::mt19937 rng(99);
  for (int round = 0; round < 5000; ++round) {
    std::string note;
    int len = static_cast<int>(rng() % 16);
    for (int i = 0; i < len; ++i) note += pieces[rng() % pieces.size()];
    ASSERT_EQ(extract_entities(note), reference(note)) << note;
  }
}

TEST(Entities, SearchLoopsAgree) {
  // The wide loop tests 32 places at a time by a coarse filter before the
  // exact test; the portable one tests fewer at a time. Notes long enough for
  // several rounds of each, with terms and near misses ("hea", "dis", "lef")
  // at every offset within a round and at the very end.
  const std::vector<std::string> pieces = {
      "pain", "chest pain", " ", "  ", "heart", "headache", "hea", "dis", "left", "mri", "mri.",
      "ct scan", "ct", "xray", "x", "lung", "lisinopril", "liver", "kidney", "spain", "2",
      "\u00e9", "\u03c3", "-", "hypertension", "amoxicillin", "\n", "ultrasound", "brain"};
  std::mt19937 rng(5);
  for (int round = 0; round < 2000; ++round) {
    std::string l;
    const std::size_t len = rng() % 300;
    while (l.size() < len) l += pieces[rng() % pieces.size()];
    const auto fastest = find_entities(l, SearchLoop::kFastest);
    ASSERT_EQ(fastest, find_entities(l, SearchLoop::kPortable)) << l;
    ASSERT_EQ(fastest, reference(l)) << l;
  }
}

TEST(Entities, BlocksOfAnySizeGiveTheWholeNotesMatches) {
  // The note is lower-cased and searched block by block: a match or a sigma
  // that straddles a cut, or a boundary character left behind in the last
  // block, would show here as a difference from lower-casing and searching
  // the whole note at once.
  const std::vector<std::string> pieces = {
      "chest pain", "Chest", " ", "PAIN", "ct scan", "CT", "hypertension", "amoxicillin", "\u03a3",
      "\u039f\u03a3", "\u0130", "\u212a", "\u00e9", "'", ".", "x", "-", "\n", "2",
      "\u3000", "kidney", "mri's", "\u03a3pain"};
  std::mt19937 rng(7);
  for (int round = 0; round < 40; ++round) {
    std::string note;
    while (note.size() < 3000) note += pieces[rng() % pieces.size()];
    const auto whole = find_entities(to_lower(note));
    for (std::size_t block : {1, 2, 5, 16, 17, 64, 100, 1000, 4096}) {
      ASSERT_EQ(extract_entities(note, block), whole) << "block " << block << ": " << note;
    }
  }
  // A stretch without any place to cut is taken whole.
  std::string sigmas;
  for (int i = 0; i < 3000; ++i) sigmas += "\u03a3";
  sigmas += " pain";
  EXPECT_EQ(extract_entities(sigmas, 16), find_entities(to_lower(sigmas)));
}

TEST(Entities, EveryTermMatchesAlone) {
  for (std::size_t t = 0; t < kTermCount; ++t) {
    auto got = extract_entities(std::string(kTerms[t].text));
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0], (EntityMatch{t, 0, kTerms[t].text.size()}));
  }
}

}  // namespace
}  // namespace quarn::clinical
