// The key index's table: the SHA-256 digest of every usable stored key hash,
// mapped to the bytes of the first record (in file order) that holds it.
//
// Compact by design, since every server process keeps one: 44 bytes per
// record in file order plus a 4-byte slot array at most 70% full, and no
// allocation per record. No Python object is touched here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "large_array.hpp"

namespace vardun::key_index {

using Digest = std::array<unsigned char, 32>;

// One top-level element's bytes in the file. Packed to 12 bytes so that an
// entry is 44; read the members by value, not by address.
struct __attribute__((packed, aligned(4))) RecordSpan {
  std::uint64_t offset;
  std::uint32_t length;
};

class KeyTable {
 public:
  struct Entry {
    Digest digest;
    RecordSpan span;
  };

  // The span of the first record holding `digest`, or null.
  const RecordSpan* find(const Digest& digest) const noexcept;
  // False when a record stops the store's scan: records after it are not
  // in the table, so a digest not found here may still be the store's.
  bool complete() const noexcept { return complete_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t memory_bytes() const noexcept;
  // The indexed records in file order.
  std::span<const Entry> entries() const noexcept { return {entries_.data(), size_}; }

  KeyTable() noexcept = default;
  KeyTable(KeyTable&& other) noexcept { swap(other); }
  KeyTable& operator=(KeyTable&& other) noexcept {
    if (this != &other) {
      clear();
      swap(other);
    }
    return *this;
  }
  void swap(KeyTable& other) noexcept;
  void clear() noexcept;

  // Building, in file order: `add` every record with a usable hash, then
  // `finish`, which keeps the first record of each digest. False when
  // memory runs out or past 2^32 records (the table is then unusable).
  bool add(const Digest& digest, RecordSpan span) noexcept;
  bool finish(bool complete) noexcept;

 private:
  std::uint64_t hash(const Digest& digest) const noexcept;
  static std::size_t slot_of(std::uint64_t hash, std::size_t slots) noexcept;
  // Fills slots_ from entries_; `duplicates` tells whether a digest came
  // twice (the later entries are then marked with a zero length, which no
  // record has).
  bool build_slots(bool& duplicates) noexcept;

  LargeArray<Entry> entries_;
  std::size_t size_ = 0, capacity_ = 0;
  // Entry index + 1 per slot, 0 for an empty slot; linear probing.
  LargeArray<std::uint32_t> slots_;
  std::size_t slot_count_ = 0;
  std::uint64_t seed_[4] = {};
  bool complete_ = false;
};

}  // namespace vardun::key_index
