// Owned references and the error plumbing between C++ and the interpreter.
//
// Every C API call whose result can signal an error goes through `Ref::own` or
// `check`, which throw `PythonError` while the interpreter's error indicator
// stays set. Entry points called by the interpreter wrap their work in
// `guard`, which turns any C++ exception back into a set Python exception, so
// no C++ exception ever crosses an interpreter frame. References are released
// by destructors on every path, the error paths included.
//
// Threads at interpreter exit: CPython ends a daemon thread that tries to take
// the interpreter lock during finalisation with pthread_exit, which glibc runs
// as a forced unwinding (abi::__forced_unwind) through every C++ frame of that
// thread; a catch-all that does not rethrow it makes glibc abort the process.
// The unwinding thread does not hold the interpreter lock, so no destructor
// on its way may touch a Python object: each one checks
// `holds_interpreter_lock()` and otherwise leaves its objects alone (a leak
// at process exit), and every catch-all is `catch_all`, which lets the
// unwinding pass and never turns it into a Python exception. That is also why
// nothing on such a path is declared noexcept.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <cxxabi.h>

#include <utility>

namespace vardun {

// The slow half of `holds_interpreter_lock`, once finalisation has begun: the
// finalising thread holds the lock, a daemon thread being ended does not.
bool finalizing_thread_holds_lock() noexcept;

// Whether this thread may touch Python objects. Outside finalisation every
// thread running module code holds the lock, so the common case is one load.
inline bool holds_interpreter_lock() noexcept {
  if (!_Py_IsFinalizing()) [[likely]]
    return true;
  return finalizing_thread_holds_lock();
}

// Thrown when the interpreter's error indicator is set and the current
// operation must unwind.
struct PythonError {};

[[noreturn]] inline void throw_python_error() {
  throw PythonError{};
}

// Throws when a C API status code signals an error (-1); returns it otherwise.
inline int check(int status) {
  if (status < 0) throw_python_error();
  return status;
}

// A strong reference, released when it goes out of scope.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() {
    if (ptr_ != nullptr && holds_interpreter_lock()) Py_DECREF(ptr_);
  }

  // Takes over a new reference from a C API call; NULL means an error is set.
  static Ref own(PyObject* obj) {
    if (obj == nullptr) throw_python_error();
    return steal(obj);
  }
  // Takes over a reference that may legitimately be NULL without an error.
  static Ref steal(PyObject* obj) noexcept {
    Ref ref;
    ref.ptr_ = obj;
    return ref;
  }
  // Adds a reference to a borrowed object.
  static Ref borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return steal(obj);
  }

  PyObject* get() const noexcept { return ptr_; }
  PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
  void reset() noexcept { Py_CLEAR(ptr_); }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

 private:
  PyObject* ptr_ = nullptr;
};

// Converts the C++ exception being handled into a set Python exception.
// Must be called from inside a catch block.
void set_error_from_current_exception() noexcept;

// Every catch-all of the extension: `try { return work(); } catch (...) {
// return on_error(); }`, where a forced unwinding passes through untouched
// (see above) and `on_error` runs inside the catch block. The handler's
// reference to the unwinding binds to no object, which the undefined-behaviour
// sanitizer would report.
template <class Work, class OnError>
__attribute__((no_sanitize("undefined"))) auto catch_all(Work&& work, OnError&& on_error)
    -> decltype(work()) {
  try {
    return std::forward<Work>(work)();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    return std::forward<OnError>(on_error)();
  }
}

// Runs `work` for an entry point that returns a new reference or NULL.
template <class Work>
PyObject* guard(Work&& work) {
  return catch_all(std::forward<Work>(work), []() -> PyObject* {
    set_error_from_current_exception();
    return nullptr;
  });
}

// Runs `work` for an entry point that returns 0 on success and -1 on error.
template <class Work>
int guard_status(Work&& work) {
  return catch_all(
      [&] {
        std::forward<Work>(work)();
        return 0;
      },
      [] {
        set_error_from_current_exception();
        return -1;
      });
}

// An exception taken off the thread state: normalised, with its traceback
// attached to the value, so that it can be inspected, passed on or restored.
class PendingError {
 public:
  // Takes the currently set exception; one must be set.
  static PendingError fetch() noexcept;
  // Inside a catch block: the exception being unwound, as a Python one.
  static PendingError from_current_exception() noexcept {
    set_error_from_current_exception();
    return fetch();
  }
  // Builds one from an exception instance (borrowed).
  static PendingError from_value(PyObject* value) noexcept;

  PyObject* type() const noexcept { return type_.get(); }
  PyObject* value() const noexcept { return value_.get(); }
  PyObject* traceback() const noexcept { return traceback_.get(); }
  bool matches(PyObject* exc_type) const noexcept {
    return PyErr_GivenExceptionMatches(type_.get(), exc_type) != 0;
  }
  // Sets it as the current exception again; the object is empty afterwards.
  void restore() noexcept;
  // Restores it and unwinds.
  [[noreturn]] void rethrow() {
    restore();
    throw_python_error();
  }

 private:
  Ref type_, value_, traceback_;
};

// While alive, makes `exc` the exception being handled (what `sys.exc_info()`
// shows inside an except or finally block), so that exceptions raised
// meanwhile get it as their context, as they would in Python code.
class HandlingScope {
 public:
  explicit HandlingScope(PyObject* exc) noexcept
      : previous_(Ref::steal(PyErr_GetHandledException())) {
    PyErr_SetHandledException(exc);
  }
  HandlingScope(const HandlingScope&) = delete;
  HandlingScope& operator=(const HandlingScope&) = delete;
  ~HandlingScope() {
    if (holds_interpreter_lock()) PyErr_SetHandledException(previous_.get());
  }

 private:
  Ref previous_;
};

}  // namespace vardun
