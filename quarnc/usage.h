// The texts quarnc prints for --help and --version.
#pragma once

#include <string_view>

namespace quarn::quarnc {

extern const std::string_view kUsage;
extern const std::string_view kVersionText;  // "quarnc 0.1.1 (Quarn core 0.1.1)"

}  // namespace quarn::quarnc
