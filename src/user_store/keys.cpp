// API keys: generation, normalisation of presented values, and the stored
// hash. Every string operation is the interpreter's own, so whitespace and
// letter case are exactly what `str.strip` and `str.lower` make of them.
#include "bodies.hpp"
#include "python_ops.hpp"

namespace vardun::bodies {

Ref generate_api_key(const Call& call) {
  const ModuleState& s = call.state;
  Ref letters = call.global(s.ascii_letters);
  Ref digits = call.global(s.digits);
  Ref alphabet = py::add(letters.get(), digits.get());
  Ref length = call.global(s.API_KEY_RANDOM_LENGTH);
  Ref steps = py::iter(py::call(reinterpret_cast<PyObject*>(&PyRange_Type), {length.get()}).get());
  Ref drawn = Ref::own(PyList_New(0));
  while (Ref step = py::next(steps.get())) {
    Ref secrets = call.global(s.secrets);
    Ref character = py::call_method(secrets.get(), s.choice, {alphabet.get()});
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
