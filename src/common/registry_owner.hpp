// Whose files the store reads: a registry (and what else it trusts on disk)
// must belong to the account the process runs as; root, working on a
// service account's store, also takes root's own or the base directory's
// owner's. Shared by the store and the key index, which must agree on it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace vardun {

// Why a file owned by `owner` at `name` is not to be read ("" when it may
// be): it must belong to the effective uid; root also takes one of root's or
// of the base directory's owner (the directory holding `name`). No
// interpreter lock needed.
std::string owner_refusal(uid_t owner, const std::string& name);

// Why the registry `name`, as `info` describes it, is not to be read ("" when
// it may be): owner_refusal's rule, and a single link. The store never makes
// a second name for its registry; whoever keeps one can rename an old
// registry back after a change and bring back the keys it removed. No
// interpreter lock needed.
std::string registry_refusal(const struct stat& info, const std::string& name);

}  // namespace vardun
