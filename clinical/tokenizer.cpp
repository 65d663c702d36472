#include "clinical/tokenizer.h"

namespace quarn::clinical {

LoweredTokens& LoweredTokens::scan(std::string_view text) {
  // ASCII tokens keep their length when lower-cased, so the text's size is
  // nearly always enough; words run about six bytes with their separator.
  bytes_.reserve(bytes_.size() + text.size());
  ends_.reserve(ends_.size() + text.size() / 6 + 1);
  for_each_token(text, [&](std::string_view piece, bool ascii) {
    std::size_t w = bytes_.size();
    if (ascii) {
      bytes_.resize(w + piece.size());
      ascii_lower(piece.data(), piece.size(), bytes_.data() + w);
      ends_.push_back(bytes_.size());
    } else {
      append_lower(piece, bytes_);
      ends_.push_back(bytes_.size() | kNonAsciiBit);
    }
    return true;
  });
  return *this;
}

std::vector<std::string> tokenize(std::string_view text) {
  LoweredTokens lowered;
  lowered.scan(text);
  std::vector<std::string> tokens;
  tokens.reserve(lowered.size());
  for (std::size_t i = 0; i < lowered.size(); ++i) tokens.emplace_back(lowered.token(i));
  return tokens;
}

}  // namespace quarn::clinical
