#include "quarnc/commands.h"

#include "quarn_compiler/compile.h"
#include "quarn_core/quarn_crate/decode.h"
#include "quarnc/diagnostic.h"
#include "quarnc/files.h"
#include "quarnc/listing.h"
#include "quarnc/output.h"
#include "quarnc/usage.h"

#include <nlohmann/json.hpp>

#include <algorithm>
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

std::span<const std::uint8_t> as_bytes(std::string_view data) {
  return {reinterpret_cast<const std::uint8_t*>(data.data()), data.size()};
}

bool named_compiled(const std::string& file) { return file.ends_with(kCompiledExtension); }

std::string decode_error(const core::DecodeError& e) { return std::string(kDecodeErrorPrefix) + e.message; }

constexpr std::string_view kCompiledNotSource =
    "looks like Quarn bytecode (a compiled program), not source; did you mean 'quarnc dis'?";
constexpr std::string_view kSourceNotCompiled =
    "looks like Quarn source, not bytecode (a compiled program); did you mean 'quarnc check'?";

// How check and dis take a file whose bytes do not decode as a compiled
// program: as a damaged one when it starts like one, or when it carries the
// compiled extension and is not text; as source otherwise.
bool taken_as_compiled(const std::string& file, std::string_view data) {
  return looks_compiled(data) || (named_compiled(file) && !looks_like_source(data));
}

// What became of one file: nothing to say, a program that failed (with the
// module's error text, and the compiler's error when it was the compiler that
// refused), or a file that could not be taken as a program at all (with the
// reason).
struct Verdict {
  enum class Kind { kOk, kProgramFailed, kFileError };
  Kind kind = Kind::kOk;
  std::string text;
  std::optional<compiler::CompileError> compile_error;

  int status() const {
    switch (kind) {
      case Kind::kOk: return kExitOk;
      case Kind::kProgramFailed: return kExitFailed;
      case Kind::kFileError: return kExitUsage;
    }
    return kExitUsage;
  }
  static Verdict ok() { return {}; }
  static Verdict failed(std::string text) { return {Kind::kProgramFailed, std::move(text), {}}; }
  static Verdict failed(compiler::CompileError error) {
    std::string text = error.message;
    return {Kind::kProgramFailed, std::move(text), std::move(error)};
  }
  static Verdict file_error(std::string text) { return {Kind::kFileError, std::move(text), {}}; }

  // What check --json reports of a failed program: the compiler's stage and
  // position, or a decoding error's.
  Diagnostic diagnostic() const {
    return compile_error ? diagnose(*compile_error) : decode_diagnostic(text);
  }
};

// The verdict said as the user reads it: nothing, or "FILE: text" on
// standard error.
int report(const std::string& file, const Verdict& v) {
  if (v.kind != Verdict::Kind::kOk) complain(file, v.text);
  return v.status();
}

// One line of check --json for a file that is not a failed program: ok, or
// the reason it could not be read or taken as a program. A failed program's
// line is diagnostic.h's json_line.
std::string json_file_line(std::string_view file, const Verdict& v) {
  nlohmann::ordered_json j;
  j["file"] = std::string(file);
  if (v.kind == Verdict::Kind::kOk) {
    j["ok"] = true;
  } else {
    j["error"] = v.text;
  }
  return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

Verdict check_one(const std::string& file) {
  auto data = read_input(file);
  if (!data.ok()) return Verdict::file_error(data.error().text);
  const std::string& bytes = data.value();
  auto decoded = core::check_program(bytes);
  if (decoded.ok()) return Verdict::ok();
  if (taken_as_compiled(file, bytes)) return Verdict::failed(decode_error(decoded.error()));
  if (auto fault = source_text_fault(bytes)) return Verdict::file_error(fault->text);
  auto outcome = compiler::compile_program_text(bytes);
  return outcome.ok() ? Verdict::ok() : Verdict::failed(std::move(outcome).error());
}

}  // namespace

int run_check(const std::vector<std::string>& files, bool json) {
  int status = kExitOk;
  for (const std::string& file : files) {
    const Verdict v = check_one(file);
    status = std::max(status, v.status());
    if (!json) {
      report(file, v);
    } else if (v.kind == Verdict::Kind::kProgramFailed) {
      emit(stdout, json_line(label(file), v.diagnostic()));
    } else {
      emit(stdout, json_file_line(label(file), v));
    }
  }
  return status;
}

int run_build(const std::string& file, const std::optional<std::string>& out) {
  std::string target;
  if (out) {
    target = *out;
  } else if (file == kStdinName) {
    return usage_error("build reads standard input only with -o OUT (-o - for standard output)",
                       "build");
  } else {
    target = std::filesystem::path(file).replace_extension(kCompiledExtension).string();
  }

  // Everything about the output is settled before the source is read, so
  // that nothing is written when it could not be written right.
  std::optional<Destination> where;
  if (target != kStdinName) {
    auto resolved = resolve_output(target);
    if (!resolved.ok()) return report(target, Verdict::file_error(resolved.error().text));
    where = std::move(resolved).value();
    // The output must not be the source by another name (./x, a link, a
    // hard link): writing it would destroy the source. A character device
    // (a terminal, /dev/null) is a stream, not the source's storage.
    const std::optional<FileId> source = identify(file);
    if (source && where->existing && *source == *where->existing && !source->is_char_device) {
      return usage_error("the output '" + target + "' is the source file '" + label(file) +
                             "' itself; give another one with -o OUT",
                         "build");
    }
  }

  auto data = read_input(file);
  if (!data.ok()) return report(file, Verdict::file_error(data.error().text));
  if (core::check_program(data.value()).ok() || looks_compiled(data.value())) {
    return report(file, Verdict::file_error(std::string(kCompiledNotSource)));
  }
  if (auto fault = source_text_fault(data.value())) {
    return report(file, Verdict::file_error(fault->text));
  }
  auto outcome = compiler::compile_program_text(data.value());
  data = std::string();  // the source is not needed any more
  if (!outcome.ok()) return report(file, Verdict::failed(outcome.error()));
  const std::vector<std::uint8_t>& bytes = outcome.value();
  if (!where) return emit(stdout, bytes) ? kExitOk : kExitUsage;
  if (auto failure = write_output(*where, bytes)) {
    return report(target, Verdict::file_error(failure->text));
  }
  return kExitOk;
}

int run_dis(const std::string& file) {
  auto data = read_input(file);
  if (!data.ok()) return report(file, Verdict::file_error(data.error().text));
  auto write = [](std::string_view text) { emit(stdout, text); };
  // Compiled or source: as check decides.
  auto listed = write_listing(as_bytes(data.value()), write);
  if (listed.ok()) return kExitOk;
  if (taken_as_compiled(file, data.value())) {
    return report(file, Verdict::failed(decode_error(listed.error())));
  }
  if (auto fault = source_text_fault(data.value())) {
    return report(file, Verdict::file_error(fault->text));
  }
  auto outcome = compiler::compile_program_text(data.value());
  data = std::string();
  if (!outcome.ok()) return report(file, Verdict::failed(outcome.error()));
  auto compiled = write_listing(outcome.value(), write);
  if (!compiled.ok()) return report(file, Verdict::failed(decode_error(compiled.error())));
  return kExitOk;
}

int run_verify(const std::string& file) {
  auto data = read_input(file);
  if (!data.ok()) return report(file, Verdict::file_error(data.error().text));
  auto decoded = core::check_program(data.value());
  if (decoded.ok()) {
    emit(stdout, "ok\n");
    return kExitOk;
  }
  if (!looks_compiled(data.value()) && looks_like_source(data.value())) {
    return report(file, Verdict::file_error(std::string(kSourceNotCompiled)));
  }
  return report(file, Verdict::failed(decode_error(decoded.error())));
}

}  // namespace quarn::quarnc
