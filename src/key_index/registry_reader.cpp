#include "registry_reader.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "json_scanner.hpp"
#include "utf8_check.hpp"

namespace vardun::key_index {

namespace {

using json::Byte;

constexpr std::string_view kHashName = "api_key_hash";
constexpr std::string_view kHashPrefix = "sha256:";
constexpr std::size_t kHashTextLength = 71;
// A record's bytes must fit RecordSpan's length.
constexpr std::uint64_t kMaxElement = UINT32_MAX;
// The window of a read that resumes past the shared start.
constexpr std::size_t kRereadChunkSize = 64 * 1024;

#if !defined(__SSE2__)
// Lower-case hex digits' values; -1 for every other byte.
constexpr auto kNibble = [] {
  std::array<int, 256> table{};
  for (int c = 0; c < 256; ++c) {
    table[c] = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  }
  return table;
}();
#endif

// Whether a member name (raw bytes between its quotes) is `wanted` once
// its escapes are decoded. Inlined so that the common comparison is one
// of a constant length.
[[gnu::always_inline]] inline bool name_is(const Byte* p, const Byte* end, bool escaped,
                                           std::string_view wanted, std::string& scratch) {
  if (!escaped) {
    return static_cast<std::size_t>(end - p) == wanted.size() &&
           std::memcmp(p, wanted.data(), wanted.size()) == 0;
  }
  bool lone_surrogate = false;
  json::decode_string(p, end, scratch, lone_surrogate);
  return scratch == wanted;
}

// 64 lower-case hex digits as 32 bytes; false when one is anything else
// (upper case included: the store's comparison is exact).
bool parse_hex(const Byte* hex, Digest& digest) {
#if defined(__SSE2__)
  // Branch-free: hex digits of real hashes are random, so a branch per
  // digit would be mispredicted half the time.
  const __m128i zero = _mm_set1_epi8('0'), letter_a = _mm_set1_epi8('a');
  const __m128i nine = _mm_set1_epi8(9), five = _mm_set1_epi8(5), ten = _mm_set1_epi8(10);
  const __m128i low_byte = _mm_set1_epi16(0x00FF);
  // Sixteen digits as eight digit pairs, one per 16-bit lane, the high
  // nibble's digit first. Two named results, not an array: an array went
  // through the stack and stalled there (measured: a tenth of the reader's
  // time at 100,000 users).
  auto pairs_of = [&](const Byte* sixteen, __m128i& pairs) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(sixteen));
    __m128i digit = _mm_sub_epi8(v, zero), letter = _mm_sub_epi8(v, letter_a);
    __m128i is_digit = _mm_cmpeq_epi8(_mm_min_epu8(digit, nine), digit);
    __m128i is_letter = _mm_cmpeq_epi8(_mm_min_epu8(letter, five), letter);
    if (_mm_movemask_epi8(_mm_or_si128(is_digit, is_letter)) != 0xFFFF) return false;
    __m128i nibbles = _mm_or_si128(_mm_and_si128(is_digit, digit),
                                   _mm_and_si128(is_letter, _mm_add_epi8(letter, ten)));
    pairs = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(nibbles, low_byte), 4),
                         _mm_srli_epi16(nibbles, 8));
    return true;
  };
  for (int half = 0; half < 2; ++half) {
    __m128i first, second;
    if (!pairs_of(hex + 32 * half, first) || !pairs_of(hex + 32 * half + 16, second)) {
      return false;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(digest.data() + 16 * half),
                     _mm_packus_epi16(first, second));
  }
  return true;
#else
  int invalid = 0;
  for (std::size_t i = 0; i < digest.size(); ++i) {
    int high = kNibble[hex[2 * i]], low = kNibble[hex[2 * i + 1]];
    invalid |= high | low;
    digest[i] = static_cast<unsigned char>(high << 4 | low);
  }
  return invalid >= 0;
#endif
}

// What a string api_key_hash means to the store's scan.
enum class HashText { never_matches, stops_scan, usable };

bool digest_of(const Byte* text, std::size_t size, Digest& digest) {
  return size == kHashTextLength &&
         std::memcmp(text, kHashPrefix.data(), kHashPrefix.size()) == 0 &&
         parse_hex(text + kHashPrefix.size(), digest);
}

// The raw bytes of a string value of api_key_hash: compare_digest raises
// TypeError for a non-ASCII str (a lone surrogate is one), and what
// matches must be the exact text.
HashText classify_hash(const Byte* p, const Byte* end, bool escaped, Digest& digest,
                       std::string& scratch) {
  const Byte* text = p;
  std::size_t size = static_cast<std::size_t>(end - p);
  if (escaped) {
    bool lone_surrogate = false;
    json::decode_string(p, end, scratch, lone_surrogate);
    text = reinterpret_cast<const Byte*>(scratch.data());
    size = scratch.size();
  }
  if (digest_of(text, size, digest)) return HashText::usable;
  if (std::any_of(text, text + size, [](Byte c) { return c >= 0x80; })) {
    return HashText::stops_scan;
  }
  return HashText::never_matches;
}

// The registry's bytes, a window of the file at a time. The window always
// ends with the scanner's NUL and padding; it starts where the caller says
// it still needs bytes, and grows only when one element fills all of it.
class Window {
 public:
  Window(int fd, std::size_t chunk_size)
      : fd_(fd), capacity_(std::max<std::size_t>(chunk_size, 1)) {}

  // fstat, and the first chunk from file offset `from`, which must start a
  // character (the bytes before it are taken as checked). False on
  // declining.
  bool open(std::uint64_t from = 0) {
    struct stat info;
    if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) return false;
    size_ = static_cast<std::uint64_t>(info.st_size);
    if (from > size_) return false;
    // A small registry needs no more than its size (a larger one read
    // meanwhile grows the window as any element would).
    capacity_ = static_cast<std::size_t>(std::clamp<std::uint64_t>(size_, 1, capacity_));
    buffer_ = allocate(capacity_);
    base_ = checked_ = from;
    return buffer_ != nullptr && refill(from);
  }

  std::uint64_t size() const noexcept { return size_; }

  const Byte* data() const noexcept { return buffer_.get(); }
  const Byte* end() const noexcept { return buffer_.get() + length_; }
  std::uint64_t offset_of(const Byte* p) const noexcept { return base_ + (p - buffer_.get()); }
  const Byte* at(std::uint64_t offset) const noexcept { return buffer_.get() + (offset - base_); }
  // Whether the window reaches the end of the file.
  bool at_eof() const noexcept { return eof_; }

  // Keeps the bytes from file offset `keep` on and reads what follows.
  // False on declining: a read error, a file shorter or longer than fstat
  // said, text that is not UTF-8, an element too long, no memory.
  bool refill(std::uint64_t keep) {
    // Bytes not yet checked as UTF-8 (an incomplete sequence) stay too.
    keep = std::min(keep, checked_);
    std::size_t kept = static_cast<std::size_t>(base_ + length_ - keep);
    if (kept == capacity_) {
      // One element fills the window: twice the room.
      if (kept > kMaxElement) return false;
      std::unique_ptr<Byte[]> larger = allocate(2 * capacity_);
      if (larger == nullptr) return false;
      std::memcpy(larger.get(), at(keep), kept);
      buffer_ = std::move(larger);
      capacity_ *= 2;
    } else {
      std::memmove(buffer_.get(), at(keep), kept);
    }
    base_ = keep;
    length_ = kept;
    std::uint64_t wanted = std::min<std::uint64_t>(capacity_ - length_, size_ - (base_ + length_));
    while (wanted > 0) {
      ssize_t got = ::pread(fd_, buffer_.get() + length_, wanted, base_ + length_);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;  // an error, or shorter than fstat said
      length_ += static_cast<std::size_t>(got);
      wanted -= static_cast<std::uint64_t>(got);
    }
    if (base_ + length_ == size_) {
      // Nothing past the size fstat gave (a file written meanwhile, or one
      // of /proc, whose size says nothing).
      Byte probe;
      ssize_t got;
      do {
        got = ::pread(fd_, &probe, 1, size_);
      } while (got < 0 && errno == EINTR);
      if (got != 0) return false;
      eof_ = true;
    }
    buffer_[length_] = 0;
    return check_utf8();
  }

 private:
  // Heap memory, not LargeArray: a fresh mapping per read costs its page
  // faults every time (measured: a fifth of the reader's time at 100,000
  // users), and one window of this size is all the heap keeps.
  static std::unique_ptr<Byte[]> allocate(std::size_t capacity) {
    Byte* bytes = new (std::nothrow) Byte[capacity + json::kPadding];
    if (bytes == nullptr) return nullptr;
    // The scanner's vector loads read into the padding; defined bytes there
    // keep memory checkers quiet.
    std::memset(bytes + capacity, 0, json::kPadding);
    return std::unique_ptr<Byte[]>(bytes);
  }

  // Checks the new bytes up to the last whole character (all of them at
  // the end of the file). Valid pieces joined are valid UTF-8, so checking
  // piece by piece is exactly checking the file.
  bool check_utf8() {
    const Byte* from = at(checked_);
    std::size_t size = static_cast<std::size_t>(end() - from);
    if (!eof_) size = whole_characters(from, size);
    if (!valid_utf8(from, size)) return false;
    checked_ += size;
    return true;
  }

  // The length of the longest prefix that does not end inside a sequence
  // that more bytes could complete.
  static std::size_t whole_characters(const Byte* p, std::size_t size) {
    for (std::size_t back = 1; back <= 3 && back <= size; ++back) {
      Byte c = p[size - back];
      if ((c & 0xC0) == 0x80) continue;  // a continuation byte: look further back
      if (c < 0xC0) return size;
      std::size_t sequence = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
      return back < sequence ? size - back : size;
    }
    return size;
  }

  int fd_;
  std::uint64_t size_ = 0;
  // capacity_ bytes of the file, then kPadding more for the scanner.
  std::unique_ptr<Byte[]> buffer_;
  std::size_t capacity_;
  std::uint64_t base_ = 0;  // file offset of buffer_[0]
  std::size_t length_ = 0;
  std::uint64_t checked_ = 0;  // UTF-8 checked up to this file offset
  bool eof_ = false;
};

// What one top-level element means to the store's scan.
enum class Record { skipped, indexed, stops_scan };

// The element at `p`: the byte after it (null on failure) and what it is.
const Byte* scan_element(json::Scanner& scanner, const Byte* p, Record& record, Digest& digest,
                         std::string& scratch) {
  if (*p != '{') {
    // record.get raises AttributeError in the store's scan.
    record = Record::stops_scan;
    return scanner.value(p, 1);
  }
  record = Record::skipped;
  return scanner.members(
      p, 2,
      [&](const Byte* name, const Byte* name_end, bool escaped, const Byte* value, int depth) {
        if (!name_is(name, name_end, escaped, kHashName, scratch))
          return scanner.value(value, depth);
        // The last member of the name is the one json.loads keeps.
        if (*value != '"') {
          // str() of an array or object might hold non-ASCII text; null,
          // true, false and numbers never give a stored hash's text.
          record = *value == '[' || *value == '{' ? Record::stops_scan : Record::skipped;
          return scanner.value(value, depth);
        }
        bool string_escaped = false;
        const Byte* close = scanner.string_end(value + 1, string_escaped);
        if (close == nullptr) return close;
        switch (classify_hash(value + 1, close, string_escaped, digest, scratch)) {
          case HashText::usable:
            record = Record::indexed;
            break;
          case HashText::stops_scan:
            record = Record::stops_scan;
            break;
          case HashText::never_matches:
            record = Record::skipped;
            break;
        }
        return close + 1;
      });
}

// Where the top-level scan stands between steps.
enum class Expect { open_bracket, first_element, separator, element, end_of_file };

// Where a scan begins: the file's start, or the start of element
// `element` (after its comma) when what comes before is already in the
// table: the first `entries` entries of `previous`.
struct ScanFrom {
  std::uint64_t offset = 0;
  Expect expect = Expect::open_bracket;
  std::size_t element = 0;
  bool stopped = false;
  std::size_t stop_element = 0;
  const KeyTable* previous = nullptr;
  std::size_t entries = 0;

  bool finish(KeyTable& table, std::size_t last, bool complete, std::size_t stop,
              std::uint64_t size) const {
    return previous != nullptr ? table.finish_after(*previous, entries, last, complete, stop, size)
                               : table.finish(complete, stop, size);
  }
};

// The end a changed file shares with the file `previous` was read from:
// from the element `next` of that file on, the new file holds the same
// bytes, `shift` bytes later, up to its end.
struct SharedTail {
  const KeyTable* previous;
  std::size_t next;
  std::int64_t shift;

  // Whether the scan of the new file, at an element's start `offset`, is
  // at the start of one of those elements (the candidates only move on,
  // as the scan does).
  bool meets(std::uint64_t offset) {
    std::span<const std::uint32_t> starts = previous->element_starts();
    while (next < starts.size() && starts[next] + shift < static_cast<std::int64_t>(offset)) ++next;
    return next < starts.size() && starts[next] + shift == static_cast<std::int64_t>(offset);
  }

  // Whether the previous scan looked at element `next` (it had not stopped
  // before it), so that the table holds what that element and the ones
  // after it mean.
  bool looked_at() const { return previous->stop_element() >= next; }

  // Ends the table with the shared elements: the same bytes in the same
  // state at a boundary between elements scan the same, so their starts
  // and records are the previous ones, moved.
  bool finish(KeyTable& table, const ScanFrom& from, std::size_t element, bool stopped,
              std::size_t stop_element, std::uint64_t size) const {
    std::span<const std::uint32_t> starts = previous->element_starts().subspan(next);
    if (!table.add_elements(starts, shift)) return false;
    std::span<const KeyTable::Entry> entries = previous->entries();
    std::size_t last = entries.size();
    if (!stopped) {
      std::uint64_t start = starts.front();
      last = static_cast<std::size_t>(std::partition_point(entries.begin(), entries.end(),
                                                           [start](const KeyTable::Entry& entry) {
                                                             return entry.span.offset < start;
                                                           }) -
                                      entries.begin());
      if (!table.add_entries(entries.subspan(last), shift)) return false;
      if (previous->stop_element() < previous->element_count()) {
        stopped = true;
        stop_element = element + (previous->stop_element() - next);
      }
    }
    return from.finish(table, last, !stopped, stopped ? stop_element : element + starts.size(),
                       size);
  }
};

// Scans the file in `window` from `from` to its end, or to where it meets
// `tail` (null: no tail), and finishes `table`. `scanned_to` tells where
// the scan ended.
bool scan_registry(Window& window, KeyTable& table, const ScanFrom& from, SharedTail* tail,
                   std::uint64_t& scanned_to) {
  Expect expect = from.expect;
  std::uint64_t resume = from.offset;  // file offset of the next step
  std::size_t element = from.element;  // index of the next element
  bool stopped = from.stopped;
  std::size_t stop_element = from.stop_element;
  std::string scratch;
  for (;;) {
    const Byte* end = window.end();
    json::Scanner scanner(end);
    const Byte* p = window.at(resume);
    for (;;) {
      p = scanner.skip_whitespace(p);
      resume = window.offset_of(p);
      if (p == end) break;
      if (expect == Expect::open_bracket) {
        if (*p != '[') return false;  // not an array: the store raises
        ++p;
        expect = Expect::first_element;
        continue;
      }
      if (expect == Expect::separator || expect == Expect::first_element) {
        if (*p == ']') {
          ++p;
          expect = Expect::end_of_file;
          continue;
        }
        if (expect == Expect::separator) {
          if (*p != ',') return false;
          ++p;
          expect = Expect::element;
          continue;
        }
      }
      if (expect == Expect::end_of_file) return false;  // extra data after the array
      // At an element's start, between elements: no string or nesting is
      // open here, and the bytes before `p` are checked UTF-8 (`*p` is
      // in the window, so no incomplete character ends before it).
      if (tail != nullptr && tail->meets(resume)) {
        if (stopped || tail->looked_at()) {
          scanned_to = resume;
          return tail->finish(table, from, element, stopped, stop_element, window.size());
        }
        // The previous scan stopped before these elements and left them
        // unread; this one has not stopped: each must be looked at here.
        tail = nullptr;
      }
      Record record = Record::stops_scan;
      Digest digest;
      const Byte* after =
          stopped ? scanner.value(p, 1) : scan_element(scanner, p, record, digest, scratch);
      if (after == nullptr) {
        if (scanner.ran_out()) break;  // the element goes on past the window
        return false;
      }
      if (static_cast<std::uint64_t>(after - p) > kMaxElement) return false;
      if (!table.add_element(resume)) return false;
      if (!stopped) {
        if (record == Record::indexed) {
          if (!table.add(digest, {resume, static_cast<std::uint32_t>(after - p)})) return false;
        } else if (record == Record::stops_scan) {
          // Nothing after it is indexed, but the rest must still be valid:
          // json.loads reads all of it before the scan begins.
          stopped = true;
          stop_element = element;
        }
      }
      ++element;
      p = after;
      expect = Expect::separator;
    }
    if (window.at_eof()) {
      if (expect != Expect::end_of_file) return false;
      scanned_to = window.size();
      return from.finish(table, from.previous != nullptr ? from.previous->size() : 0, !stopped,
                         stopped ? stop_element : element, window.size());
    }
    if (!window.refill(resume)) return false;
  }
}

// Reads exactly `size` bytes at `offset`: false on an error or an early
// end of the file.
bool read_exactly(int fd, Byte* into, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    ssize_t got = ::pread(fd, into, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    into += got;
    size -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

// Whether nothing lies past `size` in the file (as the window checks).
bool ends_at(int fd, std::uint64_t size) {
  Byte probe;
  ssize_t got;
  do {
    got = ::pread(fd, &probe, 1, static_cast<off_t>(size));
  } while (got < 0 && errno == EINTR);
  return got == 0;
}

// Two files' bytes compared a block at a time: small enough for both blocks
// to stay in the processor's cache between the read and the comparison
// (measured: 64 KiB beat 16, 32 and 128 at 100,000 users).
class Comparison {
 public:
  static constexpr std::size_t kBlock = 64 * 1024;

  Comparison(int a, int b) : a_(a), b_(b), buffer_(new Byte[2 * kBlock]) {}

  // How many bytes the files share at their start, within the first `limit`.
  bool common_start(std::uint64_t limit, std::uint64_t& length) {
    for (std::uint64_t at = 0; at < limit; at += kBlock) {
      std::size_t block = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, limit - at));
      if (!read_both(block, at, at)) return false;
      if (std::memcmp(a_block(), b_block(), block) != 0) {
        length = at + static_cast<std::uint64_t>(
                          std::mismatch(a_block(), a_block() + block, b_block()).first - a_block());
        return true;
      }
    }
    length = limit;
    return true;
  }

  // How many bytes the files share at their end (sizes `a_size` and
  // `b_size`), at most `limit`.
  bool common_end(std::uint64_t a_size, std::uint64_t b_size, std::uint64_t limit,
                  std::uint64_t& length) {
    for (std::uint64_t at = 0; at < limit; at += kBlock) {
      std::size_t block = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, limit - at));
      if (!read_both(block, a_size - at - block, b_size - at - block)) return false;
      if (std::memcmp(a_block(), b_block(), block) != 0) {
        std::size_t same = 0;
        while (a_block()[block - 1 - same] == b_block()[block - 1 - same]) ++same;
        length = at + same;
        return true;
      }
    }
    length = limit;
    return true;
  }

 private:
  Byte* a_block() const { return buffer_.get(); }
  Byte* b_block() const { return buffer_.get() + kBlock; }
  bool read_both(std::size_t block, std::uint64_t a_offset, std::uint64_t b_offset) {
    return read_exactly(a_, a_block(), block, a_offset) &&
           read_exactly(b_, b_block(), block, b_offset);
  }

  int a_, b_;
  std::unique_ptr<Byte[]> buffer_;
};

// The reuse of reread_registry, or false where it cannot be proved exact
// (then the whole file is read); `declined` tells a decline of the scan.
bool reread_shared(int fd, int previous_fd, const KeyTable& previous, KeyTable& table,
                   const RereadOptions& options, std::uint64_t& scanned, bool& declined) {
  struct stat info, previous_info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
      ::fstat(previous_fd, &previous_info) != 0 || !S_ISREG(previous_info.st_mode)) {
    return false;
  }
  std::uint64_t size = static_cast<std::uint64_t>(info.st_size);
  std::uint64_t previous_size = previous.file_size();
  if (size < options.min_size ||
      static_cast<std::uint64_t>(previous_info.st_size) != previous_size) {
    return false;
  }
  std::span<const std::uint32_t> starts = previous.element_starts();
  Comparison compare(previous_fd, fd);

  // The prefix: the elements before the last one that starts within the
  // shared start. The bytes before that element's start are the same, so
  // a scan reaches it in the same state, after a comma with the nesting
  // and UTF-8 closed; from there on the new file is scanned. (The first
  // element is never taken: it follows '[', not a comma, and starting
  // over costs one bracket.)
  std::uint64_t same_start;
  if (!compare.common_start(std::min(size, previous_size), same_start)) return false;
  std::size_t kept = static_cast<std::size_t>(
      std::upper_bound(starts.begin(), starts.end(), same_start) - starts.begin());
  kept = kept > 1 ? kept - 1 : 0;
  std::uint64_t resume = kept > 0 ? starts[kept] : 0;

  // The tail: the elements that start within the shared end, no earlier in
  // the new file than the scan resumes.
  std::uint64_t same_end;
  if (!compare.common_end(previous_size, size, std::min(previous_size, size - resume), same_end)) {
    return false;
  }
  SharedTail tail{&previous,
                  static_cast<std::size_t>(
                      std::lower_bound(starts.begin(), starts.end(), previous_size - same_end) -
                      starts.begin()),
                  static_cast<std::int64_t>(size) - static_cast<std::int64_t>(previous_size)};
  bool has_tail = tail.next < starts.size();
  if ((kept == 0 && !has_tail) || !ends_at(fd, size)) return false;

  if (!table.reserve(previous.size() + 1, starts.size() + 1) ||
      !table.add_elements(starts.first(kept), 0)) {
    return false;
  }
  std::span<const KeyTable::Entry> entries = previous.entries();
  auto prefix_end = std::partition_point(
      entries.begin(), entries.end(),
      [resume](const KeyTable::Entry& entry) { return entry.span.offset < resume; });
  if (!table.add_entries(entries.first(prefix_end - entries.begin()), 0)) return false;

  ScanFrom from;
  from.previous = &previous;
  from.entries = static_cast<std::size_t>(prefix_end - entries.begin());
  if (kept > 0) {
    from.offset = resume;
    from.expect = Expect::element;
    from.element = kept;
    from.stopped = previous.stop_element() < kept;
    from.stop_element = previous.stop_element();
  }
  // The changed stretch is usually one record: a whole chunk would be read
  // and checked for nothing (the window still grows for a longer one).
  Window window(fd, std::min(options.chunk_size, kRereadChunkSize));
  std::uint64_t scanned_to = 0;
  declined = !window.open(resume) || window.size() != size ||
             !scan_registry(window, table, from, has_tail ? &tail : nullptr, scanned_to);
  scanned = scanned_to - resume;
  return true;
}

}  // namespace

bool read_registry(int fd, KeyTable& table, std::size_t chunk_size) {
  table.clear();
  try {
    Window window(fd, chunk_size);
    std::uint64_t scanned_to = 0;
    if (window.open() && scan_registry(window, table, ScanFrom{}, nullptr, scanned_to)) {
      return true;
    }
  } catch (const std::bad_alloc&) {  // a scratch string
  }
  table.clear();
  return false;
}

bool reread_registry(int fd, int previous_fd, const KeyTable& previous, KeyTable& table,
                     const RereadOptions& options, std::uint64_t* scanned) {
  table.clear();
  std::uint64_t parsed = 0;
  bool declined = false;
  bool reused = false;
  if (previous.layout_known()) {
    try {
      reused = reread_shared(fd, previous_fd, previous, table, options, parsed, declined);
    } catch (const std::bad_alloc&) {  // a buffer or a scratch string
      reused = false;
    }
  }
  if (!reused) {
    table.clear();
    // A caller tells a stale handle from errno after a decline: not one of
    // the previous file's, whose bytes were only compared.
    errno = 0;
    bool read = read_registry(fd, table, options.chunk_size);
    if (scanned != nullptr) *scanned = read ? table.file_size() : 0;
    return read;
  }
  if (scanned != nullptr) *scanned = parsed;
  if (declined) table.clear();
  return !declined;
}

bool read_record(std::string_view bytes, const Digest& expected, RecordFields& out) {
  out = RecordFields{};
  try {
    const auto* data = reinterpret_cast<const Byte*>(bytes.data());
    if (!valid_utf8(data, bytes.size())) return false;
    // The scanner needs its NUL and padding after the bytes.
    std::unique_ptr<Byte[]> copy(new Byte[bytes.size() + json::kPadding]());
    std::memcpy(copy.get(), data, bytes.size());
    const Byte* end = copy.get() + bytes.size();
    json::Scanner scanner(end);
    const Byte* p = scanner.skip_whitespace(copy.get());
    if (*p != '{') return false;

    // api_key_hash, user_id, description, created_at: bit i once seen.
    static constexpr std::string_view kFields[] = {kHashName, "user_id", "description",
                                                   "created_at"};
    std::string* targets[] = {nullptr, &out.user_id, &out.description, &out.created_at};
    unsigned seen = 0;
    std::string scratch;
    p = scanner.members(
        p, 2,
        [&](const Byte* name, const Byte* name_end, bool escaped, const Byte* value,
            int depth) -> const Byte* {
          int field = 0;
          while (field < 4 && !name_is(name, name_end, escaped, kFields[field], scratch)) ++field;
          if (field == 4) return scanner.value(value, depth);
          if ((seen & (1u << field)) != 0 || *value != '"') return nullptr;
          seen |= 1u << field;
          bool string_escaped = false;
          const Byte* close = scanner.string_end(value + 1, string_escaped);
          if (close == nullptr) return nullptr;
          if (field == 0) {
            Digest digest;
            if (classify_hash(value + 1, close, string_escaped, digest, scratch) !=
                    HashText::usable ||
                digest != expected) {
              return nullptr;
            }
          } else if (string_escaped) {
            bool lone_surrogate = false;
            json::decode_string(value + 1, close, *targets[field], lone_surrogate);
            if (lone_surrogate) return nullptr;
          } else {
            targets[field]->assign(reinterpret_cast<const char*>(value + 1), close - value - 1);
          }
          return close + 1;
        });
    if (p == nullptr || scanner.skip_whitespace(p) != end) return false;
    return (seen & 3u) == 3u;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace vardun::key_index
