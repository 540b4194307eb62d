// Credential directories: what a key check needs to know of the last one
// `_ensure_credential_dir` made.
#pragma once

#include <string>

namespace vardun::credential_dirs {

// The directory this thread's last `_ensure_credential_dir` call of the
// module created, if it created one.
struct Created {
  bool any = false;
  std::string parent;
  std::string name;
};

// Forgets what earlier calls created; a key check does this before calling
// the method through the instance, and reads `take_created` right after.
void forget_created();
Created take_created();

}  // namespace vardun::credential_dirs
