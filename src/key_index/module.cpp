// vardun.mcp._key_index: the key index's answer without a look at the
// files, while the kernel reports that nothing it depends on has changed.
//
// The index (vardun.mcp.key_index) does every look itself and tells a
// RegistryWatch what it found: `begin(store)` before its look, `validated(...)`
// after one that found the registry it parsed and, for a key that matched,
// the credential directory settled. From then on `answer(store, key)` gives
// the same answer from one poll() and geteuid(), until the watch set
// reports a change, the process's account changes, or any dict the answer
// was read from changes (the store's class, the store, the store's module,
// hmac): then it says NEEDS and the index looks again.
#include <unistd.h>

#include <cstdint>
#include <string>
#include <utility>

#include "python_ref.hpp"
#include "reader_hooks.hpp"
#include "watch_set.hpp"

namespace vardun {

namespace {

std::uint64_t dict_version(PyObject* dict) {
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

// Arguments of a fast-call method, counted.
void expect_args(Py_ssize_t nargs, Py_ssize_t wanted, const char* message) {
  if (nargs == wanted) return;
  PyErr_SetString(PyExc_TypeError, message);
  throw_python_error();
}

std::string utf8(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) throw_python_error();
  return std::string(data, static_cast<std::size_t>(size));
}

// What the answer was read from, as it was when the index last looked.
struct Versions {
  PyObject* instance_dict = nullptr;  // identity only
  std::uint64_t class_dict = 0, instance = 0, module_dict = 0, hmac_dict = 0;
  bool operator==(const Versions&) const = default;
};

// The watch's C++ side, made with `new`: members with constructors.
struct State {
  // Given at creation: the plain store class, its steps (name, original)
  // pairs, the store's module, hmac and its compare_digest, stat, and what
  // `answer` returns when only the index's look can answer.
  Ref store_class, steps, module, hmac, compare_digest, stat, needs;
  Ref normalize_name, hash_name;
  // The look the answers stand on.
  Ref store, snapshot, users, settled, path, users_dir;
  Versions versions;
  uid_t euid = 0;
  bool complete = false;
  bool valid = false;
  bool attempted = false;  // arming was tried for `snapshot`, `path` and `users_dir`
  unsigned long epoch = 0;
  watch::WatchSet watches;

  template <class Visit>
  void each_ref(Visit&& visit) {
    for (Ref* ref :
         {&store_class, &steps, &module, &hmac, &compare_digest, &stat, &needs, &normalize_name,
          &hash_name, &store, &snapshot, &users, &settled, &path, &users_dir}) {
      visit(*ref);
    }
  }
};

struct RegistryWatch {
  PyObject_HEAD State* state;
};

State* as_watch(PyObject* self) {
  return reinterpret_cast<RegistryWatch*>(self)->state;
}

void invalidate(State* w) {
  w->valid = false;
  ++w->epoch;
  if (w->settled) PyDict_Clear(w->settled.get());
}

Versions versions_now(State* w, PyTypeObject* cls, PyObject* instance) {
  return {instance, dict_version(cls->tp_dict), dict_version(instance),
          dict_version(PyModule_GetDict(w->module.get())),
          dict_version(PyModule_GetDict(w->hmac.get()))};
}

// The store's dicts now, or false when the store is not the plain class
// with the module's own steps and the standard hmac.
bool plain_versions(State* w, PyObject* store, Versions& out) {
  auto* cls = reinterpret_cast<PyTypeObject*>(w->store_class.get());
  if (Py_TYPE(store) != cls) return false;
  PyObject* class_dict = cls->tp_dict;
  Ref instance = Ref::own(PyObject_GenericGetDict(store, nullptr));
  PyObject* steps = w->steps.get();
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(steps); ++i) {
    PyObject* pair = PyTuple_GET_ITEM(steps, i);
    PyObject* name = PyTuple_GET_ITEM(pair, 0);
    PyObject* found = PyDict_GetItemWithError(class_dict, name);
    if (found == nullptr && PyErr_Occurred()) throw_python_error();
    if (found != PyTuple_GET_ITEM(pair, 1)) return false;
    if (check(PyDict_Contains(instance.get(), name))) return false;
  }
  PyObject* module_dict = PyModule_GetDict(w->module.get());
  PyObject* hmac_dict = PyModule_GetDict(w->hmac.get());
  // Borrowed look-ups that cannot fail on these dicts of str keys.
  if (PyDict_GetItemString(module_dict, "hmac") != w->hmac.get() ||
      PyDict_GetItemString(module_dict, "stat") != w->stat.get() ||
      PyDict_GetItemString(hmac_dict, "compare_digest") != w->compare_digest.get()) {
    return false;
  }
  out = versions_now(w, cls, instance.get());
  return true;
}

bool unchanged(State* w, PyObject* store) {
  auto* cls = reinterpret_cast<PyTypeObject*>(w->store_class.get());
  if (store != w->store.get() || Py_TYPE(store) != cls) return false;
  Ref instance = Ref::own(PyObject_GenericGetDict(store, nullptr));
  return versions_now(w, cls, instance.get()) == w->versions;
}

Ref call_method(PyObject* self, PyObject* name, PyObject* arg) {
  PyObject* args[] = {self, arg};
  return Ref::own(
      PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

PyObject* watch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject *store_class, *steps, *module, *hmac, *compare_digest, *stat, *needs;
    static const char* names[] = {"store_class",    "steps", "module", "hmac",
                                  "compare_digest", "stat",  "needs",  nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!O!O!O!OO!O:RegistryWatch",
                                     const_cast<char**>(names), &PyType_Type, &store_class,
                                     &PyTuple_Type, &steps, &PyModule_Type, &module, &PyModule_Type,
                                     &hmac, &compare_digest, &PyModule_Type, &stat, &needs)) {
      throw_python_error();
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(steps); ++i) {
      PyObject* pair = PyTuple_GET_ITEM(steps, i);
      if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2 ||
          !PyUnicode_CheckExact(PyTuple_GET_ITEM(pair, 0))) {
        PyErr_SetString(PyExc_TypeError, "steps must hold (name, original) pairs");
        throw_python_error();
      }
    }
    Ref self = Ref::own(type->tp_alloc(type, 0));
    State* w = new State();
    reinterpret_cast<RegistryWatch*>(self.get())->state = w;
    w->normalize_name = Ref::own(PyUnicode_InternFromString("normalize_api_key"));
    w->hash_name = Ref::own(PyUnicode_InternFromString("hash_api_key"));
    w->store_class = Ref::borrow(store_class);
    w->steps = Ref::borrow(steps);
    w->module = Ref::borrow(module);
    w->hmac = Ref::borrow(hmac);
    w->compare_digest = Ref::borrow(compare_digest);
    w->stat = Ref::borrow(stat);
    w->needs = Ref::borrow(needs);
    w->settled = Ref::own(PyDict_New());
    return self.release();
  });
}

int watch_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  State* w = as_watch(self);
  if (w == nullptr) return 0;
  int result = 0;
  w->each_ref([&](Ref& ref) {
    if (result == 0 && ref) result = visit(ref.get(), arg);
  });
  return result;
}

int watch_clear(PyObject* self) {
  State* w = as_watch(self);
  if (w == nullptr) return 0;
  w->valid = false;
  w->each_ref([](Ref& ref) { ref.reset(); });
  return 0;
}

void watch_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  delete std::exchange(reinterpret_cast<RegistryWatch*>(self)->state, nullptr);
  type->tp_free(self);
  Py_DECREF(type);
}

// answer(store, key): the user, None, or NEEDS.
PyObject* watch_answer(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&]() -> PyObject* {
    State* w = as_watch(self);
    expect_args(nargs, 2, "answer() takes a store and a key");
    PyObject *store = args[0], *key = args[1];
    if (!w->valid || !PyUnicode_CheckExact(key) || PyUnicode_GET_LENGTH(key) == 0 ||
        !unchanged(w, store)) {
      return Py_NewRef(w->needs.get());
    }
    Ref normalized = call_method(store, w->normalize_name.get(), key);
    Ref expected = call_method(store, w->hash_name.get(), normalized.get());
    // The answer stands only on what the kernel says has not changed since
    // the index's look, asked now, after the key was hashed (by the store's
    // own steps, checked again: a step may have let another thread run).
    if (!w->valid || !unchanged(w, store)) return Py_NewRef(w->needs.get());
    if (w->watches.changed()) {
      invalidate(w);
      return Py_NewRef(w->needs.get());
    }
    if (::geteuid() != w->euid) return Py_NewRef(w->needs.get());
    PyObject* user = PyDict_GetItemWithError(w->settled.get(), expected.get());
    if (user != nullptr) return Py_NewRef(user);
    if (PyErr_Occurred()) throw_python_error();
    if (check(PyDict_Contains(w->users.get(), expected.get())) || !w->complete) {
      return Py_NewRef(w->needs.get());
    }
    Py_RETURN_NONE;
  });
}

// begin(store) -> token, before the index looks at the files: what the
// look may stand on if nothing changes before `validated`; None for a
// store the watch cannot answer for.
PyObject* watch_begin(PyObject* self, PyObject* store) {
  return guard([&]() -> PyObject* {
    State* w = as_watch(self);
    Versions v;
    if (!plain_versions(w, store, v)) Py_RETURN_NONE;
    return Py_BuildValue("(kKKKKn)", w->epoch, static_cast<unsigned long long>(v.class_dict),
                         static_cast<unsigned long long>(v.instance),
                         static_cast<unsigned long long>(v.module_dict),
                         static_cast<unsigned long long>(v.hmac_dict),
                         reinterpret_cast<Py_ssize_t>(v.instance_dict));
  });
}

// The token's versions, if it is one of this watch's epoch; false otherwise.
bool token_versions(State* w, PyObject* token, Versions& out) {
  unsigned long epoch;
  unsigned long long class_dict, instance, module_dict, hmac_dict;
  Py_ssize_t instance_dict;
  if (token == Py_None) return false;
  if (!PyArg_ParseTuple(token, "kKKKKn", &epoch, &class_dict, &instance, &module_dict, &hmac_dict,
                        &instance_dict)) {
    throw_python_error();
  }
  out = {reinterpret_cast<PyObject*>(instance_dict), class_dict, instance, module_dict, hmac_dict};
  return epoch == w->epoch;
}

// What `validated` says: answers come from the watch from now on; they do
// not (yet); the watches were just armed, and a look that begins now can
// be kept.
constexpr long kKept = 1, kNotNow = 0, kLookAgain = 2;

// validated(token, store, snapshot, euid, path, users_dir, key_hash, user):
// the look that began at `token` found `snapshot` current, and for a
// `key_hash` that matched (None for a key that matched nothing) the
// credential directory settled and `user` the answer.
PyObject* watch_validated(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&]() -> PyObject* {
    State* w = as_watch(self);
    expect_args(nargs, 8, "validated() takes 8 arguments");
    PyObject* token = args[0];
    PyObject *store = args[1], *snapshot = args[2], *path = args[4], *users_dir = args[5];
    PyObject *key_hash = args[6], *user = args[7];
    long euid = PyLong_AsLong(args[3]);
    if (euid == -1 && PyErr_Occurred()) throw_python_error();
    if (!PyUnicode_Check(path) || !PyUnicode_Check(users_dir)) {
      PyErr_SetString(PyExc_TypeError, "path and users_dir must be str");
      throw_python_error();
    }
    bool same_view = snapshot == w->snapshot.get() && w->path &&
                     PyUnicode_Compare(path, w->path.get()) == 0 &&
                     PyUnicode_Compare(users_dir, w->users_dir.get()) == 0;
    if (PyErr_Occurred()) throw_python_error();
    if (!same_view || w->watches.changed()) {
      if (same_view && w->attempted && !w->watches.armed()) return PyLong_FromLong(kNotNow);
      invalidate(w);
      Ref fd = Ref::own(PyObject_GetAttrString(snapshot, "fd"));
      long file_fd = PyLong_AsLong(fd.get());
      if (file_fd == -1 && PyErr_Occurred()) throw_python_error();
      w->snapshot = Ref::borrow(snapshot);
      w->path = Ref::borrow(path);
      w->users_dir = Ref::borrow(users_dir);
      w->attempted = true;
      bool armed = w->watches.arm(utf8(path), static_cast<int>(file_fd), utf8(users_dir));
      return PyLong_FromLong(armed ? kLookAgain : kNotNow);
    }
    // Nothing the look read may have changed since it began.
    Versions versions, began;
    if (!token_versions(w, token, began) || !plain_versions(w, store, versions) ||
        versions != began) {
      return PyLong_FromLong(kNotNow);
    }
    if (!w->valid || versions != w->versions || store != w->store.get() ||
        static_cast<uid_t>(euid) != w->euid) {
      PyDict_Clear(w->settled.get());
      w->users = Ref::own(PyObject_GetAttrString(snapshot, "users"));
      Ref complete = Ref::own(PyObject_GetAttrString(snapshot, "complete"));
      if (!PyDict_CheckExact(w->users.get())) {
        PyErr_SetString(PyExc_TypeError, "snapshot.users must be a dict");
        throw_python_error();
      }
      w->complete = check(PyObject_IsTrue(complete.get())) != 0;
      w->store = Ref::borrow(store);
      w->versions = versions;
      w->euid = static_cast<uid_t>(euid);
      w->valid = true;
    }
    if (key_hash != Py_None) check(PyDict_SetItem(w->settled.get(), key_hash, user));
    return PyLong_FromLong(kKept);
  });
}

PyMethodDef watch_methods[] = {
    {"answer", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(watch_answer)),
     METH_FASTCALL, "answer(store, key): the user, None, or the watch's NEEDS."},
    {"begin", watch_begin, METH_O, "begin(store) -> token, before the index looks at the files."},
    {"validated", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(watch_validated)),
     METH_FASTCALL,
     "validated(token, store, snapshot, euid, path, users_dir, key_hash, user) -> 1 kept, 0 not "
     "now, 2 look again"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot watch_slots[] = {
    {Py_tp_doc, const_cast<char*>("Answers a key index's checks while nothing they depend on "
                                  "has changed.")},
    {Py_tp_new, reinterpret_cast<void*>(watch_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(watch_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(watch_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(watch_clear)},
    {Py_tp_methods, watch_methods},
    {0, nullptr},
};

PyType_Spec watch_spec = {
    .name = "vardun.mcp._key_index.RegistryWatch",
    .basicsize = sizeof(RegistryWatch),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = watch_slots,
};

int module_exec(PyObject* module) {
  return guard_status([&] {
    Ref type = Ref::own(PyType_FromModuleAndSpec(module, &watch_spec, nullptr));
    check(PyModule_AddObjectRef(module, "RegistryWatch", type.get()));
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vardun.mcp._key_index",
    .m_doc = "The key index's answers while the kernel reports no change to what they read.",
    .m_size = 0,
    .m_methods = key_index::reader_hook_methods,
    .m_slots = module_slots,
};

}  // namespace

}  // namespace vardun

PyMODINIT_FUNC PyInit__key_index() {
  return PyModuleDef_Init(&vardun::module_def);
}
