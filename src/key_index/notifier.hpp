// The process's one inotify instance and its mount-table descriptor, shared
// by the watch sets of every key index (an account may have only 128
// instances in all).
//
// What a set may rely on: once `watch` has returned for an inode, every later
// change to it is in the instance's queue before the call that made it
// returns, in whatever process made it, and `changed` reads the queue to its
// end before it answers. The set's interest is registered under the same
// lock as the watch is added, and the queue is read and dispatched under it
// too, so no event of a watch can be read before its sets are known. Events
// that cannot be told apart (an overflow, a changed mount table, a watch the
// kernel dropped, an instance that is no longer ours) fire every set
// concerned: a set answers "changed" too often, never too seldom.
//
// No Python object is touched here, and no call blocks with the lock held
// but for the watches' own system calls on local file systems.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace vardun::key_index {

class WatchSet;

class Notifier {
 public:
  // The process's notifier; it lives until the process ends, since sets
  // may outlive the module.
  static Notifier& get();

  // The current instance's generation, made if there is none (at most one
  // try a second after a failure); 0 when no instance can be had.
  std::uint64_t generation();

  // Watches `path` (not following a link at its last component) with
  // `mask` for `set`, which wants every event of it (`name` null) or those
  // about its entry `name`; false if the instance of `generation` is gone
  // or the kernel refuses.
  bool watch(std::uint64_t generation, const std::string& path, unsigned mask, WatchSet& set,
             const std::string* name);

  // Gives back what `set` watched; a watch no set wants any more is removed.
  void forget(WatchSet& set);

  // Whether anything `set` watches may have changed since it was watched.
  bool changed(WatchSet& set);

  // At most once a second: whether the instance, the mount table's
  // descriptor, the root directory and the mount namespace are still the
  // ones the watches were made in (other code may close a descriptor, the
  // process may chroot or unshare); if not, every set fires and the next
  // arming makes a new instance.
  void audit();

 private:
  Notifier();

  struct Interest {
    WatchSet* set;
    bool whole;
    std::string name;
  };

  bool ensure_instance_locked();
  void reset_locked(bool ours);
  void fire_all_locked();
  void read_events_locked();
  bool instance_is_ours_locked() const;
  static void before_fork();
  static void after_fork_in_parent();
  static void after_fork_in_child();

  std::mutex mutex_;
  int fd_ = -1;        // the inotify instance
  int spare_fd_ = -1;  // a duplicate, to recognise the instance by (kcmp)
  int mounts_fd_ = -1;
  std::uint64_t generation_ = 0;
  std::uint64_t next_generation_ = 1;
  // Identity of what the watches were made in.
  dev_t mounts_dev_ = 0, root_dev_ = 0;
  ino_t mounts_ino_ = 0, root_ino_ = 0, namespace_ino_ = 0;
  std::int64_t next_audit_ns_ = 0;
  std::int64_t next_attempt_ns_ = 0;
  bool forked_ = false;
  // Watch descriptor -> the sets that want its events, and how many of
  // each set's watches point at it (one inode may be watched by many sets).
  std::unordered_map<int, std::vector<Interest>> interests_;
  std::unordered_set<WatchSet*> sets_;
};

// Nanoseconds of the coarse monotonic clock (no system call).
std::int64_t coarse_now_ns() noexcept;

// How many times this process came out of fork() as the child: locks held
// by the parent's other threads at the fork are not to be waited for.
std::uint64_t fork_count() noexcept;

}  // namespace vardun::key_index
