// A presented key's stored-hash digest computed here, as the store's own
// steps make it: `normalize_api_key` (strip, one "bearer " prefix in any
// case of its letters, strip again), then `hash_api_key` (SHA-256 of the
// UTF-8 bytes, through OpenSSL as hashlib computes it). Only for an exact
// str, with the interpreter lock held; the caller makes sure the store's
// steps are the originals.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>

#include "key_table.hpp"

namespace vardun::key_index {

// Hashes digests by their first bytes: SHA-256 output is already uniform.
struct DigestHash {
  std::size_t operator()(const Digest& digest) const noexcept {
    std::size_t value;
    std::memcpy(&value, digest.data(), sizeof value);
    return value;
  }
};

// False where the store's steps would raise instead (text that has no UTF-8
// form: a lone surrogate) or the digest cannot be had here; the caller then
// asks the store.
bool key_digest(PyObject* key, Digest& out);

// "sha256:" and the digest in lower-case hex: the stored form.
void stored_hash_text(const Digest& digest, char (&out)[71]);

}  // namespace vardun::key_index
