// API keys: generation, normalisation of presented values, and the stored
// hash. Every string operation is the interpreter's own, so whitespace and
// letter case are exactly what `str.strip` and `str.lower` make of them.
#include <cstdint>

#include "bodies.hpp"
#include "python_ops.hpp"

namespace vardun::bodies {

namespace {

std::uint64_t dict_version(PyObject* dict) {
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

// `secrets.choice` for one step of the loop, `secrets` looked up in the
// namespace and `choice` on it. Every change to a dict gives it a new version
// (PEP 509): while the namespace and the dict of the module found there keep
// the versions they had at the last look-up, both look-ups would find the
// same objects again, so they are skipped, as the interpreter's own
// specialised LOAD_GLOBAL and module LOAD_ATTR skip them. Anything else than
// a plain module found in the namespace is looked up in full at every step.
class ChoiceLookup {
 public:
  explicit ChoiceLookup(const Call& call) : call_(call) {}

  PyObject* get() {
    if (reusable_ && dict_version(call_.globals) == globals_version_ &&
        dict_version(secrets_dict_) == secrets_version_) {
      return choice_.get();
    }
    reusable_ = false;
    const ModuleState& s = call_.state;
    PyObject* found = PyDict_GetItemWithError(call_.globals, s.secrets);
    if (found == nullptr && PyErr_Occurred()) throw_python_error();
    bool in_namespace = found != nullptr;
    secrets_ = in_namespace ? Ref::borrow(found) : call_.global(s.secrets);
    choice_ = py::getattr(secrets_.get(), s.choice);
    // A plain module's attribute that is not one of the module type's own
    // comes from its dict and nothing else.
    if (in_namespace && PyModule_CheckExact(secrets_.get())) {
      secrets_dict_ = PyModule_GetDict(secrets_.get());
      reusable_ = PyDict_GetItemWithError(secrets_dict_, s.choice) == choice_.get();
      if (PyErr_Occurred()) throw_python_error();
      globals_version_ = dict_version(call_.globals);
      secrets_version_ = dict_version(secrets_dict_);
    }
    return choice_.get();
  }

 private:
  const Call& call_;
  Ref secrets_;
  Ref choice_;
  PyObject* secrets_dict_ = nullptr;  // borrowed from `secrets_`
  std::uint64_t globals_version_ = 0;
  std::uint64_t secrets_version_ = 0;
  bool reusable_ = false;
};

// callable(argument), a bound method's function called with its object
// directly, as the interpreter calls one.
Ref call_one(PyObject* callable, PyObject* argument) {
  PyObject* args[3] = {nullptr, nullptr, argument};
  if (PyMethod_Check(callable)) {
    args[1] = PyMethod_GET_SELF(callable);
    return Ref::own(PyObject_Vectorcall(PyMethod_GET_FUNCTION(callable), args + 1,
                                        2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  }
  return Ref::own(
      PyObject_Vectorcall(callable, args + 2, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace

Ref generate_api_key(const Call& call) {
  const ModuleState& s = call.state;
  Ref letters = call.global(s.ascii_letters);
  Ref digits = call.global(s.digits);
  Ref alphabet = py::add(letters.get(), digits.get());
  Ref length = call.global(s.API_KEY_RANDOM_LENGTH);
  Ref steps = py::iter(py::call(reinterpret_cast<PyObject*>(&PyRange_Type), {length.get()}).get());
  Ref drawn = Ref::own(PyList_New(0));
  ChoiceLookup choice(call);
  while (Ref step = py::next(steps.get())) {
    Ref character = call_one(choice.get(), alphabet.get());
    check(PyList_Append(drawn.get(), character.get()));
  }
  Ref random_part = Ref::own(PyUnicode_Join(s.empty, drawn.get()));
  Ref prefix = call.global(s.API_KEY_PREFIX);
  return py::add(prefix.get(), random_part.get());
}

Ref new_api_key(const Call& call) {
  Ref generate = call.global(call.state.generate_api_key);
  return py::call(generate.get(), {});
}

Ref normalize_api_key(const Call& call) {
  const ModuleState& s = call.state;
  Ref value = py::call_method(call.arg(1), s.strip);
  // value.lower().startswith("bearer "), lowering only the first seven
  // characters: only ASCII letters lower to ASCII ones, one to one, so the
  // rest cannot change the answer, and a huge value costs nothing extra.
  // Nothing but "B" and "b" lowers to "b", so most keys need no lowering.
  Py_UCS4 first = PyUnicode_GET_LENGTH(value.get()) >= 7 ? PyUnicode_READ_CHAR(value.get(), 0) : 0;
  if (first != 'b' && first != 'B') return value;
  Ref head = Ref::own(PyUnicode_Substring(value.get(), 0, 7));
  Ref lowered = py::call_method(head.get(), s.lower);
  // `lowered` is an exact str, whose startswith is this.
  if (check(PyUnicode_Tailmatch(lowered.get(), s.bearer_prefix, 0, PY_SSIZE_T_MAX, -1)) == 0) {
    return value;
  }
  Ref rest = Ref::own(PySequence_GetSlice(value.get(), 7, PY_SSIZE_T_MAX));
  return py::call_method(rest.get(), s.strip);
}

Ref hash_api_key(const Call& call) {
  const ModuleState& s = call.state;
  Ref hashlib = call.global(s.hashlib);
  Ref sha256 = py::getattr(hashlib.get(), s.sha256);
  // api_key.encode("utf-8") of an exact str.
  Ref encoded = Ref::own(PyUnicode_AsUTF8String(call.arg(1)));
  Ref digest = py::call(sha256.get(), {encoded.get()});
  Ref hex = py::call_method(digest.get(), s.hexdigest);
  return py::add(s.sha256_prefix, hex.get());
}

}  // namespace vardun::bodies
