#include "user_record.hpp"

#include "bodies.hpp"
#include "declarations.hpp"
#include "function.hpp"
#include "python_ops.hpp"

namespace vardun {

Ref make_user_record_class(PyObject* module, ModuleState& state, PyObject* globals) {
  Ref annotations = Ref::own(PyDict_New());
  Ref str_annotation = Ref::own(PyUnicode_FromString("str"));
  Ref path_annotation = Ref::own(PyUnicode_FromString("Path"));
  for (PyObject* field : {state.user_id, state.description, state.created_at}) {
    check(PyDict_SetItem(annotations.get(), field, str_annotation.get()));
  }
  check(PyDict_SetItem(annotations.get(), state.credential_dir, path_annotation.get()));

  // Keys in the order a class body under postponed annotations creates them.
  Ref namespace_dict = Ref::own(PyDict_New());
  PyObject* ns = namespace_dict.get();
  check(PyDict_SetItem(ns, state.dunder_module, py::getitem(globals, state.dunder_name).get()));
  check(PyDict_SetItem(ns, state.dunder_qualname, state.MCPUser));
  check(PyDict_SetItem(ns, state.dunder_annotations, annotations.get()));
  check(PyDict_SetItem(ns, state.dunder_doc, Ref::own(PyUnicode_FromString(kUserRecordDoc)).get()));
  check(PyDict_SetItemString(ns, kUserToDict.name,
                             make_class_attribute(module, state, kUserToDict).get()));

  Ref bases = Ref::own(PyTuple_New(0));
  Ref cls = py::call(reinterpret_cast<PyObject*>(&PyType_Type), {state.MCPUser, bases.get(), ns});
  Ref dataclass = lookup_global(globals, state.dataclass);
  Ref decorator = py::call(dataclass.get(), {Py_True}, state.kw_frozen);
  return py::call(decorator.get(), {cls.get()});
}

namespace bodies {

namespace {

// dict[key] = value for a new reference `value` (NULL: the error set), which
// the dict takes over; the thread holds the interpreter lock right after the
// call that made the value, so nothing needs checking before its release.
void insert_new(PyObject* dict, PyObject* key, PyObject* value) {
  if (value == nullptr) throw_python_error();
  int status = PyDict_SetItem(dict, key, value);
  Py_DECREF(value);
  check(status);
}

}  // namespace

Ref user_to_dict(const Call& call) {
  const ModuleState& s = call.state;
  PyObject* self = call.arg(0);
  Ref result = Ref::own(PyDict_New());
  for (PyObject* field : {s.user_id, s.description, s.created_at}) {
    insert_new(result.get(), field, py::getattr_or_null(self, field));
  }
  Ref directory = py::getattr(self, s.credential_dir);
  insert_new(result.get(), s.credential_dir, PyObject_Str(directory.get()));
  return result;
}

}  // namespace bodies
}  // namespace vardun
