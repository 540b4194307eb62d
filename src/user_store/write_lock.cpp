// The write lock: `_locked` is a generator function (wrapped by
// contextlib.contextmanager in the class) that holds an exclusive flock on the
// lock file while the caller's block runs. Written as the generator
//
//     self.lock_path.touch(exist_ok=True)
//     with self.lock_path.open("w") as lock_file:   # see acquire()
//         if _FCNTL_AVAILABLE:
//             fcntl.flock(lock_file, fcntl.LOCK_EX)
//         try:
//             yield
//         finally:
//             if _FCNTL_AVAILABLE:
//                 fcntl.flock(lock_file, fcntl.LOCK_UN)
//
// split at its yield into two steps.
#include <optional>

#include "bodies.hpp"
#include "generator.hpp"
#include "python_ops.hpp"
#include "store_files.hpp"

namespace vardun {

namespace {

enum LockLocal : std::size_t { kStore, kLockFile, kFileExit };

// if _FCNTL_AVAILABLE: fcntl.flock(lock_file, fcntl.<operation>)
void flock_if_available(GeneratorObject& gen, PyObject* lock_file, PyObject* operation) {
  const ModuleState& s = *gen.state;
  if (!py::truth(gen.global(s.FCNTL_AVAILABLE).get())) return;
  Ref flock = py::getattr(gen.global(s.fcntl).get(), s.flock);
  Ref operation_value = py::getattr(gen.global(s.fcntl).get(), operation);
  py::call(flock.get(), {lock_file, operation_value.get()});
}

StepResult finished() {
  return StepResult{false, Ref::borrow(Py_None)};
}

// The opener given to open(): hands out the descriptor kept in `holder` (a
// one-item list) once, whatever path and flags it is called with.
PyObject* hand_over_descriptor(PyObject* holder, PyObject* const*, Py_ssize_t) {
  if (PyList_GET_SIZE(holder) == 0) {
    errno = EBADF;
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  PyObject* fd = Py_NewRef(PyList_GET_ITEM(holder, 0));
  if (PyList_SetSlice(holder, 0, 1, nullptr) != 0) {
    Py_DECREF(fd);
    return nullptr;
  }
  return fd;
}

PyMethodDef opener_def = {
    "lock_file_opener",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hand_over_descriptor)),
    METH_FASTCALL, nullptr};

// open(os.fspath(lock_path), "w", encoding="utf-8") on the descriptor already
// opened: the file object is named by the path, as lock_path.open("w") would
// name it, and closes the descriptor once it has taken it over.
Ref open_lock_file_object(const ModuleState& s, GeneratorObject& gen, PyObject* lock_path,
                          posix::Fd descriptor) {
  Ref name = Ref::own(PyOS_FSPath(lock_path));
  Ref holder = Ref::own(PyList_New(0));
  check(PyList_Append(holder.get(), Ref::own(PyLong_FromLong(descriptor.get())).get()));
  Ref opener = Ref::own(PyCFunction_New(&opener_def, holder.get()));
  Ref open = gen.global(s.open);
  struct HandedOver {
    posix::Fd& fd;
    PyObject* holder;
    ~HandedOver() {
      if (PyList_GET_SIZE(holder) == 0) fd.release();
    }
  } handed_over{descriptor, holder.get()};
  return py::call(open.get(), {name.get(), s.mode_w, s.utf_8, opener.get()}, s.kw_encoding_opener);
}

// Up to the yield: create and open the lock file, then lock it.
StepResult acquire(GeneratorObject& gen) {
  const ModuleState& s = *gen.state;
  PyObject* store = gen.locals[kStore];
  // touch and open("w") by name would follow a link someone put at the lock
  // path (truncating or creating its target); the store creates the file
  // itself, mode 0600 so nobody else can hold the lock, emptied and with a
  // new modification time, and the file object wraps that descriptor.
  Ref lock_path = py::getattr(store, s.lock_path);
  Ref opened = open_lock_file_object(s, gen, lock_path.get(),
                                     store_files::open_lock_file(posix::fs_name(lock_path.get())));
  py::EnteredContext file = py::enter_context(opened.get());
  bool locked = catch_all(
      [&] {
        flock_if_available(gen, file.value.get(), s.name_LOCK_EX);
        return true;
      },
      [&] {
        PendingError error = PendingError::from_current_exception();
        if (!py::exit_context(file.exit.get(), error)) error.rethrow();
        return false;
      });
  if (!locked) return finished();
  gen.set_local(kLockFile, std::move(file.value));
  gen.set_local(kFileExit, std::move(file.exit));
  gen.resume_point = 1;
  return StepResult{true, Ref::borrow(Py_None)};
}

// After the yield: unlock however the caller's block ended, then leave the
// file's `with`, which closes it.
StepResult release(GeneratorObject& gen, const Resume& resume) {
  Ref lock_file = Ref::borrow(gen.locals[kLockFile]);
  Ref file_exit = Ref::borrow(gen.locals[kFileExit]);
  std::optional<PendingError> pending;
  if (resume.kind == Resume::Kind::Throw) pending = PendingError::from_value(resume.value);
  {
    std::optional<HandlingScope> handling;
    if (pending) handling.emplace(pending->value());
    catch_all([&] { flock_if_available(gen, lock_file.get(), gen.state->name_LOCK_UN); },
              [&] { pending = PendingError::from_current_exception(); });
  }
  if (pending) {
    if (py::exit_context(file_exit.get(), *pending)) return finished();
    pending->rethrow();
  }
  py::exit_context(file_exit.get());
  return finished();
}

StepResult locked_step(GeneratorObject& gen, const Resume& resume) {
  if (gen.resume_point == 0) {
    return acquire(gen);
  }
  return release(gen, resume);
}

}  // namespace

namespace bodies {

Ref locked(const Call& call) {
  return make_generator(call, locked_step, {call.arg(0)});
}

}  // namespace bodies
}  // namespace vardun
