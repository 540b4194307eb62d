// Native file steps that make a registry save private and crash-safe: the
// temporary file exists with mode 0600 before any content reaches it, and its
// data and the rename are flushed to disk. Failures raise the OSError
// subclass of the system error, naming the path.
#pragma once

#include "python_ref.hpp"

namespace vardun::durable {

// Creates (or truncates) the file at `path` with mode 0600, without exclusive
// create, and sets 0600 on a file that was already there.
void create_private_file(PyObject* path);

// fdatasync of the file's data.
void sync_file(PyObject* path);

// fsync of a directory, so that a rename inside it survives a crash. File
// systems that cannot sync a directory are not an error.
void sync_directory(PyObject* path);

}  // namespace vardun::durable
