// The store's own files under the base directory, opened without following a
// symbolic link at their name: the registry is read only when it is a
// regular file (a named pipe there would hang every key check), a save's
// temporary file and the lock file are created private by the store itself
// and must be regular files it owns. Whoever can write to the base directory
// can still replace the registry; none of this lets them make the store
// write, truncate or chmod anything outside it.
#pragma once

#include <string>

#include "posix.hpp"
#include "registry_owner.hpp"

namespace vardun::store_files {

// The whole content of the registry `name`, which must be a regular file (a
// link to one is followed) that registry_refusal accepts, else PermissionError.
// A directory raises IsADirectoryError, as reading one would. Room for
// `spare` more bytes is kept beyond what the file held when opened.
std::string read_regular_file(const std::string& name, std::size_t spare = 0);

// The lock file as opened: `exposed` when others could open it too (older
// stores made it 0644), so that it is to be replaced once locked.
struct LockFile {
  posix::Fd fd;
  bool exposed = false;
};

// Opens the lock file for writing, creating it with mode 0600, emptying it
// and setting its modification time; a link or anything but a regular file
// at `name` is an error, and so is a file owner_refusal refuses
// (PermissionError naming its owner).
LockFile open_lock_file(const std::string& name);

// The temporary file of one save.
class TempFile {
 public:
  // Creates `name` (or truncates a file of ours left there) with mode 0600
  // before anything is written, then applies `mode`.
  static TempFile create(std::string name, mode_t mode);

  // Writes `size` bytes of `data`.
  void write(const char* data, std::size_t size);

  // fchmod of the file.
  void chmod(mode_t mode);

  // Flushes what was written to disk.
  void sync();

  // After the rename has made the new registry visible: the save is done,
  // so flushing `directory` (making the rename durable) and applying `mode`
  // once more are best effort and never fail it.
  void committed(const std::string& directory, mode_t mode);

  // A failed save takes its temporary file with it.
  void discard() noexcept;

 private:
  TempFile(posix::Fd fd, std::string name) : fd_(std::move(fd)), name_(std::move(name)) {}
  posix::Fd fd_;
  std::string name_;
};

}  // namespace vardun::store_files
