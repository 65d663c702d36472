// Reading the tool's inputs and writing its outputs. Every failure comes back
// as a text for the user (without the file name, which the caller puts in
// front); nothing here prints or exits.
#pragma once

#include "quarn_core/result.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quarn::quarnc {

// The name under which standard input is read when FILE is "-".
inline constexpr std::string_view kStdinName = "-";
// How standard input is named in messages.
inline constexpr std::string_view kStdinLabel = "<stdin>";

// Why a file could not be read or written, in words for the user.
struct FileError {
  std::string text;
};

// The whole contents of `path`, or of standard input for "-". Fails with
// "is a directory", "cannot open: <reason>" or "cannot read: <reason>".
core::Result<std::string, FileError> read_input(const std::string& path);

// Where the first byte that is not part of well-formed UTF-8 sits.
struct Utf8Fault {
  std::uint64_t offset = 0;  // from 0, in bytes
  std::uint64_t line = 0;    // from 1
  std::uint64_t column = 0;  // from 1, in characters
  std::uint8_t byte = 0;
};
std::optional<Utf8Fault> find_utf8_fault(std::string_view text);
// "not valid UTF-8: byte 0xFF at offset 12 (line 2, column 5)"
std::string describe(const Utf8Fault& fault);

// Writes `bytes` to `path` so that readers see either the old file or the
// whole new one: a temporary file in the same folder, flushed to disk, then
// renamed over `path`. The file gets the permissions a plain create would
// give (0666 less the umask). Fails with "cannot write: <reason>"; the
// temporary file is removed on every failure.
std::optional<FileError> write_atomically(const std::string& path,
                                            std::span<const std::uint8_t> bytes);

// Writes all of `bytes` to a standard stream (binary data too); false on a
// write error.
bool emit(std::FILE* stream, std::span<const std::uint8_t> bytes);
bool emit(std::FILE* stream, std::string_view text);

}  // namespace quarn::quarnc
