#include "reader_hooks.hpp"

#include <fcntl.h>

#include <cerrno>
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

Ref hash_text(const Digest& digest) {
  static const char kHex[] = "0123456789abcdef";
  std::string text = "sha256:";
  for (unsigned char byte : digest) {
    text += kHex[byte >> 4];
    text += kHex[byte & 15];
  }
  return Ref::own(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
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
    return Py_BuildValue("(OO)", table.complete() ? Py_True : Py_False, records.get());
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
