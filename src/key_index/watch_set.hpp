// What the kernel tells about changes to a registry, its users/ directory
// and every directory on the way to them, so that a key check can learn
// "nothing changed" from one poll() instead of a look at each path.
//
// inotify reports a change before the call that made it returns, in any
// process, so an empty queue at the start of a check means that nothing
// watched changed before the check began. It sees only what this kernel
// does: the set refuses file systems whose content can change elsewhere
// (NFS, FUSE, ...), and mount changes, which move paths without touching a
// directory, come from polling /proc/self/mountinfo beside the queue. No
// Python object is touched here.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

namespace vardun::watch {

class WatchSet {
 public:
  WatchSet() = default;
  WatchSet(const WatchSet&) = delete;
  WatchSet& operator=(const WatchSet&) = delete;
  ~WatchSet() { close(); }

  // Watches the file open at `file_fd`, every entry of `whole_dir`, and on
  // the way to `file_path` and to `whole_dir` the entry each directory
  // leads on by. Both paths must be absolute, with no ".", ".." or link on
  // the way, on local file systems; false (and nothing watched) otherwise.
  bool arm(const std::string& file_path, int file_fd, const std::string& whole_dir);

  // Whether anything watched may have changed since `arm` (or this set was
  // made in another process, by fork, from the one that armed it). Events
  // about other entries of the watched directories are read and dropped.
  bool changed();

  bool armed() const { return fd_ >= 0; }
  void close();

 private:
  // What matters of one watched inode: every event, or those that name
  // one of `names` (and those about the inode itself).
  struct Interest {
    bool whole = false;
    std::vector<std::string> names;
  };

  bool watch(const std::string& path, unsigned mask, const std::string* name);
  bool watch_way(const std::string& path, bool whole);
  bool relevant_events();

  int fd_ = -1;
  int mounts_fd_ = -1;
  unsigned long generation_ = 0;
  bool stale_ = true;
  std::unordered_map<int, Interest> interests_;
};

}  // namespace vardun::watch
