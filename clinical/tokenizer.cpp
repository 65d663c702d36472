#include "clinical/tokenizer.h"

namespace quarn::clinical {

std::vector<std::string> tokenize(std::string_view text) {
  std::vector<std::string> tokens;
  for_each_token(text, [&](std::string_view piece, bool ascii) {
    std::string& token = tokens.emplace_back();
    if (ascii) {
      token.resize(piece.size());
      ascii_lower(piece.data(), piece.size(), token.data());
    } else {
      append_lower(piece, token);
    }
    return true;
  });
  return tokens;
}

}  // namespace quarn::clinical
