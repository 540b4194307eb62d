#include "standard_json.hpp"

#include <structmember.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <utility>
#include <vector>

#include "watched_names.hpp"

namespace vardun::standard_json {

namespace {

using watched::builtin_of;
using watched::function_of;
using watched::item;
using watched::module_named;
using watched::text_is;
using watched::WatchedClass;
using watched::WatchedDict;

auto any = [](PyObject*) { return true; };

// What the standard library's json.dumps reads with ensure_ascii=False and
// indent=2.
struct DumpsOriginals {
  Ref json;
  // json's namespace (dumps, JSONEncoder), json.encoder's
  // (encode_basestring, _make_iterencode, INFINITY), the builtins the
  // encoder's methods read, and dumps' keyword defaults.
  WatchedDict json_names, encoder_names, builtin_names, dumps_defaults;
  WatchedClass encoder_class;
  // dumps, JSONEncoder.__init__, encode, iterencode, _make_iterencode.
  std::vector<watched::FunctionParts> functions;

  bool holds(PyObject* module) {
    if (module != json.get() || Py_TYPE(module) != &PyModule_Type) return false;
    if (!watched::all_unchanged(functions)) return false;
    if (!json_names.unchanged() || !encoder_names.unchanged() || !builtin_names.unchanged() ||
        !dumps_defaults.unchanged() || !encoder_class.unchanged()) {
      return false;
    }
    // A look-up above may have run Python code that changed what an earlier
    // one had found: the tags read before the looks must still be current.
    return watched::all_unchanged(functions) && json_names.current() && encoder_names.current() &&
           builtin_names.current() && dumps_defaults.current() && encoder_class.current();
  }

  // What `json` holds, if it is the standard library's own; nullptr when
  // anything is not.
  static std::shared_ptr<DumpsOriginals> find(PyObject* json);
};

std::shared_ptr<DumpsOriginals> DumpsOriginals::find(PyObject* json) {
  if (!module_named(json, "json")) return nullptr;
  auto found = std::make_shared<DumpsOriginals>();
  found->json = Ref::borrow(json);
  PyObject* json_dict = PyModule_GetDict(json);

  PyObject* encoder = item(json_dict, "encoder");
  if (!module_named(encoder, "json.encoder")) return nullptr;
  PyObject* encoder_dict = PyModule_GetDict(encoder);

  WatchedDict& names = found->json_names = WatchedDict(json_dict);
  if (!names.take("dumps", [&](PyObject* f) { return function_of(f, json_dict, "dumps"); }))
    return nullptr;
  PyObject* dumps = names.value("dumps");
  PyObject* cls = item(encoder_dict, "JSONEncoder");
  if (cls == nullptr || !names.take_exactly("JSONEncoder", cls)) return nullptr;

  WatchedDict& module_names = found->encoder_names = WatchedDict(encoder_dict);
  if (!module_names.take("encode_basestring",
                         [](PyObject* f) { return builtin_of(f, "_json", "encode_basestring"); }) ||
      !module_names.take(
          "_make_iterencode",
          [&](PyObject* f) { return function_of(f, encoder_dict, "_make_iterencode"); }) ||
      !module_names.take("INFINITY", [](PyObject* value) { return PyFloat_CheckExact(value); })) {
    return nullptr;
  }
  PyObject* make_iterencode = module_names.value("_make_iterencode");

  // The class as the module defines it: these names and no others, its
  // separators, and object as its only base.
  WatchedClass& watched = found->encoder_class;
  if (!watched.start(cls)) return nullptr;
  WatchedDict& ns = watched.names;
  auto method_named = [&](const char* name) {
    return ns.take(name, [&](PyObject* f) { return function_of(f, encoder_dict, name); });
  };
  auto text_of = [&](const char* name, const char* text) {
    return ns.take(name, [&](PyObject* value) { return text_is(value, text); });
  };
  if (!ns.take("__doc__", any) || !text_of("item_separator", ", ") ||
      !text_of("key_separator", ": ") || !method_named("__init__") || !method_named("default") ||
      !method_named("encode") || !method_named("iterencode") || !ns.take("__dict__", any) ||
      !ns.take("__weakref__", any) || !ns.all_taken()) {
    return nullptr;
  }

  for (PyObject* f :
       {dumps, ns.value("__init__"), ns.value("encode"), ns.value("iterencode"), make_iterencode}) {
    found->functions.emplace_back(f);
  }

  // The builtins every one of those functions runs with.
  PyObject* builtins = reinterpret_cast<PyFunctionObject*>(dumps)->func_builtins;
  for (const watched::FunctionParts& f : found->functions) {
    if (reinterpret_cast<PyFunctionObject*>(f.function.get())->func_builtins != builtins)
      return nullptr;
  }
  WatchedDict& builtin_names = found->builtin_names = WatchedDict(builtins);
  if (!builtin_names.take("isinstance",
                          [](PyObject* f) { return builtin_of(f, "builtins", "isinstance"); }) ||
      !builtin_names.take_exactly("str", reinterpret_cast<PyObject*>(&PyUnicode_Type)) ||
      !builtin_names.take_exactly("list", reinterpret_cast<PyObject*>(&PyList_Type)) ||
      !builtin_names.take_exactly("tuple", reinterpret_cast<PyObject*>(&PyTuple_Type)) ||
      !builtin_names.take_exactly("float", reinterpret_cast<PyObject*>(&PyFloat_Type))) {
    return nullptr;
  }

  // dumps' keyword defaults, all of them as the module wrote them.
  PyObject* kwdefaults = reinterpret_cast<PyFunctionObject*>(dumps)->func_kwdefaults;
  if (kwdefaults == nullptr || !PyDict_CheckExact(kwdefaults)) return nullptr;
  WatchedDict& defaults = found->dumps_defaults = WatchedDict(kwdefaults, true);
  for (auto [name, value] : {std::pair{"skipkeys", Py_False},
                             {"ensure_ascii", Py_True},
                             {"check_circular", Py_True},
                             {"allow_nan", Py_True},
                             {"cls", Py_None},
                             {"indent", Py_None},
                             {"separators", Py_None},
                             {"default", Py_None},
                             {"sort_keys", Py_False}}) {
    if (!defaults.take_exactly(name, value)) return nullptr;
  }
  if (!defaults.all_taken()) return nullptr;

  // _make_iterencode's defaults: the builtins it was defined with.
  PyObject* captured = reinterpret_cast<PyFunctionObject*>(make_iterencode)->func_defaults;
  PyObject* int_repr = item(PyLong_Type.tp_dict, "__repr__");
  PyObject* expected[] = {PyExc_ValueError,
                          reinterpret_cast<PyObject*>(&PyDict_Type),
                          reinterpret_cast<PyObject*>(&PyFloat_Type),
                          nullptr,  // id
                          reinterpret_cast<PyObject*>(&PyLong_Type),
                          builtin_names.value("isinstance"),
                          reinterpret_cast<PyObject*>(&PyList_Type),
                          reinterpret_cast<PyObject*>(&PyUnicode_Type),
                          reinterpret_cast<PyObject*>(&PyTuple_Type),
                          int_repr};
  constexpr Py_ssize_t kCaptured = sizeof(expected) / sizeof(expected[0]);
  if (captured == nullptr || PyTuple_GET_SIZE(captured) != kCaptured) return nullptr;
  for (Py_ssize_t i = 0; i < kCaptured; ++i) {
    PyObject* value = PyTuple_GET_ITEM(captured, i);
    if (expected[i] == nullptr ? !builtin_of(value, "builtins", "id") : value != expected[i])
      return nullptr;
  }

  return found;
}

// `match` of a compiled pattern whose text is `pattern` (re.Pattern and
// its bound methods, built-in methods that know their class, cannot be
// changed).
bool pattern_match_of(PyObject* method, const char* pattern) {
  if (method == nullptr || Py_TYPE(method) != &PyCMethod_Type) return false;
  auto* f = reinterpret_cast<PyCFunctionObject*>(method);
  PyObject* self = f->m_self;
  if (std::strcmp(f->m_ml->ml_name, "match") != 0 || self == nullptr ||
      std::strcmp(Py_TYPE(self)->tp_name, "re.Pattern") != 0 ||
      !PyType_HasFeature(Py_TYPE(self), Py_TPFLAGS_IMMUTABLETYPE)) {
    return false;
  }
  Ref text = Ref::own(PyObject_GetAttrString(self, "pattern"));
  return text_is(text.get(), pattern);
}

// json's C scanner (_json.Scanner), an instance made for the default
// decoder. Its fields cannot be assigned; its class can, and a __call__
// given to it replaces the call, so the call itself is compared at every
// use.
struct WatchedScanner {
  Ref scanner, type;
  ternaryfunc call = nullptr;

  bool start(PyObject* candidate) {
    PyTypeObject* t = Py_TYPE(candidate);
    if (std::strcmp(t->tp_name, "_json.Scanner") != 0 || t->tp_call == nullptr) return false;
    // The call is the class's own C function: the wrapper of __call__ in its
    // namespace was made for this class around that very function.
    PyObject* wrapper = item(t->tp_dict, "__call__");
    if (wrapper == nullptr || Py_TYPE(wrapper) != &PyWrapperDescr_Type) return false;
    auto* descriptor = reinterpret_cast<PyWrapperDescrObject*>(wrapper);
    if (descriptor->d_common.d_type != t ||
        descriptor->d_wrapped != reinterpret_cast<void*>(t->tp_call)) {
      return false;
    }
    // The fields the scan reads, through the class's own member descriptors.
    auto field_is = [&](const char* name, auto&& accept) {
      PyObject* member = item(t->tp_dict, name);
      if (member == nullptr || Py_TYPE(member) != &PyMemberDescr_Type) return false;
      auto* m = reinterpret_cast<PyMemberDescrObject*>(member);
      if (m->d_common.d_type != t) return false;
      Ref value = Ref::own(PyMember_GetOne(reinterpret_cast<const char*>(candidate), m->d_member));
      return accept(value.get());
    };
    auto is = [](PyObject* expected) { return [=](PyObject* value) { return value == expected; }; };
    // Strict: control characters in strings fail (so do they here), no
    // hooks, and numbers made by int and float themselves.
    if (!field_is("strict", is(Py_True)) || !field_is("object_hook", is(Py_None)) ||
        !field_is("object_pairs_hook", is(Py_None)) ||
        !field_is("parse_float", is(reinterpret_cast<PyObject*>(&PyFloat_Type))) ||
        !field_is("parse_int", is(reinterpret_cast<PyObject*>(&PyLong_Type)))) {
      return false;
    }
    scanner = Ref::borrow(candidate);
    type = Ref::borrow(reinterpret_cast<PyObject*>(t));
    call = t->tp_call;
    return true;
  }

  bool unchanged() const {
    auto* t = reinterpret_cast<PyTypeObject*>(type.get());
    return Py_TYPE(scanner.get()) == t && t->tp_call == call;
  }
};

// What the standard library's json.loads(text) reads for an exact str text:
// loads itself with its keyword defaults and builtins (isinstance, str);
// json._default_decoder, an instance of JSONDecoder whose own attributes
// hold the scanner that decode and raw_decode call; decode's builtin len
// and its whitespace pattern.
struct LoadsOriginals {
  Ref json, decoder;
  WatchedDict json_names, builtin_names, loads_defaults, decoder_attributes;
  WatchedClass decoder_class;
  WatchedScanner scanner;
  // loads, JSONDecoder.decode, JSONDecoder.raw_decode.
  std::vector<watched::FunctionParts> functions;

  // The decoder's attributes are its own dict while that is the one found
  // (assigning __dict__ gives it another).
  bool same_attributes() const {
    PyObject** attributes = _PyObject_GetDictPtr(decoder.get());
    return attributes != nullptr && *attributes == decoder_attributes.dict.get();
  }

  bool holds(PyObject* module, PyObject* loads) {
    if (module != json.get() || Py_TYPE(module) != &PyModule_Type) return false;
    if (loads != functions.front().function.get() || !watched::all_unchanged(functions) ||
        Py_TYPE(decoder.get()) != decoder_class.type() || !same_attributes() ||
        !scanner.unchanged()) {
      return false;
    }
    if (!json_names.unchanged() || !builtin_names.unchanged() || !loads_defaults.unchanged() ||
        !decoder_attributes.unchanged() || !decoder_class.unchanged()) {
      return false;
    }
    // As for dumps: a look above may have run Python code.
    return watched::all_unchanged(functions) && json_names.current() && builtin_names.current() &&
           loads_defaults.current() && decoder_attributes.current() && decoder_class.current() &&
           same_attributes() && scanner.unchanged();
  }

  static std::shared_ptr<LoadsOriginals> find(PyObject* json);
};

std::shared_ptr<LoadsOriginals> LoadsOriginals::find(PyObject* json) {
  if (!module_named(json, "json")) return nullptr;
  auto found = std::make_shared<LoadsOriginals>();
  found->json = Ref::borrow(json);
  PyObject* json_dict = PyModule_GetDict(json);

  PyObject* decoder_module = item(json_dict, "decoder");
  if (!module_named(decoder_module, "json.decoder")) return nullptr;
  PyObject* decoder_dict = PyModule_GetDict(decoder_module);
  PyObject* cls = item(decoder_dict, "JSONDecoder");

  WatchedDict& names = found->json_names = WatchedDict(json_dict);
  if (!names.take("loads", [&](PyObject* f) { return function_of(f, json_dict, "loads"); }) ||
      !names.take("_default_decoder",
                  [&](PyObject* d) { return reinterpret_cast<PyObject*>(Py_TYPE(d)) == cls; })) {
    return nullptr;
  }
  PyObject* loads = names.value("loads");
  PyObject* decoder = names.value("_default_decoder");
  found->decoder = Ref::borrow(decoder);

  // The class as the module defines it: these names and no others.
  WatchedClass& watched = found->decoder_class;
  if (!watched.start(cls)) return nullptr;
  WatchedDict& ns = watched.names;
  auto method_named = [&](const char* name) {
    return ns.take(name, [&](PyObject* f) { return function_of(f, decoder_dict, name); });
  };
  if (!ns.take("__doc__", any) || !method_named("__init__") || !method_named("decode") ||
      !method_named("raw_decode") || !ns.take("__dict__", any) || !ns.take("__weakref__", any) ||
      !ns.all_taken()) {
    return nullptr;
  }
  PyObject* decode = ns.value("decode");
  for (PyObject* f : {loads, decode, ns.value("raw_decode")}) found->functions.emplace_back(f);

  // The decoder's own attributes, as JSONDecoder.__init__ sets them: none
  // hides a method, and scan_once is the C scanner.
  Ref attributes = Ref::own(PyObject_GenericGetDict(decoder, nullptr));
  if (!PyDict_CheckExact(attributes.get())) return nullptr;
  WatchedDict& own = found->decoder_attributes = WatchedDict(attributes.get(), true);
  for (const char* name :
       {"object_hook", "parse_float", "parse_int", "parse_constant", "strict", "object_pairs_hook",
        "parse_object", "parse_array", "parse_string", "memo"}) {
    if (!own.take(name, any)) return nullptr;
  }
  if (!own.take("scan_once", [&](PyObject* s) { return found->scanner.start(s); }) ||
      !own.all_taken() || !found->same_attributes()) {
    return nullptr;
  }

  // The builtins all three run with.
  PyObject* builtins = reinterpret_cast<PyFunctionObject*>(loads)->func_builtins;
  for (const watched::FunctionParts& f : found->functions) {
    if (reinterpret_cast<PyFunctionObject*>(f.function.get())->func_builtins != builtins)
      return nullptr;
  }
  WatchedDict& builtin_names = found->builtin_names = WatchedDict(builtins);
  if (!builtin_names.take("isinstance",
                          [](PyObject* f) { return builtin_of(f, "builtins", "isinstance"); }) ||
      !builtin_names.take_exactly("str", reinterpret_cast<PyObject*>(&PyUnicode_Type)) ||
      !builtin_names.take("len", [](PyObject* f) { return builtin_of(f, "builtins", "len"); })) {
    return nullptr;
  }

  // loads' keyword defaults, all of them as the module wrote them.
  PyObject* kwdefaults = reinterpret_cast<PyFunctionObject*>(loads)->func_kwdefaults;
  if (kwdefaults == nullptr || !PyDict_CheckExact(kwdefaults)) return nullptr;
  WatchedDict& defaults = found->loads_defaults = WatchedDict(kwdefaults, true);
  for (const char* name :
       {"cls", "object_hook", "parse_float", "parse_int", "parse_constant", "object_pairs_hook"}) {
    if (!defaults.take_exactly(name, Py_None)) return nullptr;
  }
  if (!defaults.all_taken()) return nullptr;

  // decode's default: the whitespace pattern's match.
  PyObject* captured = reinterpret_cast<PyFunctionObject*>(decode)->func_defaults;
  if (captured == nullptr || PyTuple_GET_SIZE(captured) != 1 ||
      !pattern_match_of(PyTuple_GET_ITEM(captured, 0), "[ \\t\\n\\r]*")) {
    return nullptr;
  }
  return found;
}

// Whether the originals last found still hold; a json module not seen
// before is looked at, and kept if standard (otherwise the last one found
// stays for when it is bound again). A look-up in find or holds can let
// another thread in, which may replace the slot: each call keeps its own
// reference meanwhile.
template <class Originals, class... Extra>
bool standard(std::shared_ptr<Originals>& slot, PyObject* json, Extra... extra) {
  // A tracer or profiler would see the call that the native path skips.
  if (PyThreadState_Get()->cframe->use_tracing) return false;
  std::shared_ptr<Originals> last = slot;
  if (last && last->holds(json, extra...)) return true;
  if (last && last->json.get() == json) return false;
  std::shared_ptr<Originals> fresh = Originals::find(json);
  if (!fresh || !fresh->holds(json, extra...)) return false;
  slot = std::move(fresh);
  return true;
}

}  // namespace

// The slot in the module state: what was found last for each call.
struct Found {
  std::shared_ptr<DumpsOriginals> dumps;
  std::shared_ptr<LoadsOriginals> loads;
};

bool dumps_unchanged(Found*& found, PyObject* json) {
  if (found == nullptr) found = new Found;
  return standard(found->dumps, json);
}

bool loads_unchanged(Found*& found, PyObject* json, PyObject* loads) {
  if (found == nullptr) found = new Found;
  return standard(found->loads, json, loads);
}

void forget(Found*& found) noexcept {
  delete std::exchange(found, nullptr);
}

}  // namespace vardun::standard_json
