// Whose files the store reads: a registry (and what else it trusts on disk)
// must belong to the account the process runs as; root, working on a
// service account's store, also takes root's own or the base directory's
// owner's. Shared by the store and the key index, which must agree on it.
#pragma once

#include <sys/types.h>

#include <string>

namespace vardun {

// Why a file owned by `owner` at `name` is not to be read ("" when it may
// be): it must belong to the effective uid; root also takes one of root's or
// of the base directory's owner (the directory holding `name`). No
// interpreter lock needed.
std::string owner_refusal(uid_t owner, const std::string& name);

}  // namespace vardun
