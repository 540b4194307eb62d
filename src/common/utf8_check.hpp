// Whether bytes are UTF-8 as Python's strict decoder takes it (no overlong
// forms, no encoded surrogates, nothing above U+10FFFF). Its own file so
// that only one translation unit compiles simdjson's large header.
#pragma once

#include <cstddef>

namespace vardun {

bool valid_utf8(const unsigned char* data, std::size_t size) noexcept;

}  // namespace vardun
