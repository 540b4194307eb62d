// Owned references and the error plumbing between C++ and the interpreter.
//
// Every C API call whose result can signal an error goes through `Ref::own` or
// `check`, which throw `PythonError` while the interpreter's error indicator
// stays set. Entry points called by the interpreter wrap their work in
// `guard`, which turns any C++ exception back into a set Python exception, so
// no C++ exception ever crosses an interpreter frame. References are released
// by destructors on every path, the error paths included.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vardun {

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
  ~Ref() { Py_XDECREF(ptr_); }

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

// Runs `work` for an entry point that returns a new reference or NULL.
template <class Work>
PyObject* guard(Work&& work) noexcept {
  try {
    return std::forward<Work>(work)();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// Runs `work` for an entry point that returns 0 on success and -1 on error.
template <class Work>
int guard_status(Work&& work) noexcept {
  try {
    std::forward<Work>(work)();
    return 0;
  } catch (...) {
    set_error_from_current_exception();
    return -1;
  }
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
  ~HandlingScope() { PyErr_SetHandledException(previous_.get()); }

 private:
  Ref previous_;
};

}  // namespace vardun
