#include "notifier.hpp"

#include <fcntl.h>
#include <linux/kcmp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

#include "watch_set.hpp"

namespace vardun::key_index {

namespace {

constexpr std::int64_t kSecond = 1'000'000'000;

std::atomic<std::uint64_t> forks{0};

int close_quietly(int fd) {
  if (fd >= 0) ::close(fd);
  return -1;
}

bool same_file(int a, int b) {
  long result = ::syscall(SYS_kcmp, ::getpid(), ::getpid(), KCMP_FILE, a, b);
  if (result >= 0) return result == 0;
  // Without kcmp: at least an inotify instance (not, say, an eventfd that
  // reading would rob).
  char target[64];
  std::string link = "/proc/self/fd/" + std::to_string(a);
  ssize_t size = ::readlink(link.c_str(), target, sizeof target);
  return size == 17 && std::memcmp(target, "anon_inode:inotify", 17) == 0;
}

}  // namespace

std::uint64_t fork_count() noexcept {
  return forks.load(std::memory_order_relaxed);
}

std::int64_t coarse_now_ns() noexcept {
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<std::int64_t>(now.tv_sec) * kSecond + now.tv_nsec;
}

Notifier::Notifier() {
  ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
}

Notifier& Notifier::get() {
  // Never destroyed: a set may be dropped while the interpreter exits.
  static Notifier* notifier = new Notifier();
  return *notifier;
}

// A child of fork() shares the parent's queue: reading it would steal the
// parent's events, and removing a watch would remove the parent's. The
// child gives the instance up untouched; the lock is held across the fork so
// that the child's copy is not left locked by a thread it does not have.
void Notifier::before_fork() {
  get().mutex_.lock();
}

void Notifier::after_fork_in_parent() {
  get().mutex_.unlock();
}

void Notifier::after_fork_in_child() {
  Notifier& self = get();
  forks.fetch_add(1, std::memory_order_relaxed);
  self.forked_ = true;
  self.mutex_.unlock();
}

void Notifier::fire_all_locked() {
  for (WatchSet* set : sets_) set->fired_ = true;
}

// Drops the instance without removing any watch (it may be shared with a
// parent); every set of it fires. Descriptors that may no longer be ours
// (closed by other code, their numbers perhaps reused) are left alone.
void Notifier::reset_locked(bool ours) {
  fire_all_locked();
  for (WatchSet* set : sets_) set->wds_.clear();
  sets_.clear();
  interests_.clear();
  if (ours) {
    close_quietly(fd_);
    close_quietly(spare_fd_);
    close_quietly(mounts_fd_);
  }
  fd_ = spare_fd_ = mounts_fd_ = -1;
  generation_ = 0;
}

bool Notifier::ensure_instance_locked() {
  if (forked_) {
    forked_ = false;
    reset_locked(true);
  }
  if (fd_ >= 0) return true;
  std::int64_t now = coarse_now_ns();
  if (now < next_attempt_ns_) return false;
  next_attempt_ns_ = now + kSecond;
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  spare_fd_ = fd_ >= 0 ? ::fcntl(fd_, F_DUPFD_CLOEXEC, 0) : -1;
  mounts_fd_ = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
  struct stat mounts, root, space;
  if (fd_ < 0 || spare_fd_ < 0 || mounts_fd_ < 0 || ::fstat(mounts_fd_, &mounts) != 0 ||
      ::stat("/", &root) != 0 || ::stat("/proc/self/ns/mnt", &space) != 0) {
    fd_ = close_quietly(fd_);
    spare_fd_ = close_quietly(spare_fd_);
    mounts_fd_ = close_quietly(mounts_fd_);
    return false;
  }
  mounts_dev_ = mounts.st_dev;
  mounts_ino_ = mounts.st_ino;
  root_dev_ = root.st_dev;
  root_ino_ = root.st_ino;
  namespace_ino_ = space.st_ino;
  generation_ = next_generation_++;
  next_audit_ns_ = now + kSecond;
  return true;
}

std::uint64_t Notifier::generation() {
  std::lock_guard<std::mutex> lock(mutex_);
  return ensure_instance_locked() ? generation_ : 0;
}

bool Notifier::watch(std::uint64_t generation, const std::string& path, unsigned mask,
                     WatchSet& set, const std::string* name) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (forked_ || generation == 0 || generation != generation_) return false;
  int wd = ::inotify_add_watch(fd_, path.c_str(), mask);
  if (wd < 0) return false;
  // Registered before the lock is let go: no read of the queue can meet an
  // event of this watch before the set is known to want it.
  try {
    interests_[wd].push_back(Interest{&set, name == nullptr, name ? *name : std::string()});
    set.wds_.push_back(wd);
    sets_.insert(&set);
  } catch (const std::bad_alloc&) {
    set.fired_ = true;
    return false;
  }
  return true;
}

void Notifier::forget(WatchSet& set) {
  std::lock_guard<std::mutex> lock(mutex_);
  sets_.erase(&set);
  bool ours = !forked_ && set.generation_ == generation_;
  for (int wd : set.wds_) {
    auto found = interests_.find(wd);
    if (found == interests_.end()) continue;
    std::vector<Interest>& wanted = found->second;
    wanted.erase(std::remove_if(wanted.begin(), wanted.end(),
                                [&](const Interest& interest) { return interest.set == &set; }),
                 wanted.end());
    if (wanted.empty()) {
      interests_.erase(found);
      if (ours) ::inotify_rm_watch(fd_, wd);
    }
  }
  set.wds_.clear();
}

void Notifier::read_events_locked() {
  alignas(struct inotify_event) char buffer[8192];
  for (;;) {
    ssize_t got = ::read(fd_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN) return;
    if (got <= 0) {
      reset_locked(false);
      return;
    }
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) {
        // Events were lost: anything may have changed.
        fire_all_locked();
        continue;
      }
      auto found = interests_.find(event->wd);
      if (found == interests_.end()) continue;
      for (const Interest& interest : found->second) {
        if (interest.whole || event->len == 0 || (event->mask & IN_IGNORED) ||
            interest.name == event->name) {
          interest.set->fired_ = true;
        }
      }
      if (event->mask & IN_IGNORED) {
        // The kernel dropped the watch (its inode is gone): the sets that
        // had it fired above and keep no claim on the number.
        for (const Interest& interest : found->second) {
          std::vector<int>& wds = interest.set->wds_;
          wds.erase(std::remove(wds.begin(), wds.end(), event->wd), wds.end());
        }
        interests_.erase(found);
      }
    }
  }
}

bool Notifier::instance_is_ours_locked() const {
  return fd_ >= 0 && same_file(fd_, spare_fd_);
}

bool Notifier::changed(WatchSet& set) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (set.fired_ || forked_ || set.generation_ != generation_) return true;
  struct pollfd fds[2] = {{fd_, POLLIN, 0}, {mounts_fd_, POLLPRI, 0}};
  int ready = ::poll(fds, 2, 0);
  if (ready < 0 || (fds[0].revents & ~POLLIN) != 0 || (fds[1].revents & POLLNVAL) != 0) {
    reset_locked(false);
  } else if (ready > 0) {
    // A changed mount table moves paths without touching a directory; the
    // report is given once, so it is passed on to every set now.
    if (fds[1].revents & (POLLPRI | POLLERR)) fire_all_locked();
    if (fds[0].revents & POLLIN) {
      if (instance_is_ours_locked()) {
        read_events_locked();
      } else {
        reset_locked(false);
      }
    }
  }
  return set.fired_ || set.generation_ != generation_;
}

void Notifier::audit() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ < 0 || forked_) return;
  std::int64_t now = coarse_now_ns();
  if (now < next_audit_ns_) return;
  next_audit_ns_ = now + kSecond;
  struct stat mounts, root, space;
  bool same = instance_is_ours_locked() && ::fstat(mounts_fd_, &mounts) == 0 &&
              mounts.st_dev == mounts_dev_ && mounts.st_ino == mounts_ino_ &&
              ::stat("/", &root) == 0 && root.st_dev == root_dev_ && root.st_ino == root_ino_ &&
              ::stat("/proc/self/ns/mnt", &space) == 0 && space.st_ino == namespace_ino_;
  // A changed root or namespace leaves the descriptors ours.
  if (!same)
    reset_locked(instance_is_ours_locked() && ::fstat(mounts_fd_, &mounts) == 0 &&
                 mounts.st_dev == mounts_dev_ && mounts.st_ino == mounts_ino_);
}

}  // namespace vardun::key_index
