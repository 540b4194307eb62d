// The rule the answers without a look stand on, kept here by construction:
//
//   An answer without a look is given only when no change that could alter
//   it can have happened since a look that began after the watch set
//   covering it was armed.
//
// - The state (snapshot_, watches_, epoch_, quiet_, and which users' answers
//   may come from the watch) moves only in the transitions at the end of
//   this file. Each runs with the interpreter lock held and calls nothing of
//   Python, so no other thread sees it half done; what a transition
//   replaces (Python objects among it) is released only after it.
// - Every transition that could make an earlier look unusable (a new
//   snapshot, new watches, dropping the watch's answers) advances epoch_. A
//   look records epoch_ and whether watches were armed before its first
//   system call (`begin`); `keep` turns what it found into answers from the
//   watch only if epoch_ is still that one and the watches, asked then,
//   report nothing since they were armed. A look that raced a change is
//   discarded.
// - A watch set is armed off the lock (WatchSet::arm) and installed by one
//   transition; a look that began before it can never be kept for it.
// - Answers from the watch ask the watches at every check, and a look at the
//   path is made at least once a second (deadline_ns_), which bounds what
//   the kernel does not report (a write through a shared mapping, an
//   overlay's layer changed from outside, a changed root or mount namespace,
//   a descriptor closed by other code).
#include "engine.hpp"

#include <unistd.h>

#include <optional>
#include <system_error>
#include <thread>

#include "notifier.hpp"

namespace vardun::key_index {

namespace {

constexpr std::int64_t kSecond = 1'000'000'000;

std::uint64_t dict_version(PyObject* dict) {
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

unsigned int type_tag(PyTypeObject* type) {
  return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
}

// The type's version tag, assigned if it has none yet (a look-up through
// the method cache assigns one); 0 when it cannot have one.
unsigned int assigned_tag(PyTypeObject* type, PyObject* any_name) {
  if (type_tag(type) == 0) _PyType_Lookup(type, any_name);
  return type_tag(type);
}

// The dict holding `object`'s attributes (a module's namespace), or null.
PyObject* namespace_dict(PyObject* object) {
  if (PyModule_Check(object)) return PyModule_GetDict(object);
  PyObject** slot = _PyObject_GetDictPtr(object);
  return slot != nullptr ? *slot : nullptr;
}

Ref interned(const char* text) {
  return Ref::own(PyUnicode_InternFromString(text));
}

Ref utf8_text(const std::string& text) {
  return Ref::own(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
}

// The bytes of one record, read back from the file it was parsed from.
bool read_span(int fd, RecordSpan span, std::string& bytes) {
  std::uint64_t offset = span.offset;
  std::size_t length = span.length;
  bytes.assign(length, '\0');
  std::size_t filled = 0;
  while (filled < length) {
    ssize_t got =
        ::pread(fd, bytes.data() + filled, length - filled, static_cast<off_t>(offset + filled));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    filled += static_cast<std::size_t>(got);
  }
  return true;
}

// `previous` when the file it read still holds what was read.
const Snapshot* still_as_read(const std::shared_ptr<const Snapshot>& previous) {
  struct stat info;
  if (!previous || previous->declined || ::fstat(previous->fd.get(), &info) != 0) return nullptr;
  return same_content(previous->signature, signature_of(info)) ? previous.get() : nullptr;
}

// Reads the registry at `path` as the store would find it; null when the
// store would refuse it or it would not hold still. A stale handle (a file
// another host replaced, on a shared file system) is looked up afresh. What
// the new file shares with the one `previous` read is not parsed again.
std::shared_ptr<Snapshot> read_snapshot(const std::string& path,
                                        const std::shared_ptr<const Snapshot>& previous) {
  std::shared_ptr<Snapshot> snap;
  for (int attempt = 0; attempt < 3; ++attempt) {
    bool again = false;
    posix::Status status = posix::retry_stale(path, [&]() -> posix::Status {
      snap.reset();
      posix::Fd fd(posix::open_at(AT_FDCWD, path.c_str(), O_RDONLY | O_NONBLOCK));
      if (!fd) return errno;
      struct stat before, after;
      if (::fstat(fd.get(), &before) != 0) return posix::stale_if_gone(errno);
      if (!registry_accepted(before, path)) return 0;
      auto fresh = std::make_shared<Snapshot>();
      const Snapshot* base = still_as_read(previous);
      errno = 0;
      fresh->declined = base != nullptr
                            ? !reread_registry(fd.get(), base->fd.get(), base->table, fresh->table)
                            : !read_registry(fd.get(), fresh->table);
      if (fresh->declined && posix::stale_if_gone(errno) == ESTALE) return ESTALE;
      if (::fstat(fd.get(), &after) != 0) return posix::stale_if_gone(errno);
      // Written in place while it was read, or the file whose records were
      // reused: read it again.
      if (signature_of(after) != signature_of(before) ||
          (base != nullptr && still_as_read(previous) == nullptr)) {
        again = true;
        return 0;
      }
      fresh->fd = std::move(fd);
      fresh->path = path;
      fresh->signature = signature_of(before);
      snap = std::move(fresh);
      return 0;
    });
    if (status != 0 || !again) break;
  }
  return snap;
}

}  // namespace

Engine::Engine(EngineConfig config) : config_(std::move(config)) {
  path_name_ = interned("path");
  users_dir_name_ = interned("users_dir");
  credential_dir_name_ = interned("credential_dir");
  ensure_name_ = interned("_ensure_credential_dir");
  load_name_ = interned("_load");
  user_id_kw_ = interned("user_id");
  description_kw_ = interned("description");
  created_at_kw_ = interned("created_at");
  credential_dir_kw_ = interned("credential_dir");
  hash_key_ = interned("api_key_hash");
}

// -- what the answer is read from -------------------------------------------

bool Engine::versions_current(PyObject* store) const {
  if (store != store_.get() || type_tag(Py_TYPE(store)) != store_type_tag_) return false;
  PyObject** slot = _PyObject_GetDictPtr(store);
  PyObject* instance = slot != nullptr ? *slot : nullptr;
  if (instance != instance_dict_ ||
      (instance != nullptr && dict_version(instance) != instance_version_)) {
    return false;
  }
  if (type_tag(Py_TYPE(users_dir_object_)) != users_dir_type_tag_) return false;
  for (std::size_t i = 0; i < namespace_dicts_.size(); ++i) {
    if (namespace_dict(config_.namespaces[i].object.get()) != namespace_dicts_[i].get() ||
        dict_version(namespace_dicts_[i].get()) != namespace_versions_[i]) {
      return false;
    }
  }
  for (std::size_t i = 0; i < type_tags_.size(); ++i) {
    if (type_tag(reinterpret_cast<PyTypeObject*>(config_.types[i].get())) != type_tags_[i]) {
      return false;
    }
  }
  return true;
}

// Whether `store` runs the original steps over the original names, so that
// the answer here is its check's; records what that was read from.
bool Engine::verify(PyObject* store) {
  verified_ = false;
  PyTypeObject* type = Py_TYPE(store);
  if (!PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(config_.store_class.get()))) {
    return false;
  }
  PyObject* any_name = path_name_.get();
  std::vector<Ref> dicts;
  std::vector<std::uint64_t> versions;
  for (const EngineConfig::Namespace& space : config_.namespaces) {
    PyObject* dict = namespace_dict(space.object.get());
    if (dict == nullptr) return false;
    for (const auto& [name, original] : space.names) {
      PyObject* found = PyDict_GetItemWithError(dict, name.get());
      if (found == nullptr && PyErr_Occurred()) throw_python_error();
      if (found != original.get()) return false;
    }
    dicts.push_back(Ref::borrow(dict));
    versions.push_back(dict_version(dict));
  }
  std::vector<unsigned int> tags;
  for (const Ref& tracked : config_.types) {
    unsigned int tag = assigned_tag(reinterpret_cast<PyTypeObject*>(tracked.get()), any_name);
    if (tag == 0) return false;
    tags.push_back(tag);
  }
  unsigned int store_tag = assigned_tag(type, any_name);
  if (store_tag == 0) return false;
  PyObject** slot = _PyObject_GetDictPtr(store);
  PyObject* instance = slot != nullptr ? *slot : nullptr;
  for (const auto& [name, original] : config_.steps) {
    if (_PyType_Lookup(type, name.get()) != original.get()) return false;
    if (instance != nullptr && check(PyDict_Contains(instance, name.get()))) return false;
  }
  std::uint64_t instance_version = instance != nullptr ? dict_version(instance) : 0;
  // The paths, through the interpreter (a path's __fspath__ is Python).
  Ref path = Ref::own(PyObject_GetAttr(store, path_name_.get()));
  Ref users_dir = Ref::own(PyObject_GetAttr(store, users_dir_name_.get()));
  std::string path_name = posix::fs_name(path.get());
  std::string users_dir_name = posix::fs_name(users_dir.get());
  unsigned int users_dir_tag = assigned_tag(Py_TYPE(users_dir.get()), any_name);
  // Nothing may have moved while that ran.
  slot = _PyObject_GetDictPtr(store);
  if ((slot != nullptr ? *slot : nullptr) != instance ||
      (instance != nullptr && dict_version(instance) != instance_version) || users_dir_tag == 0 ||
      type_tag(type) != store_tag) {
    return false;
  }
  for (std::size_t i = 0; i < dicts.size(); ++i) {
    if (dict_version(dicts[i].get()) != versions[i]) return false;
  }
  // users_dir stays alive in the instance dict while its version holds.
  if (instance == nullptr ||
      PyDict_GetItemWithError(instance, users_dir_name_.get()) != users_dir.get()) {
    if (PyErr_Occurred()) throw_python_error();
    return false;
  }
  Leftovers left = forget_answers();
  store_ = Ref::borrow(store);
  namespace_dicts_ = std::move(dicts);
  namespace_versions_ = std::move(versions);
  type_tags_ = std::move(tags);
  store_type_tag_ = store_tag;
  instance_dict_ = instance;
  instance_version_ = instance_version;
  users_dir_object_ = users_dir.get();
  users_dir_type_tag_ = users_dir_tag;
  path_ = std::move(path_name);
  users_dir_ = std::move(users_dir_name);
  verified_ = true;
  ++verifications_;
  return true;
}

bool Engine::plain(PyObject* store) {
  return (verified_ && versions_current(store)) || verify(store);
}

// -- answers ------------------------------------------------------------------

Ref Engine::answer(PyObject* store, PyObject* key, bool may_parse) {
  Ref answer = answer_for(store, key, may_parse);
  // On the loop, what only the store can answer is the worker's to ask.
  if (!may_parse && asks_store(answer.get())) return needs_thread();
  return answer;
}

Ref Engine::answer_for(PyObject* store, PyObject* key, bool may_parse) {
  bool text = PyUnicode_CheckExact(key);
  if (!text && key != Py_None) return ask();
  if (!plain(store)) return ask();
  // None and "" are no user's, and the store reads nothing for them.
  if (!text || PyUnicode_GET_LENGTH(key) == 0) return Ref::borrow(Py_None);
  Digest digest;
  if (!key_digest(key, digest)) return ask();
  if (Ref answer = from_watch(digest)) return answer;
  return look(store, digest, may_parse, false);
}

// The answer while the watch is quiet, else null. Asked after hashing, so
// that it covers every change made before this check began.
Ref Engine::from_watch(const Digest& digest) {
  if (!quiet_ || !watches_) return Ref();
  // The process's own account is not asked here (a system call per check
  // for what a server does not do): a change of it is seen by the look at
  // least once a second, as a changed root is.
  if (coarse_now_ns() >= deadline_ns_ || watches_->changed()) {
    drop_quiet();
    return Ref();
  }
  auto found = made_.find(digest);
  if (found != made_.end()) {
    if (found->second.settled_epoch != epoch_) return Ref();
    return Ref::borrow(found->second.user.get());
  }
  if (snapshot_->table.find(digest) == nullptr && snapshot_->table.complete()) {
    return Ref::borrow(Py_None);
  }
  return Ref();
}

Ref Engine::look(PyObject* store, const Digest& digest, bool may_parse, bool armed_now) {
  Token token = begin();
  std::shared_ptr<const Snapshot> snap = snapshot_;
  std::string path = path_;
  RegistryLook found = posix::without_lock([&] { return look_at_registry(path); });
  // A registry the store would refuse, or none at all: its answer.
  if (!found.readable) return ask();
  if (!snap || snap->path != path || found.signature != snap->signature) {
    if (!may_parse) return needs_thread();
    // Not held here through the reload: the transition lets the replaced
    // snapshot go on a thread of its own only if it holds the last copy.
    snap.reset();
    snap = reload(path);
    if (!snap) return ask();
    token = begin();
  }
  if (snap->declined) return ask();
  return answer_from(snap, store, digest, token, may_parse, armed_now);
}

Ref Engine::answer_from(const std::shared_ptr<const Snapshot>& snap, PyObject* store,
                        const Digest& digest, const Token& token, bool may_parse, bool armed_now) {
  const RecordSpan* span = snap->table.find(digest);
  Ref answer;
  const Digest* settled_digest = nullptr;
  if (span == nullptr) {
    // A record the store's scan stumbles on stands before any match.
    if (!snap->table.complete()) return ask();
    answer = Ref::borrow(Py_None);
  } else {
    Made made;
    if (!made_for(snap, store, digest, *span, made)) return ask();
    std::string users_dir = made.users_dir, dir = made.dir, registry = snap->path;
    bool settled =
        posix::without_lock([&] { return directories_settled(users_dir, dir, registry); });
    if (!settled) {
      if (!may_parse) return needs_thread();
      return ensure_directory(store, digest, made);
    }
    answer = std::move(made.user);
    settled_digest = &digest;
  }
  bool armed = armed_now;
  keep(token, snap, settled_digest, armed);
  // Armed just now: a second look, begun after the arming, lets the next
  // check be answered from the watch.
  if (armed && !armed_now) return look(store, digest, may_parse, true);
  return answer;
}

// The user for `digest` in `snap`, made once per registry version: its
// record read back from the file, its directory named by the store itself,
// the MCPUser made by keyword. False where only the store can answer
// exactly (an odd record, a user id the store refuses).
bool Engine::made_for(const std::shared_ptr<const Snapshot>& snap, PyObject* store,
                      const Digest& digest, RecordSpan span, Made& out) {
  if (snap == snapshot_) {
    auto found = made_.find(digest);
    if (found != made_.end()) {
      out.user = Ref::borrow(found->second.user.get());
      out.user_id = Ref::borrow(found->second.user_id.get());
      out.users_dir = found->second.users_dir;
      out.dir = found->second.dir;
      return true;
    }
  }
  std::string bytes;
  int fd = snap->fd.get();
  if (!posix::without_lock([&] { return read_span(fd, span, bytes); })) return false;
  RecordFields fields;
  if (!read_record(bytes, digest, fields)) return false;
  std::uint64_t verified_before = verifications_;
  bool made = catch_all(
      [&] {
        Ref user_id = utf8_text(fields.user_id);
        Ref description = utf8_text(fields.description);
        Ref created_at = utf8_text(fields.created_at);
        Ref path =
            Ref::own(PyObject_CallMethodOneArg(store, credential_dir_name_.get(), user_id.get()));
        Ref names = Ref::own(PyTuple_Pack(4, user_id_kw_.get(), description_kw_.get(),
                                          created_at_kw_.get(), credential_dir_kw_.get()));
        PyObject* args[] = {user_id.get(), description.get(), created_at.get(), path.get()};
        out.user = Ref::own(PyObject_Vectorcall(config_.user_type.get(), args, 0, names.get()));
        out.user_id = std::move(user_id);
        out.dir = posix::fs_name(path.get());
        out.users_dir = users_dir_;
        return true;
      },
      [] {
        // The store's own run raises it again, exactly; what is not an
        // Exception (KeyboardInterrupt) goes on as it is.
        PendingError error = PendingError::from_current_exception();
        if (!error.matches(PyExc_Exception)) error.rethrow();
        return false;
      });
  if (!made) return false;
  // Kept only if nothing moved while Python ran.
  if (snap == snapshot_ && verifications_ == verified_before) {
    Made kept;
    kept.user = Ref::borrow(out.user.get());
    kept.user_id = Ref::borrow(out.user_id.get());
    kept.users_dir = out.users_dir;
    kept.dir = out.dir;
    made_.emplace(digest, std::move(kept));
  }
  return true;
}

// store._ensure_credential_dir(user_id) for a match whose directory needs
// work. A removal of the user can race it: when the step fails, or had to
// create the directory, the registry is looked at again, and if the record
// (the same key hash and user id) is gone the check answers None, taking
// back the empty directory it made.
Ref Engine::ensure_directory(PyObject* store, const Digest& digest, const Made& made) {
  std::string dir = made.dir;
  bool existed = posix::without_lock([&] { return exists_at(dir); });
  std::optional<PendingError> failure;
  catch_all(
      [&] {
        Ref done =
            Ref::own(PyObject_CallMethodOneArg(store, ensure_name_.get(), made.user_id.get()));
      },
      [&] {
        PendingError error = PendingError::from_current_exception();
        if (!error.matches(PyExc_OSError)) error.rethrow();
        failure = std::move(error);
      });
  if (!failure && existed) return Ref::borrow(made.user.get());
  bool there;
  {
    std::optional<HandlingScope> handling;
    if (failure) handling.emplace(failure->value());
    there = still_there(store, digest, made);
  }
  if (there) {
    if (failure) failure->rethrow();
    return Ref::borrow(made.user.get());
  }
  if (!existed) {
    posix::without_lock([&] {
      remove_if_empty(dir);
      return 0;
    });
  }
  return Ref::borrow(Py_None);
}

// Whether the registry as it is now still holds a record with this key
// hash and this user id: a rotation racing the check must not let the old
// key in, a removal must not bring the directory back.
bool Engine::still_there(PyObject* store, const Digest& digest, const Made& made) {
  std::shared_ptr<const Snapshot> snap = current_or_reload();
  if (snap && !snap->declined) {
    const RecordSpan* span = snap->table.find(digest);
    if (span == nullptr && snap->table.complete()) return false;
    std::string bytes;
    RecordFields fields;
    int fd = snap->fd.get();
    RecordSpan where = span != nullptr ? *span : RecordSpan{0, 0};
    if (span != nullptr && posix::without_lock([&] { return read_span(fd, where, bytes); }) &&
        read_record(bytes, digest, fields)) {
      Ref user_id = utf8_text(fields.user_id);
      int order = PyUnicode_Compare(user_id.get(), made.user_id.get());
      if (order == -1 && PyErr_Occurred()) throw_python_error();
      return order == 0;
    }
  }
  // Only the store reads this registry: its records, as its scan sees them.
  char text[71];
  stored_hash_text(digest, text);
  Ref expected = Ref::own(PyUnicode_FromStringAndSize(text, sizeof text));
  Ref records = Ref::own(PyObject_CallMethodNoArgs(store, load_name_.get()));
  Ref items = Ref::own(PyObject_GetIter(records.get()));
  while (Ref record = Ref::steal(PyIter_Next(items.get()))) {
    if (!PyDict_Check(record.get())) continue;
    PyObject* user_id = PyDict_GetItemWithError(record.get(), user_id_kw_.get());
    if (user_id == nullptr && PyErr_Occurred()) throw_python_error();
    PyObject* stored = PyDict_GetItemWithError(record.get(), hash_key_.get());
    if (stored == nullptr && PyErr_Occurred()) throw_python_error();
    if (user_id == nullptr || stored == nullptr) continue;
    Ref user_text = Ref::own(PyObject_Str(user_id));
    Ref stored_text = Ref::own(PyObject_Str(stored));
    if (PyUnicode_Compare(user_text.get(), made.user_id.get()) == 0 &&
        PyUnicode_Compare(stored_text.get(), expected.get()) == 0) {
      return true;
    }
    if (PyErr_Occurred()) throw_python_error();
  }
  if (PyErr_Occurred()) throw_python_error();
  return false;
}

std::shared_ptr<const Snapshot> Engine::current_or_reload() {
  std::string path = path_;
  RegistryLook found = posix::without_lock([&] { return look_at_registry(path); });
  if (!found.readable) return nullptr;
  if (snapshot_ && snapshot_->path == path && found.signature == snapshot_->signature) {
    return snapshot_;
  }
  return reload(path);
}

// Reads the registry, once however many threads find it changed: the others
// wait for that read (without the interpreter lock) and use it.
std::shared_ptr<const Snapshot> Engine::reload(const std::string& path) {
  if (!reload_lock_ || reload_lock_forks_ != fork_count()) {
    reload_lock_ = std::make_shared<std::mutex>();
    reload_lock_forks_ = fork_count();
  }
  std::shared_ptr<std::mutex> lock = reload_lock_;
  posix::without_lock([&] {
    lock->lock();
    return 0;
  });
  std::unique_lock<std::mutex> held(*lock, std::adopt_lock);
  if (std::shared_ptr<const Snapshot> current = snapshot_; current && current->path == path) {
    RegistryLook found = posix::without_lock([&] { return look_at_registry(path); });
    if (found.readable && found.signature == current->signature) return current;
  }
  std::shared_ptr<const Snapshot> previous = snapshot_;
  std::shared_ptr<Snapshot> fresh =
      posix::without_lock([&] { return read_snapshot(path, previous); });
  previous.reset();  // the transition's leftovers must hold the last reference
  ++reloads_;
  if (!fresh) return nullptr;
  Leftovers left = publish_snapshot(fresh);
  held.unlock();
  release(left);
  return fresh;
}

// Tells what the look that began at `token` found: `snap` current and, for
// `digest`, the user's directories settled. Arms the watches where there
// are none (`armed` says so), else lets answers come from them.
void Engine::keep(const Token& token, const std::shared_ptr<const Snapshot>& snap,
                  const Digest* digest, bool& armed) {
  if (token.epoch != epoch_ || snap != snapshot_ || ::geteuid() != token.euid) return;
  if (!watches_) {
    if (!armed && coarse_now_ns() >= arm_again_ns_) armed = arm(snap);
    return;
  }
  if (!token.watched) return;
  Notifier::get().audit();
  if (watches_->changed()) {
    // Something watched changed since they were armed: arm anew, and let a
    // later look count.
    if (!armed) armed = arm(snap);
    return;
  }
  settle(digest);
}

// Arms watches for `snap` and installs them; false where the kernel cannot
// be asked (tried again after a second).
bool Engine::arm(const std::shared_ptr<const Snapshot>& snap) {
  std::string path = snap->path, users_dir = users_dir_;
  int fd = snap->fd.get();
  std::unique_ptr<WatchSet> set =
      posix::without_lock([&] { return WatchSet::arm(path, fd, users_dir); });
  if (snap != snapshot_ || users_dir != users_dir_) return false;
  if (!set) {
    arm_again_ns_ = coarse_now_ns() + kSecond;
    return false;
  }
  Leftovers left = publish_watches(std::move(set));
  release(left);
  return true;
}

Ref Engine::state() {
  return Ref::own(Py_BuildValue("{s:O,s:O,s:O,s:K,s:K,s:n}", "quiet", quiet_ ? Py_True : Py_False,
                                "watched", watches_ ? Py_True : Py_False, "declined",
                                snapshot_ && snapshot_->declined ? Py_True : Py_False, "reads",
                                static_cast<unsigned long long>(reloads_), "store_answers",
                                static_cast<unsigned long long>(asks_), "users",
                                snapshot_ ? static_cast<Py_ssize_t>(snapshot_->table.size()) : 0));
}

int Engine::traverse(visitproc visit, void* arg) {
  for (Ref* ref : {&config_.store_class, &config_.user_type, &config_.needs_thread,
                   &config_.ask_store, &store_}) {
    Py_VISIT(ref->get());
  }
  for (auto& [name, original] : config_.steps) Py_VISIT(original.get());
  for (auto& space : config_.namespaces) {
    Py_VISIT(space.object.get());
    for (auto& [name, original] : space.names) Py_VISIT(original.get());
  }
  for (Ref& tracked : config_.types) Py_VISIT(tracked.get());
  for (auto& [digest, made] : made_) Py_VISIT(made.user.get());
  return 0;
}

void Engine::clear() {
  verified_ = false;
  Leftovers left = forget_answers();
  store_.reset();
  namespace_dicts_.clear();
}

// -- the transitions ------------------------------------------------------

Engine::Leftovers Engine::publish_snapshot(std::shared_ptr<const Snapshot> snap) {
  Leftovers left;
  left.snapshot = std::move(snapshot_);
  left.watches = std::move(watches_);
  left.made.swap(made_);
  snapshot_ = std::move(snap);
  quiet_ = false;
  ++epoch_;
  arm_again_ns_ = 0;
  return left;
}

Engine::Leftovers Engine::publish_watches(std::unique_ptr<WatchSet> watches) {
  Leftovers left;
  left.watches = std::move(watches_);
  watches_ = std::move(watches);
  quiet_ = false;
  ++epoch_;
  return left;
}

Engine::Leftovers Engine::forget_answers() {
  Leftovers left;
  left.made.swap(made_);
  quiet_ = false;
  ++epoch_;
  return left;
}

// What a transition took away, let go once it is over: the watches without
// the interpreter lock, the users with it (by the caller, as `left` goes).
// Closing the last descriptor of a replaced registry frees its pages, some
// milliseconds for a large one that the check which read the new one should
// not wait for: a thread of its own does that.
void Engine::release(Leftovers& left) {
  std::shared_ptr<const Snapshot> snapshot = std::move(left.snapshot);
  std::unique_ptr<WatchSet> watches = std::move(left.watches);
  posix::without_lock([&] {
    watches.reset();
    if (snapshot && snapshot.use_count() == 1) {
      try {
        std::thread([old = std::move(snapshot)]() mutable { old.reset(); }).detach();
      } catch (const std::system_error&) {
        snapshot.reset();
      }
    }
    snapshot.reset();
    return 0;
  });
}

void Engine::drop_quiet() {
  quiet_ = false;
  ++epoch_;
}

// Everything the look found holds since the watches were armed, and they
// have reported nothing: answers may come from them, for `digest` too.
void Engine::settle(const Digest* digest) {
  if (!quiet_) {
    quiet_ = true;
    deadline_ns_ = coarse_now_ns() + kSecond;
  }
  if (digest != nullptr) {
    auto found = made_.find(*digest);
    if (found != made_.end()) found->second.settled_epoch = epoch_;
  }
}

}  // namespace vardun::key_index
