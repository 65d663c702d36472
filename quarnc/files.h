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
// "<what>: <strerror(err)>", as in "cannot open: No such file or directory".
FileError file_error(const char* what, int err);

// Owns one open file descriptor; closes it when destroyed.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { close(); }
  int get() const { return fd_; }
  // Closes now; false when close reports an error (a delayed write failure).
  bool close();

 private:
  int fd_;
};

// Writes all of `n` bytes, going on after short writes and interruptions;
// false with errno set on a failure.
bool write_all(int fd, const std::uint8_t* p, std::size_t n);

// The whole contents of `path`, or of standard input for "-". Fails with
// "is a directory", "cannot open: <reason>" or "cannot read: <reason>".
core::Result<std::string, FileError> read_input(const std::string& path);

// Which file a name stands for: its device and inode, links followed.
struct FileId {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool is_regular = false;
  bool is_char_device = false;  // a terminal, /dev/null: a stream, not stored data
  friend bool operator==(const FileId& a, const FileId& b) {
    return a.device == b.device && a.inode == b.inode;
  }
};
// The file `path` names (standard input's for "-"); none when there is none.
std::optional<FileId> identify(const std::string& path);
// The file standard output writes to.
std::optional<FileId> identify_stdout();

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

// What a file's first bytes say it is, for telling the user that a file is
// of the other kind. A compiled program starts with a format version byte
// (a control character, which source text never starts with), a
// little-endian instruction count of sane size and a valid first tag.
bool looks_compiled(std::string_view data);
// Non-empty UTF-8 text without control characters (tabs, line feeds and
// carriage returns aside), not all blank.
bool looks_like_source(std::string_view data);

// Source text is read as plain UTF-8 without a byte-order mark. Says what
// is wrong with `data` as source text, or nothing: a byte-order mark (UTF-8
// or UTF-16), named as such, or the first byte that is not UTF-8.
std::optional<FileError> source_text_fault(std::string_view data);

// Writes all of `bytes` to a standard stream (binary data too); false on a
// write error.
bool emit(std::FILE* stream, std::span<const std::uint8_t> bytes);
bool emit(std::FILE* stream, std::string_view text);

}  // namespace quarn::quarnc
