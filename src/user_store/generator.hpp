// The module's generator type: what calling a generator function returns.
//
// It is driven exactly like a Python generator (`__next__`, `send`, `throw`,
// `close`, closing when collected), which is what `contextlib.contextmanager`
// relies on. The body is a step function that resumes at `resume_point` and
// either yields a value or finishes; its locals live in the object so that
// the garbage collector sees them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "function.hpp"
#include "python_ref.hpp"

namespace vardun {

enum class GeneratorStatus : std::uint8_t { Created, Suspended, Running, Finished };

// How the body is resumed: by `send` (`next` sends None), or by `throw` with
// an exception instance whose traceback is attached.
struct Resume {
  enum class Kind : std::uint8_t { Send, Throw };
  Kind kind;
  PyObject* value;
};

// A yielded value, or the body's return value when it finished.
struct StepResult {
  bool yielded;
  Ref value;
};

struct GeneratorObject;
using GeneratorStep = StepResult (*)(GeneratorObject& generator, const Resume& resume);

inline constexpr std::size_t kGeneratorLocals = 3;

struct GeneratorObject {
  PyObject_HEAD GeneratorStatus status;
  int resume_point;
  GeneratorStep step;
  ModuleState* state;  // lives as long as `module`
  PyObject* module;
  PyObject* globals;
  PyObject* name;
  PyObject* qualname;
  PyObject* locals[kGeneratorLocals];
  PyObject* weakrefs;

  Ref global(PyObject* name) const { return lookup_global(globals, name); }
  void set_local(std::size_t index, Ref value) { Py_XSETREF(locals[index], value.release()); }
};

// Creates the generator type for a module; returns a new reference.
PyTypeObject* create_generator_type(PyObject* module);

// The generator object that a call of a generator function returns; its
// first locals are `initial_locals`.
Ref make_generator(const Call& call, GeneratorStep step,
                   std::initializer_list<PyObject*> initial_locals);

}  // namespace vardun
