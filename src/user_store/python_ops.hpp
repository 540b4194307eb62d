// The interpreter operations that the function bodies are written in: attribute
// access, calls, operators, iteration, `with` blocks and raising. Each one does
// what the matching Python expression does and throws `PythonError` on failure.
#pragma once

#include <cstddef>
#include <initializer_list>

#include "module_state.hpp"
#include "python_ref.hpp"

namespace vardun::py {

// Gives an AttributeError raised while reading obj.name the name and object
// that PyObject_GetAttr gives it, unless it has them already.
void add_attribute_error_details(PyObject* obj, PyObject* name);

// obj.name as a new reference, or NULL with the error set. An object whose
// type keeps the generic look-up is read through that directly, without
// PyObject_GetAttr's dispatch; `name` is a str.
inline PyObject* getattr_or_null(PyObject* obj, PyObject* name) {
  if (Py_TYPE(obj)->tp_getattro == PyObject_GenericGetAttr) {
    PyObject* value = _PyObject_GenericGetAttrWithDict(obj, name, nullptr, 0);
    if (value == nullptr) add_attribute_error_details(obj, name);
    return value;
  }
  return PyObject_GetAttr(obj, name);
}

inline Ref getattr(PyObject* obj, PyObject* name) {
  return Ref::own(getattr_or_null(obj, name));
}

inline void setattr(PyObject* obj, PyObject* name, PyObject* value) {
  check(PyObject_SetAttr(obj, name, value));
}

inline bool truth(PyObject* obj) {
  return check(PyObject_IsTrue(obj)) != 0;
}

inline Ref str(PyObject* obj) {
  return Ref::own(PyObject_Str(obj));
}

// What an f-string replacement field without a format spec produces.
inline Ref format(PyObject* obj) {
  return Ref::own(PyObject_Format(obj, nullptr));
}

inline Ref add(PyObject* a, PyObject* b) {
  return Ref::own(PyNumber_Add(a, b));
}
inline Ref divide(PyObject* a, PyObject* b) {
  return Ref::own(PyNumber_TrueDivide(a, b));
}
inline Ref bit_or(PyObject* a, PyObject* b) {
  return Ref::own(PyNumber_Or(a, b));
}

inline Ref getitem(PyObject* obj, PyObject* key) {
  return Ref::own(PyObject_GetItem(obj, key));
}
inline void setitem(PyObject* obj, PyObject* key, PyObject* value) {
  check(PyObject_SetItem(obj, key, value));
}
inline Py_ssize_t length(PyObject* obj) {
  Py_ssize_t n = PyObject_Length(obj);
  if (n < 0) throw_python_error();
  return n;
}

inline Ref iter(PyObject* obj) {
  return Ref::own(PyObject_GetIter(obj));
}

// The next item, or an empty reference when the iterator is exhausted.
inline Ref next(PyObject* iterator) {
  PyObject* item = PyIter_Next(iterator);
  if (item == nullptr && PyErr_Occurred()) throw_python_error();
  return Ref::steal(item);
}

// Comparisons as the operators `==` and `!=` followed by a truth test: no
// identity shortcut, so an object's own __eq__ / __ne__ decides.
inline bool equal(PyObject* a, PyObject* b) {
  return truth(Ref::own(PyObject_RichCompare(a, b, Py_EQ)).get());
}
inline bool not_equal(PyObject* a, PyObject* b) {
  return truth(Ref::own(PyObject_RichCompare(a, b, Py_NE)).get());
}

inline constexpr std::size_t kMaxCallArgs = 7;

// `callable(*positional, **dict(zip(kwnames, keyword_values)))`: `args` holds
// the positional arguments followed by one value per name in `kwnames`.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);

// `self.name(*positional, **keywords)` with the same argument layout as
// `call`; the method is looked up on the object at every call.
Ref call_method(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args = {},
                PyObject* kwnames = nullptr);

// `import name` (fromlist NULL) or the module part of `from name import ...`,
// as an absolute import made from the namespace `globals`.
inline Ref import_module(PyObject* name, PyObject* globals, PyObject* fromlist = nullptr) {
  return Ref::own(PyImport_ImportModuleLevelObject(name, globals, nullptr, fromlist, 0));
}

// The name part of `from module import name`: the attribute, else a loaded
// submodule of that name, else ImportError "cannot import name ...".
Ref import_from(PyObject* module, PyObject* name);

[[noreturn]] void raise(PyObject* exc_type, PyObject* message);
[[noreturn]] void raise(PyObject* exc_type, const char* message);

// `raise exc_type(message) from cause`, `cause` being the exception handled.
[[noreturn]] void raise_from(PyObject* exc_type, PyObject* message, PyObject* cause);

// A context manager entered as `with` enters it: __enter__ and __exit__ are
// looked up on its type, then __enter__ is called.
struct EnteredContext {
  Ref exit;   // the bound __exit__
  Ref value;  // what __enter__ returned
};
EnteredContext enter_context(const ModuleState& s, PyObject* manager);

// __exit__(None, None, None).
void exit_context(PyObject* exit);

// __exit__(type, value, traceback) while `error` is the exception being
// handled; returns whether it suppressed the exception.
bool exit_context(PyObject* exit, const PendingError& error);

// Runs `block(entered_value)` as the body of `with manager:`. Returns true
// when the block ended normally and false when it raised and __exit__
// suppressed the exception; any other exception propagates.
template <class Block>
bool with_block(const ModuleState& s, PyObject* manager, Block&& block) {
  EnteredContext context = enter_context(s, manager);
  // A forced unwinding leaves the context as it is (python_ref.hpp).
  bool completed = catch_all(
      [&] {
        block(context.value.get());
        return true;
      },
      [&] {
        PendingError error = PendingError::from_current_exception();
        if (!exit_context(context.exit.get(), error)) error.rethrow();
        return false;
      });
  if (completed) exit_context(context.exit.get());
  return completed;
}

}  // namespace vardun::py
