// A strict JSON scanner (RFC 8259, and only that) over bytes in memory,
// shared by the key index's registry reader and the store's load. It checks
// and skips values; its users look inside only what they need.
//
// The bytes [begin, end) must be followed by a NUL byte at `end` and then
// by kPadding - 1 more readable bytes: vector loads may read 16 bytes
// from any position up to `end`, and the NUL stops every loop without a
// bounds check (a NUL is never valid JSON, so one met before `end` fails).
// A failure records where it was found: at `end` when the bytes ran out
// (more of the file could still make the value valid), before it when
// nothing that follows can.
//
// Where json.loads could fail on valid JSON the scanner fails too: nesting
// deeper than kMaxDepth, and integers longer than the smallest limit Python
// may be set to for int() (sys.set_int_max_str_digits).
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace vardun::json {

using Byte = unsigned char;

constexpr std::size_t kPadding = 64;
constexpr int kMaxDepth = 64;
constexpr std::size_t kMaxIntegerDigits = 640;
constexpr std::uint64_t kWhitespace = std::uint64_t{1} << ' ' | std::uint64_t{1} << '\n' |
                                      std::uint64_t{1} << '\t' | std::uint64_t{1} << '\r';

inline bool is_digit(Byte c) noexcept {
  return static_cast<Byte>(c - '0') <= 9;
}

inline int hex_value(Byte c) noexcept {
  if (is_digit(c)) return c - '0';
  Byte lower = c | 0x20;
  if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
  return -1;
}

class Scanner {
 public:
  explicit Scanner(const Byte* end) noexcept : end_(end) {}

  const Byte* end() const noexcept { return end_; }
  // After a failure: whether it was only that the bytes ran out.
  bool ran_out() const noexcept { return failed_at_ == end_; }

  const Byte* fail(const Byte* at) noexcept {
    failed_at_ = at;
    return nullptr;
  }

  // The first byte at or after `p` that is not JSON whitespace. Runs of it
  // are short (a line end and an indentation), and a byte loop whose
  // branches the processor predicts lets it run ahead to the next token;
  // a vector search makes each token wait for the one before (measured:
  // a quarter of the reader's time at 100,000 users).
  const Byte* skip_whitespace(const Byte* p) const noexcept {
    while (*p <= ' ' && ((std::uint64_t{1} << *p) & kWhitespace) != 0) ++p;
    return p;
  }

  // `p` just after a string's opening quote: its closing quote, every
  // escape checked. `escaped` tells whether the string holds one.
  const Byte* string_end(const Byte* p, bool& escaped) noexcept {
    for (;;) {
      p = next_special(p);
      if (*p == '"') return p;
      if (*p != '\\') return fail(p);  // a control character, or the end
      escaped = true;
      p = escape_end(p);
      if (p == nullptr) return nullptr;
    }
  }

  // Any value starting at `p`, inside `depth` open arrays and objects: the
  // byte after it.
  const Byte* value(const Byte* p, int depth) noexcept {
    switch (*p) {
      case '"': {
        bool escaped = false;
        const Byte* close = string_end(p + 1, escaped);
        return close == nullptr ? nullptr : close + 1;
      }
      case '{':
        return members(p, depth + 1,
                       [this](const Byte*, const Byte*, bool, const Byte* v, int inner) {
                         return value(v, inner);
                       });
      case '[':
        return array(p, depth + 1);
      case 't':
        return literal(p, "true", 4);
      case 'f':
        return literal(p, "false", 5);
      case 'n':
        return literal(p, "null", 4);
      default:
        if (*p == '-' || is_digit(*p)) return number(p);
        return fail(p);
    }
  }

  // The object whose '{' is at `p`, at nesting level `depth`: for each
  // member, `visit(name, name_end, escaped, value, depth)` with the name's
  // raw bytes (between the quotes) and the value's first byte; it returns
  // the byte after the value, or null to fail.
  template <class Visit>
  const Byte* members(const Byte* p, int depth, Visit&& visit) noexcept {
    if (depth > kMaxDepth) return fail(p);
    p = skip_whitespace(p + 1);
    if (*p == '}') return p + 1;
    for (;;) {
      if (*p != '"') return fail(p);
      bool escaped = false;
      const Byte* name_end = string_end(p + 1, escaped);
      if (name_end == nullptr) return nullptr;
      const Byte* q = skip_whitespace(name_end + 1);
      if (*q != ':') return fail(q);
      q = visit(p + 1, name_end, escaped, skip_whitespace(q + 1), depth);
      if (q == nullptr) return nullptr;
      p = skip_whitespace(q);
      if (*p == '}') return p + 1;
      if (*p != ',') return fail(p);
      p = skip_whitespace(p + 1);
    }
  }

  const Byte* array(const Byte* p, int depth) noexcept {
    return elements(p, depth, [this](const Byte* v, int inner) { return value(v, inner); });
  }

  // The array whose '[' is at `p`, at nesting level `depth`: for each
  // element, `visit(value, depth)` with its first byte; it returns the byte
  // after it, or null to fail.
  template <class Visit>
  const Byte* elements(const Byte* p, int depth, Visit&& visit) noexcept {
    if (depth > kMaxDepth) return fail(p);
    p = skip_whitespace(p + 1);
    if (*p == ']') return p + 1;
    for (;;) {
      p = visit(p, depth);
      if (p == nullptr) return nullptr;
      p = skip_whitespace(p);
      if (*p == ']') return p + 1;
      if (*p != ',') return fail(p);
      p = skip_whitespace(p + 1);
    }
  }

 private:
  // The next '"', '\\' or byte below 0x20 (the NUL at `end` included).
  static const Byte* next_special(const Byte* p) noexcept {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i control = _mm_set1_epi8(0x1F);
    for (;; p += 16) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      __m128i special =
          _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                       _mm_cmpeq_epi8(_mm_min_epu8(v, control), v));
      unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(special));
      if (mask != 0) return p + __builtin_ctz(mask);
    }
#else
    while (*p != '"' && *p != '\\' && *p >= 0x20) ++p;
    return p;
#endif
  }

  // `p` at a backslash: the byte after its escape.
  const Byte* escape_end(const Byte* p) noexcept {
    switch (p[1]) {
      case '"':
      case '\\':
      case '/':
      case 'b':
      case 'f':
      case 'n':
      case 'r':
      case 't':
        return p + 2;
      case 'u':
        for (int i = 2; i < 6; ++i) {
          if (hex_value(p[i]) < 0) return fail(p + i);
        }
        return p + 6;
      default:
        return fail(p + 1);
    }
  }

  const Byte* number(const Byte* p) noexcept {
    bool integer;
    return number(p, integer);
  }

 public:
  // `word` (true, false or null) at `p`: the byte after it.
  const Byte* literal(const Byte* p, const char* word, int length) noexcept {
    for (int i = 0; i < length; ++i) {
      if (p[i] != static_cast<Byte>(word[i])) return fail(p + i);
    }
    return p + length;
  }

  // The number at `p`: the byte after it; `integer` tells whether it has
  // neither a fraction nor an exponent.
  const Byte* number(const Byte* p, bool& integer) noexcept {
    const Byte* q = p;
    if (*q == '-') ++q;
    const Byte* digits = q;
    if (*q == '0') {
      ++q;
    } else if (is_digit(*q)) {
      while (is_digit(*q)) ++q;
    } else {
      return fail(q);
    }
    integer = true;
    std::size_t integer_digits = static_cast<std::size_t>(q - digits);
    if (*q == '.') {
      integer = false;
      if (!is_digit(*++q)) return fail(q);
      while (is_digit(*q)) ++q;
    }
    if (*q == 'e' || *q == 'E') {
      integer = false;
      ++q;
      if (*q == '+' || *q == '-') ++q;
      if (!is_digit(*q)) return fail(q);
      while (is_digit(*q)) ++q;
    }
    if (q == end_) return fail(q);  // more digits may follow
    if (integer && integer_digits > kMaxIntegerDigits) return fail(p);
    return q;
  }

 private:
  const Byte* end_;
  const Byte* failed_at_ = nullptr;
};

// The text of a checked string's raw bytes [p, end) with its escapes
// decoded, as UTF-8. A lone surrogate escape (valid JSON, but no UTF-8)
// sets `lone_surrogate` and is written in the three bytes UTF-8 would give
// it, so that it still counts as non-ASCII.
inline void decode_string(const Byte* p, const Byte* end, std::string& out, bool& lone_surrogate) {
  auto put = [&out](std::uint32_t c) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  };
  auto unit = [](const Byte* u) {
    return static_cast<std::uint32_t>(hex_value(u[0]) << 12 | hex_value(u[1]) << 8 |
                                      hex_value(u[2]) << 4 | hex_value(u[3]));
  };
  out.clear();
  while (p < end) {
    const Byte* escape = static_cast<const Byte*>(std::memchr(p, '\\', end - p));
    if (escape == nullptr) escape = end;
    out.append(reinterpret_cast<const char*>(p), escape - p);
    if (escape == end) break;
    p = escape + 2;
    switch (escape[1]) {
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'u': {
        std::uint32_t c = unit(escape + 2);
        p = escape + 6;
        // A high surrogate joins a low one that follows at once, as
        // json.loads joins them; any other surrogate stays alone.
        if (c >= 0xD800 && c < 0xDC00 && end - p >= 6 && p[0] == '\\' && p[1] == 'u') {
          std::uint32_t low = unit(p + 2);
          if (low >= 0xDC00 && low < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            p += 6;
          }
        }
        if (c >= 0xD800 && c < 0xE000) lone_surrogate = true;
        put(c);
        break;
      }
      default:  // '"', '\\', '/'
        out += static_cast<char>(escape[1]);
        break;
    }
  }
}

}  // namespace vardun::json
