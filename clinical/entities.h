// Dictionary entity extraction: every occurrence of a dictionary term in the
// lower-cased note that stands between word boundaries, with byte offsets.
#pragma once

#include "clinical/dictionary.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::clinical {

struct EntityMatch {
  std::size_t term;   // index into kTerms
  std::size_t start;  // byte offset in the lower-cased note
  std::size_t end;    // start + the term's length
  friend bool operator==(const EntityMatch&, const EntityMatch&) = default;
};

// Lower-cases `note` (final sigma by the whole note) and finds the matches in
// it, ordered by start, then by dictionary order.
std::vector<EntityMatch> extract_entities(std::string_view note);
// The same, lower-casing and searching about `block` bytes of the note at a
// time (the default is sized for the cache); any block size gives the same
// matches.
std::vector<EntityMatch> extract_entities(std::string_view note, std::size_t block);

// The search loops: the fastest one this processor runs, or the one every
// processor runs. Both find the same matches.
enum class SearchLoop { kFastest, kPortable };

// The same on a note that is lower-cased already.
std::vector<EntityMatch> find_entities(std::string_view lowered,
                                       SearchLoop loop = SearchLoop::kFastest);

}  // namespace quarn::clinical
