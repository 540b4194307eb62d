#include "registry_text.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <vector>

namespace vardun::registry_text {

namespace {

// json.dumps goes one interpreter frame deeper per level of nesting, plus a
// few for dumps, encode and the generators' start; a nesting this much
// shallower than the frames left surely fits, a deeper one is left to it.
constexpr int kFramesBeyondNesting = 64;
// Bounds this encoder's own recursion, whatever the recursion limit.
constexpr int kMaxNesting = 1000;

// How c_encode_basestring writes an ASCII character: `"` and `\` escaped,
// the five short escapes, other control characters as \u00XX with
// lower-case hex digits, everything else as itself (size 0).
struct Escape {
  char text[6] = {};
  unsigned char size = 0;
};

constexpr std::array<Escape, 128> make_escapes() {
  std::array<Escape, 128> table{};
  constexpr char hex[] = "0123456789abcdef";
  for (int c = 0; c < 0x20; ++c) {
    table[c] = {{'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xf]}, 6};
  }
  table['"'] = {{'\\', '"'}, 2};
  table['\\'] = {{'\\', '\\'}, 2};
  table['\b'] = {{'\\', 'b'}, 2};
  table['\f'] = {{'\\', 'f'}, 2};
  table['\n'] = {{'\\', 'n'}, 2};
  table['\r'] = {{'\\', 'r'}, 2};
  table['\t'] = {{'\\', 't'}, 2};
  return table;
}

constexpr std::array<Escape, 128> kEscapes = make_escapes();

// The lanes of the eight ASCII characters in `x` that need an escape (a
// byte below 0x20, a `"` or a `\\`) have their high bit set; lanes above a
// hit may be set too, the lowest one set is exact.
inline std::uint64_t escape_lanes(std::uint64_t x) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHighs = 0x8080808080808080u;
  std::uint64_t quote = x ^ (kOnes * '"');
  std::uint64_t backslash = x ^ (kOnes * '\\');
  return (((x - kOnes * 0x20) & ~x) | ((quote - kOnes) & ~quote) |
          ((backslash - kOnes) & ~backslash)) &
         kHighs;
}

// How many of the `length` ASCII characters at `chars` need no escape before
// the first that does, eight at a time.
inline std::size_t plain_run(const Py_UCS1* chars, std::size_t length) {
  std::size_t i = 0;
  std::uint64_t hits = 0;
  for (; i + 8 <= length && hits == 0; i += 8) {
    std::uint64_t x;
    std::memcpy(&x, chars + i, 8);
    hits = escape_lanes(x);
  }
  if (hits != 0) return i - 8 + static_cast<std::size_t>(__builtin_ctzll(hits) / 8);
  if (i == length) return i;
  // The last few, in a word whose lanes past the end are spaces.
  std::uint64_t x = 0x2020202020202020u;
  std::memcpy(&x, chars + i, length - i);
  hits = escape_lanes(x);
  return hits == 0 ? length : i + static_cast<std::size_t>(__builtin_ctzll(hits) / 8);
}

// One code point in UTF-8 at `p`: the escape of an ASCII character that
// needs one, else its 1 to 4 bytes; nullptr for a surrogate, which the
// UTF-8 codec refuses. At most 6 bytes.
inline char* put_code_point(char* p, Py_UCS4 c) {
  if (c < 0x80) {
    const Escape& escape = kEscapes[c];
    if (escape.size == 0) {
      *p++ = static_cast<char>(c);
      return p;
    }
    std::memcpy(p, escape.text, escape.size);
    return p + escape.size;
  }
  if (c < 0x800) {
    *p++ = static_cast<char>(0xc0 | (c >> 6));
  } else if (c >= 0xd800 && c <= 0xdfff) {
    return nullptr;
  } else {
    if (c < 0x10000) {
      *p++ = static_cast<char>(0xe0 | (c >> 12));
    } else {
      *p++ = static_cast<char>(0xf0 | (c >> 18));
      *p++ = static_cast<char>(0x80 | ((c >> 12) & 0x3f));
    }
    *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3f));
  }
  *p++ = static_cast<char>(0x80 | (c & 0x3f));
  return p;
}

// The walk holds the interpreter lock from start to end and calls nothing
// that runs Python code (no callback, no signal check, no allocation the
// garbage collector watches), so no container can change under it and the
// borrowed references it walks with stay valid.
class Encoder {
 public:
  Encoder(Text& out, int max_nesting) : out_(out), max_nesting_(max_nesting) {}

  bool value(PyObject* o, int level) {
    if (PyUnicode_CheckExact(o)) return text(o);
    if (o == Py_None) return literal("null", 4);
    if (o == Py_True) return literal("true", 4);
    if (o == Py_False) return literal("false", 5);
    if (PyLong_CheckExact(o)) return integer(o);
    if (PyList_CheckExact(o)) return list(o, level);
    if (PyDict_CheckExact(o)) return dict(o, level);
    return false;
  }

 private:
  bool literal(const char* text, std::size_t size) {
    char* p = out_.room(size);
    std::memcpy(p, text, size);
    out_.commit(p + size);
    return true;
  }

  // `separator` (a comma or nothing), a line end and the indentation of
  // `level`, and `opening` (a bracket or nothing).
  void line(char separator, int level, char opening = 0) {
    std::size_t indent = static_cast<std::size_t>(level) * 2;
    char* p = out_.room(indent + 10);
    if (separator != 0) *p++ = separator;
    *p++ = '\n';
    // Eight spaces at a time (room was taken for the last eight).
    for (std::size_t done = 0; done < indent; done += 8) std::memcpy(p + done, "        ", 8);
    p += indent;
    if (opening != 0) *p++ = opening;
    out_.commit(p);
  }

  // Enters a container: false when it is already being written (json.dumps
  // raises "Circular reference detected") or nests too deep.
  bool enter(PyObject* container, int level) {
    if (level >= max_nesting_) return false;
    if (std::find(open_.begin(), open_.end(), container) != open_.end()) return false;
    open_.push_back(container);
    return true;
  }

  bool list(PyObject* o, int level) {
    if (PyList_GET_SIZE(o) == 0) return literal("[]", 2);
    if (!enter(o, level)) return false;
    literal("[", 1);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {
      line(i == 0 ? 0 : ',', level + 1);
      if (!value(PyList_GET_ITEM(o, i), level + 1)) return false;
    }
    line(0, level, ']');
    open_.pop_back();
    return true;
  }

  bool dict(PyObject* o, int level) {
    if (PyDict_GET_SIZE(o) == 0) return literal("{}", 2);
    if (!enter(o, level)) return false;
    literal("{", 1);
    Py_ssize_t pos = 0;
    PyObject *key, *item;
    bool first = true;
    while (PyDict_Next(o, &pos, &key, &item)) {
      if (!PyUnicode_CheckExact(key)) return false;
      line(first ? 0 : ',', level + 1);
      first = false;
      if (!member_name(key)) return false;
      if (!value(item, level + 1)) return false;
    }
    line(0, level, '}');
    open_.pop_back();
    return true;
  }

  // `"key": `. Records share their key objects, and nothing is freed
  // during the walk, so a key at an address met before is the same text;
  // plain ASCII names are kept to be copied again.
  bool member_name(PyObject* key) {
    for (const CachedName& cached : names_) {
      if (cached.key == key) return literal(cached.text, cached.size);
    }
    if (!text(key)) return false;
    literal(": ", 2);
    std::size_t length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(key));
    if (PyUnicode_IS_ASCII(key) && length + 4 <= sizeof CachedName::text &&
        plain_run(PyUnicode_1BYTE_DATA(key), length) == length) {
      CachedName& cached = names_[next_name_++ % kCachedNames];
      cached.text[0] = '"';
      std::memcpy(cached.text + 1, PyUnicode_1BYTE_DATA(key), length);
      std::memcpy(cached.text + 1 + length, "\": ", 3);
      cached.size = length + 4;
      cached.key = key;
    }
    return true;
  }

  // Within 64 bits the decimal digits are what int.__repr__ gives: the
  // digits limit (640 at the least) cannot apply. Larger ones are left to
  // json.dumps, whose int.__repr__ enforces it.
  bool integer(PyObject* o) {
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0) return false;
    if (number == -1 && PyErr_Occurred()) throw_python_error();
    char* p = out_.room(24);
    out_.commit(std::to_chars(p, p + 24, number).ptr);
    return true;
  }

  // A JSON string as c_encode_basestring writes it, in UTF-8; a surrogate
  // code point would fail the UTF-8 encoding, so the text is declined.
  bool text(PyObject* o) {
    if (PyUnicode_READY(o) < 0) throw_python_error();
    std::size_t length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(o));
    if (PyUnicode_IS_ASCII(o)) {
      ascii(PyUnicode_1BYTE_DATA(o), length);
      return true;
    }
    switch (PyUnicode_KIND(o)) {
      case PyUnicode_1BYTE_KIND:
        return wide(PyUnicode_1BYTE_DATA(o), length);
      case PyUnicode_2BYTE_KIND:
        return wide(PyUnicode_2BYTE_DATA(o), length);
      default:
        return wide(PyUnicode_4BYTE_DATA(o), length);
    }
  }

  // Runs without escapes are copied whole.
  void ascii(const Py_UCS1* chars, std::size_t length) {
    char* p = out_.room(length + 2);
    *p++ = '"';
    const Py_UCS1* end = chars + length;
    for (;;) {
      std::size_t plain = plain_run(chars, static_cast<std::size_t>(end - chars));
      std::memcpy(p, chars, plain);
      p += plain;
      chars += plain;
      if (chars == end) break;
      const Escape& escape = kEscapes[*chars++];
      out_.commit(p);
      // Room for this escape, the rest as it is and the closing quote.
      p = out_.room(escape.size + static_cast<std::size_t>(end - chars) + 1);
      std::memcpy(p, escape.text, escape.size);
      p += escape.size;
    }
    *p++ = '"';
    out_.commit(p);
  }

  // Written in blocks, each with room for its worst case (6 bytes a
  // character).
  template <class Char>
  bool wide(const Char* chars, std::size_t length) {
    constexpr std::size_t kBlock = 4096;
    literal("\"", 1);
    for (std::size_t start = 0; start < length; start += kBlock) {
      std::size_t stop = std::min(length, start + kBlock);
      char* p = out_.room((stop - start) * 6);
      for (std::size_t i = start; i < stop; ++i) {
        p = put_code_point(p, chars[i]);
        if (p == nullptr) return false;
      }
      out_.commit(p);
    }
    return literal("\"", 1);
  }

  static constexpr std::size_t kCachedNames = 8;
  struct CachedName {
    PyObject* key = nullptr;
    char text[64];
    std::size_t size = 0;
  };

  Text& out_;
  const int max_nesting_;
  CachedName names_[kCachedNames];
  std::size_t next_name_ = 0;    // the slot to fill next, round the ring
  std::vector<PyObject*> open_;  // the containers being written, outermost first
};

}  // namespace

void Text::seal() noexcept {
  if (!blocks_.empty())
    blocks_.back().size = static_cast<std::size_t>(cursor_ - blocks_.back().bytes.get());
}

void Text::next_block(std::size_t count) {
  constexpr std::size_t kBlockSize = std::size_t(1) << 20;
  seal();
  std::size_t capacity = std::max(kBlockSize, count);
  blocks_.push_back({std::unique_ptr<char[]>(new char[capacity]), 0});
  cursor_ = blocks_.back().bytes.get();
  limit_ = cursor_ + capacity;
}

bool encode(PyObject* users, Text& out) {
  int frames_left = PyThreadState_Get()->recursion_remaining;
  int max_nesting = std::min(kMaxNesting, frames_left - kFramesBeyondNesting);
  if (max_nesting < 1) return false;  // json.dumps itself could not run
  Encoder encoder(out, max_nesting);
  return encoder.value(users, 0);
}

}  // namespace vardun::registry_text
