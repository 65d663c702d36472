#include "clinical/tokenizer.h"

namespace quarn::clinical {

void TokenBounds::scan(std::string_view text) {
  text_ = text;
  bounds_.clear();
  lowered_.clear();
  // Words run about six bytes with their separator.
  bounds_.reserve(text.size() / 6 + 1);
  for_each_token(text, [&](std::string_view piece, bool ascii) {
    if (ascii) {
      bounds_.push_back({static_cast<std::size_t>(piece.data() - text.data()), piece.size()});
    } else {
      std::size_t begin = lowered_.size();
      append_lower(piece, lowered_);
      bounds_.push_back({begin, (lowered_.size() - begin) | kLoweredBit});
    }
    return true;
  });
}

std::vector<std::string> tokenize(std::string_view text) {
  TokenBounds bounds;
  bounds.scan(text);
  std::vector<std::string> tokens;
  tokens.reserve(bounds.size());
  for (std::size_t i = 0; i < bounds.size(); ++i) {
    std::string_view piece = bounds.piece(i);
    std::string& token = tokens.emplace_back(piece);
    if (bounds.ascii(i)) ascii_lower(piece.data(), piece.size(), token.data());
  }
  return tokens;
}

}  // namespace quarn::clinical
