// What a locker holds once flock has granted it: the file at the lock path,
// or a file nobody uses any more. An exposed lock file (one others could
// open) is replaced by a fresh private one, so that descriptors opened on it
// earlier lock a file that no later locker opens.
#pragma once

#include <string>

namespace vardun::lock_file {

enum class Held {
  AtPath,  // the caller holds the write lock
  Moved,   // another file took the path: unlock, close and open it again
};

// Called after flock granted the lock on `fd`, opened at `name` (`locked`
// false where no flock is taken: nothing is compared then). If `fd` is still
// the file at `name` and `exposed`, a fresh private file, locked before it
// takes the path, is renamed over it and `fd` becomes that file.
Held settle(int fd, const std::string& name, bool exposed, bool locked);

}  // namespace vardun::lock_file
