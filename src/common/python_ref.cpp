// What every extension of the package shares of python_ref.hpp.
#include "python_ref.hpp"

#include <new>

namespace vardun {

bool finalizing_thread_holds_lock() noexcept {
  // The thread whose state is current holds the lock; after the thread
  // states are gone nobody does.
  PyThreadState* current = _PyThreadState_UncheckedGet();
  return current != nullptr && current == PyGILState_GetThisThreadState();
}

// Only `catch_all`'s error handlers call this, never for a forced unwinding.
void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "error return without exception set");
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in a vardun extension");
  }
}

PendingError PendingError::fetch() noexcept {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  PendingError error;
  error.type_ = Ref::steal(type);
  error.value_ = Ref::steal(value);
  error.traceback_ = Ref::steal(traceback);
  return error;
}

PendingError PendingError::from_value(PyObject* value) noexcept {
  PendingError error;
  error.type_ = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value)));
  error.value_ = Ref::borrow(value);
  error.traceback_ = Ref::steal(PyException_GetTraceback(value));
  return error;
}

void PendingError::restore() noexcept {
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

}  // namespace vardun
