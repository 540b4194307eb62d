// The bodies of the module's functions. Each receives its arguments already
// bound and checked (see declarations.cpp for every calling surface) and does
// what the Python function of that name does, through the interpreter, looking
// module-level names up at the moment it uses them.
#pragma once

#include "function.hpp"

namespace vardun::bodies {

// keys.cpp: key generation, normalisation and hashing.
Ref generate_api_key(const Call& call);
Ref new_api_key(const Call& call);
Ref normalize_api_key(const Call& call);
Ref hash_api_key(const Call& call);

// user_record.cpp: MCPUser.to_dict.
Ref user_to_dict(const Call& call);

// registry_file.cpp: construction, loading and atomic saving.
Ref store_init(const Call& call);
Ref load(const Call& call);
Ref save(const Call& call);

// write_lock.cpp: the lock file generator behind `_locked`.
Ref locked(const Call& call);

// credential_dirs.cpp: per-user credential directories.
Ref credential_dir(const Call& call);
Ref ensure_credential_dir(const Call& call);
Ref remove_credential_dir(const Call& call);

// user_operations.cpp: the store's public operations.
Ref list_users(const Call& call);
Ref add_user(const Call& call);
Ref remove_user(const Call& call);
Ref rotate_api_key(const Call& call);
Ref verify_api_key(const Call& call);
Ref new_user_id(const Call& call);

}  // namespace vardun::bodies
