// Private module functions that expose the native registry reader to the
// tests and the benchmark.
#pragma once

#include "python_ref.hpp"

namespace vardun::key_index {

// _read_table, _table_summary and _read_record, ending with a sentinel.
extern PyMethodDef reader_hook_methods[];

}  // namespace vardun::key_index
