#include "python_ops.hpp"

#include <new>

namespace vardun {

namespace py {

void add_attribute_error_details(PyObject* obj, PyObject* name) {
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return;
  PendingError error = PendingError::fetch();
  if (PyErr_GivenExceptionMatches(error.value(), PyExc_AttributeError)) {
    auto* exc = reinterpret_cast<PyAttributeErrorObject*>(error.value());
    if (exc->name == nullptr && exc->obj == nullptr) {
      Py_INCREF(name);
      exc->name = name;
      Py_INCREF(obj);
      exc->obj = obj;
    }
  }
  error.restore();
}

namespace {

// Lays out arguments for vectorcall with a free slot in front, so that the
// callee may use PY_VECTORCALL_ARGUMENTS_OFFSET to prepend `self`.
struct ArgumentBuffer {
  PyObject* slots[kMaxCallArgs + 2];
  std::size_t count = 0;
  ArgumentBuffer(PyObject* first, std::initializer_list<PyObject*> rest) {
    slots[0] = nullptr;
    if (first != nullptr) slots[1 + count++] = first;
    for (PyObject* arg : rest) slots[1 + count++] = arg;
  }
  PyObject* const* args() const { return slots + 1; }
  std::size_t positional(PyObject* kwnames) const {
    return count - (kwnames != nullptr ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) : 0);
  }
};

}  // namespace

Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames) {
  ArgumentBuffer buffer(nullptr, args);
  return Ref::own(PyObject_Vectorcall(callable, buffer.args(),
                                      buffer.positional(kwnames) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                      kwnames));
}

Ref call_method(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args,
                PyObject* kwnames) {
  ArgumentBuffer buffer(self, args);
  return Ref::own(PyObject_VectorcallMethod(
      name, buffer.args(), buffer.positional(kwnames) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref import_from(PyObject* module, PyObject* name) {
  PyObject* value = PyObject_GetAttr(module, name);
  if (value != nullptr) return Ref::steal(value);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
  PyErr_Clear();
  // A submodule that is still being imported is not yet an attribute.
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  Ref full_name =
      module_name ? Ref::steal(PyUnicode_FromFormat("%U.%U", module_name.get(), name)) : Ref();
  value = full_name ? PyImport_GetModule(full_name.get()) : nullptr;
  if (value != nullptr) return Ref::steal(value);
  PyErr_Clear();
  PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
  throw_python_error();
}

void raise(PyObject* exc_type, PyObject* message) {
  PyErr_SetObject(exc_type, message);
  throw_python_error();
}

void raise(PyObject* exc_type, const char* message) {
  PyErr_SetString(exc_type, message);
  throw_python_error();
}

void raise_from(PyObject* exc_type, PyObject* message, PyObject* cause) {
  Ref exc = Ref::own(PyObject_CallOneArg(exc_type, message));
  // Both take over a reference; setting the cause also suppresses the context.
  PyException_SetCause(exc.get(), Ref::borrow(cause).release());
  PyException_SetContext(exc.get(), Ref::borrow(cause).release());
  PyErr_SetObject(exc_type, exc.get());
  throw_python_error();
}

namespace {

// Looks a special method up on the type and binds it, as `with` does.
Ref lookup_special(PyObject* obj, PyObject* name) {
  Ref descr = Ref::borrow(_PyType_Lookup(Py_TYPE(obj), name));
  if (!descr) {
    if (PyErr_Occurred()) throw_python_error();
    return Ref();
  }
  descrgetfunc get = Py_TYPE(descr.get())->tp_descr_get;
  if (get == nullptr) return descr;
  return Ref::own(get(descr.get(), obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
}

}  // namespace

EnteredContext enter_context(const ModuleState& s, PyObject* manager) {
  Ref enter = lookup_special(manager, s.dunder_enter);
  if (!enter) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                 Py_TYPE(manager)->tp_name);
    throw_python_error();
  }
  EnteredContext context;
  context.exit = lookup_special(manager, s.dunder_exit);
  if (!context.exit) {
    PyErr_Format(PyExc_TypeError,
                 "'%.200s' object does not support the context manager protocol "
                 "(missed __exit__ method)",
                 Py_TYPE(manager)->tp_name);
    throw_python_error();
  }
  context.value = Ref::own(PyObject_CallNoArgs(enter.get()));
  return context;
}

void exit_context(PyObject* exit) {
  call(exit, {Py_None, Py_None, Py_None});
}

bool exit_context(PyObject* exit, const PendingError& error) {
  HandlingScope handling(error.value());
  PyObject* traceback = error.traceback() != nullptr ? error.traceback() : Py_None;
  Ref result = call(exit, {error.type(), error.value(), traceback});
  return truth(result.get());
}

}  // namespace py
}  // namespace vardun
