#include "key_digest.hpp"

#include <openssl/evp.h>

#include <string>

namespace vardun::key_index {

namespace {

// Fetched once: an implicit fetch at every call costs more than the hash.
const EVP_MD* sha256() {
  static const EVP_MD* md = [] {
    const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return fetched != nullptr ? fetched : EVP_sha256();
  }();
  return md;
}

bool is_bearer_prefix(int kind, const void* data, Py_ssize_t at) {
  // Only these letters lower-case to "bearer": str.lower() of any other
  // character gives something else in these seven places.
  static const char lower[] = "bearer ";
  for (int i = 0; i < 7; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, data, at + i);
    if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
    if (c != static_cast<unsigned char>(lower[i])) return false;
  }
  return true;
}

// Appends the UTF-8 form of code point `c`; false for a surrogate.
bool put_utf8(Py_UCS4 c, std::string& out) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    if (c >= 0xD800 && c <= 0xDFFF) return false;
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
  return true;
}

// SHA-256 of `size` bytes into `out`. Each thread keeps one context, so a
// check allocates nothing: a fresh one costs two allocations and frees.
bool sha256_of(const void* bytes, std::size_t size, Digest& out) {
  struct Context {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(ctx); }
  };
  thread_local Context context;
  EVP_MD_CTX* ctx = context.ctx;
  unsigned int length = 0;
  return ctx != nullptr && EVP_DigestInit_ex2(ctx, sha256(), nullptr) == 1 &&
         EVP_DigestUpdate(ctx, bytes, size) == 1 &&
         EVP_DigestFinal_ex(ctx, out.data(), &length) == 1;
}

}  // namespace

bool key_digest(PyObject* key, Digest& out) {
  if (!PyUnicode_CheckExact(key) || PyUnicode_READY(key) != 0) {
    PyErr_Clear();
    return false;
  }
  int kind = PyUnicode_KIND(key);
  const void* data = PyUnicode_DATA(key);
  Py_ssize_t start = 0, end = PyUnicode_GET_LENGTH(key);
  // str.strip(): whitespace as the interpreter counts it.
  auto strip = [&] {
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) ++start;
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
  };
  strip();
  if (end - start >= 7 && is_bearer_prefix(kind, data, start)) {
    start += 7;
    strip();
  }
  if (PyUnicode_IS_ASCII(key)) {
    const char* bytes = static_cast<const char*>(data) + start;
    return sha256_of(bytes, static_cast<std::size_t>(end - start), out);
  }
  std::string encoded;
  encoded.reserve(static_cast<std::size_t>(end - start) * 2);
  for (Py_ssize_t i = start; i < end; ++i) {
    if (!put_utf8(PyUnicode_READ(kind, data, i), encoded)) return false;
  }
  return sha256_of(encoded.data(), encoded.size(), out);
}

void stored_hash_text(const Digest& digest, char (&out)[71]) {
  static const char hex[] = "0123456789abcdef";
  std::memcpy(out, "sha256:", 7);
  for (std::size_t i = 0; i < digest.size(); ++i) {
    out[7 + 2 * i] = hex[digest[i] >> 4];
    out[8 + 2 * i] = hex[digest[i] & 15];
  }
}

}  // namespace vardun::key_index
