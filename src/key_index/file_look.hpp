// The key index's look at the files: what the registry's path names now, and
// whether a credential directory is already as the store's step would leave
// it. System calls only, no Python: the caller runs them without the
// interpreter lock (on a network file system each one is a round trip).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

namespace vardun::key_index {

// What identifies one state of the registry file: the store only ever
// renames a new file over it, and the parsed file is kept open, so its
// inode cannot be handed to another file; size, times, owner, mode and link
// count change with any edit in place or any change the store's rules read.
struct FileSignature {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  std::int64_t mtime_ns = 0, ctime_ns = 0;
  uid_t uid = 0;
  mode_t mode = 0;
  nlink_t nlink = 0;
  bool operator==(const FileSignature&) const = default;
};

FileSignature signature_of(const struct stat& info);

// Whether the file whose signature was `read` when it was read, and is
// `now`, still holds the bytes read: the same signature, or that of the
// same file unlinked since (a rename over its name unlinks it, which
// changes its link count and change time) with its size, modification
// time, owner and mode as they were. Once unlinked, no one can open it
// anew; only a writer that already had it open for writing could change it
// unseen, by setting its modification time back or by writing within the
// same tick of the file system's coarse clock as the last write.
bool same_content(const FileSignature& read, const FileSignature& now);

// The registry as the store would find it: a regular file it may read (the
// owner and link rules), or anything else, in which case only the store
// can answer (its error, or no users at all).
struct RegistryLook {
  bool readable = false;
  FileSignature signature;
};

// Opens the path as the store reads it (following a link, not waiting on a
// named pipe), looks at what it opened and closes it: opening rather than
// stat() lets NFS's close-to-open consistency apply.
RegistryLook look_at_registry(const std::string& path);

// Whether the registry `info` describes is one the store may read, `name`
// being its path: a regular file, of an owner the store accepts, with one
// link (the rule the store applies, shared with it).
bool registry_accepted(const struct stat& info, const std::string& name);

// Whether `_ensure_credential_dir` would change nothing at `dir` inside
// `users_dir`: both real directories (no link) with mode 0700 exactly,
// owned by an account the store accepts (its own; for root also root's or
// the base directory's owner's, the base directory being where `registry`
// lies).
bool directories_settled(const std::string& users_dir, const std::string& dir,
                         const std::string& registry);

// Whether anything (a link included) is at `path`.
bool exists_at(const std::string& path);

// Removes the directory `path` if it is there and empty, relative to its
// parent opened without following a link; nothing is reported.
void remove_if_empty(const std::string& path);

}  // namespace vardun::key_index
