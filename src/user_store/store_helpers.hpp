// Small steps that several store methods share, each the exact Python
// expression named beside it, with module-level names looked up at each use.
#pragma once

#include <sys/types.h>

#include "function.hpp"
#include "python_ops.hpp"

namespace vardun {

// stat.S_IRUSR | stat.S_IWUSR
inline Ref owner_rw_mode(const Call& call) {
  const ModuleState& s = call.state;
  Ref read = py::getattr(call.global(s.stat).get(), s.name_S_IRUSR);
  Ref write = py::getattr(call.global(s.stat).get(), s.name_S_IWUSR);
  return py::bit_or(read.get(), write.get());
}

// stat.S_IRUSR | stat.S_IWUSR | stat.S_IXUSR
inline Ref owner_rwx_mode(const Call& call) {
  const ModuleState& s = call.state;
  Ref read_write = owner_rw_mode(call);
  Ref search = py::getattr(call.global(s.stat).get(), s.name_S_IXUSR);
  return py::bit_or(read_write.get(), search.get());
}

// A mode as the system calls take it, from the int the stat flags make.
inline mode_t mode_of(const Ref& mode) {
  long value = PyLong_AsLong(mode.get());
  if (value == -1 && PyErr_Occurred()) throw_python_error();
  return static_cast<mode_t>(value);
}

// path.mkdir(parents=True, exist_ok=True)
inline void make_directories(const Call& call, PyObject* path) {
  py::call_method(path, call.state.mkdir, {Py_True, Py_True}, call.state.kw_parents_exist_ok);
}

// path.mkdir(mode=mode, parents=True, exist_ok=True), `mode` being
// owner_rwx_mode: the last component, if made, is private; parents get the
// default mode.
inline void make_private_directories(const Call& call, PyObject* path, PyObject* mode) {
  py::call_method(path, call.state.mkdir, {mode, Py_True, Py_True},
                  call.state.kw_mode_parents_exist_ok);
}

// datetime.now(timezone.utc).isoformat()
inline Ref utc_now_text(const Call& call) {
  const ModuleState& s = call.state;
  Ref now = py::getattr(call.global(s.datetime).get(), s.now);
  Ref utc = py::getattr(call.global(s.timezone).get(), s.utc);
  Ref moment = py::call(now.get(), {utc.get()});
  return py::call_method(moment.get(), s.isoformat);
}

}  // namespace vardun
