"""The floor of every benchmarked operation: the standard-library calls the
operation has to make, in the same order, written as plain Python without the
extension. Nothing here imports vardun.mcp.user_store.

The module's own glue (argument binding, dispatch through the instance to
its private methods, the results' type checks) is what the ratio
module / floor shows; everything below is work the module cannot skip.

Saves come in two flavours. `durable=False` makes only the calls every save
must make (write the temporary file, chmod, replace, chmod). `durable=True`
adds what the module does on top to survive a crash: the temporary file is
created private before any content reaches it, and the file and the rename
are fsync'ed. Comparing with both separates the cost of those syscalls from
the cost of the glue.
"""

import contextlib
import hashlib
import hmac
import json
import os
import secrets
import stat
import time
from dataclasses import dataclass
from datetime import datetime, timezone
from pathlib import Path
from string import ascii_letters, digits

try:
    import fcntl

    FCNTL_AVAILABLE = True
except ImportError:
    FCNTL_AVAILABLE = False

API_KEY_PREFIX = "vardun-mcp-"
API_KEY_RANDOM_LENGTH = 32


@dataclass(frozen=True)
class User:
    """Same shape as MCPUser, so building one costs what building that does."""

    user_id: str
    description: str
    created_at: str
    credential_dir: Path


def user_to_dict(user):
    return {
        "user_id": user.user_id,
        "description": user.description,
        "created_at": user.created_at,
        "credential_dir": str(user.credential_dir),
    }


def generate_api_key():
    alphabet = ascii_letters + digits
    random_part = "".join([secrets.choice(alphabet) for _ in range(API_KEY_RANDOM_LENGTH)])
    # The prefix is looked up after the draws, as the module does.
    return API_KEY_PREFIX + random_part


def normalize_api_key(raw):
    value = raw.strip()
    if value.lower().startswith("bearer "):
        return value[7:].strip()
    return value


def hash_api_key(api_key):
    return "sha256:" + hashlib.sha256(api_key.encode("utf-8")).hexdigest()


class Store:
    """Construction: the directories and the four paths, nothing else."""

    def __init__(self, base_dir=None):
        from vardun.config import CONFIG_DIR

        self.base_dir = Path(base_dir or CONFIG_DIR)
        self.base_dir.mkdir(parents=True, exist_ok=True)
        self.users_dir = self.base_dir / "users"
        self.users_dir.mkdir(parents=True, exist_ok=True)
        self.users_dir.chmod(stat.S_IRUSR | stat.S_IWUSR | stat.S_IXUSR)
        self.path = self.base_dir / "mcp_users.json"
        self.lock_path = self.base_dir / ".mcp_users.lock"


def credential_dir(store, user_id):
    return store.users_dir / user_id


# ---------------------------------------------------------------------------
# Registry file, lock and credential directories, shared by the operations.
# A plain function call costs well under 1 % of any of them.


def _load(store):
    if not store.path.exists():
        return []
    try:
        raw = json.loads(store.path.read_text(encoding="utf-8"))
    except json.JSONDecodeError as exc:
        raise ValueError(f"MCP 用户注册表 JSON 损坏: {store.path}") from exc
    if not isinstance(raw, list):
        raise ValueError(f"MCP 用户注册表必须是数组: {store.path}")
    return raw


def _fsync_path(path, flags, sync=os.fsync):
    fd = os.open(path, flags | os.O_CLOEXEC)
    try:
        sync(fd)
    finally:
        os.close(fd)


def _save(store, users, durable=False):
    temp = store.path.with_suffix(f".tmp-{time.time_ns()}")
    text = json.dumps(users, ensure_ascii=False, indent=2)
    if durable:
        fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o600)
        try:
            os.fchmod(fd, 0o600)
        finally:
            os.close(fd)
    temp.write_text(text, encoding="utf-8")
    temp.chmod(stat.S_IRUSR | stat.S_IWUSR)
    if durable:
        _fsync_path(temp, os.O_RDONLY, os.fdatasync)
    temp.replace(store.path)
    if durable:
        _fsync_path(temp.parent, os.O_RDONLY | os.O_DIRECTORY)
    store.path.chmod(stat.S_IRUSR | stat.S_IWUSR)


@contextlib.contextmanager
def _locked(store):
    store.lock_path.touch(exist_ok=True)
    with store.lock_path.open("w") as lock_file:
        if FCNTL_AVAILABLE:
            fcntl.flock(lock_file, fcntl.LOCK_EX)
        try:
            yield
        finally:
            if FCNTL_AVAILABLE:
                fcntl.flock(lock_file, fcntl.LOCK_UN)


def _ensure_credential_dir(store, user_id):
    path = store.users_dir / user_id
    path.mkdir(parents=True, exist_ok=True)
    path.chmod(stat.S_IRUSR | stat.S_IWUSR | stat.S_IXUSR)


def _remove_credential_dir(store, user_id):
    path = store.users_dir / user_id
    if not path.exists():
        return
    for child in sorted(path.rglob("*"), reverse=True):
        if child.is_file() or child.is_symlink():
            child.unlink()
        elif child.is_dir():
            child.rmdir()
    path.rmdir()


# ---------------------------------------------------------------------------
# Operations


def list_users(store):
    users = []
    for item in _load(store):
        users.append(
            User(
                user_id=item["user_id"],
                description=item.get("description", ""),
                created_at=item.get("created_at", ""),
                credential_dir=store.users_dir / item["user_id"],
            )
        )
    return users


def verify_api_key(store, api_key):
    if api_key is None or not api_key:
        return None
    expected = hash_api_key(normalize_api_key(api_key))
    for item in _load(store):
        stored = str(item.get("api_key_hash", ""))
        if hmac.compare_digest(stored, expected):
            user_id = str(item["user_id"])
            _ensure_credential_dir(store, user_id)
            return User(
                user_id=user_id,
                description=item.get("description", ""),
                created_at=item.get("created_at", ""),
                credential_dir=store.users_dir / user_id,
            )
    return None


def add_user(store, description="", durable=False):
    with _locked(store):
        users = _load(store)
        existing = {str(item.get("user_id")) for item in users}
        while True:
            user_id = "u_" + secrets.token_hex(4)
            if user_id not in existing:
                break
        api_key = generate_api_key()
        now = datetime.now(timezone.utc).isoformat()
        users.append(
            {
                "user_id": user_id,
                "api_key_hash": hash_api_key(api_key),
                "description": description,
                "created_at": now,
            }
        )
        _save(store, users, durable)
        _ensure_credential_dir(store, user_id)
    return {
        "user_id": user_id,
        "api_key": api_key,
        "description": description,
        "created_at": now,
        "credential_dir": str(store.users_dir / user_id),
    }


def remove_user(store, user_id, *, keep_credentials=False, durable=False):
    keep = bool(keep_credentials)
    with _locked(store):
        users = _load(store)
        kept = [item for item in users if item.get("user_id") != user_id]
        if len(kept) == len(users):
            return False
        _save(store, kept, durable)
        if not keep:
            _remove_credential_dir(store, user_id)
    return True


def rotate_api_key(store, user_id, durable=False):
    with _locked(store):
        users = _load(store)
        new_key = generate_api_key()
        now = datetime.now(timezone.utc).isoformat()
        for item in users:
            if item.get("user_id") == user_id:
                item["api_key_hash"] = hash_api_key(new_key)
                item["rotated_at"] = now
                _save(store, users, durable)
                return {
                    "user_id": user_id,
                    "api_key": new_key,
                    "rotated_at": now,
                    "credential_dir": str(store.users_dir / user_id),
                }
    raise ValueError(f"未找到 MCP 用户: {user_id}")
