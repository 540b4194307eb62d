#include "file_look.hpp"

#include <fcntl.h>
#include <unistd.h>

#include "posix.hpp"
#include "registry_owner.hpp"

namespace vardun::key_index {

namespace {

std::string parent_of(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return path.substr(0, slash ? slash : 1);
}

bool owner_accepted(uid_t owner, const std::string& registry) {
  uid_t me = ::geteuid();
  if (owner == me) return true;
  if (me != 0) return false;
  if (owner == 0) return true;
  struct stat base;
  return ::stat(parent_of(registry).c_str(), &base) == 0 && base.st_uid == owner;
}

bool settled(const std::string& path, const std::string& registry) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && info.st_mode == (S_IFDIR | 0700) &&
         owner_accepted(info.st_uid, registry);
}

}  // namespace

FileSignature signature_of(const struct stat& info) {
  FileSignature signature;
  signature.dev = info.st_dev;
  signature.ino = info.st_ino;
  signature.size = info.st_size;
  signature.mtime_ns =
      static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
  signature.ctime_ns =
      static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1'000'000'000 + info.st_ctim.tv_nsec;
  signature.uid = info.st_uid;
  signature.mode = info.st_mode;
  signature.nlink = info.st_nlink;
  return signature;
}

bool same_content(const FileSignature& read, const FileSignature& now) {
  if (now == read) return true;
  return now.dev == read.dev && now.ino == read.ino && now.size == read.size &&
         now.mtime_ns == read.mtime_ns && now.uid == read.uid && now.mode == read.mode &&
         read.nlink > 0 && now.nlink == 0;
}

bool registry_accepted(const struct stat& info, const std::string& name) {
  return S_ISREG(info.st_mode) && registry_refusal(info, name).empty();
}

RegistryLook look_at_registry(const std::string& path) {
  RegistryLook look;
  // On a file system shared between hosts the name may lead to a file
  // another host has replaced: a stale handle, looked up afresh.
  posix::retry_stale(path, [&]() -> posix::Status {
    look = RegistryLook{};
    posix::Fd fd(posix::open_at(AT_FDCWD, path.c_str(), O_RDONLY | O_NONBLOCK));
    if (!fd) return errno;
    struct stat info;
    if (::fstat(fd.get(), &info) != 0) return posix::stale_if_gone(errno);
    // A close that says the file is gone from the server: it was replaced.
    if (::close(fd.release()) != 0 && posix::stale_if_gone(errno) == ESTALE) return ESTALE;
    look.readable = registry_accepted(info, path);
    look.signature = signature_of(info);
    return 0;
  });
  return look;
}

bool directories_settled(const std::string& users_dir, const std::string& dir,
                         const std::string& registry) {
  return settled(users_dir, registry) && settled(dir, registry);
}

bool exists_at(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

void remove_if_empty(const std::string& path) {
  std::size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  posix::Fd parent(
      posix::open_at(AT_FDCWD, parent_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
  if (parent) ::unlinkat(parent.get(), name.c_str(), AT_REMOVEDIR);
}

}  // namespace vardun::key_index
