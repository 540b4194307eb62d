// The store's operations on users. Every step goes through the instance
// (`self._locked()`, `self._load()`, ...), so subclasses and instance
// attributes that override a step are honoured, and nothing is cached between
// calls. The changing operations run inside `with self._locked():`.
#include <optional>

#include "bodies.hpp"
#include "credential_dirs.hpp"
#include "directory_tree.hpp"
#include "python_ops.hpp"
#include "store_helpers.hpp"

namespace vardun::bodies {

namespace {

// A local that a `with` block never assigned because its context manager
// suppressed an exception, read as Python would read it.
PyObject* bound_local(const Ref& local, const char* name) {
  if (!local) {
    PyErr_Format(PyExc_UnboundLocalError,
                 "cannot access local variable '%s' where it is not associated with a value", name);
    throw_python_error();
  }
  return local.get();
}

void put(PyObject* dict, PyObject* key, PyObject* value) {
  check(PyDict_SetItem(dict, key, value));
}

// item.get(key) and item.get(key, ""). An exact dict's own `get`, which
// nothing can replace, is read directly; anything else is asked by name.
Ref dict_value(PyObject* item, PyObject* key, PyObject* fallback) {
  PyObject* value = PyDict_GetItemWithError(item, key);
  if (value == nullptr && PyErr_Occurred()) throw_python_error();
  return Ref::borrow(value != nullptr ? value : fallback);
}

Ref record_get(const ModuleState& s, PyObject* item, PyObject* key) {
  if (PyDict_CheckExact(item)) return dict_value(item, key, Py_None);
  return py::call_method(item, s.get, {key});
}

Ref get_or_empty(const ModuleState& s, PyObject* item, PyObject* key) {
  if (PyDict_CheckExact(item)) return dict_value(item, key, s.empty);
  return py::call_method(item, s.get, {key, s.empty});
}

// MCPUser(user_id=..., description=..., created_at=..., credential_dir=...)
Ref make_user(const ModuleState& s, PyObject* user_type, PyObject* user_id, PyObject* description,
              PyObject* created_at, PyObject* credential_dir) {
  return py::call(user_type, {user_id, description, created_at, credential_dir}, s.kw_user_fields);
}

// Whether the registry, read once more, still holds the record `user_id`
// with the stored hash `stored`. Entries that are no records are passed over.
bool record_still_there(const Call& call, PyObject* self, PyObject* user_id, PyObject* stored) {
  const ModuleState& s = call.state;
  Ref items = py::iter(py::call_method(self, s.load).get());
  while (Ref item = py::next(items.get())) {
    if (!PyDict_Check(item.get()) && !check(PyObject_HasAttr(item.get(), s.get))) continue;
    Ref owner = py::str(record_get(s, item.get(), s.user_id).get());
    if (!py::equal(owner.get(), user_id)) continue;
    Ref hash = py::str(get_or_empty(s, item.get(), s.api_key_hash).get());
    if (py::equal(hash.get(), stored)) return true;
  }
  return false;
}

// self._ensure_credential_dir(user_id) for the record that matched a key.
// A removal of that user (in another process, say) can run meanwhile: the
// directory then vanishes or changes under the call, or the call has to
// create it again. In those cases the registry is read once more, and if
// the record is gone the key check answers None, taking back the (empty)
// directory it made. Returns false when the check must answer None.
bool ensure_for_match(const Call& call, PyObject* self, PyObject* user_id, PyObject* stored) {
  std::optional<PendingError> failure;
  credential_dirs::forget_created();
  catch_all([&] { py::call_method(self, call.state.ensure_credential_dir, {user_id}); },
            [&] {
              PendingError error = PendingError::from_current_exception();
              if (!error.matches(PyExc_OSError)) error.rethrow();
              failure = std::move(error);
            });
  credential_dirs::Created created = credential_dirs::take_created();
  if (!failure && !created.any) return true;
  bool still_there;
  {
    std::optional<HandlingScope> handling;
    if (failure) handling.emplace(failure->value());
    still_there = record_still_there(call, self, user_id, stored);
  }
  if (still_there) {
    if (failure) failure->rethrow();
    return true;
  }
  if (created.any) directory_tree::remove_if_empty(created.parent, created.name);
  return false;
}

}  // namespace

Ref new_user_id(const Call& call) {
  const ModuleState& s = call.state;
  Ref existing = Ref::own(PySet_New(nullptr));
  Ref items = py::iter(call.arg(1));
  while (Ref item = py::next(items.get())) {
    Ref user_id = record_get(s, item.get(), s.user_id);
    check(PySet_Add(existing.get(), py::str(user_id.get()).get()));
  }
  for (;;) {
    Ref token = py::call_method(call.global(s.secrets).get(), s.token_hex, {s.int_4});
    Ref user_id = py::add(s.user_id_prefix, token.get());
    if (!check(PySet_Contains(existing.get(), user_id.get()))) return user_id;
  }
}

Ref add_user(const Call& call) {
  const ModuleState& s = call.state;
  PyObject* self = call.arg(0);
  PyObject* description = call.arg(1);
  Ref user_id, api_key, now;

  Ref lock = py::call_method(self, s.locked);
  py::with_block(s, lock.get(), [&](PyObject*) {
    Ref users = py::call_method(self, s.load);
    user_id = py::call_method(self, s.new_user_id, {users.get()});
    api_key = py::call_method(self, s.new_api_key);
    now = utc_now_text(call);
    Ref key_hash = py::call_method(self, s.hash_api_key, {api_key.get()});
    Ref record = Ref::own(PyDict_New());
    put(record.get(), s.user_id, user_id.get());
    put(record.get(), s.api_key_hash, key_hash.get());
    put(record.get(), s.description, description);
    put(record.get(), s.created_at, now.get());
    py::call_method(users.get(), s.append, {record.get()});
    py::call_method(self, s.save, {users.get()});
    py::call_method(self, s.ensure_credential_dir, {user_id.get()});
  });

  Ref result = Ref::own(PyDict_New());
  put(result.get(), s.user_id, bound_local(user_id, "user_id"));
  put(result.get(), s.api_key, bound_local(api_key, "api_key"));
  put(result.get(), s.description, description);
  put(result.get(), s.created_at, bound_local(now, "now"));
  Ref directory = py::call_method(self, s.credential_dir, {user_id.get()});
  put(result.get(), s.credential_dir, py::str(directory.get()).get());
  return result;
}

Ref remove_user(const Call& call) {
  const ModuleState& s = call.state;
  PyObject* self = call.arg(0);
  PyObject* user_id = call.arg(1);
  bool keep_credentials = call.arg(2) == Py_True;
  bool nothing_matched = false;

  Ref lock = py::call_method(self, s.locked);
  py::with_block(s, lock.get(), [&](PyObject*) {
    Ref users = py::call_method(self, s.load);
    Ref kept = Ref::own(PyList_New(0));
    Ref items = py::iter(users.get());
    while (Ref item = py::next(items.get())) {
      Ref owner = record_get(s, item.get(), s.user_id);
      if (py::not_equal(owner.get(), user_id)) check(PyList_Append(kept.get(), item.get()));
    }
    if (py::length(kept.get()) == py::length(users.get())) {
      nothing_matched = true;
      return;
    }
    py::call_method(self, s.save, {kept.get()});
    if (!keep_credentials) py::call_method(self, s.remove_credential_dir, {user_id});
  });
  return Ref::borrow(nothing_matched ? Py_False : Py_True);
}

Ref rotate_api_key(const Call& call) {
  const ModuleState& s = call.state;
  PyObject* self = call.arg(0);
  PyObject* user_id = call.arg(1);
  Ref result;

  Ref lock = py::call_method(self, s.locked);
  py::with_block(s, lock.get(), [&](PyObject*) {
    Ref users = py::call_method(self, s.load);
    Ref new_key = py::call_method(self, s.new_api_key);
    Ref now = utc_now_text(call);
    Ref items = py::iter(users.get());
    while (Ref item = py::next(items.get())) {
      Ref owner = record_get(s, item.get(), s.user_id);
      if (!py::equal(owner.get(), user_id)) continue;
      py::setitem(item.get(), s.api_key_hash,
                  py::call_method(self, s.hash_api_key, {new_key.get()}).get());
      py::setitem(item.get(), s.rotated_at, now.get());
      py::call_method(self, s.save, {users.get()});
      Ref rotated = Ref::own(PyDict_New());
      put(rotated.get(), s.user_id, user_id);
      put(rotated.get(), s.api_key, new_key.get());
      put(rotated.get(), s.rotated_at, now.get());
      Ref directory = py::call_method(self, s.credential_dir, {user_id});
      put(rotated.get(), s.credential_dir, py::str(directory.get()).get());
      result = std::move(rotated);
      return;
    }
  });
  if (result) return result;
  py::raise(PyExc_ValueError, py::add(s.not_found_message, py::format(user_id).get()).get());
}

Ref list_users(const Call& call) {
  const ModuleState& s = call.state;
  PyObject* self = call.arg(0);
  Ref users = Ref::own(PyList_New(0));
  Ref items = py::iter(py::call_method(self, s.load).get());
  while (Ref item = py::next(items.get())) {
    Ref user_type = call.global(s.MCPUser);
    Ref user_id = py::getitem(item.get(), s.user_id);
    Ref description = get_or_empty(s, item.get(), s.description);
    Ref created_at = get_or_empty(s, item.get(), s.created_at);
    Ref directory =
        py::call_method(self, s.credential_dir, {py::getitem(item.get(), s.user_id).get()});
    Ref user = make_user(s, user_type.get(), user_id.get(), description.get(), created_at.get(),
                         directory.get());
    check(PyList_Append(users.get(), user.get()));
  }
  return users;
}

Ref verify_api_key(const Call& call) {
  const ModuleState& s = call.state;
  PyObject* self = call.arg(0);
  PyObject* api_key = call.arg(1);
  if (api_key == Py_None || !py::truth(api_key)) return Ref::borrow(Py_None);

  Ref normalized = py::call_method(self, s.normalize_api_key, {api_key});
  Ref expected = py::call_method(self, s.hash_api_key, {normalized.get()});
  Ref items = py::iter(py::call_method(self, s.load).get());
  while (Ref item = py::next(items.get())) {
    Ref stored = py::str(get_or_empty(s, item.get(), s.api_key_hash).get());
    Ref compare = py::getattr(call.global(s.hmac).get(), s.compare_digest);
    if (!py::truth(py::call(compare.get(), {stored.get(), expected.get()}).get())) continue;

    Ref user_id = py::str(py::getitem(item.get(), s.user_id).get());
    if (!ensure_for_match(call, self, user_id.get(), stored.get())) return Ref::borrow(Py_None);
    Ref user_type = call.global(s.MCPUser);
    Ref description = get_or_empty(s, item.get(), s.description);
    Ref created_at = get_or_empty(s, item.get(), s.created_at);
    Ref directory = py::call_method(self, s.credential_dir, {user_id.get()});
    return make_user(s, user_type.get(), user_id.get(), description.get(), created_at.get(),
                     directory.get());
  }
  return Ref::borrow(Py_None);
}

}  // namespace vardun::bodies
