// Whether `json.dumps(users, ensure_ascii=False, indent=2)`, called through
// the store module's global `json`, would run the standard library's own
// encoder unchanged: only then may the registry's native text stand in for
// it. What that call reads is found once, checked to be the standard
// library's, and afterwards re-checked by version tags, identities only
// where a tag moved.
#pragma once

#include "python_ref.hpp"

namespace vardun::standard_json {

// What one json module was found to be; owned by the store module's state.
struct Originals;

// Whether `json` is the standard json module and everything json.dumps
// reads at the registry's call is as that module made it. `found` keeps
// what was found between calls (nullptr at first). Needs the interpreter
// lock; throws PythonError only when the interpreter fails.
bool unchanged(Originals*& found, PyObject* json);

// Releases what `found` holds.
void forget(Originals*& found) noexcept;

}  // namespace vardun::standard_json
