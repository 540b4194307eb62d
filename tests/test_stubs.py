"""The type stubs shipped with the module: stubtest against the built module,
and mypy on code that uses the module correctly and incorrectly."""

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import vardun.mcp.auth as auth_module
import vardun.mcp.key_index as key_index_module
import vardun.mcp.log_redaction as log_redaction_module
import vardun.mcp.user_store as user_store_module
from helpers import release_only

ALLOWLIST = Path(__file__).resolve().parent.parent / "tools" / "stubtest-allowlist.txt"
PACKAGE_DIR = Path(user_store_module.__file__).resolve().parent
LIB_DIR = PACKAGE_DIR.parent.parent

# The stub is the same for every build flavour, so the sanitizer and
# debug-interpreter runs leave it to the release run.
pytestmark = [
    release_only,
    pytest.mark.skipif(
        not (PACKAGE_DIR / "user_store.pyi").exists(), reason="no stub beside the build"
    ),
]

# Every line marked "# E" must draw a mypy error, and no other line may.
USAGE = '''\
import dataclasses
from pathlib import Path
from typing import Iterator

from starlette.applications import Starlette
from starlette.middleware import Middleware
from starlette.middleware.authentication import AuthenticationMiddleware

from vardun.mcp import user_store
from vardun.mcp.auth import BearerAuthMiddleware, KeyVerifier, Receive, Scope, Send
from vardun.mcp.auth import BearerAuthError, StoreAuthBackend, on_auth_error
from vardun.mcp.user_store import MCPUser, MCPUserStore, generate_api_key


async def plain_app(scope: Scope, receive: Receive, send: Send) -> None: ...


def good(base: Path) -> None:
    store = MCPUserStore(base)
    MCPUserStore(str(base))
    MCPUserStore()
    added: dict[str, str] = store.add_user("Alice")
    key: str = added["api_key"]
    user: MCPUser | None = store.verify_api_key(f"Bearer {key}")
    if user is not None:
        directory: Path = user.credential_dir
        shown: dict[str, str] = user.to_dict()
    store.verify_api_key(None)
    users: list[MCPUser] = store.list_users()
    removed: bool = store.remove_user(users[0].user_id, keep_credentials=True)
    rotated: dict[str, str] = store.rotate_api_key("u_00000000")
    bare: str = MCPUserStore.normalize_api_key("Bearer x")
    digest: str = store.hash_api_key(bare)
    length: int = len(generate_api_key()) + user_store.API_KEY_RANDOM_LENGTH
    prefix: str = user_store.API_KEY_PREFIX
    available: bool = user_store._FCNTL_AVAILABLE
    with store._locked() as nothing:
        records: list[dict[str, object]] = store._load()
        store._save(store._load())
        new_id: str = store._new_user_id(store._load())
    record = MCPUser("u_1", "", "", Path("/tmp"))
    copy = dataclasses.replace(record, description="d")
    paths: tuple[Path, Path, Path, Path] = (store.base_dir, store.users_dir, store.path, store.lock_path)
    guarded = BearerAuthMiddleware(Starlette(), store, exempt_paths=["/health"], realm="team")
    BearerAuthMiddleware(guarded)
    BearerAuthMiddleware(plain_app, exempt_paths=frozenset({"/"}))
    verifier: KeyVerifier = guarded.store
    exempt: frozenset[str] = guarded.exempt_paths
    backend = StoreAuthBackend(store, realm="team")
    AuthenticationMiddleware(plain_app, backend, on_error=on_auth_error)
    Starlette(middleware=[Middleware(AuthenticationMiddleware, backend=StoreAuthBackend())])
    status: int = BearerAuthError("invalid_token", "team").status_code


def bad(store: MCPUserStore, user: MCPUser) -> None:
    store.remove_user("u_1", True)  # E
    store.add_user(None)  # E
    store.rotate_api_key(user="u_1")  # E
    store.credential_dir(3)  # E
    user.description = "changed"  # E
    number: int = store.add_user()["api_key"]  # E
    MCPUser("u_1", "", "")  # E
    store.verify_api_key(b"key")  # E
    user.to_dict()["api_key_hash"].missing  # E
    store.no_such_method()  # E
    user_store.API_KEY_PREFIX = "other-"  # E
    BearerAuthMiddleware(plain_app, store, ["/health"])  # E
    BearerAuthMiddleware(plain_app, user)  # E
    BearerAuthMiddleware(plain_app, exempt_paths=[b"/health"])  # E
    BearerAuthMiddleware(plain_app, realm=None)  # E
    BearerAuthMiddleware(store)  # E
    StoreAuthBackend(store, "team")  # E
    BearerAuthError(401)  # E
'''


def run(argv, cwd):
    env = dict(os.environ)
    env["PYTHONPATH"] = str(LIB_DIR)
    env.pop("MYPYPATH", None)
    # The working directory is a scratch one so that mypy finds the stub
    # installed beside the module, not the one in the source tree.
    return subprocess.run(
        [sys.executable, "-P", "-m", *argv],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_stubtest_passes(tmp_path):
    modules = [user_store_module.__name__, auth_module.__name__, key_index_module.__name__,
               log_redaction_module.__name__]
    result = run(["mypy.stubtest", *modules, "--allowlist", str(ALLOWLIST)], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_accepts_correct_use_and_rejects_misuse(tmp_path):
    sample = tmp_path / "sample.py"
    sample.write_text(USAGE)
    expected = {number for number, line in enumerate(USAGE.splitlines(), 1) if line.endswith("# E")}
    result = run(["mypy", "--strict", "--no-error-summary", "sample.py"], tmp_path)
    reported = {
        int(match.group(1))
        for match in re.finditer(r"^sample\.py:(\d+): error:", result.stdout, re.MULTILINE)
    }
    assert reported == expected, result.stdout + result.stderr


def test_python_sources_are_typed(tmp_path):
    # By path: as a module, mypy would read the middleware's stub instead of
    # its source. The command is checked against the store's stub.
    sources = [str(PACKAGE_DIR / name) for name in
               ("users.py", "auth.py", "_starlette_backend.py", "key_index.py", "log_redaction.py")]
    result = run(["mypy", "--strict", *sources], tmp_path)
    assert result.returncode == 0, textwrap.indent(result.stdout + result.stderr, "  ")
