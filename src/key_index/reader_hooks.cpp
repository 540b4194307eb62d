#include "reader_hooks.hpp"

#include <fcntl.h>

#include <time.h>

#include <cerrno>
#include <cstdint>
#include <tuple>
#include <vector>
#include <algorithm>
#include <string>
#include <utility>

#include "posix.hpp"
#include "registry_reader.hpp"

namespace vardun::key_index {

namespace {

// The table of the registry at `path`, read without the interpreter lock:
// false when the reader declined.
bool read_table_at(PyObject* path, Py_ssize_t chunk_size, KeyTable& table) {
  if (chunk_size < 1 || chunk_size > (Py_ssize_t{1} << 30)) {
    PyErr_SetString(PyExc_ValueError, "chunk_size must be between 1 and 2**30");
    throw_python_error();
  }
  std::string name = posix::fs_name(path);
  auto [error, read] = posix::without_lock([&] {
    posix::Fd fd(posix::open_at(AT_FDCWD, name.c_str(), O_RDONLY));
    if (!fd) return std::pair{errno, false};
    return std::pair{0, read_registry(fd.get(), table, static_cast<std::size_t>(chunk_size))};
  });
  if (error != 0) posix::raise_errno(error, path);
  return read;
}

bool parse_table_args(PyObject* args, PyObject* kwargs, const char* format, PyObject*& path,
                      Py_ssize_t& chunk_size) {
  static const char* names[] = {"path", "chunk_size", nullptr};
  chunk_size = static_cast<Py_ssize_t>(kDefaultChunkSize);
  return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), &path,
                                     &chunk_size) != 0;
}

// The table of the registry at `path` read again after `previous_path`,
// a path or a list of paths read in turn (the first whole, each next one
// again after the one before), all without the interpreter lock: false
// when the reader declined. `previous` is the table read last before it.
// `nanoseconds` and `cpu_nanoseconds` (optional) time the last read alone,
// on this thread's clocks; `reuse` false makes it a whole read, for
// comparison.
bool reread_table_at(PyObject* path, PyObject* previous_path, const RereadOptions& options,
                     bool reuse, KeyTable& previous, KeyTable& table, std::uint64_t& scanned,
                     std::int64_t* nanoseconds = nullptr, std::int64_t* cpu_nanoseconds = nullptr) {
  if (options.chunk_size < 1 || options.chunk_size > (std::size_t{1} << 30)) {
    PyErr_SetString(PyExc_ValueError, "chunk_size must be between 1 and 2**30");
    throw_python_error();
  }
  std::vector<Ref> paths;
  if (PyList_Check(previous_path) || PyTuple_Check(previous_path)) {
    Ref items = Ref::own(PySequence_Tuple(previous_path));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
      paths.push_back(Ref::borrow(PyTuple_GET_ITEM(items.get(), i)));
    }
  } else {
    paths.push_back(Ref::borrow(previous_path));
  }
  if (paths.empty()) {
    PyErr_SetString(PyExc_ValueError, "previous_path must name at least one file");
    throw_python_error();
  }
  paths.push_back(Ref::borrow(path));
  std::vector<std::string> names;
  for (const Ref& each : paths) names.push_back(posix::fs_name(each.get()));
  auto now = [](clockid_t clock) {
    struct timespec time;
    ::clock_gettime(clock, &time);
    return std::int64_t{time.tv_sec} * 1'000'000'000 + time.tv_nsec;
  };
  auto [error, failed, read] = posix::without_lock([&] {
    posix::Fd previous_fd;
    bool done = false;
    for (std::size_t i = 0; i < names.size(); ++i) {
      posix::Fd fd(posix::open_at(AT_FDCWD, names[i].c_str(), O_RDONLY));
      if (!fd) return std::tuple{errno, i, false};
      bool last = i + 1 == names.size();
      std::int64_t began = now(CLOCK_MONOTONIC), cpu_began = now(CLOCK_THREAD_CPUTIME_ID);
      KeyTable next;
      if (i == 0 || (last && !reuse)) {
        done = read_registry(fd.get(), next, options.chunk_size);
        scanned = done ? next.file_size() : 0;
      } else {
        done = reread_registry(fd.get(), previous_fd.get(), previous, next, options, &scanned);
      }
      if (last) {
        if (nanoseconds != nullptr) *nanoseconds = now(CLOCK_MONOTONIC) - began;
        if (cpu_nanoseconds != nullptr) {
          *cpu_nanoseconds = now(CLOCK_THREAD_CPUTIME_ID) - cpu_began;
        }
        table = std::move(next);
      } else {
        previous = std::move(next);
        previous_fd = std::move(fd);
      }
    }
    return std::tuple{0, std::size_t{0}, done};
  });
  if (error != 0) posix::raise_errno(error, paths[failed].get());
  return read;
}

bool parse_reread_args(PyObject* args, PyObject* kwargs, const char* format, PyObject*& path,
                       PyObject*& previous_path, RereadOptions& options, int& reuse) {
  static const char* names[] = {"path",     "previous_path", "chunk_size",
                                "min_size", "reuse",         nullptr};
  Py_ssize_t chunk_size = static_cast<Py_ssize_t>(kDefaultChunkSize);
  unsigned long long min_size = options.min_size;
  reuse = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), &path,
                                   &previous_path, &chunk_size, &min_size, &reuse)) {
    return false;
  }
  options.chunk_size = chunk_size < 1 ? 0 : static_cast<std::size_t>(chunk_size);
  options.min_size = min_size;
  return true;
}

Ref hash_text(const Digest& digest) {
  static const char kHex[] = "0123456789abcdef";
  std::string text = "sha256:";
  for (unsigned char byte : digest) {
    text += kHex[byte >> 4];
    text += kHex[byte & 15];
  }
  return Ref::own(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// (complete, [(key_hash, offset, length), ...]) of a table.
Ref table_value(const KeyTable& table) {
  const auto& entries = table.entries();
  Ref records = Ref::own(PyList_New(static_cast<Py_ssize_t>(entries.size())));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    Ref key_hash = hash_text(entries[i].digest);
    RecordSpan span = entries[i].span;
    PyObject* record =
        Py_BuildValue("(OKk)", key_hash.get(), static_cast<unsigned long long>(span.offset),
                      static_cast<unsigned long>(span.length));
    if (record == nullptr) throw_python_error();
    PyList_SET_ITEM(records.get(), static_cast<Py_ssize_t>(i), record);
  }
  return Ref::own(Py_BuildValue("(OO)", table.complete() ? Py_True : Py_False, records.get()));
}

PyObject* read_table(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* path;
    Py_ssize_t chunk_size;
    if (!parse_table_args(args, kwargs, "O|n:_read_table", path, chunk_size)) {
      throw_python_error();
    }
    KeyTable table;
    if (!read_table_at(path, chunk_size, table)) Py_RETURN_NONE;
    return table_value(table).release();
  });
}

// Raises AssertionError unless `table` finds each of its entries, and none
// of `previous`'s digests that it does not hold: its entries say nothing of
// its slots, which a re-read may have mended rather than built.
void check_lookups(const KeyTable& previous, const KeyTable& table) {
  std::vector<Digest> held;
  for (const KeyTable::Entry& entry : table.entries()) {
    const RecordSpan* found = table.find(entry.digest);
    if (found != &entry.span) {
      PyErr_SetString(PyExc_AssertionError, "the table does not find one of its entries");
      throw_python_error();
    }
    held.push_back(entry.digest);
  }
  std::sort(held.begin(), held.end());
  for (const KeyTable::Entry& entry : previous.entries()) {
    if (table.find(entry.digest) != nullptr &&
        !std::binary_search(held.begin(), held.end(), entry.digest)) {
      PyErr_SetString(PyExc_AssertionError, "the table finds a digest it does not hold");
      throw_python_error();
    }
  }
}

PyObject* reread_table(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject *path, *previous_path;
    RereadOptions options;
    int reuse;
    if (!parse_reread_args(args, kwargs, "OO|nKp:_reread_table", path, previous_path, options,
                           reuse)) {
      throw_python_error();
    }
    KeyTable previous, table;
    std::uint64_t scanned = 0;
    bool read = reread_table_at(path, previous_path, options, reuse != 0, previous, table, scanned);
    if (read) check_lookups(previous, table);
    Ref result = read ? table_value(table) : Ref::borrow(Py_None);
    return Py_BuildValue("(OK)", result.get(), static_cast<unsigned long long>(scanned));
  });
}

PyObject* reread_summary(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject *path, *previous_path;
    RereadOptions options;
    int reuse;
    if (!parse_reread_args(args, kwargs, "OO|nKp:_reread_summary", path, previous_path, options,
                           reuse)) {
      throw_python_error();
    }
    KeyTable previous, table;
    std::uint64_t scanned = 0;
    std::int64_t nanoseconds = 0, cpu_nanoseconds = 0;
    if (!reread_table_at(path, previous_path, options, reuse != 0, previous, table, scanned,
                         &nanoseconds, &cpu_nanoseconds)) {
      Py_RETURN_NONE;
    }
    return Py_BuildValue("{s:O,s:n,s:K,s:L,s:L}", "complete", table.complete() ? Py_True : Py_False,
                         "records", static_cast<Py_ssize_t>(table.size()), "scanned",
                         static_cast<unsigned long long>(scanned), "ns",
                         static_cast<long long>(nanoseconds), "cpu_ns",
                         static_cast<long long>(cpu_nanoseconds));
  });
}

PyObject* table_summary(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* path;
    Py_ssize_t chunk_size;
    if (!parse_table_args(args, kwargs, "O|n:_table_summary", path, chunk_size)) {
      throw_python_error();
    }
    KeyTable table;
    if (!read_table_at(path, chunk_size, table)) Py_RETURN_NONE;
    return Py_BuildValue("(Onn)", table.complete() ? Py_True : Py_False,
                         static_cast<Py_ssize_t>(table.size()),
                         static_cast<Py_ssize_t>(table.memory_bytes()));
  });
}

// "sha256:" and 64 lower-case hex digits, as a digest.
Digest digest_argument(PyObject* key_hash) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(key_hash, &size);
  if (text == nullptr) throw_python_error();
  Digest digest;
  auto nibble = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  bool ok = size == 71 && std::string_view(text, 7) == "sha256:";
  for (std::size_t i = 0; ok && i < digest.size(); ++i) {
    int high = nibble(text[7 + 2 * i]), low = nibble(text[8 + 2 * i]);
    ok = high >= 0 && low >= 0;
    digest[i] = static_cast<unsigned char>(high << 4 | low);
  }
  if (!ok) {
    PyErr_SetString(PyExc_ValueError, "key_hash must be 'sha256:' and 64 lower-case hex digits");
    throw_python_error();
  }
  return digest;
}

Ref text_of(const std::string& utf8) {
  return Ref::own(
      PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict"));
}

PyObject* read_record_hook(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static const char* names[] = {"data", "key_hash", nullptr};
    Py_buffer data;
    PyObject* key_hash;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*U:_read_record", const_cast<char**>(names),
                                     &data, &key_hash)) {
      throw_python_error();
    }
    struct Release {
      Py_buffer* view;
      ~Release() { PyBuffer_Release(view); }
    } release{&data};
    Digest expected = digest_argument(key_hash);
    RecordFields fields;
    if (!read_record(std::string_view(static_cast<const char*>(data.buf),
                                      static_cast<std::size_t>(data.len)),
                     expected, fields)) {
      Py_RETURN_NONE;
    }
    Ref user_id = text_of(fields.user_id), description = text_of(fields.description),
        created_at = text_of(fields.created_at);
    return PyTuple_Pack(3, user_id.get(), description.get(), created_at.get());
  });
}

}  // namespace

PyMethodDef reader_hook_methods[] = {
    {"_read_table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_table)),
     METH_VARARGS | METH_KEYWORDS,
     "_read_table($module, /, path, chunk_size=1048576)\n--\n\n"
     "The native reader's table of the registry at path: None when it declines, else (complete, "
     "[(key_hash, offset, length), ...]) in file order. For tests."},
    {"_reread_table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reread_table)),
     METH_VARARGS | METH_KEYWORDS,
     "_reread_table($module, /, path, previous_path, chunk_size=1048576, min_size=4096, "
     "reuse=True)\n--\n\n"
     "The registry at path read again after the one at previous_path (or after a list of "
     "paths, each read again after the one before), reusing what they share: (the table as "
     "_read_table gives it, bytes parsed). Raises AssertionError when the table does not find "
     "exactly its entries. For tests."},
    {"_reread_summary", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reread_summary)),
     METH_VARARGS | METH_KEYWORDS,
     "_reread_summary($module, /, path, previous_path, chunk_size=1048576, min_size=4096, "
     "reuse=True)\n--\n\n"
     "None, or {complete, records, scanned, ns, cpu_ns} of the read of path after "
     "previous_path (the second read alone, timed on this thread; reuse=False reads it whole). "
     "For the benchmark."},
    {"_table_summary", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(table_summary)),
     METH_VARARGS | METH_KEYWORDS,
     "_table_summary($module, /, path, chunk_size=1048576)\n--\n\n"
     "None, or (complete, records, memory_bytes) of the native reader's table. For the "
     "benchmark."},
    {"_read_record", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_record_hook)),
     METH_VARARGS | METH_KEYWORDS,
     "_read_record($module, /, data, key_hash)\n--\n\n"
     "(user_id, description, created_at) of one record's bytes whose key hash is key_hash, or "
     "None. For tests."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vardun::key_index
