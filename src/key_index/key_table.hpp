// The key index's table: the SHA-256 digest of every usable stored key hash,
// mapped to the bytes of the first record (in file order) that holds it.
//
// Compact by design, since every server process keeps one: 44 bytes per
// record in file order plus a 4-byte slot array at most 70% full, 4 bytes
// per top-level element for the next read (its layout, below), and no
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

  // The file's layout, which a read of a changed file reuses for what the
  // two share (reread_registry): where each top-level element begins, the
  // first element that stops the store's scan (element_count() when none
  // does), the file's size. Known only when every offset fits 32 bits and
  // no record was left out as a later duplicate (a change elsewhere could
  // make it the first of its digest again).
  bool layout_known() const noexcept { return layout_known_; }
  std::span<const std::uint32_t> element_starts() const noexcept {
    return {starts_.data(), element_count_};
  }
  std::size_t element_count() const noexcept { return element_count_; }
  std::size_t stop_element() const noexcept { return stop_element_; }
  std::uint64_t file_size() const noexcept { return file_size_; }

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

  // Building, in file order: `add` every record with a usable hash and
  // `add_element` every top-level element's offset (or many at once, moved
  // by `shift` bytes), then `finish`, which keeps the first record of each
  // digest. False when memory runs out or past 2^32 records (the table is
  // then unusable). `reserve` only saves growing.
  bool add(const Digest& digest, RecordSpan span) noexcept;
  bool add_entries(std::span<const Entry> entries, std::int64_t shift) noexcept;
  bool add_element(std::uint64_t offset) noexcept {
    if (element_count_ < starts_capacity_ && offset <= UINT32_MAX) {
      starts_[element_count_++] = static_cast<std::uint32_t>(offset);
      return true;
    }
    return add_element_slowly(offset);
  }
  bool add_elements(std::span<const std::uint32_t> starts, std::int64_t shift) noexcept;
  bool reserve(std::size_t entries, std::size_t elements) noexcept;
  bool finish(bool complete, std::size_t stop_element, std::uint64_t file_size) noexcept;
  // `finish` for a table that holds the first `first` entries of
  // `previous`, then its own, then the entries of `previous` from `last`
  // on (moved): `previous`'s slot array is copied and mended where a few
  // entries changed, else built again.
  bool finish_after(const KeyTable& previous, std::size_t first, std::size_t last, bool complete,
                    std::size_t stop_element, std::uint64_t file_size) noexcept;

 private:
  std::uint64_t hash(const Digest& digest) const noexcept;
  static std::size_t slot_of(std::uint64_t hash, std::size_t slots) noexcept;
  // Fills slots_ from entries_; `duplicates` tells whether a digest came
  // twice (the later entries are then marked with a zero length, which no
  // record has).
  bool build_slots(bool& duplicates) noexcept;
  // The slot of `previous`'s copied slots holding `index` + 1, emptied by
  // moving later entries of its run back (digests read from `previous`).
  void remove_slot(const KeyTable& previous, std::uint32_t index) noexcept;
  // Puts entry `index` in an empty slot; false when its digest is there.
  bool insert_slot(std::uint32_t index) noexcept;
  void set_layout(bool complete, std::size_t stop_element, std::uint64_t file_size) noexcept;
  bool add_element_slowly(std::uint64_t offset) noexcept;
  // Stops recording element starts (an offset past 32 bits); true.
  bool lose_starts() noexcept;

  LargeArray<Entry> entries_;
  std::size_t size_ = 0, capacity_ = 0;
  LargeArray<std::uint32_t> starts_;
  std::size_t element_count_ = 0, starts_capacity_ = 0, stop_element_ = 0;
  std::uint64_t file_size_ = 0;
  // An offset past 32 bits was met: the starts are no longer recorded.
  bool starts_lost_ = false;
  bool layout_known_ = false;
  // Entry index + 1 per slot, 0 for an empty slot; linear probing.
  LargeArray<std::uint32_t> slots_;
  std::size_t slot_count_ = 0;
  std::uint64_t seed_[4] = {};
  bool complete_ = false;
};

}  // namespace vardun::key_index
