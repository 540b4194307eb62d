#include "directory_tree.hpp"

#include <dirent.h>

#include <algorithm>
#include <functional>
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

// Where a run of system calls failed: the errno, and the path below the
// directory it works on ("" for that directory), or its parent.
struct Failure {
  Status error = 0;
  std::string where;
  bool at_parent = false;

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
    posix::raise_errno(error, at_parent ? parent : joined(shown, where));
  }
};

// The names in the open directory `fd`, in reverse order.
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
  std::sort(names.begin(), names.end(), std::greater<>());
  return error == 0;
}

bool remove_directory(int parent_fd, const std::string& name, const std::string& path,
                      Failure& failure);

// Empties the open directory `fd`, which is `where` below the top.
bool empty_directory(int fd, const std::string& where, Failure& failure) {
  std::vector<std::string> names;
  Status error = 0;
  if (!list_names(fd, names, error)) return failure.set(error, where);
  for (const std::string& name : names) {
    std::string path = where.empty() ? name : where + "/" + name;
    struct stat info;
    if (::fstatat(fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;  // gone meanwhile
      return failure.set(errno, path);
    }
    if (S_ISREG(info.st_mode) || S_ISLNK(info.st_mode)) {
      if (::unlinkat(fd, name.c_str(), 0) != 0 && errno != ENOENT) return failure.set(errno, path);
    } else if (S_ISDIR(info.st_mode) && !remove_directory(fd, name, path, failure)) {
      return false;
    }
  }
  return true;
}

// Empties and removes the directory `name` in `parent_fd` (`path` below the
// top). One replaced by a link or a file since it was looked at fails; an
// unreadable one is left unlisted, and its removal fails if it holds anything.
bool remove_directory(int parent_fd, const std::string& name, const std::string& path,
                      Failure& failure) {
  Fd fd(open_directory(parent_fd, name.c_str()));
  if (fd) {
    if (!empty_directory(fd.get(), path, failure)) return false;
  } else if (errno == ENOENT) {
    return true;  // gone meanwhile
  } else if (errno != EACCES) {
    return failure.set(errno, path);
  }
  fd.reset();
  if (::unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR) != 0) return failure.set(errno, path);
  return true;
}

}  // namespace

void chmod_directory(const std::string& path, mode_t mode) {
  Status error = posix::without_lock([&] {
    Fd fd(open_directory(AT_FDCWD, path.c_str()));
    if (!fd) return errno;
    return posix::errno_of(::fchmod(fd.get(), mode));
  });
  if (error != 0) posix::raise_errno(error, path);
}

Ensured ensure_directory(const std::string& parent, const std::string& name,
                         const std::string& shown, mode_t mode) {
  Failure failure;
  Ensured ensured = posix::without_lock([&] {
    Fd parent_fd(open_directory(AT_FDCWD, parent.c_str()));
    if (!parent_fd) {
      if (errno == ENOENT) return Ensured::ParentMissing;
      failure.set_at_parent(errno);
      return Ensured::Existed;
    }
    bool created = ::mkdirat(parent_fd.get(), name.c_str(), 0700) == 0;
    if (!created && errno != EEXIST) {
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
  });
  failure.raise_if_set(parent, shown);
  return ensured;
}

void remove_tree(const std::string& parent, const std::string& name, const std::string& shown) {
  Failure failure;
  posix::without_lock([&] {
    Fd parent_fd(open_directory(AT_FDCWD, parent.c_str()));
    if (!parent_fd) {
      if (errno != ENOENT) failure.set_at_parent(errno);
      return 0;
    }
    struct stat info;
    if (::fstatat(parent_fd.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) failure.set(errno, "");
      return 0;
    }
    if (S_ISLNK(info.st_mode)) {
      if (::unlinkat(parent_fd.get(), name.c_str(), 0) != 0) failure.set(errno, "");
      return 0;
    }
    if (!S_ISDIR(info.st_mode)) {
      failure.set(ENOTDIR, "");  // what removing it as a directory gives
      return 0;
    }
    remove_directory(parent_fd.get(), name, "", failure);
    return 0;
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
