// Whether a call of json.dumps or json.loads, made through the store
// module's global `json`, would run the standard library's own code
// unchanged: only then may the registry's native text or native objects
// stand in for it. What each call reads is found once, checked to be the
// standard library's, and afterwards re-checked by version tags,
// identities only where a tag moved.
#pragma once

#include "python_ref.hpp"

namespace vardun::standard_json {

// What a json module was found to be, kept in the store module's state.
struct Found;

// Whether `json` is the standard json module, everything
// `json.dumps(users, ensure_ascii=False, indent=2)` reads is as that module
// made it, and no tracer or profiler would see the call. `found` keeps what
// was found between calls (nullptr at first). Needs the interpreter lock;
// throws PythonError only when the interpreter fails.
bool dumps_unchanged(Found*& found, PyObject* json);

// The same for `loads(text)` with an exact str `text`, where `loads` was
// taken from `json`: it must be json.loads itself, and what it reads
// (json._default_decoder, its class and its scanner, the builtins) as the
// standard library made it.
bool loads_unchanged(Found*& found, PyObject* json, PyObject* loads);

// Releases what `found` holds.
void forget(Found*& found) noexcept;

}  // namespace vardun::standard_json
