// Store construction and the registry file: where a store keeps its files,
// loading the whole registry, and replacing it atomically.
#include <optional>

#include "bodies.hpp"
#include "directory_tree.hpp"
#include "python_ops.hpp"
#include "registry_objects.hpp"
#include "registry_text.hpp"
#include "standard_json.hpp"
#include "store_files.hpp"
#include "store_helpers.hpp"

namespace vardun::bodies {

Ref store_init(const Call& call) {
  const ModuleState& s = call.state;
  PyObject* self = call.arg(0);
  PyObject* base_dir = call.arg(1);

  // from vardun.config import CONFIG_DIR, before base_dir is looked at.
  Ref config = py::import_module(s.config_module, call.globals, s.from_config_dir);
  Ref config_dir = py::import_from(config.get(), s.CONFIG_DIR);

  Ref path_type = call.global(s.Path);
  PyObject* chosen = py::truth(base_dir) ? base_dir : config_dir.get();
  py::setattr(self, s.base_dir, py::call(path_type.get(), {chosen}).get());
  // A base directory the store creates is private; its missing parents and
  // an existing one keep their modes.
  Ref private_mode = owner_rwx_mode(call);
  make_private_directories(call, py::getattr(self, s.base_dir).get(), private_mode.get());

  py::setattr(self, s.users_dir, py::divide(py::getattr(self, s.base_dir).get(), s.users).get());
  make_directories(call, py::getattr(self, s.users_dir).get());
  // users_dir.chmod(0o700), made on the directory itself: pathlib's chmod
  // would follow a link put there and chmod whatever it points to.
  Ref users_dir = py::getattr(self, s.users_dir);
  directory_tree::chmod_directory(posix::fs_name(users_dir.get()), mode_of(private_mode));

  py::setattr(self, s.path, py::divide(py::getattr(self, s.base_dir).get(), s.registry_name).get());
  py::setattr(self, s.lock_path,
              py::divide(py::getattr(self, s.base_dir).get(), s.lock_name).get());
  return Ref::borrow(Py_None);
}

namespace {

// Whether `path` is a PosixPath whose exists and stat are pathlib's own.
bool asks_only_stat(const ModuleState& s, PyObject* path) {
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(path));
  return type == s.posix_path && py::getattr(type, s.exists).get() == s.posix_path_exists &&
         py::getattr(type, s.stat).get() == s.posix_path_stat;
}

// `except json.JSONDecodeError:` for `error`: the class is looked up only
// now, as the except clause would, with `error` being handled meanwhile.
bool is_json_decode_error(const Call& call, const PendingError& error) {
  HandlingScope handling(error.value());
  Ref json = call.global(call.state.json);
  Ref decode_error = py::getattr(json.get(), call.state.JSONDecodeError);
  if (!PyExceptionClass_Check(decode_error.get())) {
    py::raise(PyExc_TypeError,
              "catching classes that do not inherit from BaseException is not allowed");
  }
  return error.matches(decode_error.get());
}

// What path.read_text(encoding="utf-8") makes of the registry's bytes: the
// same UTF-8 decoding and the same universal newlines as a text-mode read.
Ref registry_text_of(std::string_view content) {
  Ref text = Ref::own(
      PyUnicode_DecodeUTF8(content.data(), static_cast<Py_ssize_t>(content.size()), "strict"));
  if (content.find('\r') == std::string_view::npos) return text;
  Ref crlf = Ref::own(PyUnicode_FromString("\r\n"));
  Ref cr = Ref::own(PyUnicode_FromString("\r"));
  Ref lf = Ref::own(PyUnicode_FromString("\n"));
  Ref joined = Ref::own(PyUnicode_Replace(text.get(), crlf.get(), lf.get(), -1));
  return Ref::own(PyUnicode_Replace(joined.get(), cr.get(), lf.get(), -1));
}

bool is_stale_handle(const PendingError& error) {
  if (!error.matches(PyExc_OSError)) return false;
  PyObject* number = reinterpret_cast<PyOSErrorObject*>(error.value())->myerrno;
  int overflow = 0;
  return number != nullptr && PyLong_Check(number) &&
         PyLong_AsLongAndOverflow(number, &overflow) == ESTALE;
}

// path.exists(). On a file system shared between hosts it can answer ESTALE
// where another host has replaced the registry (posix::StaleRetry); pathlib's
// own exists() on a PosixPath only asks stat, so there asking again after a
// fresh look-up of the name is the same call. Anything else is asked once.
bool registry_exists(const ModuleState& s, PyObject* path) {
  std::string name;
  std::optional<posix::StaleRetry> retry;
  for (;;) {
    std::optional<PendingError> stale;
    Ref answer = catch_all([&] { return py::call_method(path, s.exists); },
                           [&]() -> Ref {
                             PendingError error = PendingError::from_current_exception();
                             if (!is_stale_handle(error) || !asks_only_stat(s, path)) {
                               error.rethrow();
                             }
                             stale.emplace(std::move(error));
                             return Ref();
                           });
    if (!stale) return py::truth(answer.get());
    if (!retry) {
      name = posix::fs_name(path);
      retry.emplace(name);
    }
    if (!posix::without_lock([&] { return retry->again(); })) stale->rethrow();
  }
}

// What json.loads(text) would make of the registry's bytes `content`, made
// natively, or Ref() when it is left to json.loads.
//
// The objects stand for a call of json.loads made at the guard's check,
// right after the read, as the original call is: what they are made from
// afterwards is the bytes alone, never anything of json's, so another
// thread that changes json while the scan runs without the interpreter
// lock changes only what later calls see.
Ref native_objects(const Call& call, PyObject* json, PyObject* loads, std::string& content) {
  if (!standard_json::loads_unchanged(call.state.json_found, json, loads)) return Ref();
  // json.loads goes one frame deeper per level of nesting, beyond a few of
  // its own: nesting this much shallower than the frames left surely fits.
  constexpr int kFramesBeyondNesting = 16;
  int max_depth = PyThreadState_Get()->recursion_remaining - kFramesBeyondNesting;
  if (max_depth < 1) return Ref();

  std::size_t size = content.size();
  content.resize(size + registry_objects::kPadding);  // zeros, in the room kept
  const auto* bytes = reinterpret_cast<const unsigned char*>(content.data());
  registry_objects::Values values;
  // The scan touches nothing of Python; a large one lets other threads run.
  constexpr std::size_t kScannedWithLock = std::size_t{64} << 10;
  bool listed = size < kScannedWithLock
                    ? values.list(bytes, size, max_depth)
                    : posix::without_lock([&] { return values.list(bytes, size, max_depth); });
  content.resize(size);
  return listed ? values.build() : Ref();
}

}  // namespace

Ref load(const Call& call) {
  const ModuleState& s = call.state;
  PyObject* self = call.arg(0);
  Ref path = py::getattr(self, s.path);
  if (!registry_exists(s, path.get())) return Ref::own(PyList_New(0));

  Ref raw = catch_all(
      [&] {
        Ref json = call.global(s.json);
        Ref loads = py::getattr(json.get(), s.loads);
        // path.read_text(encoding="utf-8"), read from a regular file only
        // (pathlib would open a named pipe there and wait forever).
        std::string content = store_files::read_regular_file(
            posix::fs_name(py::getattr(self, s.path).get()), registry_objects::kPadding);
        // json.loads(text): while that call would run the standard decoder
        // unchanged, the same objects are made natively; any text that
        // decoder is not sure of goes to json.loads itself, and so does
        // every text once anything it reads has been replaced.
        if (Ref made = native_objects(call, json.get(), loads.get(), content)) return made;
        Ref text = registry_text_of(content);
        return py::call(loads.get(), {text.get()});
      },
      [&]() -> Ref {
        PendingError error = PendingError::from_current_exception();
        if (!is_json_decode_error(call, error)) error.rethrow();
        HandlingScope handling(error.value());
        Ref shown = py::format(py::getattr(self, s.path).get());
        py::raise_from(PyExc_ValueError, py::add(s.corrupt_message, shown.get()).get(),
                       error.value());
      });
  if (!PyList_Check(raw.get())) {
    Ref shown = py::format(py::getattr(self, s.path).get());
    py::raise(PyExc_ValueError, py::add(s.not_array_message, shown.get()).get());
  }
  return raw;
}

Ref save(const Call& call) {
  const ModuleState& s = call.state;
  PyObject* self = call.arg(0);
  PyObject* users = call.arg(1);

  Ref path = py::getattr(self, s.path);
  Ref stamp = py::call_method(call.global(s.time).get(), s.time_ns);
  Ref suffix = py::add(s.temp_suffix_prefix, py::format(stamp.get()).get());
  Ref temp = py::call_method(path.get(), s.with_suffix, {suffix.get()});

  // json.dumps(users, ensure_ascii=False, indent=2), whose UTF-8 is what
  // write_text(text, encoding="utf-8") writes (no newline translation on
  // POSIX). While the call would run the standard encoder unchanged, the
  // same bytes are written natively; anything that encoder is not sure of
  // goes to json.dumps itself, before any file exists.
  Ref json = call.global(s.json);
  registry_text::Text native;
  Ref text;
  const char* utf8 = nullptr;
  Py_ssize_t size = 0;
  bool is_native = standard_json::dumps_unchanged(call.state.json_found, json.get()) &&
                   registry_text::encode(users, native);
  if (!is_native) {
    Ref dumps = py::getattr(json.get(), s.dumps);
    text = py::call(dumps.get(), {users, Py_False, s.int_2}, s.kw_ensure_ascii_indent);
    // Text that cannot be encoded fails before any file exists.
    utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) throw_python_error();
  }

  // The temporary file is written and re-moded through its own descriptor,
  // opened without following a link: pathlib's write_text and chmod would
  // reopen the name, which someone could have made a link meanwhile.
  mode_t mode = mode_of(owner_rw_mode(call));
  store_files::TempFile file = store_files::TempFile::create(posix::fs_name(temp.get()), 0600);
  catch_all(
      [&] {
        if (is_native) {
          native.each_piece([&](const char* data, std::size_t count) { file.write(data, count); });
        } else {
          file.write(utf8, static_cast<std::size_t>(size));
        }
        file.chmod(mode);
        file.sync();
        py::call_method(temp.get(), s.replace, {py::getattr(self, s.path).get()});
      },
      [&] {
        // A failed save leaves nothing behind; the registry is as it was.
        PendingError error = PendingError::from_current_exception();
        file.discard();
        error.rethrow();
      });
  // The rename was the commit: what follows cannot fail the save.
  file.committed(posix::fs_name(py::getattr(temp.get(), s.parent).get()), mode);
  return Ref::borrow(Py_None);
}

}  // namespace vardun::bodies
