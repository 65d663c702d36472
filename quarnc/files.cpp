#include "quarnc/files.h"

#include "quarn_core/instruction.h"
#include "quarn_core/text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quarn::quarnc {

FileError file_error(const char* what, int err) {
  return {std::string(what) + ": " + std::strerror(err)};
}

bool Fd::close() {
  if (fd_ < 0) return true;
  int rc = ::close(fd_);
  fd_ = -1;
  return rc == 0;
}

bool write_all(int fd, const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    ssize_t done = ::write(fd, p, n);
    if (done < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += done;
    n -= static_cast<std::size_t>(done);
  }
  return true;
}

core::Result<std::string, FileError> read_input(const std::string& path) {
  const bool is_stdin = path == kStdinName;
  int raw = is_stdin ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (raw < 0) return file_error("cannot open", errno);
  Fd owned(is_stdin ? -1 : raw);
  struct stat st {};
  if (::fstat(raw, &st) == 0) {
    if (S_ISDIR(st.st_mode)) return FileError{"is a directory"};
  }
  std::string data;
  if (S_ISREG(st.st_mode) && st.st_size > 0) data.reserve(static_cast<std::size_t>(st.st_size));
  char buf[1 << 16];
  for (;;) {
    ssize_t got = ::read(raw, buf, sizeof buf);
    if (got < 0) {
      if (errno == EINTR) continue;
      return file_error("cannot read", errno);
    }
    if (got == 0) break;
    data.append(buf, static_cast<std::size_t>(got));
  }
  return data;
}

namespace {

FileId file_id(const struct stat& st) {
  return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                S_ISREG(st.st_mode), S_ISCHR(st.st_mode)};
}

}  // namespace

std::optional<FileId> identify(const std::string& path) {
  struct stat st {};
  const int rc = path == kStdinName ? ::fstat(STDIN_FILENO, &st) : ::stat(path.c_str(), &st);
  if (rc != 0) return std::nullopt;
  return file_id(st);
}

std::optional<FileId> identify_stdout() {
  struct stat st {};
  if (::fstat(STDOUT_FILENO, &st) != 0) return std::nullopt;
  return file_id(st);
}

bool looks_compiled(std::string_view data) {
  // format_version (u8), the instruction count (u64), then the first
  // instruction's tag (u32). Text has no control character up front, and
  // its bytes would make the count enormous; the file may be cut short.
  constexpr std::size_t kHeader = 1 + 8;
  if (data.size() < kHeader) return false;
  const auto version = static_cast<unsigned char>(data[0]);
  if (version >= 0x20 || (version >= '\t' && version <= '\r')) return false;
  std::uint64_t count = 0;
  std::memcpy(&count, data.data() + 1, sizeof count);
  if (count >= std::uint64_t{1} << 40) return false;
  std::uint32_t tag = 0;
  if (count == 0 || data.size() < kHeader + sizeof tag) return true;
  std::memcpy(&tag, data.data() + kHeader, sizeof tag);
  return tag < core::kOpcodeCount;
}

bool looks_like_source(std::string_view data) {
  bool blank = true;
  for (char ch : data) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
    if (c == 0x7f) return false;
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') blank = false;
  }
  return !blank && core::is_valid_utf8(data);
}

std::optional<FileError> source_text_fault(std::string_view data) {
  if (data.starts_with("\xEF\xBB\xBF")) {
    return FileError{"starts with a UTF-8 byte-order mark (bytes EF BB BF); Quarn source is "
                     "plain UTF-8 without one: save the file without the mark"};
  }
  if (data.starts_with("\xFF\xFE") || data.starts_with("\xFE\xFF")) {
    return FileError{"starts with a UTF-16 byte-order mark; Quarn source is read as UTF-8"};
  }
  if (auto fault = find_utf8_fault(data)) return FileError{describe(*fault)};
  return std::nullopt;
}

std::optional<Utf8Fault> find_utf8_fault(std::string_view text) {
  Utf8Fault at{0, 1, 1, 0};
  for (std::size_t i = 0; i < text.size();) {
    const core::Utf8Char c = core::decode_utf8(text, i);
    if (c.len == 0) {
      at.offset = i;
      at.byte = static_cast<std::uint8_t>(text[i]);
      return at;
    }
    if (c.cp == '\n') {
      ++at.line;
      at.column = 1;
    } else {
      ++at.column;
    }
    i += c.len;
  }
  return std::nullopt;
}

std::string describe(const Utf8Fault& fault) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "not valid UTF-8: byte 0x%02X at offset %llu (line %llu, column %llu)",
                fault.byte, static_cast<unsigned long long>(fault.offset),
                static_cast<unsigned long long>(fault.line),
                static_cast<unsigned long long>(fault.column));
  return buf;
}

bool emit(std::FILE* stream, std::span<const std::uint8_t> bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size();
}

bool emit(std::FILE* stream, std::string_view text) {
  return std::fwrite(text.data(), 1, text.size(), stream) == text.size();
}

}  // namespace quarn::quarnc
