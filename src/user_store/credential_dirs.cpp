// Per-user credential directories under `users_dir`: naming, creating with
// owner-only access, and removing with everything inside. The directory
// steps are system calls relative to open directories (directory_tree.hpp):
// pathlib's mkdir, chmod and rglob follow links, even ones swapped in while
// they run.
#include "credential_dirs.hpp"

#include <optional>

#include "bodies.hpp"
#include "directory_tree.hpp"
#include "python_ops.hpp"
#include "store_helpers.hpp"

namespace vardun {

namespace credential_dirs {

namespace {
thread_local Created last_created;
}  // namespace

void forget_created() {
  last_created.any = false;
}

Created take_created() {
  Created created = std::move(last_created);
  last_created = Created{};
  return created;
}

}  // namespace credential_dirs

namespace bodies {

namespace {

// An identifier names one plain directory entry. Anything else, which only a
// hand-edited registry can hold, would let the store create, chmod or delete
// the users directory itself or a directory outside it.
void require_plain_component(const ModuleState& s, PyObject* user_id) {
  Py_ssize_t length = PyUnicode_GET_LENGTH(user_id);
  int kind = PyUnicode_KIND(user_id);
  const void* data = PyUnicode_DATA(user_id);
  bool plain = length > 0;
  for (Py_ssize_t i = 0; plain && i < length; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    plain = c != '/' && c != '\0';
  }
  if (plain && length <= 2) {
    bool dots = PyUnicode_READ(kind, data, 0) == '.' &&
                (length == 1 || PyUnicode_READ(kind, data, 1) == '.');
    plain = !dots;
  }
  if (!plain) py::raise(PyExc_ValueError, py::add(s.invalid_user_id_message, user_id).get());
}

// A credential path as the directory steps take it.
struct Location {
  Ref parent;  // the path of the directory holding it
  std::string parent_name, name, shown;
};

Location locate(const ModuleState& s, PyObject* path) {
  Location where;
  where.parent = py::getattr(path, s.parent);
  where.parent_name = posix::fs_name(where.parent.get());
  where.name = posix::fs_name(py::getattr(path, s.name).get());
  where.shown = posix::fs_name(path);
  return where;
}

}  // namespace

Ref credential_dir(const Call& call) {
  const ModuleState& s = call.state;
  PyObject* user_id = call.arg(1);
  require_plain_component(s, user_id);
  Ref users_dir = py::getattr(call.arg(0), s.users_dir);
  return py::divide(users_dir.get(), user_id);
}

Ref ensure_credential_dir(const Call& call) {
  using directory_tree::Ensured;
  const ModuleState& s = call.state;
  Ref path = py::call_method(call.arg(0), s.credential_dir, {call.arg(1)});
  Location where = locate(s, path.get());
  Ref private_mode = owner_rwx_mode(call);
  mode_t mode = mode_of(private_mode);
  Ensured ensured =
      directory_tree::ensure_directory(where.parent_name, where.name, where.shown, mode);
  if (ensured == Ensured::ParentMissing) {
    // users/ (or whatever holds it) re-created: private, its parents as any.
    make_private_directories(call, where.parent.get(), private_mode.get());
    ensured = directory_tree::ensure_directory(where.parent_name, where.name, where.shown, mode);
    if (ensured == Ensured::ParentMissing) posix::raise_errno(ENOENT, where.parent_name);
  }
  if (ensured == Ensured::Created) {
    credential_dirs::last_created = {true, std::move(where.parent_name), std::move(where.name)};
  }
  return Ref::borrow(Py_None);
}

Ref remove_credential_dir(const Call& call) {
  const ModuleState& s = call.state;
  Ref path = py::call_method(call.arg(0), s.credential_dir, {call.arg(1)});
  // A name the file system cannot represent names nothing there, as
  // path.exists() says by returning False.
  std::optional<Location> where = catch_all([&] { return std::optional(locate(s, path.get())); },
                                            [&]() -> std::optional<Location> {
                                              PendingError error =
                                                  PendingError::from_current_exception();
                                              if (!error.matches(PyExc_ValueError)) error.rethrow();
                                              return std::nullopt;
                                            });
  if (where) directory_tree::remove_tree(where->parent_name, where->name, where->shown);
  return Ref::borrow(Py_None);
}

}  // namespace bodies
}  // namespace vardun
