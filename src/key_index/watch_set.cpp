#include "watch_set.hpp"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

#include "notifier.hpp"

namespace vardun::key_index {

namespace {

// Every change the check depends on: an entry made, removed, renamed or
// written, its mode, owner, link count or times changed, the inode itself
// moved away. A directory on the way matters only for its entry that leads
// on, which is a directory or the registry (watched itself): writes to
// other files there (a busy home directory) are not asked for. IN_MASK_ADD:
// one inode may be watched by several sets, each wanting its own events.
constexpr unsigned kWayMask = IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                              IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW |
                              IN_MASK_ADD;
constexpr unsigned kDirectoryMask = kWayMask | IN_MODIFY | IN_CLOSE_WRITE;
constexpr unsigned kFileMask =
    IN_ATTRIB | IN_MODIFY | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_MASK_ADD;

// File systems whose every change goes through this kernel. Network and
// FUSE file systems are left out. An overlay's layers changed from outside
// the overlay raise no event either; the key index's look once a second
// bounds that.
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

bool local_path(const std::string& path) {
  struct statfs info;
  return ::statfs(path.c_str(), &info) == 0 && local(info);
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

// Every directory from the root down to `path`, each for the entry that
// leads on; `path` itself as a whole directory, or for its last entry. A
// link on the way fails: IN_ONLYDIR | IN_DONT_FOLLOW at each step.
bool WatchSet::watch_way(const std::string& path, bool whole) {
  Notifier& notifier = Notifier::get();
  std::vector<std::string> parts;
  if (!split(path, parts)) return false;
  std::string directory = "/";
  for (const std::string& part : parts) {
    if (!local_path(directory) || !notifier.watch(generation_, directory, kWayMask, *this, &part)) {
      return false;
    }
    if (directory.size() > 1) directory += '/';
    directory += part;
  }
  return !whole || (local_path(directory) &&
                    notifier.watch(generation_, directory, kDirectoryMask, *this, nullptr));
}

std::unique_ptr<WatchSet> WatchSet::arm(const std::string& file_path, int file_fd,
                                        const std::string& users_dir) {
  std::uint64_t generation = Notifier::get().generation();
  if (generation == 0) return nullptr;
  std::unique_ptr<WatchSet> set(new WatchSet(generation));
  struct statfs info;
  // The open file itself, whatever name it goes by: a write through
  // another link to it is an event too.
  std::string open_file = "/proc/self/fd/" + std::to_string(file_fd);
  if (::fstatfs(file_fd, &info) != 0 || !local(info) || !set->watch_way(file_path, false) ||
      !set->watch_way(users_dir, true) ||
      !Notifier::get().watch(generation, open_file, kFileMask, *set, nullptr)) {
    return nullptr;
  }
  // Only now, with every watch in place, is the name checked to be the
  // file itself: a link there (a "current" link switched to a release, say)
  // would move the registry where no watch looks. A change after this
  // check is an event.
  struct stat named, opened;
  if (::lstat(file_path.c_str(), &named) != 0 || ::fstat(file_fd, &opened) != 0 ||
      !S_ISREG(named.st_mode) || named.st_dev != opened.st_dev || named.st_ino != opened.st_ino) {
    return nullptr;
  }
  return set;
}

WatchSet::~WatchSet() {
  Notifier::get().forget(*this);
}

bool WatchSet::changed() {
  return Notifier::get().changed(*this);
}

}  // namespace vardun::key_index
