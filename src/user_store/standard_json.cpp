#include "standard_json.hpp"

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <utility>
#include <vector>

namespace vardun::standard_json {

namespace {

std::uint64_t version_of(PyObject* dict) {
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

Ref intern(const char* text) {
  return Ref::own(PyUnicode_InternFromString(text));
}

// dict[name] as a borrowed reference, or nullptr when absent.
PyObject* item(PyObject* dict, PyObject* name) {
  PyObject* value = PyDict_GetItemWithError(dict, name);
  if (value == nullptr && PyErr_Occurred()) throw_python_error();
  return value;
}

bool text_is(PyObject* value, const char* text) {
  return value != nullptr && PyUnicode_CheckExact(value) &&
         PyUnicode_CompareWithASCIIString(value, text) == 0;
}

bool module_named(PyObject* module, const char* name) {
  if (module == nullptr || !PyModule_CheckExact(module)) return false;
  Ref key = intern("__name__");
  return text_is(item(PyModule_GetDict(module), key.get()), name);
}

// A function defined by `def name` in the module whose namespace is `globals`.
bool function_of(PyObject* function, PyObject* globals, const char* name) {
  if (function == nullptr || !PyFunction_Check(function)) return false;
  auto* f = reinterpret_cast<PyFunctionObject*>(function);
  return f->func_globals == globals &&
         text_is(reinterpret_cast<PyCodeObject*>(f->func_code)->co_name, name);
}

// A built-in function `name` of the extension module `module`.
bool builtin_of(PyObject* function, const char* module, const char* name) {
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

// JSONEncoder: its namespace, every name of it (an added descriptor or
// hook changes what instances do), and its bases.
struct WatchedClass {
  Ref cls, mro;
  unsigned int version = 0;  // 0: no valid tag recorded
  WatchedDict names;

  PyTypeObject* type() const { return reinterpret_cast<PyTypeObject*>(cls.get()); }

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

struct Originals {
  Ref json;
  // json's namespace (dumps, JSONEncoder), json.encoder's
  // (encode_basestring, _make_iterencode, INFINITY), the builtins the
  // encoder's methods read, and dumps' keyword defaults.
  WatchedDict json_names, encoder_names, builtin_names, dumps_defaults;
  WatchedClass encoder_class;
  // dumps, JSONEncoder.__init__, encode, iterencode, _make_iterencode.
  std::vector<FunctionParts> functions;

  bool holds(PyObject* module) {
    if (module != json.get() || Py_TYPE(module) != &PyModule_Type) return false;
    if (!functions_unchanged()) return false;
    if (!json_names.unchanged() || !encoder_names.unchanged() || !builtin_names.unchanged() ||
        !dumps_defaults.unchanged() || !encoder_class.unchanged()) {
      return false;
    }
    // A look-up above may have run Python code that changed what an earlier
    // one had found: the tags read before the looks must still be current.
    return functions_unchanged() && json_names.current() && encoder_names.current() &&
           builtin_names.current() && dumps_defaults.current() && encoder_class.current();
  }

  bool functions_unchanged() const {
    for (const FunctionParts& f : functions) {
      if (!f.unchanged()) return false;
    }
    return true;
  }
};

// What the standard library's json.dumps reads with ensure_ascii=False and
// indent=2, found from `json` and checked to be the standard library's own;
// nullptr when anything is not.
std::shared_ptr<Originals> find(PyObject* json) {
  if (!module_named(json, "json")) return nullptr;
  auto found = std::make_shared<Originals>();
  found->json = Ref::borrow(json);
  PyObject* json_dict = PyModule_GetDict(json);

  Ref encoder_key = intern("encoder");
  PyObject* encoder = item(json_dict, encoder_key.get());
  if (!module_named(encoder, "json.encoder")) return nullptr;
  PyObject* encoder_dict = PyModule_GetDict(encoder);

  WatchedDict& names = found->json_names = WatchedDict(json_dict);
  if (!names.take("dumps", [&](PyObject* f) { return function_of(f, json_dict, "dumps"); }))
    return nullptr;
  PyObject* dumps = names.value("dumps");
  Ref class_key = intern("JSONEncoder");
  PyObject* cls = item(encoder_dict, class_key.get());
  if (cls == nullptr || !names.take_exactly("JSONEncoder", cls) || Py_TYPE(cls) != &PyType_Type)
    return nullptr;

  WatchedDict& module_names = found->encoder_names = WatchedDict(encoder_dict);
  if (!module_names.take("encode_basestring",
                         [](PyObject* f) { return builtin_of(f, "_json", "encode_basestring"); }) ||
      !module_names.take(
          "_make_iterencode",
          [&](PyObject* f) { return function_of(f, encoder_dict, "_make_iterencode"); }) ||
      !module_names.take("INFINITY", [](PyObject* value) { return PyFloat_CheckExact(value); })) {
    return nullptr;
  }
  PyObject* make_iterencode = module_names.value("_make_iterencode");

  // The class as the module defines it: these names and no others, its
  // separators, and object as its only base.
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  WatchedClass& watched = found->encoder_class;
  watched.cls = Ref::borrow(cls);
  watched.mro = Ref::borrow(type->tp_mro);
  watched.names = WatchedDict(type->tp_dict, true);
  auto any = [](PyObject*) { return true; };
  WatchedDict& ns = watched.names;
  auto method_named = [&](const char* name) {
    return ns.take(name, [&](PyObject* f) { return function_of(f, encoder_dict, name); });
  };
  auto text_of = [&](const char* name, const char* text) {
    return ns.take(name, [&](PyObject* value) { return text_is(value, text); });
  };
  if (!ns.take("__module__", any)) return nullptr;
  watched.version = watched.version_now();
  if (!ns.take("__doc__", any) || !text_of("item_separator", ", ") ||
      !text_of("key_separator", ": ") || !method_named("__init__") || !method_named("default") ||
      !method_named("encode") || !method_named("iterencode") || !ns.take("__dict__", any) ||
      !ns.take("__weakref__", any) || !ns.all_taken()) {
    return nullptr;
  }
  PyObject* mro = type->tp_mro;
  if (PyTuple_GET_SIZE(mro) != 2 || PyTuple_GET_ITEM(mro, 0) != cls ||
      PyTuple_GET_ITEM(mro, 1) != reinterpret_cast<PyObject*>(&PyBaseObject_Type)) {
    return nullptr;
  }

  for (PyObject* f :
       {dumps, ns.value("__init__"), ns.value("encode"), ns.value("iterencode"), make_iterencode}) {
    found->functions.emplace_back(f);
  }

  // The builtins every one of those functions runs with.
  PyObject* builtins = reinterpret_cast<PyFunctionObject*>(dumps)->func_builtins;
  for (const FunctionParts& f : found->functions) {
    if (reinterpret_cast<PyFunctionObject*>(f.function.get())->func_builtins != builtins)
      return nullptr;
  }
  WatchedDict& builtin_names = found->builtin_names = WatchedDict(builtins);
  if (!builtin_names.take("isinstance",
                          [](PyObject* f) { return builtin_of(f, "builtins", "isinstance"); }) ||
      !builtin_names.take_exactly("str", reinterpret_cast<PyObject*>(&PyUnicode_Type)) ||
      !builtin_names.take_exactly("list", reinterpret_cast<PyObject*>(&PyList_Type)) ||
      !builtin_names.take_exactly("tuple", reinterpret_cast<PyObject*>(&PyTuple_Type)) ||
      !builtin_names.take_exactly("float", reinterpret_cast<PyObject*>(&PyFloat_Type))) {
    return nullptr;
  }

  // dumps' keyword defaults, all of them as the module wrote them.
  PyObject* kwdefaults = reinterpret_cast<PyFunctionObject*>(dumps)->func_kwdefaults;
  if (kwdefaults == nullptr || !PyDict_CheckExact(kwdefaults)) return nullptr;
  WatchedDict& defaults = found->dumps_defaults = WatchedDict(kwdefaults, true);
  for (auto [name, value] : {std::pair{"skipkeys", Py_False},
                             {"ensure_ascii", Py_True},
                             {"check_circular", Py_True},
                             {"allow_nan", Py_True},
                             {"cls", Py_None},
                             {"indent", Py_None},
                             {"separators", Py_None},
                             {"default", Py_None},
                             {"sort_keys", Py_False}}) {
    if (!defaults.take_exactly(name, value)) return nullptr;
  }
  if (!defaults.all_taken()) return nullptr;

  // _make_iterencode's defaults: the builtins it was defined with.
  PyObject* captured = reinterpret_cast<PyFunctionObject*>(make_iterencode)->func_defaults;
  Ref repr_key = intern("__repr__");
  PyObject* int_repr = item(PyLong_Type.tp_dict, repr_key.get());
  PyObject* expected[] = {PyExc_ValueError,
                          reinterpret_cast<PyObject*>(&PyDict_Type),
                          reinterpret_cast<PyObject*>(&PyFloat_Type),
                          nullptr,  // id
                          reinterpret_cast<PyObject*>(&PyLong_Type),
                          builtin_names.value("isinstance"),
                          reinterpret_cast<PyObject*>(&PyList_Type),
                          reinterpret_cast<PyObject*>(&PyUnicode_Type),
                          reinterpret_cast<PyObject*>(&PyTuple_Type),
                          int_repr};
  constexpr Py_ssize_t kCaptured = sizeof(expected) / sizeof(expected[0]);
  if (captured == nullptr || PyTuple_GET_SIZE(captured) != kCaptured) return nullptr;
  for (Py_ssize_t i = 0; i < kCaptured; ++i) {
    PyObject* value = PyTuple_GET_ITEM(captured, i);
    if (expected[i] == nullptr ? !builtin_of(value, "builtins", "id") : value != expected[i])
      return nullptr;
  }

  return found;
}

}  // namespace

// The slot in the module state: what was found last. A look-up in find or
// holds can let another thread in, which may replace it; each call keeps
// its own reference meanwhile.
struct Found {
  std::shared_ptr<Originals> originals;
};

bool unchanged(Found*& found, PyObject* json) {
  // A tracer or profiler would see the call that the native text skips.
  if (PyThreadState_Get()->cframe->use_tracing) return false;
  if (found == nullptr) found = new Found;
  std::shared_ptr<Originals> last = found->originals;
  if (last && last->holds(json)) return true;
  if (last && last->json.get() == json) return false;
  // Another json module (or none yet): what it holds now, if standard, is
  // kept; otherwise the last one found stays for when it is bound again.
  std::shared_ptr<Originals> fresh = find(json);
  if (!fresh) return false;
  found->originals = std::move(fresh);
  return true;
}

void forget(Found*& found) noexcept {
  delete std::exchange(found, nullptr);
}

}  // namespace vardun::standard_json
