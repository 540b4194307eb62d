#include "utf8_check.hpp"

#include <simdjson.h>

namespace vardun {

bool valid_utf8(const unsigned char* data, std::size_t size) noexcept {
  // simdjson picks its fastest implementation for this processor on first
  // use (an atomic pointer, so any thread may call this).
  return simdjson::validate_utf8(reinterpret_cast<const char*>(data), size);
}

}  // namespace vardun
