// The key index's engine: `store.verify_api_key(key)`'s answer from the
// registry read once per change (registry_reader.hpp), without a look at the
// files while the kernel reports that nothing the answer stands on has
// changed (watch_set.hpp).
//
// Everything here runs with the interpreter lock held, except the system
// calls and the parse inside `posix::without_lock`, which touch no member:
// what they need is copied out first, and a snapshot they read stays alive
// through its shared_ptr.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "file_look.hpp"
#include "key_digest.hpp"
#include "posix.hpp"
#include "python_ref.hpp"
#include "registry_reader.hpp"
#include "watch_set.hpp"

namespace vardun::key_index {

// One read of the registry.
struct Snapshot {
  posix::Fd fd;  // the file read, kept open: its inode cannot be reused
  std::string path;
  FileSignature signature;
  KeyTable table;
  // Not provably read as json.loads reads it: the store answers every key.
  bool declined = false;
};

// What the engine is told at creation: what the answer is read from.
struct EngineConfig {
  Ref store_class;
  // (name, original) of the store class's steps the answer stands in for.
  std::vector<std::pair<Ref, Ref>> steps;
  // Objects whose namespace the answer reads (the store's module first),
  // each with (name, original) pairs that must hold; their dict versions
  // are tracked.
  struct Namespace {
    Ref object;
    std::vector<std::pair<Ref, Ref>> names;
  };
  std::vector<Namespace> namespaces;
  // Types whose version tags are tracked (MCPUser, ...).
  std::vector<Ref> types;
  Ref user_type;  // MCPUser
  Ref needs_thread, ask_store;
};

class Engine {
 public:
  explicit Engine(EngineConfig config);
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // The answer for `key` of `store`: the user, None, `ask_store` (only
  // store.verify_api_key can give it) or, unless `may_parse`,
  // `needs_thread` (it would take a read of the registry, a change to a
  // credential directory, or the store itself).
  Ref answer(PyObject* store, PyObject* key, bool may_parse);

  // Whether `answer` is the engine's word that only the store can answer.
  bool asks_store(PyObject* answer) const { return answer == config_.ask_store.get(); }

  // For tests: whether answers come from the watch now, how many reads.
  Ref state();

  int traverse(visitproc visit, void* arg);
  void clear();

 private:
  // A look's starting point: what it may be kept for (see `keep`).
  struct Token {
    std::uint64_t epoch;
    bool watched;
    uid_t euid;
  };
  // A user answered from the current snapshot.
  struct Made {
    Ref user, user_id;
    std::string users_dir, dir;
    std::uint64_t settled_epoch = 0;  // the epoch its directories were last found settled in
  };
  // What a transition takes away, released once it is over.
  struct Leftovers {
    std::shared_ptr<const Snapshot> snapshot;
    std::unique_ptr<WatchSet> watches;
    std::unordered_map<Digest, Made, DigestHash> made;
  };

  Ref answer_for(PyObject* store, PyObject* key, bool may_parse);
  bool plain(PyObject* store);
  bool versions_current(PyObject* store) const;
  bool verify(PyObject* store);
  Ref from_watch(const Digest& digest);
  Ref look(PyObject* store, const Digest& digest, bool may_parse, bool armed_now);
  Ref answer_from(const std::shared_ptr<const Snapshot>& snap, PyObject* store,
                  const Digest& digest, const Token& token, bool may_parse, bool armed_now);
  bool made_for(const std::shared_ptr<const Snapshot>& snap, PyObject* store, const Digest& digest,
                RecordSpan span, Made& out);
  Ref ensure_directory(PyObject* store, const Digest& digest, const Made& made);
  bool still_there(PyObject* store, const Digest& digest, const Made& made);
  std::shared_ptr<const Snapshot> current_or_reload();
  std::shared_ptr<const Snapshot> reload(const std::string& path);
  void keep(const Token& token, const std::shared_ptr<const Snapshot>& snap, const Digest* digest,
            bool& armed);
  bool arm(const std::shared_ptr<const Snapshot>& snap);

  // The transitions: the only places the state below moves.
  Leftovers publish_snapshot(std::shared_ptr<const Snapshot> snap);
  Leftovers publish_watches(std::unique_ptr<WatchSet> watches);
  Leftovers forget_answers();
  void drop_quiet();
  void settle(const Digest* digest);
  static void release(Leftovers& left);

  Token begin() const { return Token{epoch_, watches_ != nullptr, ::geteuid()}; }
  Ref ask() {
    ++asks_;
    return Ref::borrow(config_.ask_store.get());
  }
  Ref needs_thread() const { return Ref::borrow(config_.needs_thread.get()); }

  EngineConfig config_;
  // Attribute names, interned once.
  Ref path_name_, users_dir_name_, credential_dir_name_, ensure_name_, load_name_;
  Ref user_id_kw_, description_kw_, created_at_kw_, credential_dir_kw_, hash_key_;

  // The store the versions below were verified for, and what it names.
  Ref store_;
  std::vector<Ref> namespace_dicts_;
  std::vector<std::uint64_t> namespace_versions_;
  std::vector<unsigned int> type_tags_;
  unsigned int store_type_tag_ = 0, users_dir_type_tag_ = 0;
  PyObject* instance_dict_ = nullptr;  // owned by store_
  std::uint64_t instance_version_ = 0;
  PyObject* users_dir_object_ = nullptr;  // held by instance_dict_ while its version holds
  std::string path_, users_dir_;
  bool verified_ = false;
  std::uint64_t verifications_ = 0;

  // The state, moved only by the transitions.
  std::shared_ptr<const Snapshot> snapshot_;
  std::unique_ptr<WatchSet> watches_;
  std::uint64_t epoch_ = 1;
  bool quiet_ = false;
  std::int64_t deadline_ns_ = 0;
  std::int64_t arm_again_ns_ = 0;
  std::unordered_map<Digest, Made, DigestHash> made_;

  // One read at a time; a fresh lock after fork (a parent's thread may hold
  // the old one forever).
  std::shared_ptr<std::mutex> reload_lock_;
  std::uint64_t reload_lock_forks_ = 0;
  std::uint64_t reloads_ = 0;
  std::uint64_t asks_ = 0;
};

}  // namespace vardun::key_index
