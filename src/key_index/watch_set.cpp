#include "watch_set.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <mutex>

namespace vardun::watch {

namespace {

// Every change the check depends on: an entry made, removed, renamed or
// written, its mode, owner or times changed, the inode itself moved away.
constexpr unsigned kDirectoryMask = IN_ATTRIB | IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE |
                                    IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
                                    IN_ONLYDIR | IN_DONT_FOLLOW;
constexpr unsigned kFileMask =
    IN_ATTRIB | IN_MODIFY | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF;

// File systems whose every change goes through this kernel. Network and
// FUSE file systems are left out: what another machine or a user-space
// server changes raises no event here.
constexpr unsigned long kLocalFileSystems[] = {
    0xEF53,      // ext2, ext3, ext4
    0x58465342,  // xfs
    0x9123683E,  // btrfs
    0x01021994,  // tmpfs
    0xF2F52010,  // f2fs
    0x2FC12FC1,  // zfs
    0x794C7630,  // overlayfs
};

bool local(const struct statfs& info) {
  auto type = static_cast<unsigned long>(info.f_type);
  return std::find(std::begin(kLocalFileSystems), std::end(kLocalFileSystems), type) !=
         std::end(kLocalFileSystems);
}

// A child of fork() shares the parent's inotify queue: events it read would
// be lost to the parent, so a set armed before a fork is not used after it.
std::atomic<unsigned long> fork_generation{0};
std::once_flag fork_hook;

void after_fork_in_child() {
  fork_generation.fetch_add(1, std::memory_order_relaxed);
}

// "/a/b/c" as ["a", "b", "c"]; false for a relative path or one with an
// empty, "." or ".." part.
bool split(const std::string& path, std::vector<std::string>& parts) {
  if (path.empty() || path[0] != '/') return false;
  std::size_t start = 1;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    parts.push_back(std::move(part));
    start = end + 1;
  }
  return !parts.empty();
}

}  // namespace

void WatchSet::close() {
  if (fd_ >= 0) ::close(fd_);
  if (mounts_fd_ >= 0) ::close(mounts_fd_);
  fd_ = mounts_fd_ = -1;
  interests_.clear();
  stale_ = true;
}

bool WatchSet::watch(const std::string& path, unsigned mask, const std::string* name) {
  struct statfs info;
  if (::statfs(path.c_str(), &info) != 0 || !local(info)) return false;
  int wd = ::inotify_add_watch(fd_, path.c_str(), mask);
  if (wd < 0) return false;
  Interest& interest = interests_[wd];
  if (name == nullptr) {
    interest.whole = true;
  } else {
    interest.names.push_back(*name);
  }
  return true;
}

// Every directory from the root down to `path`, each for the entry that
// leads on; `path` itself as a whole directory, or for its last entry.
bool WatchSet::watch_way(const std::string& path, bool whole) {
  std::vector<std::string> parts;
  if (!split(path, parts)) return false;
  std::string directory = "/";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (!watch(directory, kDirectoryMask, &parts[i])) return false;
    if (directory.size() > 1) directory += '/';
    directory += parts[i];
  }
  return !whole || watch(directory, kDirectoryMask, nullptr);
}

bool WatchSet::arm(const std::string& file_path, int file_fd, const std::string& whole_dir) {
  std::call_once(fork_hook, [] { ::pthread_atfork(nullptr, nullptr, after_fork_in_child); });
  close();
  generation_ = fork_generation.load(std::memory_order_relaxed);
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  mounts_fd_ = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
  struct statfs info;
  // The open file itself, whatever name it goes by: a write through another
  // link to it is an event too.
  std::string open_file = "/proc/self/fd/" + std::to_string(file_fd);
  bool ok = fd_ >= 0 && mounts_fd_ >= 0 && ::fstatfs(file_fd, &info) == 0 && local(info) &&
            watch_way(file_path, false) && watch_way(whole_dir, true);
  int wd = ok ? ::inotify_add_watch(fd_, open_file.c_str(), kFileMask) : -1;
  if (wd < 0) {
    close();
    return false;
  }
  interests_[wd].whole = true;
  stale_ = false;
  return true;
}

bool WatchSet::relevant_events() {
  alignas(struct inotify_event) char buffer[4096];
  for (;;) {
    ssize_t got = ::read(fd_, buffer, sizeof buffer);
    if (got < 0) return errno != EAGAIN;
    if (got == 0) return true;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
      if (event->mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_UNMOUNT)) return true;
      auto found = interests_.find(event->wd);
      if (found == interests_.end() || found->second.whole || event->len == 0) return true;
      const std::vector<std::string>& names = found->second.names;
      if (std::find(names.begin(), names.end(), std::string(event->name)) != names.end()) {
        return true;
      }
    }
  }
}

bool WatchSet::changed() {
  if (stale_ || fd_ < 0 || generation_ != fork_generation.load(std::memory_order_relaxed)) {
    return true;
  }
  struct pollfd fds[2] = {{fd_, POLLIN, 0}, {mounts_fd_, POLLPRI, 0}};
  int ready = ::poll(fds, 2, 0);
  if (ready != 0) {
    // A mount table that changed, an error, or events that may matter.
    stale_ =
        ready < 0 || fds[1].revents != 0 || (fds[0].revents & ~POLLIN) != 0 || relevant_events();
  }
  return stale_;
}

}  // namespace vardun::watch
