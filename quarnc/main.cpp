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

int usage_error(std::string_view message) {
  std::string text = "quarnc: ";
  text += message;
  text += "\nTry 'quarnc --help'.\n";
  emit(stderr, text);
  return kExitUsage;
}

// Splits the arguments after the subcommand into FILEs and options. "-" is a
// FILE (standard input); "--" ends the options.
struct Args {
  std::vector<std::string> files;
  bool json = false;
  std::optional<std::string> out;
  std::string error;
};

Args split(std::string_view command, int argc, char** argv) {
  Args a;
  bool options = true;
  for (int i = 0; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (options && arg == "--") {
      options = false;
    } else if (options && arg == "--json" && command == "check") {
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
      a.files.emplace_back(arg);
    }
  }
  return a;
}

int run(int argc, char** argv) {
  if (argc < 2) return usage_error("no command given");
  const std::string_view command = argv[1];
  if (command == "--help" || command == "-h") return emit(stdout, kUsage) ? kExitOk : kExitUsage;
  if (command == "--version") {
    return emit(stdout, std::string(kVersionText) + "\n") ? kExitOk : kExitUsage;
  }
  if (command != "check" && command != "build" && command != "dis" && command != "verify") {
    return usage_error("unknown command '" + std::string(command) + "'");
  }
  Args a = split(command, argc - 2, argv + 2);
  if (!a.error.empty()) return usage_error(a.error);
  if (command == "check") {
    if (a.files.empty()) return usage_error("check needs at least one FILE");
    return run_check(a.files, a.json);
  }
  if (a.files.size() != 1) return usage_error(std::string(command) + " takes one FILE");
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
