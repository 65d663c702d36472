#include "quarnc/usage.h"

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
    "       quarnc --version | --help\n"
    "\n"
    "FILE may be - for standard input. Source files are read as UTF-8. A file\n"
    "whose bytes decode as a compiled program, or whose name ends in .qbc, is\n"
    "taken as compiled; anything else as source.\n"
    "\n"
    "check --json writes one JSON object per failing file to standard output:\n"
    "file, stage (parse, lowering, serialization, decode), line and column of\n"
    "the innermost position the message names (absent when it names none), and\n"
    "message.\n"
    "\n"
    "Exit status: 0 success; 1 a program failed to compile or decode; 2 usage\n"
    "or file errors.\n";

}  // namespace quarn::quarnc
