#include "quarnc/usage.h"

#include "quarnc/commands.h"
#include "quarnc/files.h"

#include <string>

namespace quarn::quarnc {

// The version comes from the CMake project, as the module's does.
const std::string_view kVersionText = "quarnc " QUARNC_VERSION " (Quarn core " QUARNC_VERSION ")";

const std::string_view kUsage =
    "usage: quarnc check [--json] FILE...   compile each file; nothing on success\n"
    "       quarnc build FILE [-o OUT]      write the compiled program (default OUT:\n"
    "                                       FILE with its extension replaced by .qbc)\n"
    "       quarnc dis FILE                 listing of a compiled program, or of a\n"
    "                                       source file compiled first\n"
    "       quarnc verify FILE              decode a compiled program\n"
    "       quarnc COMMAND --help           the usage of one command\n"
    "       quarnc --version | --help\n"
    "\n"
    "FILE may be - for standard input (once). Source files are read as UTF-8,\n"
    "without a byte-order mark. A file whose bytes decode as a compiled program,\n"
    "or start like one, or whose name ends in .qbc and is not text, is taken as\n"
    "compiled; anything else as source.\n"
    "\n"
    "check --json writes one JSON object per FILE to standard output: file,\n"
    "then ok (true), or error (a file that cannot be read or taken as a program),\n"
    "or stage (parse, lowering, serialization, decode), line and column of the\n"
    "innermost position the message names (absent when it names none), and\n"
    "message.\n"
    "\n"
    "Exit status: 0 success; 1 a program failed to compile or decode; 2 usage\n"
    "or file errors; 128 + N when ended by signal N (build removes its\n"
    "temporary file first on SIGINT, SIGTERM and SIGHUP).\n";

namespace {

struct CommandHelp {
  std::string_view name;
  std::string_view text;
};

constexpr CommandHelp kCommandHelp[] = {
    {"check",
     "usage: quarnc check [--json] FILE...\n"
     "\n"
     "Compiles each source file and decodes each compiled program; prints\n"
     "nothing for one that passes. A failure is reported as FILE: and the\n"
     "module's error text. Every file is tried; the status is the worst one.\n"
     "FILE may be - for standard input, once.\n"
     "\n"
     "  --json   one JSON object per FILE on standard output instead: file,\n"
     "           then ok, or error, or stage, line, column and message\n"},
    {"build",
     "usage: quarnc build FILE [-o OUT]\n"
     "\n"
     "Compiles the source FILE (- for standard input) and writes exactly the\n"
     "bytes compile_source returns.\n"
     "\n"
     "  -o OUT   where to write them (default: FILE with its extension replaced\n"
     "           by .qbc; needed when FILE is -). - writes to standard output.\n"
     "           A regular file is replaced atomically; a symbolic link is\n"
     "           followed; a character device or FIFO is written through; a\n"
     "           block device, socket, directory or the source itself is\n"
     "           refused.\n"},
    {"dis",
     "usage: quarnc dis FILE\n"
     "\n"
     "Prints the listing of a compiled program, or of a source file compiled\n"
     "first: a header, one line per instruction (> marks a jump target), and\n"
     "the metadata. FILE may be - for standard input.\n"},
    {"verify",
     "usage: quarnc verify FILE\n"
     "\n"
     "Prints ok when FILE (- for standard input) decodes as a compiled\n"
     "program, as execute_bytecode checks it; otherwise the decode error.\n"},
};

}  // namespace

std::string_view command_usage(std::string_view command) {
  for (const CommandHelp& help : kCommandHelp) {
    if (help.name == command) return help.text;
  }
  return {};
}

int usage_error(std::string_view message, std::string_view command) {
  std::string text = "quarnc: ";
  text += message;
  text += "\nTry 'quarnc ";
  if (!command.empty()) {
    text += command;
    text += ' ';
  }
  text += "--help'.\n";
  emit(stderr, text);
  return kExitUsage;
}

}  // namespace quarn::quarnc
