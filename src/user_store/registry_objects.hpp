// The registry's objects made natively: what json.loads(text) makes of the
// registry's text, built from its UTF-8 bytes, for the texts whose objects
// are known to be exactly json.loads': strict JSON (RFC 8259) whose top
// level is an array, with nesting and integers within the scanner's bounds
// and no lone surrogate escape. Anything else is declined, and the caller
// asks json.loads itself.
//
// Two steps: the bytes are checked and their values listed without the
// interpreter lock, then the objects are made from that list with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "json_scanner.hpp"
#include "python_ref.hpp"

namespace vardun::registry_objects {

// How many bytes must follow the text, the first of them a NUL.
constexpr std::size_t kPadding = json::kPadding;

// Room for a run of trivially copyable items, grown without exceptions.
template <class Item>
class Run {
 public:
  Item* data() const noexcept { return items_.get(); }
  std::size_t size() const noexcept { return size_; }
  Item& operator[](std::size_t i) noexcept { return items_.get()[i]; }

  // Room for `count` more items at the end; nullptr when memory ran out.
  Item* extend(std::size_t count) noexcept;

 private:
  struct Free {
    void operator()(Item* items) const noexcept { std::free(items); }
  };
  std::unique_ptr<Item, Free> items_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// One value of the text, in document order: an array or object is followed
// by its elements, or by each member's name and value.
struct Token {
  enum Kind : std::uint32_t { Text, Decoded, Integer, Real, True, False, Null, Array, Object };
  static constexpr std::uint32_t kMaxSize = (std::uint32_t{1} << 28) - 1;

  std::uint32_t at;         // its first byte in the text, or in the decoded strings
  std::uint32_t size : 28;  // bytes; elements or members of a container
  std::uint32_t kind : 4;
};

// The values of one registry text.
class Values {
 public:
  // Lists the values of the `size` bytes at `text` (followed by kPadding
  // bytes, the first a NUL), and whether they are a text this builds
  // exactly as json.loads would: declined when the bytes are not UTF-8,
  // not strict JSON, not an array at the top, nested deeper than
  // `max_depth` or the scanner allows, or too large for a token. Touches
  // nothing of Python.
  bool list(const unsigned char* text, std::size_t size, int max_depth) noexcept;

  // The list json.loads makes of the text listed, equal names of members
  // shared by one str; Ref() with no error set when an object could not be
  // made. Needs the interpreter lock; runs no Python code of its own.
  Ref build() const;

 private:
  const unsigned char* text_ = nullptr;
  Run<Token> tokens_;
  Run<char> decoded_;  // the UTF-8 of strings with escapes
};

}  // namespace vardun::registry_objects
