// One key index's watches: the registry file it parsed (whatever name it goes
// by), users/ and every entry in it, and on the way from the root to both the
// entry each directory leads on by. They live in the process's shared
// notifier (notifier.hpp) and are given back when the set goes.
//
// A set is armed only where the kernel sees every change: absolute paths
// with no ".", ".." or link on the way, the registry itself a regular file
// (not a link) at its name, on file systems whose changes all go through
// this kernel. Network and FUSE file systems, where another machine or a
// user-space server changes files unseen, never get one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vardun::key_index {

class Notifier;

class WatchSet {
 public:
  // Watches the registry open at `file_fd`, which must still be the regular
  // file at `file_path`, and `users_dir`; null (nothing watched) where the
  // kernel cannot be asked.
  static std::unique_ptr<WatchSet> arm(const std::string& file_path, int file_fd,
                                       const std::string& users_dir);

  WatchSet(const WatchSet&) = delete;
  WatchSet& operator=(const WatchSet&) = delete;
  ~WatchSet();

  // Whether anything watched may have changed since the set was armed (one
  // poll() when nothing is pending).
  bool changed();

 private:
  friend class Notifier;
  explicit WatchSet(std::uint64_t generation) : generation_(generation) {}
  bool watch_way(const std::string& path, bool whole);

  std::uint64_t generation_;
  bool fired_ = false;    // under the notifier's lock
  std::vector<int> wds_;  // one entry per interest registered
};

}  // namespace vardun::key_index
