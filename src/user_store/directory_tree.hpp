// Credential directories handled relative to open directory descriptors,
// every one opened without following a link: a symbolic link at `users/`, in
// a credential directory's place or anywhere inside one, present from the
// start or swapped in at any moment, makes the operation fail instead of
// reaching outside. `parent` is the directory holding the one named `name`;
// `shown` is that directory's path as errors name it.
#pragma once

#include <string>

#include "posix.hpp"

namespace vardun::directory_tree {

// chmod of the directory `path` itself, never of what a link there points to.
void chmod_directory(const std::string& path, mode_t mode);

enum class Ensured { ParentMissing, Existed, Created };

// Creates the directory (mode 0700) unless it is there, then applies `mode`.
// Something else at its name raises FileExistsError; a missing parent is
// reported, not created.
Ensured ensure_directory(const std::string& parent, const std::string& name,
                         const std::string& shown, mode_t mode);

// Removes the directory with everything inside: files and links (as links)
// are unlinked, subdirectories emptied and removed, entries in reverse name
// order, deepest first; anything else (a named pipe, a socket, a device)
// stays, so the removal of its directory then fails as not empty. A link in
// the directory's place is removed alone; nothing there is no error. The
// walk stops at the first failure, which is raised naming its entry. Trees of
// any depth go with a bounded number of descriptors and memory that grows
// with the depth; a directory moved out of its parent meanwhile fails.
void remove_tree(const std::string& parent, const std::string& name, const std::string& shown);

// Removes the directory if it is still there and empty; nothing is raised.
void remove_if_empty(const std::string& parent, const std::string& name);

}  // namespace vardun::directory_tree
