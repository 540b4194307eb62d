#include "registry_objects.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

#include "utf8_check.hpp"

namespace vardun::registry_objects {

template <class Item>
Item* Run<Item>::extend(std::size_t count) noexcept {
  if (capacity_ - size_ < count) {
    std::size_t wanted = std::max(capacity_ * 2, size_ + count);
    wanted = std::max<std::size_t>(wanted, 4096 / sizeof(Item));
    void* grown = std::realloc(items_.get(), wanted * sizeof(Item));
    if (grown == nullptr) return nullptr;
    items_.release();
    items_.reset(static_cast<Item*>(grown));
    capacity_ = wanted;
  }
  Item* room = items_.get() + size_;
  size_ += count;
  return room;
}

namespace {

using json::Byte;

// The walk that lists the values; a failure anywhere declines the text.
class Lister {
 public:
  Lister(const Byte* text, const Byte* end, int max_depth, Run<Token>& tokens, Run<char>& decoded)
      : scanner_(end), text_(text), max_depth_(max_depth), tokens_(tokens), decoded_(decoded) {}

  // The value at `p`, inside `depth` arrays and objects: the byte after it.
  const Byte* value(const Byte* p, int depth) noexcept {
    switch (*p) {
      case '[':
        return container(p, depth, Token::Array);
      case '{':
        return container(p, depth, Token::Object);
      case 't':
        return literal(p, "true", Token::True);
      case 'f':
        return literal(p, "false", Token::False);
      case 'n':
        return literal(p, "null", Token::Null);
      case '"': {
        bool escaped = false;
        const Byte* close = scanner_.string_end(p + 1, escaped);
        return close != nullptr && text(p + 1, close, escaped) ? close + 1 : nullptr;
      }
      default: {
        bool integer = false;
        const Byte* end = scanner_.number(p, integer);
        return end != nullptr && put(offset(p), end - p, integer ? Token::Integer : Token::Real)
                   ? end
                   : nullptr;
      }
    }
  }

  const json::Scanner& scanner() const noexcept { return scanner_; }

 private:
  std::size_t offset(const Byte* p) const noexcept { return static_cast<std::size_t>(p - text_); }

  bool put(std::size_t at, std::ptrdiff_t size, Token::Kind kind) noexcept {
    if (at > UINT32_MAX || size > std::ptrdiff_t{Token::kMaxSize}) return false;
    Token* token = tokens_.extend(1);
    if (token == nullptr) return false;
    *token = Token{static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(size), kind};
    return true;
  }

  const Byte* literal(const Byte* p, const char* word, Token::Kind kind) noexcept {
    int length = static_cast<int>(std::strlen(word));
    const Byte* end = scanner_.literal(p, word, length);
    return end != nullptr && put(offset(p), 0, kind) ? end : nullptr;
  }

  // A string's bytes [p, close) between its quotes: as they are when it has
  // no escape, else its text decoded, which must not hold a lone surrogate
  // (json.loads makes a str of one; no UTF-8 can stand for it).
  bool text(const Byte* p, const Byte* close, bool escaped) noexcept {
    if (!escaped) return put(offset(p), close - p, Token::Text);
    bool lone_surrogate = false;
    bool decoded = catch_all(
        [&] {
          json::decode_string(p, close, scratch_, lone_surrogate);
          return true;
        },
        [] { return false; });
    if (!decoded || lone_surrogate) return false;
    std::size_t at = decoded_.size();
    if (!scratch_.empty()) {
      char* room = decoded_.extend(scratch_.size());
      if (room == nullptr) return false;
      std::memcpy(room, scratch_.data(), scratch_.size());
    }
    return put(at, static_cast<std::ptrdiff_t>(scratch_.size()), Token::Decoded);
  }

  // An array or object: its token, its count filled in once known.
  const Byte* container(const Byte* p, int depth, Token::Kind kind) noexcept {
    if (depth + 1 > max_depth_ || !put(offset(p), 0, kind)) return scanner_.fail(p);
    std::size_t at = tokens_.size() - 1;
    std::size_t count = 0;
    const Byte* end;
    if (kind == Token::Array) {
      end = scanner_.elements(p, depth + 1, [&](const Byte* v, int inner) {
        ++count;
        return value(v, inner);
      });
    } else {
      end = scanner_.members(
          p, depth + 1,
          [&](const Byte* name, const Byte* name_end, bool escaped, const Byte* v, int inner) {
            ++count;
            return text(name, name_end, escaped) ? value(v, inner) : scanner_.fail(name);
          });
    }
    if (end == nullptr || count > Token::kMaxSize) return nullptr;
    tokens_[at].size = static_cast<std::uint32_t>(count);
    return end;
  }

  json::Scanner scanner_;
  const Byte* text_;
  const int max_depth_;
  Run<Token>& tokens_;
  Run<char>& decoded_;
  std::string scratch_;
};

// Names of members made once per distinct text, as json.loads' memo does:
// records repeat their names in the same places, so the name at the same
// place in the last object is compared first.
class Names {
 public:
  Names() = default;
  Names(const Names&) = delete;
  Names& operator=(const Names&) = delete;
  ~Names() {
    if (!holds_interpreter_lock()) return;
    for (auto& [text, name] : made_) Py_DECREF(name);
  }

  // The str of the UTF-8 `text` (borrowed), the member's `place` in its
  // object; nullptr with an error set when it could not be made.
  PyObject* get(std::string_view text, std::size_t place) {
    Recent* recent = place < kRecent ? &recent_[place] : nullptr;
    if (recent != nullptr && recent->name != nullptr && recent->text == text) return recent->name;
    auto found = made_.find(text);
    PyObject* name;
    if (found != made_.end()) {
      name = found->second;
    } else {
      name = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
      if (name == nullptr) return nullptr;
      bool kept = catch_all(
          [&] {
            made_.emplace(text, name);
            return true;
          },
          [] { return false; });
      if (!kept) {
        Py_DECREF(name);
        PyErr_NoMemory();
        return nullptr;
      }
    }
    if (recent != nullptr) *recent = Recent{text, name};
    return name;
  }

 private:
  static constexpr std::size_t kRecent = 16;
  struct Recent {
    std::string_view text;
    PyObject* name = nullptr;
  };
  std::array<Recent, kRecent> recent_{};
  std::unordered_map<std::string_view, PyObject*> made_;  // owns a reference to each
};

// Makes the objects from the tokens; every maker returns a new reference,
// or nullptr with an error set.
class Builder {
 public:
  Builder(const Byte* text, const char* decoded, const Token* tokens)
      : text_(reinterpret_cast<const char*>(text)), decoded_(decoded), next_(tokens) {}

  PyObject* value() {
    const Token& token = *next_++;
    switch (token.kind) {
      case Token::Text:
      case Token::Decoded: {
        std::string_view text = bytes(token);
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
      }
      case Token::Integer:
        return integer(bytes(token));
      case Token::Real:
        return real(bytes(token));
      case Token::True:
        return Py_NewRef(Py_True);
      case Token::False:
        return Py_NewRef(Py_False);
      case Token::Null:
        return Py_NewRef(Py_None);
      case Token::Array:
        return array(token.size);
      default:
        return object(token.size);
    }
  }

 private:
  std::string_view bytes(const Token& token) const {
    const char* base = token.kind == Token::Decoded ? decoded_ : text_;
    return {base + token.at, token.size};
  }

  // Presized: the list's length is known (json.loads appends, which leaves
  // spare room; the elements are the same).
  //
  // Until its last element is in place the list holds empty slots, which
  // no Python code may see: making an element can run a garbage collection
  // and its finalisers (gc.get_objects() lists tracked objects only).
  PyObject* array(std::size_t count) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
    if (list == nullptr) return nullptr;
    PyObject_GC_UnTrack(list);
    for (std::size_t i = 0; i < count; ++i) {
      PyObject* item = value();
      if (item == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    PyObject_GC_Track(list);
    return list;
  }

  // A name met again replaces the value in its first place, as it does in
  // json.loads' dict.
  PyObject* object(std::size_t count) {
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
      PyObject* name = names_.get(bytes(*next_++), i);
      PyObject* item = name == nullptr ? nullptr : value();
      if (item == nullptr || PyDict_SetItem(dict, name, item) < 0) {
        Py_XDECREF(item);
        Py_DECREF(dict);
        return nullptr;
      }
      Py_DECREF(item);
    }
    return dict;
  }

  // int(text): up to 18 digits fit 64 bits; longer ones (at most the
  // scanner's digits limit) through the interpreter's own conversion.
  PyObject* integer(std::string_view text) {
    bool negative = text.front() == '-';
    std::string_view digits = text.substr(negative ? 1 : 0);
    if (digits.size() <= 18) {
      long long number = 0;
      for (char digit : digits) number = number * 10 + (digit - '0');
      return PyLong_FromLongLong(negative ? -number : number);
    }
    // NUL-terminated, as PyLong_FromString wants it (no more than the
    // scanner's digits limit and a sign).
    std::array<char, json::kMaxIntegerDigits + 2> terminated;
    std::memcpy(terminated.data(), text.data(), text.size());
    terminated[text.size()] = '\0';
    return PyLong_FromString(terminated.data(), nullptr, 10);
  }

  // float(text), by the conversion float() itself uses. The text is
  // followed by a byte no number continues with.
  PyObject* real(std::string_view text) {
    char* end = nullptr;
    double number = PyOS_string_to_double(text.data(), &end, nullptr);
    if (number == -1.0 && PyErr_Occurred()) return nullptr;
    if (end != text.data() + text.size()) {
      PyErr_SetString(PyExc_ValueError, "number not read whole");
      return nullptr;
    }
    return PyFloat_FromDouble(number);
  }

  const char* text_;
  const char* decoded_;
  const Token* next_;
  Names names_;
};

}  // namespace

bool Values::list(const unsigned char* text, std::size_t size, int max_depth) noexcept {
  text_ = text;
  if (size > UINT32_MAX || !valid_utf8(text, size)) return false;
  const Byte* end = text + size;
  Lister lister(text, end, max_depth, tokens_, decoded_);
  const Byte* p = lister.scanner().skip_whitespace(text);
  if (*p != '[') return false;
  p = lister.value(p, 0);
  return p != nullptr && lister.scanner().skip_whitespace(p) == end;
}

Ref Values::build() const {
  return catch_all(
      [&] {
        Builder builder(text_, decoded_.data(), tokens_.data());
        PyObject* made = builder.value();
        if (made == nullptr) PyErr_Clear();  // left to json.loads
        return Ref::steal(made);
      },
      [] {
        PyErr_Clear();
        return Ref();
      });
}

}  // namespace vardun::registry_objects
