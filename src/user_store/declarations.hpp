// The calling surface of every function of the module, declared once as
// data: names, parameters with their kinds, defaults, annotations and type
// checks, docstrings, result checks, and how each sits in its class.
#pragma once

#include <cstddef>

#include "function.hpp"

namespace vardun {

extern const char kModuleDoc[];
extern const char kUserRecordDoc[];
extern const char kStoreDoc[];

extern const FunctionSpec kGenerateApiKey;
extern const FunctionSpec kUserToDict;

// MCPUserStore's functions in definition order.
extern const FunctionSpec kStoreMethods[];
extern const std::size_t kStoreMethodCount;

}  // namespace vardun
