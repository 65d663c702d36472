// quarnc: the Quarn compiler on the command line. Reads the command line,
// hands it to one subcommand and turns what no subcommand can report as a
// value (running out of memory, an internal fault) into a message and
// status 2.
#include "quarnc/commands.h"
#include "quarnc/files.h"
#include "quarnc/usage.h"

#include <cstdio>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace quarn::quarnc;

// Splits the arguments after the command into FILEs and options. "-" is a
// FILE (standard input), at most once: it cannot be read twice. "--" ends
// the options. An option given twice is an error, not a silent override.
struct Args {
  std::vector<std::string> files;
  bool json = false;
  std::optional<std::string> out;
  bool help = false;
  std::string error;
};

Args split(std::string_view command, int argc, char** argv) {
  Args a;
  bool options = true;
  bool stdin_named = false;
  for (int i = 0; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (options && arg == "--") {
      options = false;
    } else if (options && (arg == "--help" || arg == "-h")) {
      if (argc != 1) {
        a.error = "'" + std::string(arg) + "' takes no other arguments";
        return a;
      }
      a.help = true;
    } else if (options && arg == "--json" && command == "check") {
      if (a.json) {
        a.error = "--json given twice";
        return a;
      }
      a.json = true;
    } else if (options && arg == "-o" && command == "build") {
      if (i + 1 >= argc || std::string_view(argv[i + 1]).empty()) {
        a.error = "-o needs a file name";
        return a;
      }
      if (a.out) {
        a.error = "-o given twice";
        return a;
      }
      a.out = argv[++i];
    } else if (options && arg.size() > 1 && arg[0] == '-') {
      a.error = "unknown option '" + std::string(arg) + "' for " + std::string(command);
      return a;
    } else {
      if (arg == kStdinName) {
        if (stdin_named) {
          a.error = "standard input ('-') named twice; it can be read only once";
          return a;
        }
        stdin_named = true;
      }
      a.files.emplace_back(arg);
    }
  }
  return a;
}

// --help and --version stand alone.
int run_alone(std::string_view flag, std::string_view text, int argc, char** argv) {
  if (argc > 2) {
    return usage_error("unexpected argument '" + std::string(argv[2]) + "' after " +
                       std::string(flag));
  }
  return emit(stdout, text) ? kExitOk : kExitUsage;
}

int run(int argc, char** argv) {
  if (argc < 2) return usage_error("no command given");
  const std::string_view command = argv[1];
  if (command == "--help" || command == "-h") return run_alone(command, kUsage, argc, argv);
  if (command == "--version") {
    return run_alone(command, std::string(kVersionText) + "\n", argc, argv);
  }
  if (command_usage(command).empty()) {
    return usage_error("unknown command '" + std::string(command) + "'");
  }
  Args a = split(command, argc - 2, argv + 2);
  if (!a.error.empty()) return usage_error(a.error, command);
  if (a.help) return emit(stdout, command_usage(command)) ? kExitOk : kExitUsage;
  // Standard output appended to an input (`>> FILE`) would write into the
  // file being read; `> FILE` has emptied it before quarnc starts.
  if (const auto out = identify_stdout(); out && out->is_regular) {
    for (const std::string& file : a.files) {
      if (identify(file) == out) {
        return usage_error("standard output is the input file '" +
                               (file == kStdinName ? std::string(kStdinLabel) : file) +
                               "' itself; write it elsewhere",
                           command);
      }
    }
  }
  if (command == "check") {
    if (a.files.empty()) return usage_error("check needs at least one FILE", command);
    return run_check(a.files, a.json);
  }
  if (a.files.size() > 1) {
    return usage_error("unexpected argument '" + a.files[1] + "': " + std::string(command) +
                           " takes one FILE",
                       command);
  }
  if (a.files.empty()) return usage_error(std::string(command) + " takes one FILE", command);
  if (command == "build") return run_build(a.files[0], a.out);
  if (command == "dis") return run_dis(a.files[0]);
  return run_verify(a.files[0]);
}

}  // namespace

int main(int argc, char** argv) {
  int status;
  try {
    status = run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("quarnc: out of memory\n", stderr);
    return kExitUsage;
  } catch (const std::exception& e) {
    // A fault that valid input cannot reach: said plainly, not an abort.
    std::fprintf(stderr, "quarnc: internal error: %s\n", e.what());
    return kExitUsage;
  }
  // Output that could not be written (a full disk, a closed pipe) is a
  // failure, not a silent success.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fputs("quarnc: cannot write to standard output\n", stderr);
    return kExitUsage;
  }
  return status;
}
