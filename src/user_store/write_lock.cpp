// The write lock: `_locked` is a generator function (wrapped by
// contextlib.contextmanager in the class) that holds an exclusive flock on the
// lock file while the caller's block runs. Written as the generator
//
//     self.lock_path.touch(exist_ok=True)
//     with self.lock_path.open("w") as lock_file:   # see acquire()
//         if _FCNTL_AVAILABLE:
//             fcntl.flock(lock_file, fcntl.LOCK_EX)
//         (still the file at lock_path? else unlock, close, start again;
//          one that others could open is replaced: lock_file.hpp)
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
#include "lock_file.hpp"
#include "python_ops.hpp"
#include "store_files.hpp"

namespace vardun {

namespace {

enum LockLocal : std::size_t { kStore, kLockFile, kFileExit };

// if _FCNTL_AVAILABLE: fcntl.flock(lock_file, fcntl.<operation>); whether
// it was called.
bool flock_if_available(GeneratorObject& gen, PyObject* lock_file, PyObject* operation) {
  const ModuleState& s = *gen.state;
  if (!py::truth(gen.global(s.FCNTL_AVAILABLE).get())) return false;
  Ref flock = py::getattr(gen.global(s.fcntl).get(), s.flock);
  Ref operation_value = py::getattr(gen.global(s.fcntl).get(), operation);
  py::call(flock.get(), {lock_file, operation_value.get()});
  return true;
}

StepResult finished() {
  return StepResult{false, Ref::borrow(Py_None)};
}

// Up to the yield: create and open the lock file, then lock it; again while
// the file locked is no longer the one at the lock path (lock_file.cpp).
StepResult acquire(GeneratorObject& gen) {
  const ModuleState& s = *gen.state;
  PyObject* store = gen.locals[kStore];
  // touch and open("w") by name would follow a link someone put at the lock
  // path (truncating or creating its target); the store creates the file
  // itself, mode 0600 so nobody else can hold the lock, emptied and with a
  // new modification time, and the file object wraps that descriptor.
  Ref lock_path = py::getattr(store, s.lock_path);
  Ref name = Ref::own(PyOS_FSPath(lock_path.get()));
  std::string fs_name = posix::fs_name(name.get());
  for (;;) {
    store_files::LockFile lock = store_files::open_lock_file(fs_name);
    int descriptor = lock.fd.get();
    Ref fd = Ref::own(PyLong_FromLong(descriptor));
    Ref open = gen.global(s.open);
    Ref opened = py::call(open.get(), {fd.get(), s.mode_w, s.utf_8}, s.kw_encoding);
    lock.fd.release();  // the file object closes it now
    // Named as lock_path.open("w") names it, by the path's text: the file
    // object's name is its raw file's, which open() set to the descriptor.
    Ref buffer = py::getattr(opened.get(), s.buffer);
    py::setattr(py::getattr(buffer.get(), s.raw).get(), s.name, name.get());
    py::EnteredContext file = py::enter_context(s, opened.get());
    std::optional<lock_file::Held> held = catch_all(
        [&] {
          bool locked = flock_if_available(gen, file.value.get(), s.name_LOCK_EX);
          lock_file::Held outcome = lock_file::settle(descriptor, fs_name, lock.exposed, locked);
          if (outcome == lock_file::Held::Moved) {
            flock_if_available(gen, file.value.get(), s.name_LOCK_UN);
          }
          return std::optional(outcome);
        },
        [&]() -> std::optional<lock_file::Held> {
          PendingError error = PendingError::from_current_exception();
          if (!py::exit_context(file.exit.get(), error)) error.rethrow();
          return std::nullopt;
        });
    if (!held) return finished();
    if (*held == lock_file::Held::Moved) {
      py::exit_context(file.exit.get());
      continue;
    }
    gen.set_local(kLockFile, std::move(file.value));
    gen.set_local(kFileExit, std::move(file.exit));
    gen.resume_point = 1;
    return StepResult{true, Ref::borrow(Py_None)};
  }
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
