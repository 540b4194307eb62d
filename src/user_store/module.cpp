// Module definition and start-up (multi-phase initialisation): the exec step
// binds the namespace in its fixed order, each import and class creation made
// through the interpreter, every time the module is imported afresh.
#include <iterator>

#include "declarations.hpp"
#include "function.hpp"
#include "generator.hpp"
#include "module_state.hpp"
#include "python_ops.hpp"
#include "user_record.hpp"

namespace vardun {

namespace {

ModuleState& state_of(PyObject* module) {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

void bind(PyObject* globals, PyObject* name, PyObject* value) {
  check(PyDict_SetItem(globals, name, value));
}

// from <module> import <names...>
void bind_from(PyObject* globals, const char* module, std::initializer_list<PyObject*> names) {
  Ref fromlist = Ref::own(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  Py_ssize_t index = 0;
  for (PyObject* name : names) PyTuple_SET_ITEM(fromlist.get(), index++, Py_NewRef(name));
  Ref module_name = Ref::own(PyUnicode_FromString(module));
  Ref imported = py::import_module(module_name.get(), globals, fromlist.get());
  for (PyObject* name : names) bind(globals, name, py::import_from(imported.get(), name).get());
}

// `import fcntl` where it exists; its absence is recorded, not an error.
void probe_fcntl(ModuleState& state, PyObject* globals) {
  PyObject* fcntl = PyImport_ImportModuleLevelObject(state.fcntl, globals, nullptr, nullptr, 0);
  if (fcntl == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw_python_error();
    PyErr_Clear();
    bind(globals, state.FCNTL_AVAILABLE, Py_False);
    return;
  }
  Ref module = Ref::steal(fcntl);
  bind(globals, state.fcntl, module.get());
  bind(globals, state.FCNTL_AVAILABLE, Py_True);
}

// pathlib.PosixPath with its exists and stat (see ModuleState).
void remember_posix_path(ModuleState& state, PyObject* globals) {
  Ref pathlib = py::import_module(Ref::own(PyUnicode_FromString("pathlib")).get(), globals);
  state.posix_path = py::getattr(pathlib.get(), state.PosixPath).release();
  state.posix_path_exists = py::getattr(state.posix_path, state.exists).release();
  state.posix_path_stat = py::getattr(state.posix_path, state.stat).release();
}

Ref make_store_class(PyObject* module, ModuleState& state, PyObject* globals) {
  Ref namespace_dict = Ref::own(PyDict_New());
  PyObject* ns = namespace_dict.get();
  check(PyDict_SetItem(ns, state.dunder_module, py::getitem(globals, state.dunder_name).get()));
  check(PyDict_SetItem(ns, state.dunder_qualname, state.MCPUserStore));
  check(PyDict_SetItem(ns, state.dunder_doc, Ref::own(PyUnicode_FromString(kStoreDoc)).get()));
  for (std::size_t i = 0; i < kStoreMethodCount; ++i) {
    const FunctionSpec& spec = kStoreMethods[i];
    check(PyDict_SetItemString(ns, spec.name, make_class_attribute(module, state, spec).get()));
  }
  Ref bases = Ref::own(PyTuple_New(0));
  return py::call(reinterpret_cast<PyObject*>(&PyType_Type), {state.MCPUserStore, bases.get(), ns});
}

void exec_module(PyObject* module) {
  ModuleState& state = state_of(module);
  init_module_constants(state);
  state.function_type = create_function_type(module);
  if (state.function_type == nullptr) throw_python_error();
  state.generator_type = create_generator_type(module);
  if (state.generator_type == nullptr) throw_python_error();

  PyObject* globals = PyModule_GetDict(module);
  for (PyObject* name : {state.contextlib, state.hashlib, state.hmac, state.json, state.secrets,
                         state.stat, state.time}) {
    bind(globals, name, py::import_module(name, globals).get());
  }
  bind_from(globals, "dataclasses", {state.dataclass});
  bind_from(globals, "datetime", {state.datetime, state.timezone});
  bind_from(globals, "pathlib", {state.Path});
  remember_posix_path(state, globals);
  bind_from(globals, "string", {state.ascii_letters, state.digits});
  bind_from(globals, "typing", {state.Iterator});
  probe_fcntl(state, globals);

  bind(globals, state.API_KEY_PREFIX, Ref::own(PyUnicode_FromString("vardun-mcp-")).get());
  bind(globals, state.API_KEY_RANDOM_LENGTH, Ref::own(PyLong_FromLong(32)).get());
  bind(globals, state.generate_api_key, make_function(module, state, kGenerateApiKey).get());
  // Functions may run from here on: the dataclass machinery calls none of
  // them, but a class body's hooks could.
  state.ready = true;
  bind(globals, state.MCPUser, make_user_record_class(module, state, globals).get());
  bind(globals, state.MCPUserStore, make_store_class(module, state, globals).get());
}

int module_exec(PyObject* module) {
  return guard_status([&] { exec_module(module); });
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  return traverse_module_state(state_of(module), visit, arg);
}

int module_clear(PyObject* module) {
  clear_module_state(state_of(module));
  return 0;
}

void module_free(void* module) {
  clear_module_state(state_of(static_cast<PyObject*>(module)));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "user_store",    kModuleDoc,   sizeof(ModuleState), nullptr,
    module_slots,          module_traverse, module_clear, module_free,
};

}  // namespace

}  // namespace vardun

PyMODINIT_FUNC PyInit_user_store(void) {
  return PyModuleDef_Init(&vardun::module_def);
}
