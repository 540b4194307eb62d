// Per-user credential directories under `users_dir`: naming, creating with
// owner-only access, and removing with everything inside.
#include "bodies.hpp"
#include "python_ops.hpp"
#include "store_helpers.hpp"

namespace vardun::bodies {

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

}  // namespace

Ref credential_dir(const Call& call) {
  const ModuleState& s = call.state;
  PyObject* user_id = call.arg(1);
  require_plain_component(s, user_id);
  Ref users_dir = py::getattr(call.arg(0), s.users_dir);
  return py::divide(users_dir.get(), user_id);
}

Ref ensure_credential_dir(const Call& call) {
  const ModuleState& s = call.state;
  Ref path = py::call_method(call.arg(0), s.credential_dir, {call.arg(1)});
  make_directories(call, path.get());
  py::call_method(path.get(), s.chmod, {owner_rwx_mode(call).get()});
  return Ref::borrow(Py_None);
}

Ref remove_credential_dir(const Call& call) {
  const ModuleState& s = call.state;
  Ref path = py::call_method(call.arg(0), s.credential_dir, {call.arg(1)});
  if (!py::truth(py::call_method(path.get(), s.exists).get())) return Ref::borrow(Py_None);
  // A link in the directory's place goes alone; nothing behind it is touched.
  if (py::truth(py::call_method(path.get(), s.is_symlink).get())) {
    py::call_method(path.get(), s.unlink);
    return Ref::borrow(Py_None);
  }

  Ref entries = py::call_method(path.get(), s.rglob, {s.star});
  Ref sorted = lookup_global(call.globals, s.sorted);
  Ref ordered = py::call(sorted.get(), {entries.get(), Py_True}, s.kw_reverse);
  Ref children = py::iter(ordered.get());
  while (Ref child = py::next(children.get())) {
    if (py::truth(py::call_method(child.get(), s.is_file).get()) ||
        py::truth(py::call_method(child.get(), s.is_symlink).get())) {
      py::call_method(child.get(), s.unlink);
    } else if (py::truth(py::call_method(child.get(), s.is_dir).get())) {
      py::call_method(child.get(), s.rmdir);
    }
    // Anything else (a pipe, a socket, a device) stays, so rmdir fails below.
  }
  py::call_method(path.get(), s.rmdir);
  return Ref::borrow(Py_None);
}

}  // namespace vardun::bodies
