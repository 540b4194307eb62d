#include "store_files.hpp"

#include <sys/stat.h>

namespace vardun::store_files {

namespace {

using posix::Fd;
using posix::Status;

// fsync or fdatasync, again when a signal interrupts it.
Status flush(int (*sync_call)(int), int fd) noexcept {
  int result;
  do {
    result = sync_call(fd);
  } while (result != 0 && errno == EINTR);
  return posix::errno_of(result);
}

// What is found at a name the store is about to use as its own file.
enum class Found { Ours, NotRegular, Foreign };

Found examine(int fd, bool must_be_ours) noexcept {
  struct stat info;
  if (::fstat(fd, &info) != 0) return Found::NotRegular;
  if (!S_ISREG(info.st_mode)) return Found::NotRegular;
  if (must_be_ours && info.st_uid != ::geteuid()) return Found::Foreign;
  return Found::Ours;
}

struct Opened {
  Fd fd;
  Status error = 0;
  Found found = Found::Ours;
};

// Opens `name` with O_NOFOLLOW and O_NONBLOCK (a named pipe without reader
// fails instead of blocking) and examines what was opened.
Opened open_own_file(const std::string& name, int flags, bool must_be_ours) {
  return posix::without_lock([&] {
    Opened opened;
    opened.error = posix::retry_stale(name, [&] {
      opened.fd = Fd(posix::open_at(AT_FDCWD, name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK, 0600));
      return opened.fd ? 0 : errno;
    });
    if (opened.error == 0) opened.found = examine(opened.fd.get(), must_be_ours);
    return opened;
  });
}

// Why the regular file at `name`, which this account may not open, is not
// the store's ("" if it is, or is not a regular file).
std::string foreign_file_refusal(const std::string& name) {
  return posix::without_lock([&] {
    struct stat info;
    if (::fstatat(AT_FDCWD, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return std::string();
    return S_ISREG(info.st_mode) ? owner_refusal(info.st_uid, name) : std::string();
  });
}

[[noreturn]] void raise_unusable(const Opened& opened, const std::string& name) {
  if (opened.error != 0) posix::raise_errno(opened.error, name);
  if (opened.found == Found::Foreign) {
    posix::raise_os_error(EPERM, "Owned by another user", name);
  }
  posix::raise_os_error(EINVAL, "Not a regular file", name);
}

}  // namespace

std::string read_regular_file(const std::string& name, std::size_t spare) {
  struct Read {
    Status error = 0;
    bool directory = false;
    bool regular = true;
    std::string refusal;
    std::string content;
  };
  // One open and read of the name; on a shared file system the open can
  // succeed on the file another host has replaced and the read then answer
  // ESTALE, so the whole of it is what is tried again.
  auto read_once = [&](Read& outcome) -> Status {
    Fd fd(posix::open_at(AT_FDCWD, name.c_str(), O_RDONLY | O_NONBLOCK));
    if (!fd) return outcome.error = errno;
    struct stat info;
    if (::fstat(fd.get(), &info) != 0) return outcome.error = posix::stale_if_gone(errno);
    outcome.directory = S_ISDIR(info.st_mode);
    outcome.regular = S_ISREG(info.st_mode);
    if (!outcome.regular) return 0;
    // Users come only from a file this account wrote, under this one name:
    // whoever can write to a directory above could otherwise swap in a
    // registry of their own, or an old one of ours.
    outcome.refusal = registry_refusal(info, name);
    if (!outcome.refusal.empty()) return 0;
    outcome.content.reserve(static_cast<std::size_t>(info.st_size) + 1 + spare);
    outcome.content.resize(static_cast<std::size_t>(info.st_size) + 1);
    std::size_t filled = 0;
    for (;;) {
      if (filled == outcome.content.size()) outcome.content.resize(filled * 2 + 4096);
      ssize_t count =
          ::read(fd.get(), outcome.content.data() + filled, outcome.content.size() - filled);
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) return outcome.error = posix::stale_if_gone(errno);
      if (count == 0) break;
      filled += static_cast<std::size_t>(count);
    }
    outcome.content.resize(filled);
    // A file another host has replaced can read as its old self and say so
    // only when closed.
    if (::close(fd.release()) != 0 && posix::stale_if_gone(errno) == ESTALE) {
      return outcome.error = ESTALE;
    }
    return 0;
  };
  Read read = posix::without_lock([&] {
    Read outcome;
    posix::retry_stale(name, [&] {
      outcome = Read{};
      return read_once(outcome);
    });
    return outcome;
  });
  if (read.error != 0) posix::raise_errno(read.error, name);
  if (read.directory) posix::raise_errno(EISDIR, name);
  if (!read.regular) posix::raise_os_error(EINVAL, "Not a regular file", name);
  if (!read.refusal.empty()) posix::raise_os_error(EPERM, read.refusal, name);
  return std::move(read.content);
}

LockFile open_lock_file(const std::string& name) {
  Opened opened = open_own_file(name, O_WRONLY | O_CREAT, false);
  std::string refusal;
  if (opened.error == EACCES) refusal = foreign_file_refusal(name);
  if (refusal.empty() && (opened.error != 0 || opened.found != Found::Ours)) {
    raise_unusable(opened, name);
  }
  LockFile lock{std::move(opened.fd)};
  Status error = posix::without_lock([&] {
    if (!refusal.empty()) return 0;
    int fd = lock.fd.get();
    // Whoever else can open it can hold the write lock forever: another
    // account's is refused, one of ours is replaced once locked.
    struct stat info;
    if (::fstat(fd, &info) != 0) return errno;
    refusal = owner_refusal(info.st_uid, name);
    if (!refusal.empty()) return 0;
    lock.exposed = (info.st_mode & 077) != 0;
    if (::ftruncate(fd, 0) != 0) return errno;
    return posix::errno_of(::futimens(fd, nullptr));
  });
  if (!refusal.empty()) posix::raise_os_error(EPERM, refusal, name);
  if (error != 0) posix::raise_errno(error, name);
  return lock;
}

TempFile TempFile::create(std::string name, mode_t mode) {
  // Truncated only once known to be a regular file of ours.
  Opened opened = open_own_file(name, O_WRONLY | O_CREAT, true);
  if (opened.error != 0 || opened.found != Found::Ours) raise_unusable(opened, name);
  TempFile file(std::move(opened.fd), std::move(name));
  Status error = posix::without_lock([&] {
    if (::ftruncate(file.fd_.get(), 0) != 0) return errno;
    return posix::errno_of(::fchmod(file.fd_.get(), mode));
  });
  if (error != 0) {
    file.discard();
    posix::raise_errno(error, file.name_);
  }
  return file;
}

void TempFile::write(const char* data, std::size_t size) {
  Status error = posix::without_lock([&] {
    std::size_t written = 0;
    while (written < size) {
      ssize_t count = ::write(fd_.get(), data + written, size - written);
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) return errno;
      written += static_cast<std::size_t>(count);
    }
    return 0;
  });
  if (error != 0) posix::raise_errno(error, name_);
}

// The data and the size are what must survive; the rename is made durable by
// flushing the directory.
void TempFile::sync() {
  Status error = posix::without_lock([&] { return flush(::fdatasync, fd_.get()); });
  if (error != 0) posix::raise_errno(error, name_);
}

void TempFile::chmod(mode_t mode) {
  Status error = posix::without_lock([&] { return posix::errno_of(::fchmod(fd_.get(), mode)); });
  if (error != 0) posix::raise_errno(error, name_);
}

void TempFile::committed(const std::string& directory, mode_t mode) {
  posix::without_lock([&] {
    // The mode first: a reader that finds the new file at once should not
    // see it change again while the directory is flushed.
    ::fchmod(fd_.get(), mode);
    Fd dir(posix::open_at(AT_FDCWD, directory.c_str(), O_RDONLY | O_DIRECTORY));
    if (dir && ::fsync(dir.get()) != 0 && errno == EINTR) ::fsync(dir.get());
    return 0;
  });
  fd_.reset();
}

void TempFile::discard() noexcept {
  fd_.reset();
  ::unlink(name_.c_str());
}

}  // namespace vardun::store_files
