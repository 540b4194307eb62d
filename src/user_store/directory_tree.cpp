#include "directory_tree.hpp"

#include <dirent.h>

#include <algorithm>
#include <new>
#include <vector>

namespace vardun::directory_tree {

namespace {

using posix::Fd;
using posix::Status;

// Opens the directory `name` (relative to `dir_fd`) itself. A link there
// fails with ELOOP: what O_NOFOLLOW gives, but for O_DIRECTORY's ENOTDIR.
int open_directory(int dir_fd, const char* name) {
  int fd = posix::open_at(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (fd < 0 && errno == ENOTDIR) {
    struct stat info;
    if (::fstatat(dir_fd, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode)) {
      errno = ELOOP;
    } else {
      errno = ENOTDIR;
    }
  }
  return fd;
}

std::string joined(const std::string& parent, const std::string& name) {
  return name.empty() ? parent : parent + "/" + name;
}

// Where a run of system calls failed: the errno, the path below the
// directory it works on ("" for that directory) or its parent, and a message
// of the store's own when strerror would mislead.
struct Failure {
  Status error = 0;
  std::string where;
  bool at_parent = false;
  const char* message = nullptr;

  bool set(Status status, std::string path) {
    error = status;
    where = std::move(path);
    return false;
  }
  void set_at_parent(Status status) {
    set(status, "");
    at_parent = true;
  }
  // Raises it, if there is one.
  void raise_if_set(const std::string& parent, const std::string& shown) const {
    if (error == 0) return;
    std::string name = at_parent ? parent : joined(shown, where);
    if (message != nullptr) posix::raise_os_error(error, message, name);
    posix::raise_errno(error, name);
  }
};

// The names in the open directory `fd`, sorted, so the last is handled first.
bool list_names(int fd, std::vector<std::string>& names, Status& error) {
  int listing = ::dup(fd);
  DIR* dir = listing >= 0 ? ::fdopendir(listing) : nullptr;
  if (dir == nullptr) {
    error = errno;
    if (listing >= 0) ::close(listing);
    return false;
  }
  errno = 0;
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
    errno = 0;
  }
  error = errno;
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return error == 0;
}

// Levels below the deepest ones that keep their descriptor open. The rest are
// opened again on the way back up, so a tree of any depth needs only these.
constexpr std::size_t kOpenLevels = 8;

// Removes a directory tree depth first, without recursion: one level per
// directory on the way down from the top, each holding the names still to
// handle in it. Memory grows with the depth and the size of the directories
// on the way, and paths are built only to name a failure.
class TreeRemoval {
 public:
  TreeRemoval(int top_parent_fd, Failure& failure)
      : top_parent_fd_(top_parent_fd), failure_(failure) {}

  void run(const std::string& name) {
    if (!enter(top_parent_fd_, name)) return;
    while (!levels_.empty()) {
      Level& level = levels_.back();
      if (level.names.empty()) {
        if (!leave()) return;
        continue;
      }
      std::string entry = std::move(level.names.back());
      level.names.pop_back();
      if (!handle(level.fd.get(), entry)) return;
    }
  }

 private:
  // A directory being emptied: its name in the one above, the names still
  // to handle in it (the next one last) and its descriptor while it is held;
  // a closed one keeps its device and inode, to recognise it again.
  struct Level {
    std::string name;
    std::vector<std::string> names;
    Fd fd;
    dev_t device = 0;
    ino_t inode = 0;
  };

  // One entry of the directory `dir_fd`: files and links unlinked,
  // directories entered, anything else left.
  bool handle(int dir_fd, const std::string& entry) {
    struct stat info;
    if (::fstatat(dir_fd, entry.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      return errno == ENOENT || fail(errno, &entry);  // gone meanwhile
    }
    if (S_ISREG(info.st_mode) || S_ISLNK(info.st_mode)) {
      if (::unlinkat(dir_fd, entry.c_str(), 0) != 0 && errno != ENOENT) return fail(errno, &entry);
    } else if (S_ISDIR(info.st_mode)) {
      return enter(dir_fd, entry);
    }
    return true;
  }

  // Opens the directory `name` in `parent_fd` and lists it as a new level.
  // One replaced by a link or a file since it was looked at fails; an
  // unreadable one is left unlisted, and its removal fails if it holds
  // anything.
  bool enter(int parent_fd, const std::string& name) {
    Fd fd(open_directory(parent_fd, name.c_str()));
    if (!fd) {
      if (errno == ENOENT) return true;  // gone meanwhile
      if (errno != EACCES) return fail(errno, &name);
      if (::unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR) != 0) return fail(errno, &name);
      return true;
    }
    levels_.push_back(Level{name, {}, std::move(fd)});
    Status error = 0;
    if (!list_names(levels_.back().fd.get(), levels_.back().names, error)) {
      return fail(error, nullptr);
    }
    if (levels_.size() > kOpenLevels) {
      Level& far = levels_[levels_.size() - 1 - kOpenLevels];
      if (far.fd) {
        struct stat info;
        if (::fstat(far.fd.get(), &info) != 0) return fail(errno, nullptr);
        far.device = info.st_dev;
        far.inode = info.st_ino;
        far.fd.reset();
      }
    }
    return true;
  }

  // Removes the deepest level's directory, now empty as far as it was
  // listed. A parent whose descriptor was closed is reached again through
  // "..", which must still be that parent: a directory moved meanwhile makes
  // the removal fail rather than work on whatever now holds it.
  bool leave() {
    int parent_fd = top_parent_fd_;
    if (levels_.size() > 1) {
      Level& level = levels_.back();
      Level& up = levels_[levels_.size() - 2];
      if (!up.fd) {
        Fd fd(posix::open_at(level.fd.get(), "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
        struct stat info;
        if (!fd || ::fstat(fd.get(), &info) != 0) return fail(errno, nullptr);
        if (info.st_dev != up.device || info.st_ino != up.inode) {
          failure_.message = "Moved while it was being removed";
          return fail(ESTALE, nullptr);
        }
        up.fd = std::move(fd);
      }
      parent_fd = up.fd.get();
    }
    std::string name = std::move(levels_.back().name);
    levels_.pop_back();  // closes its descriptor before the removal
    // Gone meanwhile (a key check taking back the empty directory it made).
    if (::unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
      return fail(errno, &name);
    }
    return true;
  }

  // Records the failure naming the deepest level's directory, or `entry`
  // inside it, relative to the top.
  bool fail(Status error, const std::string* entry) {
    std::string path;
    auto add = [&](const std::string& part) {
      if (!path.empty()) path += '/';
      path += part;
    };
    for (std::size_t i = 1; i < levels_.size(); ++i) add(levels_[i].name);
    if (entry != nullptr && !levels_.empty()) add(*entry);
    return failure_.set(error, std::move(path));
  }

  int top_parent_fd_;
  Failure& failure_;
  std::vector<Level> levels_;
};

}  // namespace

void chmod_directory(const std::string& path, mode_t mode) {
  Status error = posix::without_lock([&] {
    return posix::retry_stale(path, [&] {
      Fd fd(open_directory(AT_FDCWD, path.c_str()));
      if (!fd) return errno;
      return posix::errno_of(::fchmod(fd.get(), mode));
    });
  });
  if (error != 0) posix::raise_errno(error, path);
}

namespace {

// One try of ensure_directory; `created` is set once the directory was made.
Ensured ensure_once(const std::string& parent, const std::string& name, mode_t mode,
                    Failure& failure, bool& created) {
  Fd parent_fd(open_directory(AT_FDCWD, parent.c_str()));
  if (!parent_fd) {
    if (errno == ENOENT) return Ensured::ParentMissing;
    failure.set_at_parent(errno);
    return Ensured::Existed;
  }
  if (::mkdirat(parent_fd.get(), name.c_str(), 0700) == 0) {
    created = true;
  } else if (errno != EEXIST) {
    failure.set(errno, "");
    return Ensured::Existed;
  }
  Fd fd(open_directory(parent_fd.get(), name.c_str()));
  if (!fd) {
    // A file or a link holds the name: not a directory of ours.
    failure.set(errno == ELOOP || errno == ENOTDIR ? EEXIST : errno, "");
  } else if (::fchmod(fd.get(), mode) != 0) {
    failure.set(errno, "");
  }
  return created ? Ensured::Created : Ensured::Existed;
}

// One try of remove_tree.
void remove_once(const std::string& parent, const std::string& name, Failure& failure) {
  Fd parent_fd(open_directory(AT_FDCWD, parent.c_str()));
  if (!parent_fd) {
    if (errno != ENOENT) failure.set_at_parent(errno);
    return;
  }
  struct stat info;
  if (::fstatat(parent_fd.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) failure.set(errno, "");
    return;
  }
  if (S_ISLNK(info.st_mode)) {
    if (::unlinkat(parent_fd.get(), name.c_str(), 0) != 0) failure.set(errno, "");
    return;
  }
  if (!S_ISDIR(info.st_mode)) {
    failure.set(ENOTDIR, "");  // what removing it as a directory gives
    return;
  }
  try {
    TreeRemoval(parent_fd.get(), failure).run(name);
  } catch (const std::bad_alloc&) {
    failure.error = ENOMEM;  // no path: building one needs memory too
    failure.where.clear();
    failure.message = nullptr;
  }
}

}  // namespace

Ensured ensure_directory(const std::string& parent, const std::string& name,
                         const std::string& shown, mode_t mode) {
  Failure failure;
  Ensured ensured = posix::without_lock([&] {
    bool created = false;
    Ensured outcome = Ensured::Existed;
    posix::retry_stale(parent + "/" + name, [&] {
      failure = Failure{};
      outcome = ensure_once(parent, name, mode, failure, created);
      return failure.error;
    });
    return outcome;
  });
  failure.raise_if_set(parent, shown);
  return ensured;
}

void remove_tree(const std::string& parent, const std::string& name, const std::string& shown) {
  Failure failure;
  posix::without_lock([&] {
    // Removing what is left again is the same removal. A directory moved
    // while it was removed is a failure of its own, not a stale handle.
    return posix::retry_stale(parent + "/" + name, [&] {
      failure = Failure{};
      remove_once(parent, name, failure);
      return failure.message == nullptr ? failure.error : 0;
    });
  });
  failure.raise_if_set(parent, shown);
}

void remove_if_empty(const std::string& parent, const std::string& name) {
  posix::without_lock([&] {
    Fd parent_fd(open_directory(AT_FDCWD, parent.c_str()));
    if (parent_fd) ::unlinkat(parent_fd.get(), name.c_str(), AT_REMOVEDIR);
    return 0;
  });
}

}  // namespace vardun::directory_tree
