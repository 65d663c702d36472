#include "quarnc/output.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quarn::quarnc {
namespace {

namespace fs = std::filesystem;

// Symbolic links followed for a link that leads nowhere before giving up,
// as the kernel gives up on a longer chain (ELOOP).
constexpr int kMaxLinkHops = 40;

// --- the temporary file and the signals that end the process ----------------------
//
// The handler may only touch what is safe in a signal handler: the path sits
// in a fixed buffer and the flag says whether it names a file of ours.
// REQUIRES: both change only while the cleanup signals are blocked.
char g_temp_path[PATH_MAX];
volatile std::sig_atomic_t g_temp_live = 0;

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_previous[std::size(kCleanupSignals)];
bool g_installed[std::size(kCleanupSignals)] = {};

extern "C" void remove_temp_then_die(int sig) {
  if (g_temp_live) ::unlink(g_temp_path);
  // End of the same signal, as without this handler, so that the parent
  // sees it (a shell reports 128 + the signal's number). The signal stays
  // blocked until the handler returns, and is delivered then.
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

sigset_t cleanup_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kCleanupSignals) sigaddset(&set, sig);
  return set;
}

// Holds the cleanup signals back for its lifetime; one that arrives meanwhile
// is delivered when it ends.
class SignalsHeld {
 public:
  SignalsHeld() {
    const sigset_t set = cleanup_signal_set();
    pthread_sigmask(SIG_BLOCK, &set, &old_);
  }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;
  ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

 private:
  sigset_t old_;
};

// REQUIRES: the cleanup signals are held.
void install_handlers() {
  for (std::size_t k = 0; k < std::size(kCleanupSignals); ++k) {
    struct sigaction current {};
    if (sigaction(kCleanupSignals[k], nullptr, &current) != 0) continue;
    // An ignored signal (nohup, a background job) is not ours to take.
    if (current.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = remove_temp_then_die;
    action.sa_mask = cleanup_signal_set();
    g_installed[k] = sigaction(kCleanupSignals[k], &action, &g_previous[k]) == 0;
  }
}

// REQUIRES: the cleanup signals are held.
void restore_handlers() {
  for (std::size_t k = 0; k < std::size(kCleanupSignals); ++k) {
    if (g_installed[k]) sigaction(kCleanupSignals[k], &g_previous[k], nullptr);
    g_installed[k] = false;
  }
}

std::optional<FileError> write_replacing(const std::string& path,
                                         std::span<const std::uint8_t> bytes) {
  const fs::path target(path);
  fs::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  // Hidden and named after the target, so a left-over one (power cut) says
  // what it was.
  const std::string templ =
      (folder / ("." + target.filename().string() + ".tmp-XXXXXX")).string();
  if (templ.size() >= sizeof g_temp_path) return file_error("cannot write", ENAMETOOLONG);

  int raw = -1;
  {
    SignalsHeld held;
    std::memcpy(g_temp_path, templ.c_str(), templ.size() + 1);
    raw = ::mkstemp(g_temp_path);
    if (raw < 0) return file_error("cannot write", errno);
    g_temp_live = 1;
    install_handlers();
  }
  Fd fd(raw);
  auto fail = [&](int err) -> std::optional<FileError> {
    fd.close();
    SignalsHeld held;
    ::unlink(g_temp_path);
    g_temp_live = 0;
    restore_handlers();
    return file_error("cannot write", err);
  };
  const mode_t mask = ::umask(0);
  ::umask(mask);
  if (::fchmod(fd.get(), 0666 & ~mask) != 0) return fail(errno);
  if (!write_all(fd.get(), bytes.data(), bytes.size())) return fail(errno);
  if (::fsync(fd.get()) != 0) return fail(errno);
  if (!fd.close()) return fail(errno);
  {
    // Renamed or removed, never both nor neither, whatever signal comes.
    SignalsHeld held;
    if (::rename(g_temp_path, path.c_str()) != 0) {
      const int err = errno;
      ::unlink(g_temp_path);
      g_temp_live = 0;
      restore_handlers();
      return file_error("cannot write", err);
    }
    g_temp_live = 0;
    restore_handlers();
  }
  // Make the rename itself durable; a folder that cannot be synced (some
  // file systems refuse) still holds the complete file.
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return std::nullopt;
}

std::optional<FileError> write_through(const std::string& path,
                                       std::span<const std::uint8_t> bytes) {
  // No O_CREAT: the device or FIFO was there a moment ago, and if it has
  // gone a regular file must not take its place unnoticed. A FIFO's open
  // waits for a reader, as any writer's does.
  int raw = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (raw < 0) return file_error("cannot write", errno);
  Fd fd(raw);
  if (!write_all(fd.get(), bytes.data(), bytes.size())) return file_error("cannot write", errno);
  if (!fd.close()) return file_error("cannot write", errno);
  return std::nullopt;
}

// The name a chain of symbolic links ends at, when it ends at nothing.
core::Result<std::string, FileError> follow_dangling_links(std::string path) {
  for (int hops = 0;; ++hops) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
      if (errno == ENOENT) return path;
      return file_error("cannot write", errno);
    }
    if (!S_ISLNK(st.st_mode)) return path;  // appeared meanwhile: replace it
    if (hops == kMaxLinkHops) return file_error("cannot write", ELOOP);
    std::error_code ec;
    const fs::path link = fs::read_symlink(path, ec);
    if (ec) return file_error("cannot write", ec.value());
    path = link.is_absolute() ? link.string() : (fs::path(path).parent_path() / link).string();
  }
}

}  // namespace

core::Result<Destination, FileError> resolve_output(const std::string& out) {
  struct stat st {};
  if (::stat(out.c_str(), &st) != 0) {
    if (errno != ENOENT) return file_error("cannot write", errno);
    auto created = follow_dangling_links(out);
    if (!created.ok()) return std::move(created).error();
    return Destination{Destination::Way::kReplace, std::move(created).value(), std::nullopt};
  }
  const FileId id{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                  S_ISREG(st.st_mode), S_ISCHR(st.st_mode)};
  if (S_ISREG(st.st_mode)) {
    char* real = ::realpath(out.c_str(), nullptr);
    if (real == nullptr) return file_error("cannot write", errno);
    std::string resolved(real);
    std::free(real);
    return Destination{Destination::Way::kReplace, std::move(resolved), id};
  }
  if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) {
    return Destination{Destination::Way::kWriteThrough, out, id};
  }
  if (S_ISDIR(st.st_mode)) return file_error("cannot write", EISDIR);
  if (S_ISBLK(st.st_mode)) {
    return FileError{"is a block device; quarnc does not write over one (it holds a file system)"};
  }
  if (S_ISSOCK(st.st_mode)) return FileError{"is a socket; quarnc cannot write to one"};
  return FileError{"is not a regular file, character device or FIFO; quarnc cannot write to it"};
}

std::optional<FileError> write_output(const Destination& where,
                                      std::span<const std::uint8_t> bytes) {
  if (where.way == Destination::Way::kWriteThrough) return write_through(where.path, bytes);
  return write_replacing(where.path, bytes);
}

}  // namespace quarn::quarnc
