#include "module_state.hpp"

#include "standard_json.hpp"

namespace vardun {

namespace {

PyObject* intern(const char* text) {
  PyObject* str = PyUnicode_InternFromString(text);
  if (str == nullptr) throw_python_error();
  return str;
}

template <class... Names>
PyObject* name_tuple(Names... names) {
  PyObject* items[] = {Ref::own(PyUnicode_InternFromString(names)).release()...};
  PyObject* tuple = PyTuple_New(sizeof...(names));
  if (tuple == nullptr) {
    for (PyObject* item : items) Py_DECREF(item);
    throw_python_error();
  }
  for (std::size_t i = 0; i < sizeof...(names); ++i) PyTuple_SET_ITEM(tuple, i, items[i]);
  return tuple;
}

PyObject* small_int(long value) {
  return Ref::own(PyLong_FromLong(value)).release();
}

}  // namespace

void init_module_constants(ModuleState& state) {
#define VARDUN_INIT_STRING(field, text) state.field = intern(text);
  VARDUN_STRINGS(VARDUN_INIT_STRING)
#undef VARDUN_INIT_STRING
#define VARDUN_INIT_KWNAMES(field, ...) state.field = name_tuple(__VA_ARGS__);
  VARDUN_KWNAMES(VARDUN_INIT_KWNAMES)
#undef VARDUN_INIT_KWNAMES
  state.int_2 = small_int(2);
  state.int_4 = small_int(4);
}

int traverse_module_state(ModuleState& state, visitproc visit, void* arg) {
  Py_VISIT(state.function_type);
  Py_VISIT(state.generator_type);
  Py_VISIT(state.posix_path);
  Py_VISIT(state.posix_path_exists);
  Py_VISIT(state.posix_path_stat);
  return 0;
}

void clear_module_state(ModuleState& state) {
  state.ready = false;
  Py_CLEAR(state.function_type);
  Py_CLEAR(state.generator_type);
  standard_json::forget(state.json_found);
  Py_CLEAR(state.int_2);
  Py_CLEAR(state.int_4);
  Py_CLEAR(state.posix_path);
  Py_CLEAR(state.posix_path_exists);
  Py_CLEAR(state.posix_path_stat);
#define VARDUN_CLEAR(field, ...) Py_CLEAR(state.field);
  VARDUN_STRINGS(VARDUN_CLEAR)
  VARDUN_KWNAMES(VARDUN_CLEAR)
#undef VARDUN_CLEAR
}

}  // namespace vardun
