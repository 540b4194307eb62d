// System calls for the steps where pathlib cannot give what the store needs:
// opening without following a link, and working relative to an open
// directory. Runs of system calls happen without the interpreter lock; their
// failures come back as errno values and are raised afterwards, with the
// lock, as the OSError subclass of the errno naming the path, as the
// interpreter's own file functions do.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "python_ref.hpp"

namespace vardun::posix {

// An open descriptor, closed when it goes out of scope (no Python involved,
// so also safe while a daemon thread is being unwound at exit).
class Fd {
 public:
  Fd() noexcept = default;
  explicit Fd(int fd) noexcept : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~Fd() { reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  int release() noexcept { return std::exchange(fd_, -1); }
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// A system call's outcome: 0 or an errno value.
using Status = int;

inline Status errno_of(long result) noexcept {
  return result < 0 ? errno : 0;
}

// open/openat, again when a signal interrupts it.
inline int open_at(int dir_fd, const char* name, int flags, mode_t mode = 0) noexcept {
  int fd;
  do {
    fd = ::openat(dir_fd, name, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// A stale file handle. On a file system shared between hosts (NFS, FUSE
// ones such as GlusterFS), a name that another host has meanwhile renamed a
// new file over can still lead, on this host, to the file that was there
// before, and a call answers ESTALE. The kernel tries such a call once
// more with a fresh look-up (LOOKUP_REVAL), but a FUSE server may answer
// that look-up from its own cache (GlusterFS's metadata cache, for a second
// by default). What replaces the entry at once is a listing of its
// directory: FUSE lists with READDIRPLUS, which reports each name's current
// file, and drops an entry whose file has changed.
//
// Runs `run()` (system calls only; it reaches the file by the name `name`
// afresh each time and returns 0 or an errno) and, while it answers ESTALE,
// lists the directory holding `name` and runs it again: at most kRetries
// more times, none begun more than kBudgetMs after the first failure. Then
// its answer stands. `run` must be safe to repeat. (On a FUSE mount without
// READDIRPLUS the listing replaces nothing, and the entry stays stale until
// its timeout: longer than this waits.)
class StaleRetry {
 public:
  static constexpr int kRetries = 3;
  static constexpr long kBudgetMs = 250;

  explicit StaleRetry(const std::string& name) noexcept;
  // Whether to run the call again; if so, the name has been looked up afresh.
  bool again() noexcept;

 private:
  const std::string& name_;
  int retries_ = 0;
  long started_ms_;
};

template <class Run>
Status retry_stale(const std::string& name, Run&& run) {
  Status status = run();
  if (status != ESTALE) return status;
  StaleRetry retry(name);
  while (status == ESTALE && retry.again()) status = run();
  return status;
}

// An error of a call on an open descriptor: ENOENT there can only be a
// shared file system's server saying the file is gone, replaced since it was
// opened, which is a stale handle too.
inline Status stale_if_gone(Status error) noexcept {
  return error == ENOENT ? ESTALE : error;
}

// Runs `work()` (system calls only, nothing of Python) without the
// interpreter lock, and returns what it returned. A C++ exception from
// `work` (std::bad_alloc) leaves with the lock taken back; a forced
// unwinding (from taking the lock back at exit) passes as it is. Its
// handler binds to no object, as in catch_all.
template <class Work>
__attribute__((no_sanitize("undefined"))) auto without_lock(Work&& work) {
  PyThreadState* thread = PyEval_SaveThread();
  try {
    auto result = std::forward<Work>(work)();
    PyEval_RestoreThread(thread);
    return result;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    PyEval_RestoreThread(thread);
    throw;
  }
}

// The file-system name of a path-like object: os.fsencode(os.fspath(path)).
std::string fs_name(PyObject* path);

// Raises the OSError subclass of `error` naming `filename` (a str, bytes
// or path-like object).
[[noreturn]] void raise_errno(int error, PyObject* filename);

// Raises the OSError subclass of `error` naming the file-system path `name`.
[[noreturn]] void raise_errno(int error, const std::string& name);

// Raises OSError(error, message, filename) with a message of the store's own.
[[noreturn]] void raise_os_error(int error, const std::string& message, const std::string& name);

// "name (uid N)", or "uid N" for a uid without an account; and what chown
// takes for it: the name, else the number. No interpreter lock needed.
std::string account_label(uid_t uid);
std::string account_name(uid_t uid);

}  // namespace vardun::posix
