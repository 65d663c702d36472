// The subcommands of quarnc. Each reads its FILEs, writes its results to
// standard output and its complaints to standard error, each complaint being
// "FILE: " followed by the text, and returns the exit status.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quarn::quarnc {

enum ExitStatus : int {
  kExitOk = 0,
  kExitFailed = 1,  // a program did not compile or decode
  kExitUsage = 2,   // bad command line, or a file that cannot be read or written
};

// The extension of compiled programs: build's default output, and how check
// and dis know a compiled program whose bytes do not decode.
inline constexpr const char* kCompiledExtension = ".qbc";

// Compiles each source (decodes each compiled program); nothing on success.
// With `json`, a failing program is one JSON line on standard output instead.
// Every file is tried; the status is the worst one.
int run_check(const std::vector<std::string>& files, bool json);

// Writes exactly the compiled bytes to `out` (default: FILE with its
// extension replaced by .qbc; "-" for standard output), atomically.
int run_build(const std::string& file, const std::optional<std::string>& out);

// The listing of a compiled program, or of a source compiled first.
int run_dis(const std::string& file);

// "ok" when FILE decodes as a compiled program, else the decode error.
int run_verify(const std::string& file);

}  // namespace quarn::quarnc
