#include "key_table.hpp"

#include <sys/random.h>

#include <cstring>
#include <utility>

namespace vardun::key_index {

namespace {

// The slot array's fill: a miss looks at a few slots, and 4 bytes per slot
// add under 6 bytes per record.
constexpr std::size_t kLoadPercent = 70;
constexpr std::size_t kMaxEntries = 0xFFFFFFF0u;

static_assert(sizeof(KeyTable::Entry) == 44, "an entry is a digest and a packed span");

std::uint64_t word(const Digest& digest, int i) noexcept {
  std::uint64_t value;
  std::memcpy(&value, digest.data() + 8 * i, sizeof value);
  return value;
}

std::uint64_t mix(std::uint64_t a, std::uint64_t b) noexcept {
  unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

}  // namespace

std::uint64_t KeyTable::hash(const Digest& digest) const noexcept {
  // Stored hashes of real keys are uniformly random, but the file's writer
  // could store chosen ones; a per-table key keeps them from piling up in
  // one run of slots.
  return mix(word(digest, 0) ^ seed_[0], word(digest, 1) ^ seed_[1]) ^
         mix(word(digest, 2) ^ seed_[2], word(digest, 3) ^ seed_[3]);
}

std::size_t KeyTable::slot_of(std::uint64_t hash, std::size_t slots) noexcept {
  return static_cast<std::size_t>((static_cast<unsigned __int128>(hash) * slots) >> 64);
}

const RecordSpan* KeyTable::find(const Digest& digest) const noexcept {
  if (slot_count_ == 0) return nullptr;
  for (std::size_t slot = slot_of(hash(digest), slot_count_);;
       slot = slot + 1 == slot_count_ ? 0 : slot + 1) {
    std::uint32_t held = slots_[slot];
    if (held == 0) return nullptr;
    const Entry& entry = entries_[held - 1];
    if (entry.digest == digest) return &entry.span;
  }
}

bool KeyTable::add(const Digest& digest, RecordSpan span) noexcept {
  if (size_ == capacity_) {
    // Slots hold an entry's index + 1 in 32 bits.
    if (size_ >= kMaxEntries) return false;
    std::size_t capacity = capacity_ == 0 ? 1024 : capacity_ * 2;
    if (!entries_.resize(capacity)) return false;
    capacity_ = capacity;
  }
  entries_[size_++] = {digest, span};
  return true;
}

bool KeyTable::build_slots(bool& duplicates) noexcept {
  // While building, each slot also holds 32 bits of its entry's hash, so
  // that a collision is told apart without reading the entry (a cache miss
  // per probe); the table keeps only the indexes.
  std::size_t count = size_ * 100 / kLoadPercent + 1;
  LargeArray<std::uint64_t> tagged;
  if (!tagged.assign_zeroed(count) || !slots_.resize(count)) return false;
  slot_count_ = count;
  duplicates = false;
  for (std::size_t i = 0; i < size_; ++i) {
    std::uint64_t h = hash(entries_[i].digest);
    std::uint64_t mine = h << 32 | (i + 1);
    for (std::size_t slot = slot_of(h, count);; slot = slot + 1 == count ? 0 : slot + 1) {
      std::uint64_t held = tagged[slot];
      if (held == 0) {
        tagged[slot] = mine;
        break;
      }
      if (held >> 32 == mine >> 32 &&
          entries_[(held & 0xFFFFFFFFu) - 1].digest == entries_[i].digest) {
        entries_[i].span.length = 0;  // the first record of this digest wins
        duplicates = true;
        break;
      }
    }
  }
  for (std::size_t slot = 0; slot < count; ++slot) {
    slots_[slot] = static_cast<std::uint32_t>(tagged[slot]);
  }
  return true;
}

bool KeyTable::finish(bool complete) noexcept {
  complete_ = complete;
  if (size_ == 0) return true;
  if (getrandom(seed_, sizeof seed_, GRND_NONBLOCK) != sizeof seed_) {
    // No entropy yet (early boot): any key keeps honest files fast.
    std::uint64_t fallback = reinterpret_cast<std::uintptr_t>(this);
    for (auto& seed : seed_) seed = fallback = mix(fallback, 0x9E3779B97F4A7C15u) + 1;
  }
  bool duplicates = false;
  if (!build_slots(duplicates)) return false;
  if (duplicates) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < size_; ++i) {
      if (entries_[i].span.length != 0) entries_[kept++] = entries_[i];
    }
    size_ = kept;
    if (!build_slots(duplicates)) return false;
  }
  // Shrinking gives the pages past the end back; it cannot fail for lack
  // of memory, and the array stays as it was if it does.
  if (entries_.resize(size_)) capacity_ = size_;
  return true;
}

std::size_t KeyTable::memory_bytes() const noexcept {
  return sizeof(*this) + entries_.bytes() + slots_.bytes();
}

void KeyTable::swap(KeyTable& other) noexcept {
  std::swap(entries_, other.entries_);
  std::swap(size_, other.size_);
  std::swap(capacity_, other.capacity_);
  std::swap(slots_, other.slots_);
  std::swap(slot_count_, other.slot_count_);
  std::swap(seed_, other.seed_);
  std::swap(complete_, other.complete_);
}

void KeyTable::clear() noexcept {
  entries_.release();
  slots_.release();
  size_ = capacity_ = slot_count_ = 0;
  complete_ = false;
}

}  // namespace vardun::key_index
