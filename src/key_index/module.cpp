// vardun.mcp._key_index: the key index's native engine (engine.hpp) as the
// type KeyEngine, which vardun.mcp.key_index.KeyIndex wraps.
#include <new>
#include <utility>

#include "engine.hpp"
#include "python_ref.hpp"
#include "reader_hooks.hpp"

namespace vardun::key_index {

namespace {

struct KeyEngineObject {
  PyObject_HEAD Engine* engine;
};

Engine& engine_of(PyObject* self) {
  Engine* engine = reinterpret_cast<KeyEngineObject*>(self)->engine;
  if (engine == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "the key engine has been cleared");
    throw_python_error();
  }
  return *engine;
}

[[noreturn]] void bad_argument(const char* message) {
  PyErr_SetString(PyExc_TypeError, message);
  throw_python_error();
}

// A tuple of (str, object) pairs.
std::vector<std::pair<Ref, Ref>> named_pairs(PyObject* tuple, const char* what) {
  if (!PyTuple_Check(tuple)) bad_argument(what);
  std::vector<std::pair<Ref, Ref>> pairs;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) {
    PyObject* pair = PyTuple_GET_ITEM(tuple, i);
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2 ||
        !PyUnicode_CheckExact(PyTuple_GET_ITEM(pair, 0))) {
      bad_argument(what);
    }
    Ref name = Ref::borrow(PyTuple_GET_ITEM(pair, 0));
    PyUnicode_InternInPlace(reinterpret_cast<PyObject**>(&name));
    pairs.emplace_back(std::move(name), Ref::borrow(PyTuple_GET_ITEM(pair, 1)));
  }
  return pairs;
}

EngineConfig config_from(PyObject* args) {
  PyObject *store_class, *steps, *namespaces, *types, *user_type, *needs_thread, *ask_store;
  if (!PyArg_ParseTuple(args, "O!O!O!O!OOO:KeyEngine", &PyType_Type, &store_class, &PyTuple_Type,
                        &steps, &PyTuple_Type, &namespaces, &PyTuple_Type, &types, &user_type,
                        &needs_thread, &ask_store)) {
    throw_python_error();
  }
  EngineConfig config;
  config.store_class = Ref::borrow(store_class);
  config.steps = named_pairs(steps, "steps must hold (name, original) pairs");
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(namespaces); ++i) {
    PyObject* entry = PyTuple_GET_ITEM(namespaces, i);
    if (!PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) != 2) {
      bad_argument("namespaces must hold (object, pairs) entries");
    }
    config.namespaces.push_back(
        {Ref::borrow(PyTuple_GET_ITEM(entry, 0)),
         named_pairs(PyTuple_GET_ITEM(entry, 1), "namespace names must be (name, original)")});
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(types); ++i) {
    if (!PyType_Check(PyTuple_GET_ITEM(types, i))) bad_argument("types must hold types");
    config.types.push_back(Ref::borrow(PyTuple_GET_ITEM(types, i)));
  }
  config.user_type = Ref::borrow(user_type);
  config.needs_thread = Ref::borrow(needs_thread);
  config.ask_store = Ref::borrow(ask_store);
  return config;
}

PyObject* engine_new(PyTypeObject* type, PyObject*, PyObject*) {
  // Made empty: a subclass (KeyIndex) takes its own arguments and gives the
  // engine its configuration through `_configure`.
  return type->tp_alloc(type, 0);
}

PyObject* engine_configure(PyObject* self, PyObject* args) {
  return guard([&]() -> PyObject* {
    auto* object = reinterpret_cast<KeyEngineObject*>(self);
    if (object->engine != nullptr) bad_argument("the key engine is configured already");
    object->engine = new Engine(config_from(args));
    Py_RETURN_NONE;
  });
}

int engine_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Engine* engine = reinterpret_cast<KeyEngineObject*>(self)->engine;
  return engine != nullptr ? engine->traverse(visit, arg) : 0;
}

int engine_clear(PyObject* self) {
  delete std::exchange(reinterpret_cast<KeyEngineObject*>(self)->engine, nullptr);
  return 0;
}

void engine_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  delete std::exchange(reinterpret_cast<KeyEngineObject*>(self)->engine, nullptr);
  type->tp_free(self);
  Py_DECREF(type);
}

// The store the engine answers for: the instance's `store` attribute, read
// at every call.
Ref store_of(PyObject* self) {
  static PyObject* name = PyUnicode_InternFromString("store");
  if (name == nullptr) throw_python_error();
  return Ref::own(PyObject_GetAttr(self, name));
}

// verify_api_key(key): the store's answer, from the engine or, where only
// the store can give it, from store.verify_api_key(key).
PyObject* engine_verify(PyObject* self, PyObject* key) {
  return guard([&]() -> PyObject* {
    // Held for the call: the engine may let other threads run.
    Ref hold = Ref::borrow(self);
    Engine& engine = engine_of(self);
    Ref store = store_of(self);
    Ref answer = engine.answer(store.get(), key, true);
    if (engine.asks_store(answer.get())) {
      static PyObject* name = PyUnicode_InternFromString("verify_api_key");
      if (name == nullptr) throw_python_error();
      return PyObject_CallMethodOneArg(store.get(), name, key);
    }
    return answer.release();
  });
}

// answer_without_parsing(key): the same answer where it takes no read of
// the registry and no change to a directory, else needs_thread.
PyObject* engine_answer(PyObject* self, PyObject* key) {
  return guard([&]() -> PyObject* {
    Ref hold = Ref::borrow(self);
    Engine& engine = engine_of(self);
    Ref store = store_of(self);
    return engine.answer(store.get(), key, false).release();
  });
}

PyObject* engine_state(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* { return engine_of(self).state().release(); });
}

PyMethodDef engine_methods[] = {
    {"verify_api_key", engine_verify, METH_O,
     "The user `api_key` belongs to, or None: ``store.verify_api_key``'s answer."},
    {"answer_without_parsing", engine_answer, METH_O,
     "The same answer when it takes a few local system calls and no read of the registry (the "
     "index is current, and the credential directory needs no change); otherwise the "
     "configured needs-thread value, having changed nothing. Meant for an event loop."},
    {"_configure", engine_configure, METH_VARARGS,
     "_configure(store_class, steps, namespaces, types, user_type, needs_thread, ask_store)"},
    {"_state", engine_state, METH_NOARGS, "What the engine stands on now (for tests)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot engine_slots[] = {
    {Py_tp_doc, const_cast<char*>("store.verify_api_key's answers from the registry read once "
                                  "per change; the base of KeyIndex.")},
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(engine_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(engine_clear)},
    {Py_tp_methods, engine_methods},
    {0, nullptr},
};

PyType_Spec engine_spec = {
    .name = "vardun.mcp._key_index.KeyEngine",
    .basicsize = sizeof(KeyEngineObject),
    .itemsize = 0,
    .flags =
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = engine_slots,
};

int module_exec(PyObject* module) {
  return guard_status([&] {
    Ref type = Ref::own(PyType_FromModuleAndSpec(module, &engine_spec, nullptr));
    check(PyModule_AddObjectRef(module, "KeyEngine", type.get()));
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vardun.mcp._key_index",
    .m_doc =
        "The key index's engine: the registry read natively once per change, and answers "
        "without a look while the kernel reports no change.",
    .m_size = 0,
    .m_methods = reader_hook_methods,
    .m_slots = module_slots,
};

}  // namespace

}  // namespace vardun::key_index

PyMODINIT_FUNC PyInit__key_index() {
  return PyModuleDef_Init(&vardun::key_index::module_def);
}
