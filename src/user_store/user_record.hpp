// MCPUser: the frozen dataclass handed to callers for one user.
#pragma once

#include "module_state.hpp"
#include "python_ref.hpp"

namespace vardun {

// Creates the class from its field annotations, docstring and `to_dict`, and
// passes it through `dataclass(frozen=True)` as found in the namespace.
Ref make_user_record_class(PyObject* module, ModuleState& state, PyObject* globals);

}  // namespace vardun
