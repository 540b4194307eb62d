// Proof that what a call into the standard library reads is still what was
// found there: the names it looks up in dicts (checked by the dicts' version
// tags, identities looked at again only where a tag moved), the classes it
// goes through (type version tags) and the functions it runs (their code
// and defaults). Needs the interpreter lock throughout.
#pragma once

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "python_ref.hpp"

namespace vardun::watched {

inline std::uint64_t version_of(PyObject* dict) {
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

inline Ref intern(const char* text) {
  return Ref::own(PyUnicode_InternFromString(text));
}

// dict[name] as a borrowed reference, or nullptr when absent.
inline PyObject* item(PyObject* dict, PyObject* name) {
  PyObject* value = PyDict_GetItemWithError(dict, name);
  if (value == nullptr && PyErr_Occurred()) throw_python_error();
  return value;
}

inline PyObject* item(PyObject* dict, const char* name) {
  Ref key = intern(name);
  return item(dict, key.get());
}

inline bool text_is(PyObject* value, const char* text) {
  return value != nullptr && PyUnicode_CheckExact(value) &&
         PyUnicode_CompareWithASCIIString(value, text) == 0;
}

inline bool module_named(PyObject* module, const char* name) {
  if (module == nullptr || !PyModule_CheckExact(module)) return false;
  return text_is(item(PyModule_GetDict(module), "__name__"), name);
}

// A function defined by `def name` in the module whose namespace is `globals`.
inline bool function_of(PyObject* function, PyObject* globals, const char* name) {
  if (function == nullptr || !PyFunction_Check(function)) return false;
  auto* f = reinterpret_cast<PyFunctionObject*>(function);
  return f->func_globals == globals &&
         text_is(reinterpret_cast<PyCodeObject*>(f->func_code)->co_name, name);
}

// A built-in function `name` of the extension module `module`.
inline bool builtin_of(PyObject* function, const char* module, const char* name) {
  if (function == nullptr || !PyCFunction_CheckExact(function)) return false;
  auto* f = reinterpret_cast<PyCFunctionObject*>(function);
  return std::strcmp(f->m_ml->ml_name, name) == 0 && module_named(f->m_self, module);
}

// Names read from one dict, with the objects they held when found.
struct WatchedDict {
  Ref dict;
  std::uint64_t version = 0;
  std::vector<std::pair<Ref, Ref>> entries;  // name, value
  bool complete = false;                     // the entries are all of its keys

  WatchedDict() = default;
  explicit WatchedDict(PyObject* watched, bool all_keys = false)
      : dict(Ref::borrow(watched)), version(version_of(watched)), complete(all_keys) {}

  // Records dict[name]; false when it is absent or `accept` refuses it.
  template <class Accept>
  bool take(const char* name, Accept&& accept) {
    Ref key = intern(name);
    PyObject* value = item(dict.get(), key.get());
    if (value == nullptr || !accept(value)) return false;
    entries.emplace_back(std::move(key), Ref::borrow(value));
    return true;
  }
  bool take_exactly(const char* name, PyObject* expected) {
    return take(name, [&](PyObject* value) { return value == expected; });
  }
  bool all_taken() const { return PyDict_GET_SIZE(dict.get()) == Py_ssize_t(entries.size()); }
  PyObject* value(const char* name) const {
    for (const auto& [key, value] : entries) {
      if (PyUnicode_CompareWithASCIIString(key.get(), name) == 0) return value.get();
    }
    return nullptr;
  }

  bool current() const { return version_of(dict.get()) == version; }

  // A dict's version tag changes with every change made to it; when it
  // moved, the names are looked at again and the new tag kept if they still
  // hold what they held.
  //
  // The tag is read before the look: a look-up can run Python code (the
  // __eq__ of an odd key of equal hash) and so let another thread change
  // the dict meanwhile, which the next call then sees as a moved tag.
  bool unchanged() {
    PyObject* d = dict.get();
    std::uint64_t now = version_of(d);
    if (now == version) return true;
    if (complete && !all_taken()) return false;
    for (const auto& [name, value] : entries) {
      if (item(d, name.get()) != value.get()) return false;
    }
    version = now;
    return true;
  }
};

// What running a function depends on besides its namespace: its code and
// its defaults, each replaceable by assignment.
struct FunctionParts {
  Ref function, code, defaults, kwdefaults;

  explicit FunctionParts(PyObject* f) : function(Ref::borrow(f)) {
    auto* parts = reinterpret_cast<PyFunctionObject*>(f);
    code = Ref::borrow(parts->func_code);
    defaults = Ref::borrow(parts->func_defaults);
    kwdefaults = Ref::borrow(parts->func_kwdefaults);
  }
  bool unchanged() const {
    auto* parts = reinterpret_cast<PyFunctionObject*>(function.get());
    return parts->func_code == code.get() && parts->func_defaults == defaults.get() &&
           parts->func_kwdefaults == kwdefaults.get();
  }
};

inline bool all_unchanged(const std::vector<FunctionParts>& functions) {
  for (const FunctionParts& f : functions) {
    if (!f.unchanged()) return false;
  }
  return true;
}

// A class of the standard library: its namespace, every name of it (an
// added descriptor or hook changes what instances do), and its bases.
struct WatchedClass {
  Ref cls, mro;
  unsigned int version = 0;  // 0: no valid tag recorded
  WatchedDict names;

  PyTypeObject* type() const { return reinterpret_cast<PyTypeObject*>(cls.get()); }

  // Starts watching `watched`, a plain class whose only base is object;
  // false for any other. Its names are then taken one by one, all of them.
  bool start(PyObject* watched) {
    if (watched == nullptr || Py_TYPE(watched) != &PyType_Type) return false;
    PyObject* bases = reinterpret_cast<PyTypeObject*>(watched)->tp_mro;
    if (PyTuple_GET_SIZE(bases) != 2 || PyTuple_GET_ITEM(bases, 0) != watched ||
        PyTuple_GET_ITEM(bases, 1) != reinterpret_cast<PyObject*>(&PyBaseObject_Type)) {
      return false;
    }
    cls = Ref::borrow(watched);
    mro = Ref::borrow(bases);
    names = WatchedDict(type()->tp_dict, true);
    if (!names.take("__module__", [](PyObject*) { return true; })) return false;
    version = version_now();
    return true;
  }

  // The type's version tag now, assigned first if it has none (a type
  // look-up assigns one when it can); 0 when it cannot have one.
  unsigned int version_now() {
    PyTypeObject* t = type();
    if (!PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG)) {
      _PyType_Lookup(t, names.entries.front().first.get());
    }
    return PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG) ? t->tp_version_tag : 0;
  }

  // A type's version tag is invalidated by any change to it or its bases
  // and is never handed out twice, so an equal valid tag is an unchanged
  // class. Otherwise the whole namespace and the bases are compared, the
  // tag read first (see WatchedDict).
  bool tag_current() const {
    return version != 0 && PyType_HasFeature(type(), Py_TPFLAGS_VALID_VERSION_TAG) &&
           type()->tp_version_tag == version;
  }

  bool unchanged() {
    PyTypeObject* t = type();
    if (tag_current()) return true;
    unsigned int now = version_now();
    if (Py_TYPE(t) != &PyType_Type || t->tp_mro != mro.get()) return false;
    names.version = 0;
    if (!names.unchanged()) return false;
    version = now;
    return true;
  }

  bool current() const { return (tag_current() || names.current()) && type()->tp_mro == mro.get(); }
};

}  // namespace vardun::watched
