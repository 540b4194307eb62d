#include "key_table.hpp"

#include <sys/random.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

namespace vardun::key_index {

namespace {

// The slot array's fill: a miss looks at a few slots, and 4 bytes per slot
// add under 6 bytes per record.
constexpr std::size_t kLoadPercent = 70;
constexpr std::size_t kMaxEntries = 0xFFFFFFF0u;
// A mended slot array may drift this far from kLoadPercent before it is
// built again at that fill.
constexpr std::size_t kMinMendedLoad = 50, kMaxMendedLoad = 80;
// Mending slots one entry at a time beats building them again (a pass over
// every entry) only for a few entries.
constexpr std::size_t kMaxMended = 4096;

static_assert(sizeof(KeyTable::Entry) == 44, "an entry is a digest and a packed span");

std::uint64_t word(const Digest& digest, int i) noexcept {
  std::uint64_t value;
  std::memcpy(&value, digest.data() + 8 * i, sizeof value);
  return value;
}

// Room for `needed` elements in `array`, growing by doubling.
template <class T>
bool make_room(LargeArray<T>& array, std::size_t& capacity, std::size_t needed) noexcept {
  if (needed <= capacity) return true;
  std::size_t grown = capacity == 0 ? 1024 : capacity;
  while (grown < needed) grown *= 2;
  if (!array.resize(grown)) return false;
  capacity = grown;
  return true;
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
  // Slots hold an entry's index + 1 in 32 bits.
  if (size_ >= kMaxEntries || !make_room(entries_, capacity_, size_ + 1)) return false;
  entries_[size_++] = {digest, span};
  return true;
}

bool KeyTable::add_entries(std::span<const Entry> entries, std::int64_t shift) noexcept {
  if (entries.empty()) return true;
  if (entries.size() > kMaxEntries - size_ ||
      !make_room(entries_, capacity_, size_ + entries.size())) {
    return false;
  }
  Entry* added = entries_.data() + size_;
  std::memcpy(static_cast<void*>(added), entries.data(), entries.size_bytes());
  if (shift != 0) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
      added[i].span.offset = static_cast<std::uint64_t>(added[i].span.offset + shift);
    }
  }
  size_ += entries.size();
  return true;
}

bool KeyTable::add_element_slowly(std::uint64_t offset) noexcept {
  if (starts_lost_) return true;
  if (offset > UINT32_MAX) return lose_starts();
  if (!make_room(starts_, starts_capacity_, element_count_ + 1)) return false;
  starts_[element_count_++] = static_cast<std::uint32_t>(offset);
  return true;
}

bool KeyTable::add_elements(std::span<const std::uint32_t> starts, std::int64_t shift) noexcept {
  if (starts.empty() || starts_lost_) return true;
  // The starts ascend: the last one tells whether all still fit.
  if (starts.back() + shift > std::int64_t{UINT32_MAX}) return lose_starts();
  if (!make_room(starts_, starts_capacity_, element_count_ + starts.size())) return false;
  // Modulo 2^32, adding the shift's low half is adding the shift.
  std::uint32_t moved = static_cast<std::uint32_t>(shift);
  std::uint32_t* added = starts_.data() + element_count_;
  for (std::size_t i = 0; i < starts.size(); ++i) added[i] = starts[i] + moved;
  element_count_ += starts.size();
  return true;
}

bool KeyTable::lose_starts() noexcept {
  starts_lost_ = true;
  starts_.release();
  starts_capacity_ = element_count_ = 0;
  return true;
}

bool KeyTable::reserve(std::size_t entries, std::size_t elements) noexcept {
  return make_room(entries_, capacity_, std::min(entries, kMaxEntries)) &&
         make_room(starts_, starts_capacity_, elements);
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

void KeyTable::set_layout(bool complete, std::size_t stop_element,
                          std::uint64_t file_size) noexcept {
  complete_ = complete;
  stop_element_ = stop_element;
  file_size_ = file_size;
  // Shrinking gives the pages past the end back; it cannot fail for lack
  // of memory, and the array stays as it was if it does.
  if (starts_.resize(element_count_)) starts_capacity_ = element_count_;
  if (entries_.resize(size_)) capacity_ = size_;
  layout_known_ = !starts_lost_;
}

bool KeyTable::finish(bool complete, std::size_t stop_element, std::uint64_t file_size) noexcept {
  set_layout(complete, stop_element, file_size);
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
    layout_known_ = false;
    if (!build_slots(duplicates)) return false;
    if (entries_.resize(size_)) capacity_ = size_;
  }
  return true;
}

bool KeyTable::finish_after(const KeyTable& previous, std::size_t first, std::size_t last,
                            bool complete, std::size_t stop_element,
                            std::uint64_t file_size) noexcept {
  std::size_t kept_after = previous.size_ - last;
  std::size_t added = size_ - first - kept_after;
  // The previous slots hold each of its digests once (its layout is known
  // only then) under its seed; the copy keeps that seed.
  bool mend = previous.layout_known_ && previous.slot_count_ > 0 &&
              (last - first) + added <= kMaxMended &&
              size_ * 100 >= previous.slot_count_ * kMinMendedLoad &&
              size_ * 100 <= previous.slot_count_ * kMaxMendedLoad;
  if (!mend || !slots_.resize(previous.slot_count_)) {
    return finish(complete, stop_element, file_size);
  }
  slot_count_ = previous.slot_count_;
  std::copy(std::begin(previous.seed_), std::end(previous.seed_), std::begin(seed_));
  std::memcpy(slots_.data(), previous.slots_.data(), slot_count_ * sizeof(std::uint32_t));
  for (std::size_t i = first; i < last; ++i) remove_slot(previous, static_cast<std::uint32_t>(i));
  // Entries after the changed ones moved by the difference in count; slots
  // hold index + 1, so those above `last` move (modulo 2^32).
  std::uint32_t moved = static_cast<std::uint32_t>(first + added - last);
  if (moved != 0) {
    std::uint32_t* slots = slots_.data();
    for (std::size_t slot = 0; slot < slot_count_; ++slot) {
      if (slots[slot] > last) slots[slot] += moved;
    }
  }
  for (std::size_t i = first; i < first + added; ++i) {
    // A digest twice: which one is kept is the whole build's business.
    if (!insert_slot(static_cast<std::uint32_t>(i)))
      return finish(complete, stop_element, file_size);
  }
  set_layout(complete, stop_element, file_size);
  return true;
}

void KeyTable::remove_slot(const KeyTable& previous, std::uint32_t index) noexcept {
  std::uint32_t* slots = slots_.data();
  std::size_t count = slot_count_;
  auto next = [count](std::size_t slot) { return slot + 1 == count ? 0 : slot + 1; };
  auto home = [&](std::uint32_t held) {
    return slot_of(hash(previous.entries_[held - 1].digest), count);
  };
  std::size_t hole = slot_of(hash(previous.entries_[index].digest), count);
  while (slots[hole] != index + 1) hole = next(hole);
  // Linear probing: an entry after the hole in its run moves into it
  // unless its home lies after the hole (cyclically, up to where it is).
  for (std::size_t slot = next(hole); slots[slot] != 0; slot = next(slot)) {
    std::size_t wanted = home(slots[slot]);
    bool stays = hole <= slot ? hole < wanted && wanted <= slot : hole < wanted || wanted <= slot;
    if (stays) continue;
    slots[hole] = slots[slot];
    hole = slot;
  }
  slots[hole] = 0;
}

bool KeyTable::insert_slot(std::uint32_t index) noexcept {
  const Digest& digest = entries_[index].digest;
  for (std::size_t slot = slot_of(hash(digest), slot_count_);;
       slot = slot + 1 == slot_count_ ? 0 : slot + 1) {
    std::uint32_t held = slots_[slot];
    if (held == 0) {
      slots_[slot] = index + 1;
      return true;
    }
    if (entries_[held - 1].digest == digest) return false;
  }
}

std::size_t KeyTable::memory_bytes() const noexcept {
  return sizeof(*this) + entries_.bytes() + slots_.bytes() + starts_.bytes();
}

void KeyTable::swap(KeyTable& other) noexcept {
  std::swap(entries_, other.entries_);
  std::swap(size_, other.size_);
  std::swap(capacity_, other.capacity_);
  std::swap(slots_, other.slots_);
  std::swap(slot_count_, other.slot_count_);
  std::swap(seed_, other.seed_);
  std::swap(complete_, other.complete_);
  std::swap(starts_, other.starts_);
  std::swap(element_count_, other.element_count_);
  std::swap(starts_capacity_, other.starts_capacity_);
  std::swap(stop_element_, other.stop_element_);
  std::swap(file_size_, other.file_size_);
  std::swap(starts_lost_, other.starts_lost_);
  std::swap(layout_known_, other.layout_known_);
}

void KeyTable::clear() noexcept {
  entries_.release();
  slots_.release();
  starts_.release();
  size_ = capacity_ = slot_count_ = 0;
  element_count_ = starts_capacity_ = stop_element_ = 0;
  file_size_ = 0;
  complete_ = starts_lost_ = layout_known_ = false;
}

}  // namespace vardun::key_index
