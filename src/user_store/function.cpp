#include "function.hpp"

#include <structmember.h>

#include <algorithm>

#include "python_ops.hpp"

namespace vardun {

// Code flags of a function compiled under `from __future__ import annotations`.
constexpr int kFunctionCodeFlags = CO_OPTIMIZED | CO_NEWLOCALS | 0x1000000;

Ref lookup_global(PyObject* globals, PyObject* name) {
  PyObject* value = PyDict_GetItemWithError(globals, name);
  if (value == nullptr) {
    if (PyErr_Occurred()) throw_python_error();
    value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (value == nullptr) {
      if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
      throw_python_error();
    }
  }
  return Ref::borrow(value);
}

namespace {

FunctionObject* as_function(PyObject* self) {
  return reinterpret_cast<FunctionObject*>(self);
}

// ---------------------------------------------------------------------------
// Argument binding

// The arguments of one call, each holding a strong reference for the call's
// duration, whatever the body does to the function's defaults meanwhile.
class BoundArguments {
 public:
  BoundArguments() = default;
  BoundArguments(const BoundArguments&) = delete;
  BoundArguments& operator=(const BoundArguments&) = delete;
  ~BoundArguments() {
    if (!holds_interpreter_lock()) return;
    for (std::size_t i = 0; i < used_; ++i) Py_XDECREF(slots_[i]);
  }
  void set(std::size_t index, PyObject* value) {
    Py_INCREF(value);
    Py_XSETREF(slots_[index], value);
    if (index >= used_) used_ = index + 1;
  }
  PyObject* operator[](std::size_t index) const { return slots_[index]; }
  PyObject* const* data() const { return slots_; }

 private:
  PyObject* slots_[kMaxParams] = {};
  std::size_t used_ = 0;  // slots past this one were never set
};

[[noreturn]] void raise_positional_count(const char* name, bool exact, Py_ssize_t min_count,
                                         Py_ssize_t max_count, Py_ssize_t given) {
  Py_ssize_t expected = given < min_count ? min_count : max_count;
  const char* bound = exact ? "exactly" : (given < min_count ? "at least" : "at most");
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name,
               bound, expected, expected == 1 ? "" : "s", given);
  throw_python_error();
}

// Whether a keyword names a parameter: the same object (names in calls are
// interned) or equal text.
bool keyword_matches(PyObject* key, PyObject* param_name) {
  if (key == param_name) return true;
  if (!PyUnicode_Check(key)) return false;
  return PyUnicode_Compare(key, param_name) == 0;
}

PyObject* find_keyword(PyObject* kwnames, PyObject* const* kwvalues, PyObject* param_name) {
  Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (PyTuple_GET_ITEM(kwnames, i) == param_name) return kwvalues[i];
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (keyword_matches(PyTuple_GET_ITEM(kwnames, i), param_name)) return kwvalues[i];
  }
  return nullptr;
}

// Called when some keywords were not taken by a parameter: names the first
// keyword that is not a string, repeats an argument given by position, or
// names no parameter.
[[noreturn]] void reject_keywords(const char* name, PyObject* param_names, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  Py_ssize_t param_count = PyTuple_GET_SIZE(param_names);
  Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < count; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
      throw_python_error();
    }
    Py_ssize_t index = 0;
    while (index < param_count && !keyword_matches(key, PyTuple_GET_ITEM(param_names, index))) {
      ++index;
    }
    bool repeated = index < nargs;
    for (Py_ssize_t earlier = 0; !repeated && index < param_count && earlier < k; ++earlier) {
      repeated = keyword_matches(PyTuple_GET_ITEM(kwnames, earlier), key);
    }
    if (index == param_count) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, key);
      throw_python_error();
    }
    if (repeated) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name,
                   key);
      throw_python_error();
    }
  }
  PyErr_Format(PyExc_SystemError, "%s(): keyword arguments could not be bound", name);
  throw_python_error();
}

[[noreturn]] void raise_argument_type(const char* param, PyTypeObject* expected, PyObject* value) {
  if (PyObject_TypeCheck(value, expected)) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s). "
                 "Subclasses of built-in types are rejected.",
                 param, expected->tp_name, Py_TYPE(value)->tp_name);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected->tp_name, Py_TYPE(value)->tp_name);
  }
  throw_python_error();
}

void apply_check(const ParamSpec& param, PyObject* value) {
  switch (param.check) {
    case ParamCheck::Any:
    case ParamCheck::Truth:
      return;
    case ParamCheck::ExactStr:
      if (!PyUnicode_CheckExact(value)) raise_argument_type(param.name, &PyUnicode_Type, value);
      return;
    case ParamCheck::ExactStrOrNone:
      if (value != Py_None && !PyUnicode_CheckExact(value)) {
        raise_argument_type(param.name, &PyUnicode_Type, value);
      }
      return;
    case ParamCheck::ExactList:
      if (!PyList_CheckExact(value)) raise_argument_type(param.name, &PyList_Type, value);
      return;
  }
}

// Truth values first, then the type checks, each in parameter order.
void convert_and_check(const FunctionSpec& spec, BoundArguments& bound) {
  for (std::size_t i = 0; i < spec.param_count; ++i) {
    if (spec.params[i].check != ParamCheck::Truth) continue;
    PyObject* value = bound[i];
    bool true_value =
        value == Py_True || (value != Py_False && value != Py_None && py::truth(value));
    bound.set(i, true_value ? Py_True : Py_False);
  }
  for (std::size_t i = 0; i < spec.param_count; ++i) apply_check(spec.params[i], bound[i]);
}

void bind_arguments(const FunctionObject& f, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArguments& bound) {
  const FunctionSpec& spec = *f.spec;
  const char* name = spec.name;
  Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;

  if (spec.param_count == 0) {
    if (nkw > 0) {
      PyErr_Format(PyExc_TypeError, "%.200s() %s", name, "takes no keyword arguments");
      throw_python_error();
    }
    if (nargs != 0) {
      PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", name, "takes no arguments", nargs);
      throw_python_error();
    }
    return;
  }

  auto param_count = static_cast<Py_ssize_t>(spec.param_count);
  Py_ssize_t positional = f.positional_count;
  if (nkw == 0 && nargs == param_count && positional == param_count) {
    // Every parameter given by position: nothing to match or default.
    for (Py_ssize_t i = 0; i < nargs; ++i) bound.set(i, args[i]);
    if (f.converts_arguments) convert_and_check(spec, bound);
    return;
  }
  Py_ssize_t ndefaults =
      f.defaults != nullptr ? std::min(PyTuple_GET_SIZE(f.defaults), positional) : 0;
  Py_ssize_t required = positional - ndefaults;
  bool exact = required == positional;

  if (nargs > positional) raise_positional_count(name, exact, required, positional, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) bound.set(i, args[i]);

  PyObject* names = f.param_names;
  if (nkw > 0) {
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t taken = 0;
    for (Py_ssize_t i = nargs; i < param_count; ++i) {
      PyObject* value = find_keyword(kwnames, kwvalues, PyTuple_GET_ITEM(names, i));
      if (value != nullptr) {
        bound.set(i, value);
        ++taken;
      } else if (i < required) {
        raise_positional_count(name, exact, required, positional, i);
      }
    }
    if (taken < nkw) reject_keywords(name, names, nargs, kwnames);
  } else if (nargs < required) {
    raise_positional_count(name, exact, required, positional, nargs);
  }

  for (Py_ssize_t i = std::max(nargs, required); i < positional; ++i) {
    if (bound[i] == nullptr) bound.set(i, PyTuple_GET_ITEM(f.defaults, i - positional + ndefaults));
  }
  for (Py_ssize_t i = positional; i < param_count; ++i) {
    if (bound[i] != nullptr) continue;
    PyObject* param_name = PyTuple_GET_ITEM(names, i);
    PyObject* fallback =
        f.kwdefaults != nullptr ? PyDict_GetItemWithError(f.kwdefaults, param_name) : nullptr;
    if (fallback == nullptr) {
      if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %U", name, param_name);
      }
      throw_python_error();
    }
    bound.set(i, fallback);
  }

  if (f.converts_arguments) convert_and_check(spec, bound);
}

void check_result(const FunctionSpec& spec, PyObject* result) {
  const char* expected = nullptr;
  switch (spec.result_check) {
    case ResultCheck::Any:
      return;
    case ResultCheck::ExactStrOrNone:
      if (result == Py_None || PyUnicode_CheckExact(result)) return;
      expected = "str";
      break;
    case ResultCheck::ExactListOrNone:
      if (result == Py_None || PyList_CheckExact(result)) return;
      expected = "list";
      break;
  }
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(result)->tp_name);
  throw_python_error();
}

// Keeps the C stack bounded when functions end up calling each other (a
// rebound module name can make `_new_api_key` call itself).
class RecursionGuard {
 public:
  RecursionGuard() {
    if (Py_EnterRecursiveCall(" while calling a Python object") != 0) throw_python_error();
  }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
  ~RecursionGuard() {
    if (holds_interpreter_lock()) Py_LeaveRecursiveCall();
  }
};

// Every parameter given by position and none reduced to a truth value: the
// body can use the caller's arguments, which the caller keeps for the call.
bool takes_arguments_as_given(const FunctionObject& f, Py_ssize_t nargs, PyObject* kwnames) {
  return nargs == static_cast<Py_ssize_t>(f.spec->param_count) && nargs == f.positional_count &&
         (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) && !f.converts_truth;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                              PyObject* kwnames) {
  FunctionObject* f = as_function(callable);
  return guard([&]() -> PyObject* {
    if (!f->state->ready) py::raise(PyExc_RuntimeError, "vardun.mcp.user_store is not initialised");
    RecursionGuard recursion;
    const FunctionSpec& spec = *f->spec;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Ref result;
    if (takes_arguments_as_given(*f, nargs, kwnames)) {
      if (f->converts_arguments) {
        for (std::size_t i = 0; i < spec.param_count; ++i) apply_check(spec.params[i], args[i]);
      }
      result = spec.body(Call{f, *f->state, f->globals, args});
    } else {
      BoundArguments bound;
      bind_arguments(*f, args, nargs, kwnames, bound);
      result = spec.body(Call{f, *f->state, f->globals, bound.data()});
    }
    check_result(spec, result.get());
    return result.release();
  });
}

// ---------------------------------------------------------------------------
// Attributes

// How one writable attribute is read and assigned, as on a Python function.
struct AttributeRule {
  PyObject* FunctionObject::*field;
  bool (*accepts)(PyObject*);
  bool none_clears;            // None (and deletion) leave the attribute unset
  bool empty_dict_when_unset;  // read as a new empty dict instead of None
  const char* type_error;
};

constexpr AttributeRule kNameRule = {&FunctionObject::name,
                                     [](PyObject* v) { return PyUnicode_Check(v) != 0; }, false,
                                     false, "__name__ must be set to a string object"};
constexpr AttributeRule kQualnameRule = {&FunctionObject::qualname,
                                         [](PyObject* v) { return PyUnicode_Check(v) != 0; }, false,
                                         false, "__qualname__ must be set to a string object"};
constexpr AttributeRule kDefaultsRule = {&FunctionObject::defaults,
                                         [](PyObject* v) { return PyTuple_Check(v) != 0; }, true,
                                         false, "__defaults__ must be set to a tuple object"};
constexpr AttributeRule kKwdefaultsRule = {&FunctionObject::kwdefaults,
                                           [](PyObject* v) { return PyDict_Check(v) != 0; }, true,
                                           false, "__kwdefaults__ must be set to a dict object"};
constexpr AttributeRule kAnnotationsRule = {&FunctionObject::annotations,
                                            [](PyObject* v) { return PyDict_Check(v) != 0; }, true,
                                            true, "__annotations__ must be set to a dict object"};

PyObject* get_attribute(PyObject* self, void* closure) {
  const auto& rule = *static_cast<const AttributeRule*>(closure);
  PyObject*& slot = as_function(self)->*rule.field;
  if (slot == nullptr && rule.empty_dict_when_unset) slot = PyDict_New();
  if (slot == nullptr) return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
  return Py_NewRef(slot);
}

int set_attribute(PyObject* self, PyObject* value, void* closure) {
  const auto& rule = *static_cast<const AttributeRule*>(closure);
  if (value == Py_None && rule.none_clears) value = nullptr;
  if (value == nullptr ? !rule.none_clears : !rule.accepts(value)) {
    PyErr_SetString(PyExc_TypeError, rule.type_error);
    return -1;
  }
  Py_XSETREF(as_function(self)->*rule.field, Py_XNewRef(value));
  return 0;
}

PyObject* get_code(PyObject* self, void*) {
  return Py_NewRef(as_function(self)->code);
}

constexpr void* rule(const AttributeRule& attribute) {
  return const_cast<AttributeRule*>(&attribute);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_attribute, set_attribute, nullptr, rule(kNameRule)},
    {"__qualname__", get_attribute, set_attribute, nullptr, rule(kQualnameRule)},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_attribute, set_attribute, nullptr, rule(kDefaultsRule)},
    {"__kwdefaults__", get_attribute, set_attribute, nullptr, rule(kKwdefaultsRule)},
    {"__annotations__", get_attribute, set_attribute, nullptr, rule(kAnnotationsRule)},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module_name), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weakrefoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickles by qualified name, as the pickle module does for Python functions.
PyObject* function_reduce(PyObject* self, PyObject*) {
  return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Binds like a Python function: itself through the class, a bound method
// through an instance.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  FunctionObject* f = as_function(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(f->module);
  Py_VISIT(f->globals);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module_name);
  Py_VISIT(f->doc);
  Py_VISIT(f->code);
  Py_VISIT(f->param_names);
  Py_VISIT(f->defaults);
  Py_VISIT(f->kwdefaults);
  Py_VISIT(f->annotations);
  Py_VISIT(f->dict);
  return 0;
}

int function_clear(PyObject* self) {
  FunctionObject* f = as_function(self);
  Py_CLEAR(f->module);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->module_name);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->kwdefaults);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->dict);
  return 0;
}

void function_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  FunctionObject* f = as_function(self);
  PyObject_GC_UnTrack(self);
  if (f->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->code);
  Py_CLEAR(f->param_names);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "vardun.mcp.user_store.compiled_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// ---------------------------------------------------------------------------
// Construction from a spec

Ref text(const char* utf8) {
  return Ref::own(PyUnicode_FromString(utf8));
}

Ref interned(const char* utf8) {
  return Ref::own(PyUnicode_InternFromString(utf8));
}

PyObject* default_object(ModuleState& state, DefaultValue value) {
  switch (value) {
    case DefaultValue::None:
      return Py_None;
    case DefaultValue::EmptyStr:
      return state.empty;
    case DefaultValue::False:
      return Py_False;
    case DefaultValue::Required:
      break;
  }
  return nullptr;
}

// A code object with the function's name and exactly its parameters, which
// is what `inspect` reads a signature from.
Ref make_code(PyObject* module, const FunctionSpec& spec, PyObject* name, PyObject* qualname,
              PyObject* varnames) {
  Ref filename = Ref::steal(PyModule_GetFilenameObject(module));
  if (!filename) PyErr_Clear();
  Ref filename_utf8 =
      filename ? Ref::borrow(filename.get()) : Ref::own(PyModule_GetNameObject(module));
  const char* filename_text = PyUnicode_AsUTF8(filename_utf8.get());
  if (filename_text == nullptr) throw_python_error();
  Ref empty = Ref::own(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename_text, spec.name, 1)));

  Py_ssize_t positional = 0, keyword_only = 0;
  for (std::size_t i = 0; i < spec.param_count; ++i) {
    (spec.params[i].kind == ParamKind::KeywordOnly ? keyword_only : positional) += 1;
  }
  int flags = kFunctionCodeFlags | (spec.generator ? CO_GENERATOR : 0);

  Ref changes = Ref::own(PyDict_New());
  auto put = [&](const char* key, Ref value) {
    check(PyDict_SetItemString(changes.get(), key, value.get()));
  };
  put("co_argcount", Ref::own(PyLong_FromSsize_t(positional)));
  put("co_posonlyargcount", Ref::own(PyLong_FromLong(0)));
  put("co_kwonlyargcount", Ref::own(PyLong_FromSsize_t(keyword_only)));
  put("co_nlocals", Ref::own(PyLong_FromSize_t(spec.param_count)));
  put("co_varnames", Ref::borrow(varnames));
  put("co_flags", Ref::own(PyLong_FromLong(flags)));
  put("co_name", Ref::borrow(name));
  put("co_qualname", Ref::borrow(qualname));
  Ref replace = py::getattr(empty.get(), Ref::own(PyUnicode_FromString("replace")).get());
  Ref no_args = Ref::own(PyTuple_New(0));
  return Ref::own(PyObject_Call(replace.get(), no_args.get(), changes.get()));
}

}  // namespace

PyTypeObject* create_function_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &function_spec, nullptr));
}

Ref make_function(PyObject* module, ModuleState& state, const FunctionSpec& spec) {
  Ref name = interned(spec.name);
  Ref qualname = interned(spec.qualname);
  Ref param_names = Ref::own(PyTuple_New(static_cast<Py_ssize_t>(spec.param_count)));
  for (std::size_t i = 0; i < spec.param_count; ++i) {
    PyTuple_SET_ITEM(param_names.get(), i, interned(spec.params[i].name).release());
  }
  Ref code = make_code(module, spec, name.get(), qualname.get(), param_names.get());
  Ref doc = spec.doc != nullptr ? text(spec.doc) : Ref::borrow(Py_None);

  Ref annotations = Ref::own(PyDict_New());
  Ref defaults_list = Ref::own(PyList_New(0));
  Ref kwdefaults = Ref::own(PyDict_New());
  for (std::size_t i = 0; i < spec.param_count; ++i) {
    const ParamSpec& param = spec.params[i];
    if (param.annotation != nullptr) {
      check(PyDict_SetItemString(annotations.get(), param.name, text(param.annotation).get()));
    }
    PyObject* fallback = default_object(state, param.default_value);
    if (fallback == nullptr) continue;
    if (param.kind == ParamKind::KeywordOnly) {
      check(PyDict_SetItemString(kwdefaults.get(), param.name, fallback));
    } else {
      check(PyList_Append(defaults_list.get(), fallback));
    }
  }
  if (spec.return_annotation != nullptr) {
    check(PyDict_SetItemString(annotations.get(), "return", text(spec.return_annotation).get()));
  }

  PyObject* globals = PyModule_GetDict(module);  // borrowed
  if (globals == nullptr) throw_python_error();
  Ref module_name = Ref::borrow(PyDict_GetItemWithError(globals, state.dunder_name));
  if (!module_name) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "module has no __name__");
    throw_python_error();
  }

  Ref object = Ref::own(state.function_type->tp_alloc(state.function_type, 0));
  FunctionObject* f = as_function(object.get());
  f->vectorcall = function_vectorcall;
  f->spec = &spec;
  f->state = &state;
  f->module = Py_NewRef(module);
  f->globals = Py_NewRef(globals);
  f->name = name.release();
  f->qualname = qualname.release();
  f->module_name = module_name.release();
  f->doc = doc.release();
  f->code = code.release();
  f->param_names = param_names.release();
  f->positional_count = 0;
  while (f->positional_count < static_cast<Py_ssize_t>(spec.param_count) &&
         spec.params[f->positional_count].kind == ParamKind::PositionalOrKeyword) {
    ++f->positional_count;
  }
  f->converts_arguments =
      std::any_of(spec.params, spec.params + spec.param_count,
                  [](const ParamSpec& p) { return p.check != ParamCheck::Any; });
  f->converts_truth = std::any_of(spec.params, spec.params + spec.param_count,
                                  [](const ParamSpec& p) { return p.check == ParamCheck::Truth; });
  f->defaults = PyList_GET_SIZE(defaults_list.get()) > 0
                    ? Ref::own(PyList_AsTuple(defaults_list.get())).release()
                    : nullptr;
  f->kwdefaults = PyDict_GET_SIZE(kwdefaults.get()) > 0 ? kwdefaults.release() : nullptr;
  f->annotations = annotations.release();
  return object;
}

Ref make_class_attribute(PyObject* module, ModuleState& state, const FunctionSpec& spec) {
  Ref function = make_function(module, state, spec);
  switch (spec.binding) {
    case Binding::Plain:
      return function;
    case Binding::ClassMethod:
      return Ref::own(PyClassMethod_New(function.get()));
    case Binding::ContextManager: {
      Ref contextlib =
          Ref::borrow(PyDict_GetItemWithError(PyModule_GetDict(module), state.contextlib));
      if (!contextlib) {
        if (!PyErr_Occurred())
          PyErr_Format(PyExc_NameError, "name '%U' is not defined", state.contextlib);
        throw_python_error();
      }
      return py::call_method(contextlib.get(), state.contextmanager, {function.get()});
    }
  }
  return function;
}

}  // namespace vardun
