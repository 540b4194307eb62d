// Mutual exclusion holds across the lock file's replacement by this
// invariant: while a locker is inside (flock granted, then the path found
// naming the file it locked), the path names a file that locker holds
// locked. The path changes only by the rename in replace(), made by a
// locker that is inside, of a file it locked before the rename; it lets go
// of the old file only after the rename. So a waiter granted the old file
// finds the path moved and starts again, and the new file is held until
// its replacer leaves: no second locker is ever inside. The store never
// removes the lock file (one removed by hand while held lets a new one be
// created beside it, as it always did).
#include "lock_file.hpp"

#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>

#include "posix.hpp"

namespace vardun::lock_file {

namespace {

using posix::Fd;
using posix::Status;

struct Outcome {
  Held held = Held::AtPath;
  Status error = 0;
  std::string failed;  // the file the error concerns
};

Status lock_exclusive(int fd) noexcept {
  int result;
  do {
    result = ::flock(fd, LOCK_EX);
  } while (result != 0 && errno == EINTR);
  return posix::errno_of(result);
}

// Renames a fresh private file over the lock path while `fd` (the file
// there, `held` describing it) is locked, and moves `fd` onto it: closing
// the old file's last descriptor lets its waiters go, and they find another
// file at the path.
void replace(int fd, const struct stat& held, const std::string& name, bool locked,
             Outcome& outcome) {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  std::string temp = name + ".tmp-" + std::to_string(now.tv_sec * 1000000000LL + now.tv_nsec);
  Fd fresh(posix::open_at(AT_FDCWD, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
  if (!fresh) {
    outcome = {Held::AtPath, errno, temp};
    return;
  }
  Status error = posix::errno_of(::fchmod(fresh.get(), 0600));
  // Root working on a service account's store keeps the file that account's.
  if (error == 0 && held.st_uid != ::geteuid()) {
    error = posix::errno_of(::fchown(fresh.get(), held.st_uid, held.st_gid));
  }
  if (error == 0 && locked) error = lock_exclusive(fresh.get());
  if (error == 0) error = posix::errno_of(::rename(temp.c_str(), name.c_str()));
  if (error != 0) {
    ::unlink(temp.c_str());
    outcome = {Held::AtPath, error, temp};
    return;
  }
  if (::dup2(fresh.get(), fd) < 0) outcome = {Held::AtPath, errno, name};
}

}  // namespace

Held settle(int fd, const std::string& name, bool exposed, bool locked) {
  Outcome outcome = posix::without_lock([&] {
    Outcome result;
    struct stat held, named;
    if (::fstat(fd, &held) != 0) return Outcome{Held::AtPath, errno, name};
    if (locked) {
      if (::fstatat(AT_FDCWD, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return Outcome{Held::Moved};
        return Outcome{Held::AtPath, errno, name};
      }
      if (named.st_dev != held.st_dev || named.st_ino != held.st_ino) return Outcome{Held::Moved};
    }
    if (exposed) replace(fd, held, name, locked, result);
    return result;
  });
  if (outcome.error != 0) posix::raise_errno(outcome.error, outcome.failed);
  return outcome.held;
}

}  // namespace vardun::lock_file
