// The texts quarnc prints for --help and --version, and for a command line
// it cannot run.
#pragma once

#include <string_view>

namespace quarn::quarnc {

extern const std::string_view kUsage;
extern const std::string_view kVersionText;  // "quarnc 0.1.1 (Quarn core 0.1.1)"

// The usage of one command ("check", "build", "dis", "verify") for
// `quarnc COMMAND --help`; empty for any other name.
std::string_view command_usage(std::string_view command);

// Writes "quarnc: MESSAGE" and a hint to the help of `command` (to the
// general help when it is empty) to standard error; returns kExitUsage.
int usage_error(std::string_view message, std::string_view command = {});

}  // namespace quarn::quarnc
