// Per-module state: the module's own types and the interned strings and
// argument-name tuples that the function bodies use. Nothing here caches a
// value the module looks up at call time; these are constants of the code.
#pragma once

#include "python_ref.hpp"

namespace vardun {

namespace standard_json {
struct Found;
}

// Interned strings: X(field, text).
#define VARDUN_STRINGS(X)                            \
  /* module namespace */                             \
  X(contextlib, "contextlib")                        \
  X(hashlib, "hashlib")                              \
  X(hmac, "hmac")                                    \
  X(json, "json")                                    \
  X(secrets, "secrets")                              \
  X(stat, "stat")                                    \
  X(time, "time")                                    \
  X(dataclass, "dataclass")                          \
  X(datetime, "datetime")                            \
  X(timezone, "timezone")                            \
  X(Path, "Path")                                    \
  X(PosixPath, "PosixPath")                          \
  X(ascii_letters, "ascii_letters")                  \
  X(digits, "digits")                                \
  X(Iterator, "Iterator")                            \
  X(fcntl, "fcntl")                                  \
  X(FCNTL_AVAILABLE, "_FCNTL_AVAILABLE")             \
  X(API_KEY_PREFIX, "API_KEY_PREFIX")                \
  X(API_KEY_RANDOM_LENGTH, "API_KEY_RANDOM_LENGTH")  \
  X(generate_api_key, "generate_api_key")            \
  X(MCPUser, "MCPUser")                              \
  X(MCPUserStore, "MCPUserStore")                    \
  /* store attributes and methods */                 \
  X(base_dir, "base_dir")                            \
  X(users_dir, "users_dir")                          \
  X(path, "path")                                    \
  X(lock_path, "lock_path")                          \
  X(locked, "_locked")                               \
  X(load, "_load")                                   \
  X(save, "_save")                                   \
  X(new_user_id, "_new_user_id")                     \
  X(new_api_key, "_new_api_key")                     \
  X(hash_api_key, "hash_api_key")                    \
  X(normalize_api_key, "normalize_api_key")          \
  X(credential_dir, "credential_dir")                \
  X(ensure_credential_dir, "_ensure_credential_dir") \
  X(remove_credential_dir, "_remove_credential_dir") \
  /* record keys */                                  \
  X(user_id, "user_id")                              \
  X(api_key_hash, "api_key_hash")                    \
  X(description, "description")                      \
  X(created_at, "created_at")                        \
  X(rotated_at, "rotated_at")                        \
  X(api_key, "api_key")                              \
  /* standard-library attributes */                  \
  X(strip, "strip")                                  \
  X(lower, "lower")                                  \
  X(sha256, "sha256")                                \
  X(hexdigest, "hexdigest")                          \
  X(choice, "choice")                                \
  X(token_hex, "token_hex")                          \
  X(now, "now")                                      \
  X(utc, "utc")                                      \
  X(isoformat, "isoformat")                          \
  X(exists, "exists")                                \
  X(read_text, "read_text")                          \
  X(write_text, "write_text")                        \
  X(loads, "loads")                                  \
  X(dumps, "dumps")                                  \
  X(JSONDecodeError, "JSONDecodeError")              \
  X(with_suffix, "with_suffix")                      \
  X(time_ns, "time_ns")                              \
  X(chmod, "chmod")                                  \
  X(replace, "replace")                              \
  X(parent, "parent")                                \
  X(name, "name")                                    \
  X(buffer, "buffer")                                \
  X(raw, "raw")                                      \
  X(mkdir, "mkdir")                                  \
  X(touch, "touch")                                  \
  X(open, "open")                                    \
  X(flock, "flock")                                  \
  X(name_LOCK_EX, "LOCK_EX")                         \
  X(name_LOCK_UN, "LOCK_UN")                         \
  X(rglob, "rglob")                                  \
  X(is_file, "is_file")                              \
  X(is_symlink, "is_symlink")                        \
  X(is_dir, "is_dir")                                \
  X(unlink, "unlink")                                \
  X(rmdir, "rmdir")                                  \
  X(get, "get")                                      \
  X(append, "append")                                \
  X(compare_digest, "compare_digest")                \
  X(name_S_IRUSR, "S_IRUSR")                         \
  X(name_S_IWUSR, "S_IWUSR")                         \
  X(name_S_IXUSR, "S_IXUSR")                         \
  X(contextmanager, "contextmanager")                \
  X(sorted, "sorted")                                \
  X(CONFIG_DIR, "CONFIG_DIR")                        \
  /* dunder names */                                 \
  X(dunder_name, "__name__")                         \
  X(dunder_module, "__module__")                     \
  X(dunder_qualname, "__qualname__")                 \
  X(dunder_doc, "__doc__")                           \
  X(dunder_annotations, "__annotations__")           \
  X(dunder_enter, "__enter__")                       \
  X(dunder_exit, "__exit__")                         \
  /* text constants */                               \
  X(empty, "")                                       \
  X(utf_8, "utf-8")                                  \
  X(mode_w, "w")                                     \
  X(star, "*")                                       \
  X(bearer_prefix, "bearer ")                        \
  X(sha256_prefix, "sha256:")                        \
  X(users, "users")                                  \
  X(registry_name, "mcp_users.json")                 \
  X(lock_name, ".mcp_users.lock")                    \
  X(temp_suffix_prefix, ".tmp-")                     \
  X(user_id_prefix, "u_")                            \
  X(config_module, "vardun.config")                  \
  X(corrupt_message, "MCP 用户注册表 JSON 损坏: ")   \
  X(not_array_message, "MCP 用户注册表必须是数组: ") \
  X(not_found_message, "未找到 MCP 用户: ")          \
  X(invalid_user_id_message, "非法的 MCP 用户 ID: ")

// Tuples of names, for keyword arguments and import lists: X(field, names...).
#define VARDUN_KWNAMES(X)                                    \
  X(kw_parents_exist_ok, "parents", "exist_ok")              \
  X(kw_mode_parents_exist_ok, "mode", "parents", "exist_ok") \
  X(kw_exist_ok, "exist_ok")                                 \
  X(kw_encoding, "encoding")                                 \
  X(kw_ensure_ascii_indent, "ensure_ascii", "indent")        \
  X(kw_reverse, "reverse")                                   \
  X(kw_frozen, "frozen")                                     \
  X(from_config_dir, "CONFIG_DIR")                           \
  X(kw_user_fields, "user_id", "description", "created_at", "credential_dir")

struct ModuleState {
  // False until start-up has finished, and again once the module is cleared.
  bool ready;
  PyTypeObject* function_type;
  PyTypeObject* generator_type;
  // What the registry's saves found the standard json module to be.
  standard_json::Found* json_found;
  // Small integers used as arguments.
  PyObject* int_2;
  PyObject* int_4;
  // pathlib's PosixPath and its own exists and stat, as imported: what
  // tells that asking a path's exists() again is the same call.
  PyObject* posix_path;
  PyObject* posix_path_exists;
  PyObject* posix_path_stat;

#define VARDUN_DECLARE(field, ...) PyObject* field;
  VARDUN_STRINGS(VARDUN_DECLARE)
  VARDUN_KWNAMES(VARDUN_DECLARE)
#undef VARDUN_DECLARE
};

// Fills the strings and tuples; throws on failure.
void init_module_constants(ModuleState& state);
int traverse_module_state(ModuleState& state, visitproc visit, void* arg);
void clear_module_state(ModuleState& state);

}  // namespace vardun
