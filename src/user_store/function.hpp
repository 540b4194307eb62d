// The module's function type and the one argument binder behind it.
//
// Every function and method of the module is a `FunctionObject` made from a
// `FunctionSpec`: its calling surface declared as data (parameters, their
// kinds, defaults, annotations and type checks, the docstring and the result
// check). The object carries what introspection reads from a Python function
// (`__code__`, `__defaults__`, `__kwdefaults__`, `__annotations__`, ...), binds
// as a method, and is called through vectorcall: the binder checks and orders
// the arguments, then the body runs with them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "module_state.hpp"
#include "python_ref.hpp"

namespace vardun {

enum class ParamKind : std::uint8_t { PositionalOrKeyword, KeywordOnly };

// What the binder does with an argument before the body sees it.
enum class ParamCheck : std::uint8_t {
  Any,             // taken as it is
  ExactStr,        // must be exactly `str`
  ExactStrOrNone,  // exactly `str`, or None
  ExactList,       // must be exactly `list`
  Truth,           // reduced to True or False by its truth value
};

enum class DefaultValue : std::uint8_t { Required, None, EmptyStr, False };

// Checks a result just before it is returned.
enum class ResultCheck : std::uint8_t { Any, ExactStrOrNone, ExactListOrNone };

// How the function object is stored in its class namespace.
enum class Binding : std::uint8_t { Plain, ClassMethod, ContextManager };

struct ParamSpec {
  const char* name;
  ParamKind kind;
  ParamCheck check;
  DefaultValue default_value;
  const char* annotation;  // nullptr: not annotated
};

inline constexpr std::size_t kMaxParams = 4;

struct FunctionObject;

// A module-level name looked up now, as a Python function body does: the
// module namespace, then the builtins; NameError when it is in neither.
Ref lookup_global(PyObject* globals, PyObject* name);

// The bound arguments of one call, in declaration order.
struct Call {
  FunctionObject* function;
  ModuleState& state;
  PyObject* globals;
  PyObject* const* args;

  PyObject* arg(std::size_t index) const { return args[index]; }
  Ref global(PyObject* name) const { return lookup_global(globals, name); }
};

using Body = Ref (*)(const Call&);

struct FunctionSpec {
  const char* name;
  const char* qualname;
  const char* doc;  // nullptr: no docstring
  ParamSpec params[kMaxParams];
  std::size_t param_count;
  const char* return_annotation;  // nullptr: not annotated
  Body body;
  ResultCheck result_check = ResultCheck::Any;
  Binding binding = Binding::Plain;
  bool generator = false;  // the code object is flagged as a generator function's
};

struct FunctionObject {
  PyObject_HEAD vectorcallfunc vectorcall;
  const FunctionSpec* spec;
  ModuleState* state;  // lives as long as `module`
  PyObject* module;
  PyObject* globals;
  PyObject* name;
  PyObject* qualname;
  PyObject* module_name;  // __module__
  PyObject* doc;
  PyObject* code;
  PyObject* param_names;        // tuple of interned parameter names
  Py_ssize_t positional_count;  // parameters before the keyword-only ones
  bool converts_arguments;      // some parameter has a check or a truth value
  bool converts_truth;          // some parameter is reduced to a truth value
  PyObject* defaults;           // tuple or NULL
  PyObject* kwdefaults;         // dict or NULL
  PyObject* annotations;
  PyObject* dict;
  PyObject* weakrefs;
};

// Creates the function type for a module; returns a new reference.
PyTypeObject* create_function_type(PyObject* module);

// Makes the function object of `spec` for `module`, whose namespace is its
// globals.
Ref make_function(PyObject* module, ModuleState& state, const FunctionSpec& spec);

// Makes the function object and wraps it as its class attribute should be.
Ref make_class_attribute(PyObject* module, ModuleState& state, const FunctionSpec& spec);

}  // namespace vardun
