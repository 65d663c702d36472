#include "quarnc/files.h"

#include "quarn_core/text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace quarn::quarnc {
namespace {

FileError reason(const char* what, int err) {
  return {std::string(what) + ": " + std::strerror(err)};
}

// Writes all of `n` bytes, going on after short writes and interruptions.
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

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { close(); }
  int get() const { return fd_; }
  // Closes now; false when close reports an error (a delayed write failure).
  bool close() {
    if (fd_ < 0) return true;
    int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0;
  }

 private:
  int fd_;
};

}  // namespace

core::Result<std::string, FileError> read_input(const std::string& path) {
  const bool is_stdin = path == kStdinName;
  int raw = is_stdin ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (raw < 0) return reason("cannot open", errno);
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
      return reason("cannot read", errno);
    }
    if (got == 0) break;
    data.append(buf, static_cast<std::size_t>(got));
  }
  return data;
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

std::optional<FileError> write_atomically(const std::string& path,
                                            std::span<const std::uint8_t> bytes) {
  namespace fs = std::filesystem;
  const fs::path target(path);
  fs::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  // Hidden and named after the target, so a left-over one (power cut) says
  // what it was.
  std::string templ = (folder / ("." + target.filename().string() + ".tmp-XXXXXX")).string();
  int raw = ::mkstemp(templ.data());
  if (raw < 0) return reason("cannot write", errno);
  Fd fd(raw);
  auto fail = [&](int err) -> std::optional<FileError> {
    fd.close();
    ::unlink(templ.c_str());
    return reason("cannot write", err);
  };
  const mode_t mask = ::umask(0);
  ::umask(mask);
  if (::fchmod(fd.get(), 0666 & ~mask) != 0) return fail(errno);
  if (!write_all(fd.get(), bytes.data(), bytes.size())) return fail(errno);
  if (::fsync(fd.get()) != 0) return fail(errno);
  if (!fd.close()) return fail(errno);
  if (::rename(templ.c_str(), path.c_str()) != 0) return fail(errno);
  // Make the rename itself durable; a folder that cannot be synced (some
  // file systems refuse) still holds the complete file.
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return std::nullopt;
}

bool emit(std::FILE* stream, std::span<const std::uint8_t> bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size();
}

bool emit(std::FILE* stream, std::string_view text) {
  return std::fwrite(text.data(), 1, text.size(), stream) == text.size();
}

}  // namespace quarn::quarnc
