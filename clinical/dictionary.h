// The built-in clinical dictionary: five categories and their terms, in the
// order that decides the order of equal-offset matches. This table is the
// only place the terms are written; the matcher's indexes derive from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quarn::clinical {

enum class Category : std::uint8_t { Symptom, Medication, Condition, Procedure, Anatomy };

inline constexpr std::string_view kCategoryNames[] = {
    "symptom", "medication", "condition", "procedure", "anatomy",
};

struct Term {
  std::string_view text;  // lower-case ASCII, begins with a letter
  Category category;
};

// Category order, then term order within the category.
inline constexpr Term kTerms[] = {
    {"pain", Category::Symptom},
    {"fever", Category::Symptom},
    {"cough", Category::Symptom},
    {"dyspnea", Category::Symptom},
    {"chest pain", Category::Symptom},
    {"headache", Category::Symptom},
    {"aspirin", Category::Medication},
    {"ibuprofen", Category::Medication},
    {"amoxicillin", Category::Medication},
    {"lisinopril", Category::Medication},
    {"metformin", Category::Medication},
    {"diabetes", Category::Condition},
    {"hypertension", Category::Condition},
    {"asthma", Category::Condition},
    {"copd", Category::Condition},
    {"pneumonia", Category::Condition},
    {"biopsy", Category::Procedure},
    {"mri", Category::Procedure},
    {"ct scan", Category::Procedure},
    {"xray", Category::Procedure},
    {"ultrasound", Category::Procedure},
    {"heart", Category::Anatomy},
    {"lung", Category::Anatomy},
    {"liver", Category::Anatomy},
    {"kidney", Category::Anatomy},
    {"brain", Category::Anatomy},
};

inline constexpr std::size_t kTermCount = sizeof(kTerms) / sizeof(kTerms[0]);

inline constexpr std::string_view category_name(Category c) {
  return kCategoryNames[static_cast<std::size_t>(c)];
}

namespace dictionary_checks {
constexpr bool well_formed() {
  for (std::size_t i = 0; i < kTermCount; ++i) {
    const Term& t = kTerms[i];
    if (t.text.size() < 2 || t.text[0] < 'a' || t.text[0] > 'z') return false;
    for (char c : t.text) {
      if (!((c >= 'a' && c <= 'z') || c == ' ')) return false;
    }
    if (i > 0 && kTerms[i - 1].category > t.category) return false;
    for (std::size_t j = 0; j < i; ++j) {
      if (kTerms[j].text == t.text) return false;
    }
  }
  return true;
}
}  // namespace dictionary_checks
static_assert(dictionary_checks::well_formed(),
              "terms: lower-case ASCII words beginning with a letter, unique, grouped by category");

}  // namespace quarn::clinical
