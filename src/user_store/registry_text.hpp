// The registry's text written natively: the UTF-8 bytes of
// json.dumps(users, ensure_ascii=False, indent=2), for the values whose text
// is known to be exactly the standard encoder's. Anything else is declined,
// and the caller asks json.dumps itself.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "python_ref.hpp"

namespace vardun::registry_text {

// The bytes of one registry text, written into blocks of a mebibyte or
// more, so that growing never copies what is written.
class Text {
 public:
  // Each block's filled bytes, in order: visit(data, size).
  template <class Visit>
  void each_piece(Visit&& visit) {
    seal();
    for (const Block& block : blocks_) visit(block.bytes.get(), block.size);
  }

  // Where the next `count` bytes go; `commit` then takes them up to `end`.
  char* room(std::size_t count) {
    if (static_cast<std::size_t>(limit_ - cursor_) < count) next_block(count);
    return cursor_;
  }
  void commit(char* end) noexcept { cursor_ = end; }

 private:
  struct Block {
    std::unique_ptr<char[]> bytes;
    std::size_t size;
  };
  void seal() noexcept;
  void next_block(std::size_t count);

  std::vector<Block> blocks_;
  char* cursor_ = nullptr;
  char* limit_ = nullptr;
};

// Fills `out` with the UTF-8 of json.dumps(users, ensure_ascii=False,
// indent=2) for `users`, an exact list, and returns true; or returns false,
// with no error set and `out` to be discarded, when anything in it is not
// an exact list, dict with str keys, str that encodes as UTF-8, int of at
// most 64 bits, bool or None, when a container is met inside itself, or
// when the nesting is deeper than json.dumps could surely go from here.
// Needs the interpreter lock; runs no Python code.
bool encode(PyObject* users, Text& out);

}  // namespace vardun::registry_text
