#include "generator.hpp"

#include <structmember.h>

#include "python_ops.hpp"

namespace vardun {

namespace {

GeneratorObject* as_generator(PyObject* self) {
  return reinterpret_cast<GeneratorObject*>(self);
}

void clear_locals(GeneratorObject& gen) {
  for (PyObject*& local : gen.locals) Py_CLEAR(local);
}

void finish(GeneratorObject& gen) {
  gen.status = GeneratorStatus::Finished;
  clear_locals(gen);
}

// A StopIteration leaving the body becomes RuntimeError, as in any generator.
void convert_stop_iteration() {
  if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
  PendingError stop = PendingError::fetch();
  Ref message = Ref::steal(PyUnicode_FromString("generator raised StopIteration"));
  Ref error = message ? Ref::steal(PyObject_CallOneArg(PyExc_RuntimeError, message.get())) : Ref();
  if (!error) return;  // the new error is already set
  PyException_SetCause(error.get(), Ref::borrow(stop.value()).release());
  PyException_SetContext(error.get(), Ref::borrow(stop.value()).release());
  PyErr_SetObject(PyExc_RuntimeError, error.get());
}

// Sets the StopIteration that ends a generator returning `value`.
void set_stop_iteration(PyObject* value) {
  if (value == Py_None) {
    PyErr_SetNone(PyExc_StopIteration);
    return;
  }
  Ref stop = Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, value));
  if (stop) PyErr_SetObject(PyExc_StopIteration, stop.get());
}

// Resumes the body. Returns the yielded value, or NULL with an exception
// set; when the body finishes with None and `quiet_stop` is true, returns
// NULL without one, as `__next__` does.
PyObject* resume(GeneratorObject& gen, const Resume& how, bool quiet_stop) {
  switch (gen.status) {
    case GeneratorStatus::Running:
      PyErr_SetString(PyExc_ValueError, "generator already executing");
      return nullptr;
    case GeneratorStatus::Finished:
      if (how.kind == Resume::Kind::Throw) {
        PendingError::from_value(how.value).restore();
      } else if (!quiet_stop) {
        PyErr_SetNone(PyExc_StopIteration);
      }
      return nullptr;
    case GeneratorStatus::Created:
      if (how.kind == Resume::Kind::Throw) {
        finish(gen);
        PendingError::from_value(how.value).restore();
        convert_stop_iteration();
        return nullptr;
      }
      if (how.value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
      }
      break;
    case GeneratorStatus::Suspended:
      break;
  }
  if (!gen.state->ready) {
    // The module was torn down (interpreter exit): nothing left to run with.
    finish(gen);
    PyErr_SetString(PyExc_RuntimeError, "vardun.mcp.user_store is not initialised");
    return nullptr;
  }
  gen.status = GeneratorStatus::Running;
  Py_INCREF(&gen);  // the body may drop the last other reference
  StepResult result{false, Ref()};
  bool failed = catch_all(
      [&] {
        result = gen.step(gen, how);
        return false;
      },
      [] {
        set_error_from_current_exception();
        return true;
      });
  PyObject* outcome = nullptr;
  if (failed) {
    finish(gen);
    convert_stop_iteration();
  } else if (result.yielded) {
    gen.status = GeneratorStatus::Suspended;
    outcome = result.value.release();
  } else {
    finish(gen);
    if (result.value.get() != Py_None || !quiet_stop) set_stop_iteration(result.value.get());
  }
  Py_DECREF(&gen);
  return outcome;
}

PyObject* generator_iternext(PyObject* self) {
  return resume(*as_generator(self), Resume{Resume::Kind::Send, Py_None}, true);
}

PyObject* generator_send(PyObject* self, PyObject* value) {
  return resume(*as_generator(self), Resume{Resume::Kind::Send, value}, false);
}

// throw(type[, value[, traceback]]) with the interpreter's normalisation.
PyObject* generator_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (!_PyArg_CheckPositional("throw", nargs, 1, 3)) return nullptr;
  PyObject* type = args[0];
  PyObject* value = nargs > 1 ? args[1] : nullptr;
  PyObject* traceback = nargs > 2 ? args[2] : nullptr;
  if (traceback == Py_None) traceback = nullptr;
  if (traceback != nullptr && !PyTraceBack_Check(traceback)) {
    PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
    return nullptr;
  }
  Ref exc;
  Ref tb = Ref::borrow(traceback);
  if (PyExceptionClass_Check(type)) {
    PyObject* norm_type = Py_NewRef(type);
    PyObject* norm_value = Py_XNewRef(value);
    PyObject* norm_tb = tb.release();
    PyErr_NormalizeException(&norm_type, &norm_value, &norm_tb);
    Py_XDECREF(norm_type);
    exc = Ref::steal(norm_value);
    tb = Ref::steal(norm_tb);
    if (!exc || !PyExceptionInstance_Check(exc.get())) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "exception could not be normalised");
      return nullptr;
    }
  } else if (PyExceptionInstance_Check(type)) {
    if (value != nullptr && value != Py_None) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      return nullptr;
    }
    exc = Ref::borrow(type);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(type)->tp_name);
    return nullptr;
  }
  if (tb) PyException_SetTraceback(exc.get(), tb.get());
  return resume(*as_generator(self), Resume{Resume::Kind::Throw, exc.get()}, false);
}

// close(): GeneratorExit into a suspended body, which must not yield again.
PyObject* generator_close(PyObject* self, PyObject*) {
  GeneratorObject& gen = *as_generator(self);
  if (gen.status == GeneratorStatus::Created) {
    finish(gen);
    Py_RETURN_NONE;
  }
  if (gen.status == GeneratorStatus::Finished) Py_RETURN_NONE;
  Ref exit = Ref::steal(PyObject_CallNoArgs(PyExc_GeneratorExit));
  if (!exit) return nullptr;
  Ref yielded = Ref::steal(resume(gen, Resume{Resume::Kind::Throw, exit.get()}, false));
  if (yielded) {
    PyErr_SetString(PyExc_RuntimeError, "generator ignored GeneratorExit");
    return nullptr;
  }
  if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return nullptr;
}

// A generator collected while suspended is closed, so that its cleanup runs.
void generator_finalize(PyObject* self) {
  if (as_generator(self)->status != GeneratorStatus::Suspended) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  Ref result = Ref::steal(generator_close(self, nullptr));
  if (!result) PyErr_WriteUnraisable(self);
  PyErr_Restore(type, value, traceback);
}

PyObject* get_name(PyObject* self, void*) {
  return Py_NewRef(as_generator(self)->name);
}
PyObject* get_qualname(PyObject* self, void*) {
  return Py_NewRef(as_generator(self)->qualname);
}
PyObject* get_running(PyObject* self, void*) {
  return PyBool_FromLong(as_generator(self)->status == GeneratorStatus::Running);
}
PyObject* get_suspended(PyObject* self, void*) {
  return PyBool_FromLong(as_generator(self)->status == GeneratorStatus::Suspended);
}

PyGetSetDef generator_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_suspended", get_suspended, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef generator_members[] = {
    {"__weakrefoffset__", T_PYSSIZET, offsetof(GeneratorObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef generator_methods[] = {
    {"send", generator_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(generator_throw)),
     METH_FASTCALL, nullptr},
    {"close", generator_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* generator_repr(PyObject* self) {
  return PyUnicode_FromFormat("<generator object %U at %p>", as_generator(self)->qualname, self);
}

int generator_traverse(PyObject* self, visitproc visit, void* arg) {
  GeneratorObject* gen = as_generator(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(gen->module);
  Py_VISIT(gen->globals);
  for (PyObject* local : gen->locals) Py_VISIT(local);
  return 0;
}

int generator_clear(PyObject* self) {
  GeneratorObject* gen = as_generator(self);
  clear_locals(*gen);
  Py_CLEAR(gen->globals);
  Py_CLEAR(gen->module);
  return 0;
}

void generator_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  GeneratorObject* gen = as_generator(self);
  PyObject_GC_UnTrack(self);
  if (gen->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  PyObject_GC_Track(self);
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
  PyObject_GC_UnTrack(self);
  generator_clear(self);
  Py_CLEAR(gen->name);
  Py_CLEAR(gen->qualname);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot generator_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(generator_iternext)},
    {Py_tp_finalize, reinterpret_cast<void*>(generator_finalize)},
    {Py_tp_repr, reinterpret_cast<void*>(generator_repr)},
    {Py_tp_getset, generator_getset},
    {Py_tp_members, generator_members},
    {Py_tp_methods, generator_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(generator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(generator_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(generator_dealloc)},
    {0, nullptr},
};

PyType_Spec generator_spec = {
    "vardun.mcp.user_store.generator",
    sizeof(GeneratorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    generator_slots,
};

}  // namespace

PyTypeObject* create_generator_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(
      PyType_FromModuleAndSpec(module, &generator_spec, nullptr));
}

Ref make_generator(const Call& call, GeneratorStep step,
                   std::initializer_list<PyObject*> initial_locals) {
  PyTypeObject* type = call.state.generator_type;
  Ref object = Ref::own(type->tp_alloc(type, 0));
  GeneratorObject* gen = as_generator(object.get());
  gen->status = GeneratorStatus::Created;
  gen->resume_point = 0;
  gen->step = step;
  gen->state = &call.state;
  gen->module = Py_NewRef(call.function->module);
  gen->globals = Py_NewRef(call.globals);
  gen->name = Py_NewRef(call.function->name);
  gen->qualname = Py_NewRef(call.function->qualname);
  std::size_t index = 0;
  for (PyObject* local : initial_locals) gen->locals[index++] = Py_XNewRef(local);
  return object;
}

}  // namespace vardun
