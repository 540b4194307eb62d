// vardun.mcp._key_index: the key index's native engine (engine.hpp) as the
// type KeyEngine, which vardun.mcp.key_index.KeyIndex wraps.
#include <new>
#include <utility>

#include "engine.hpp"
#include "python_ref.hpp"

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

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
      bad_argument("KeyEngine() takes no keyword arguments");
    }
    EngineConfig config = config_from(args);
    Ref self = Ref::own(type->tp_alloc(type, 0));
    reinterpret_cast<KeyEngineObject*>(self.get())->engine = new Engine(std::move(config));
    return self.release();
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

// The two ways of asking, told apart by `may_parse`.
template <bool may_parse>
PyObject* engine_answer(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&]() -> PyObject* {
    if (nargs != 2) bad_argument(may_parse ? "verify() takes a store and a key"
                                           : "answer() takes a store and a key");
    // Held for the call: the engine may let other threads run.
    Ref hold = Ref::borrow(self);
    return engine_of(self).answer(args[0], args[1], may_parse).release();
  });
}

PyObject* engine_state(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* { return engine_of(self).state().release(); });
}

PyMethodDef engine_methods[] = {
    {"answer",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_answer<false>)),
     METH_FASTCALL,
     "answer(store, key): the user, None, ask_store, or needs_thread where it would read the "
     "registry or change a credential directory."},
    {"verify", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_answer<true>)),
     METH_FASTCALL, "verify(store, key): the user, None, or ask_store."},
    {"state", engine_state, METH_NOARGS, "state(): what the engine stands on now (for tests)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot engine_slots[] = {
    {Py_tp_doc, const_cast<char*>("store.verify_api_key's answers from the registry read once "
                                  "per change.")},
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
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
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
    .m_doc = "The key index's engine: the registry read natively once per change, and answers "
             "without a look while the kernel reports no change.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
};

}  // namespace

}  // namespace vardun::key_index

PyMODINIT_FUNC PyInit__key_index() {
  return PyModuleDef_Init(&vardun::key_index::module_def);
}
