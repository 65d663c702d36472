// Where `quarnc build` puts its bytes, and how.
//
//   what OUT names                      how it is written
//   nothing yet                         created atomically (below)
//   a regular file                      replaced atomically
//   a symbolic link                     followed; its target is written by
//                                       these same rules (a link to nothing
//                                       gets its target created); the link
//                                       itself stays
//   a character device, a FIFO          written through, as `cat > OUT`
//                                       would: nothing is created, renamed
//                                       or removed
//   a block device, a socket            refused: a block device holds a file
//                                       system, and a socket cannot be opened
//   a directory                         refused
//
// Atomically: the bytes go to a temporary file beside the target (in the
// folder of the link's target for a link), are flushed to disk, and the
// temporary file is renamed over the target, so readers see the old file or
// the whole new one. While the temporary file exists, SIGINT, SIGTERM and
// SIGHUP remove it before the signal ends the process as it would have
// anyway; a signal that was ignored when quarnc started stays ignored.
#pragma once

#include "quarnc/files.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace quarn::quarnc {

struct Destination {
  enum class Way { kReplace, kWriteThrough };
  Way way = Way::kReplace;
  // The path written: for kReplace, the file itself with every link resolved
  // (its temporary file goes beside it); for kWriteThrough, OUT as given,
  // opened through its links.
  std::string path;
  // The file OUT names now, if any.
  std::optional<FileId> existing;
};

// Finds out how OUT will be written, before anything is: fails with
// "cannot write: <reason>" or a sentence naming what OUT is.
core::Result<Destination, FileError> resolve_output(const std::string& out);

// Writes all of `bytes` as `where` says. Fails with "cannot write: <reason>";
// a temporary file is removed on every failure.
std::optional<FileError> write_output(const Destination& where,
                                      std::span<const std::uint8_t> bytes);

}  // namespace quarn::quarnc
