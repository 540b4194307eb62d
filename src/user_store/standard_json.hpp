// Whether `json.dumps(users, ensure_ascii=False, indent=2)`, called through
// the store module's global `json`, would run the standard library's own
// encoder unchanged: only then may the registry's native text stand in for
// it. What that call reads is found once, checked to be the standard
// library's, and afterwards re-checked by version tags, identities only
// where a tag moved.
#pragma once

#include "python_ref.hpp"

namespace vardun::standard_json {

// What a json module was found to be, kept in the store module's state.
struct Found;

// Whether `json` is the standard json module, everything json.dumps reads
// at the registry's call is as that module made it, and no tracer or
// profiler would see the call. `found` keeps what was found between calls
// (nullptr at first). Needs the interpreter lock; throws PythonError only
// when the interpreter fails.
bool unchanged(Found*& found, PyObject* json);

// Releases what `found` holds.
void forget(Found*& found) noexcept;

}  // namespace vardun::standard_json
