"""Type stubs for the compiled module vardun.mcp.user_store.

The module namespace also binds the standard-library names its code looks up
at call time; they are re-exported here because they are attributes of the
module, and replacing them (in tests, say) changes its behaviour.
"""

import contextlib as contextlib
import hashlib as hashlib
import hmac as hmac
import json as json
import os
import secrets as secrets
import stat as stat
import sys
import time as time
from dataclasses import dataclass as dataclass
from datetime import datetime as datetime, timezone as timezone
from pathlib import Path as Path
from string import ascii_letters as ascii_letters, digits as digits
import typing
from typing import Any, Final

if sys.platform != "win32":
    # Bound only where the import of fcntl succeeds.
    import fcntl as fcntl

# typing's alias object, which the return annotation of _locked names.
Iterator = typing.Iterator

_FCNTL_AVAILABLE: Final[bool]
API_KEY_PREFIX: Final = "vardun-mcp-"
API_KEY_RANDOM_LENGTH: Final = 32

def generate_api_key() -> str: ...
@dataclass(frozen=True)
class MCPUser:
    user_id: str
    description: str
    created_at: str
    credential_dir: Path
    # Every value is text, so the result can go to json.dumps as it is.
    def to_dict(self) -> dict[str, str]: ...

class MCPUserStore:
    base_dir: Path
    users_dir: Path
    path: Path
    lock_path: Path
    # Anything pathlib.Path accepts; a false value selects vardun.config.CONFIG_DIR.
    def __init__(self, base_dir: str | os.PathLike[str] | None = None) -> None: ...
    def list_users(self) -> list[MCPUser]: ...
    # Keys: user_id, api_key, description, created_at, credential_dir.
    def add_user(self, description: str = "") -> dict[str, str]: ...
    def remove_user(self, user_id: str, *, keep_credentials: bool = False) -> bool: ...
    # Keys: user_id, api_key, rotated_at, credential_dir.
    def rotate_api_key(self, user_id: str) -> dict[str, str]: ...
    def verify_api_key(self, api_key: str | None) -> MCPUser | None: ...
    def credential_dir(self, user_id: str) -> Path: ...
    @classmethod
    def normalize_api_key(cls, raw: str) -> str: ...
    @classmethod
    def hash_api_key(cls, api_key: str) -> str: ...
    # Records are passed through as the JSON parser made them.
    def _load(self) -> list[dict[str, Any]]: ...
    def _save(self, users: list[dict[str, Any]]) -> None: ...
    @contextlib.contextmanager
    def _locked(self) -> Iterator[None]: ...
    def _ensure_credential_dir(self, user_id: str) -> None: ...
    def _remove_credential_dir(self, user_id: str) -> None: ...
    def _new_user_id(self, users: list[dict[str, Any]]) -> str: ...
    def _new_api_key(self) -> str: ...
