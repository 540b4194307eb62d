// Store construction and the registry file: where a store keeps its files,
// loading the whole registry, and replacing it atomically.
#include "bodies.hpp"
#include "durable_files.hpp"
#include "python_ops.hpp"
#include "store_helpers.hpp"

namespace vardun::bodies {

Ref store_init(const Call& call) {
  const ModuleState& s = call.state;
  PyObject* self = call.arg(0);
  PyObject* base_dir = call.arg(1);

  // from vardun.config import CONFIG_DIR, before base_dir is looked at.
  Ref config = py::import_module(s.config_module, call.globals, s.from_config_dir);
  Ref config_dir = py::import_from(config.get(), s.CONFIG_DIR);

  Ref path_type = call.global(s.Path);
  PyObject* chosen = py::truth(base_dir) ? base_dir : config_dir.get();
  py::setattr(self, s.base_dir, py::call(path_type.get(), {chosen}).get());
  make_directories(call, py::getattr(self, s.base_dir).get());

  py::setattr(self, s.users_dir, py::divide(py::getattr(self, s.base_dir).get(), s.users).get());
  make_directories(call, py::getattr(self, s.users_dir).get());
  Ref users_dir = py::getattr(self, s.users_dir);
  py::call_method(users_dir.get(), s.chmod, {owner_rwx_mode(call).get()});

  py::setattr(self, s.path, py::divide(py::getattr(self, s.base_dir).get(), s.registry_name).get());
  py::setattr(self, s.lock_path,
              py::divide(py::getattr(self, s.base_dir).get(), s.lock_name).get());
  return Ref::borrow(Py_None);
}

namespace {

// `except json.JSONDecodeError:` for `error`: the class is looked up only
// now, as the except clause would, with `error` being handled meanwhile.
bool is_json_decode_error(const Call& call, const PendingError& error) {
  HandlingScope handling(error.value());
  Ref json = call.global(call.state.json);
  Ref decode_error = py::getattr(json.get(), call.state.JSONDecodeError);
  if (!PyExceptionClass_Check(decode_error.get())) {
    py::raise(PyExc_TypeError,
              "catching classes that do not inherit from BaseException is not allowed");
  }
  return error.matches(decode_error.get());
}

}  // namespace

Ref load(const Call& call) {
  const ModuleState& s = call.state;
  PyObject* self = call.arg(0);
  Ref path = py::getattr(self, s.path);
  if (!py::truth(py::call_method(path.get(), s.exists).get())) return Ref::own(PyList_New(0));

  Ref raw = catch_all(
      [&] {
        Ref loads = py::getattr(call.global(s.json).get(), s.loads);
        Ref registry = py::getattr(self, s.path);
        Ref text = py::call_method(registry.get(), s.read_text, {s.utf_8}, s.kw_encoding);
        return py::call(loads.get(), {text.get()});
      },
      [&]() -> Ref {
        PendingError error = PendingError::from_current_exception();
        if (!is_json_decode_error(call, error)) error.rethrow();
        HandlingScope handling(error.value());
        Ref shown = py::format(py::getattr(self, s.path).get());
        py::raise_from(PyExc_ValueError, py::add(s.corrupt_message, shown.get()).get(),
                       error.value());
      });
  if (!PyList_Check(raw.get())) {
    Ref shown = py::format(py::getattr(self, s.path).get());
    py::raise(PyExc_ValueError, py::add(s.not_array_message, shown.get()).get());
  }
  return raw;
}

Ref save(const Call& call) {
  const ModuleState& s = call.state;
  PyObject* self = call.arg(0);
  PyObject* users = call.arg(1);

  Ref path = py::getattr(self, s.path);
  Ref stamp = py::call_method(call.global(s.time).get(), s.time_ns);
  Ref suffix = py::add(s.temp_suffix_prefix, py::format(stamp.get()).get());
  Ref temp = py::call_method(path.get(), s.with_suffix, {suffix.get()});

  Ref dumps = py::getattr(call.global(s.json).get(), s.dumps);
  Ref text = py::call(dumps.get(), {users, Py_False, s.int_2}, s.kw_ensure_ascii_indent);

  // Private from its first byte; the named steps below still run in order.
  durable::create_private_file(temp.get());
  py::call_method(temp.get(), s.write_text, {text.get(), s.utf_8}, s.kw_encoding);
  py::call_method(temp.get(), s.chmod, {owner_rw_mode(call).get()});
  durable::sync_file(temp.get());
  py::call_method(temp.get(), s.replace, {py::getattr(self, s.path).get()});
  durable::sync_directory(py::getattr(temp.get(), s.parent).get());
  Ref registry = py::getattr(self, s.path);
  py::call_method(registry.get(), s.chmod, {owner_rw_mode(call).get()});
  return Ref::borrow(Py_None);
}

}  // namespace vardun::bodies
