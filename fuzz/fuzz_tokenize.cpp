// Tokenizer and entity extractor on any valid UTF-8: never crash, and what
// they return keeps its promises (tokens, each with its ASCII flag, the same
// as the byte-by-byte reading finds; repeats linked only to equal words; tokens non-empty, free of separators,
// lower-case fixed points; entity offsets inside the lower-cased note and on
// the term's bytes, in start order, and exactly those of a plain search per
// term).
#include "clinical/entities.h"
#include "clinical/icu_text.h"
#include "clinical/tokenizer.h"
#include "quarn_core/text.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using namespace quarn::clinical;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!quarn::core::is_valid_utf8(text)) return -1;  // callers only ever pass UTF-8

  using Found = std::vector<std::pair<std::string_view, bool>>;
  Found by_masks, by_bytes;
  for_each_token(text, [&](std::string_view t, bool ascii) {
    by_masks.emplace_back(t, ascii);
    return true;
  });
  detail::for_each_token_bytewise(text, [&](std::string_view t, bool ascii) {
    by_bytes.emplace_back(t, ascii);
    return true;
  });
  if (by_masks != by_bytes) std::abort();

  // A repeat links only to an earlier first token of the same lower case.
  TokenBounds bounds;
  bounds.scan(text);
  bounds.link_repeats();
  auto lower = [&](std::size_t i) {
    std::string t(bounds.piece(i));
    if (bounds.ascii(i)) ascii_lower(t.data(), t.size(), t.data());
    return t;
  };
  for (std::size_t i = 0; i < bounds.size(); ++i) {
    const std::uint32_t first = bounds.repeat_of(i);
    if (first == RepeatLinker::kFirst) continue;
    if (first >= i || bounds.repeat_of(first) != RepeatLinker::kFirst) std::abort();
    if (lower(first) != lower(i)) std::abort();
  }

  for (const std::string& token : tokenize(text)) {
    if (token.empty()) std::abort();
    for (std::size_t i = 0; i < token.size(); i += decode_at(token, i).len) {
      if (is_separator(decode_at(token, i).cp)) std::abort();
    }
  }

  std::string lowered = to_lower(text);
  if (!quarn::core::is_valid_utf8(lowered)) std::abort();
  std::vector<EntityMatch> found = extract_entities(text);
  std::size_t last_start = 0;
  for (const EntityMatch& m : found) {
    std::string_view term = kTerms[m.term].text;
    if (m.end > lowered.size() || m.end - m.start != term.size()) std::abort();
    if (std::string_view(lowered).substr(m.start, term.size()) != term) std::abort();
    if (m.start < last_start) std::abort();
    last_start = m.start;
  }

  // The same matches as one plain search per term, sorted stably by start.
  std::vector<EntityMatch> plain;
  std::string_view l = lowered;
  for (std::size_t t = 0; t < kTermCount; ++t) {
    for (std::size_t p = l.find(kTerms[t].text); p != std::string_view::npos;
         p = l.find(kTerms[t].text, p + 1)) {
      std::size_t e = p + kTerms[t].text.size();
      bool before = p == 0 || !is_alphanumeric(decode_before(l, p).cp);
      bool after = e == l.size() || !is_alphanumeric(decode_at(l, e).cp);
      if (before && after) plain.push_back({t, p, e});
    }
  }
  std::stable_sort(plain.begin(), plain.end(),
                   [](const EntityMatch& a, const EntityMatch& b) { return a.start < b.start; });
  if (plain != found) std::abort();
  return 0;
}
