#include "quarnc/commands.h"

#include "quarn_compiler/compile.h"
#include "quarn_core/quarn_crate/decode.h"
#include "quarnc/diagnostic.h"
#include "quarnc/files.h"
#include "quarnc/listing.h"

#include <cstdio>
#include <filesystem>

namespace quarn::quarnc {
namespace {

std::string label(const std::string& file) {
  return file == kStdinName ? std::string(kStdinLabel) : file;
}

// "FILE: text", ended by a line feed unless the text ends with one already
// (a rendered parse trail ends with two).
void complain(const std::string& file, std::string_view text) {
  std::string line = label(file) + ": ";
  line += text;
  if (!line.ends_with('\n')) line += '\n';
  emit(stderr, line);
}

std::optional<std::string> load(const std::string& file) {
  auto data = read_input(file);
  if (!data.ok()) {
    complain(file, data.error().text);
    return std::nullopt;
  }
  return std::move(data.value());
}

// Source text must be UTF-8; the first bad byte is reported by position.
bool is_text(const std::string& file, std::string_view data) {
  if (auto fault = find_utf8_fault(data)) {
    complain(file, describe(*fault));
    return false;
  }
  return true;
}

bool named_compiled(const std::string& file) { return file.ends_with(kCompiledExtension); }

std::string decode_error(const core::DecodeError& e) { return std::string(kDecodeErrorPrefix) + e.message; }

// Reports a failed program as check's mode asks; returns kExitFailed.
int fail_program(const std::string& file, const Diagnostic& failure, bool json) {
  if (json) {
    emit(stdout, json_line(label(file), failure));
  } else {
    complain(file, failure.message);
  }
  return kExitFailed;
}

int check_one(const std::string& file, bool json) {
  auto data = load(file);
  if (!data) return kExitUsage;
  // A file is taken as a compiled program when its bytes decode as one, or
  // when it carries the compiled extension (so that a damaged one is reported
  // as such, not as source that fails to parse).
  auto decoded = core::check_program(*data);
  if (decoded.ok()) return kExitOk;
  if (named_compiled(file)) {
    const std::string error = decode_error(decoded.error());
    return fail_program(file, decode_diagnostic(error), json);
  }
  if (!is_text(file, *data)) return kExitUsage;
  auto outcome = compiler::compile_program_text(*data);
  return outcome.ok() ? kExitOk : fail_program(file, diagnose(outcome.error()), json);
}

}  // namespace

int run_check(const std::vector<std::string>& files, bool json) {
  int status = kExitOk;
  for (const std::string& file : files) status = std::max(status, check_one(file, json));
  return status;
}

int run_build(const std::string& file, const std::optional<std::string>& out) {
  std::string target;
  if (out) {
    target = *out;
  } else if (file == kStdinName) {
    complain(file, "give the output file with -o OUT (or -o - for standard output)");
    return kExitUsage;
  } else {
    target = std::filesystem::path(file).replace_extension(kCompiledExtension).string();
    if (target == file) {
      complain(file, "the output would replace the source; give another one with -o OUT");
      return kExitUsage;
    }
  }
  auto data = load(file);
  if (!data) return kExitUsage;
  if (!is_text(file, *data)) return kExitUsage;
  auto outcome = compiler::compile_program_text(*data);
  data.reset();
  if (!outcome.ok()) {
    complain(file, outcome.error().message);
    return kExitFailed;
  }
  const std::vector<std::uint8_t>& bytes = outcome.value();
  if (target == kStdinName) return emit(stdout, bytes) ? kExitOk : kExitUsage;
  if (auto failure = write_atomically(target, bytes)) {
    complain(target, failure->text);
    return kExitUsage;
  }
  return kExitOk;
}

int run_dis(const std::string& file) {
  auto data = load(file);
  if (!data) return kExitUsage;
  // Compiled or source: as check decides.
  auto program = core::decode_program(*data);
  if (!program.ok() && !named_compiled(file)) {
    if (!is_text(file, *data)) return kExitUsage;
    auto outcome = compiler::compile_program_text(*data);
    if (!outcome.ok()) {
      complain(file, outcome.error().message);
      return kExitFailed;
    }
    data.reset();
    program = core::decode_program(std::span<const std::uint8_t>(outcome.value()));
  }
  if (!program.ok()) {
    complain(file, decode_error(program.error()));
    return kExitFailed;
  }
  emit(stdout, program_listing(program.value()));
  return kExitOk;
}

int run_verify(const std::string& file) {
  auto data = load(file);
  if (!data) return kExitUsage;
  auto decoded = core::check_program(*data);
  if (!decoded.ok()) {
    complain(file, decode_error(decoded.error()));
    return kExitFailed;
  }
  emit(stdout, "ok\n");
  return kExitOk;
}

}  // namespace quarn::quarnc
