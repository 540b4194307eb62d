// The key index's native reader of the registry: the table of stored key
// hashes from the file's bytes (or from what a changed file shares with the
// last one read), and the fields of one record, with no Python involved
// (safe without the interpreter lock).
//
// The answer must be the store's own: `read_text(encoding="utf-8")`, then
// json.loads, then its scan of the records in file order with
// hmac.compare_digest(str(record.get("api_key_hash", "")), expected). So
// the functions decline (return false) whenever they cannot prove that
// this would give exactly what they give: text that is not strict UTF-8,
// anything but strict RFC 8259 JSON, nesting deeper than 64 levels, an
// integer of more than 640 digits, a read error, a file that does not end
// where fstat said. The index then asks the store itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "key_table.hpp"

namespace vardun::key_index {

constexpr std::size_t kDefaultChunkSize = std::size_t{1} << 20;

// Reads the registry open at `fd` from offset 0 (pread: the file offset is
// neither used nor moved) and builds `table`; false, with `table` cleared,
// on declining. The table holds, for the records before the first one the
// store's scan would fail on, the first record of each usable hash:
// - the top level must be an array;
// - an element that is not an object stops the scan (`complete` false);
// - a record's effective api_key_hash is the last of that name; absent,
//   null, a number, true or false never match (the record is skipped); a
//   string holding a non-ASCII character stops the scan (compare_digest
//   raises TypeError), and so does an array or an object; a string that
//   is "sha256:" and 64 lower-case hex digits once decoded is indexed by
//   its digest; any other string never matches.
// The file is read `chunk_size` bytes at a time (more only for an element
// that does not fit), so memory does not grow with the file.
// The table also keeps the file's layout (key_table.hpp) for a later read.
bool read_registry(int fd, KeyTable& table, std::size_t chunk_size = kDefaultChunkSize);

struct RereadOptions {
  std::size_t chunk_size = kDefaultChunkSize;
  // Below this size a whole read costs microseconds: nothing is reused.
  std::uint64_t min_size = 4096;
};

// Exactly read_registry(fd, table)'s outcome, declines included, but
// scanning only what lies between the bytes the file at `fd` shares, at its
// start and at its end, with the file at `previous_fd`, from which
// `previous` was read (by either function). The caller vouches that this
// file still holds what was read (fstat cannot tell more); its size is
// checked. Both files are compared byte for byte, and the previous
// table's records and layout are taken only where that proves them the
// new file's: whole elements before the first change (the scan resumes at
// an element's start, after the same bytes), and from an element's start
// that the scan of the changed stretch reaches at a boundary between
// elements, as far as the same bytes go on to the end. Anything else
// (nothing shared, no layout in `previous`, a small file, a file that does
// not end where fstat said) reads the whole file. `scanned` (optional)
// tells how many bytes were parsed.
bool reread_registry(int fd, int previous_fd, const KeyTable& previous, KeyTable& table,
                     const RereadOptions& options = {}, std::uint64_t* scanned = nullptr);

// The fields of one record, from its bytes as read back at its span: true
// only when the bytes are one JSON object whose api_key_hash is a string
// with digest `expected`, whose user_id is a string and whose description
// and created_at are strings or absent (then ""); none of these four names
// twice and no lone surrogate escape in their values. The strings come
// back as UTF-8 (they may hold NUL).
struct RecordFields {
  std::string user_id, description, created_at;
};
bool read_record(std::string_view bytes, const Digest& expected, RecordFields& out);

}  // namespace vardun::key_index
