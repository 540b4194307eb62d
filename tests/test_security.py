"""What an attacker or a careless setting could get from the store's files:
no plain key on disk, owner-only modes whatever the umask, and no way for a
hand-edited registry to reach outside the users directory."""

import errno
import json
import os
import shutil
import stat
from pathlib import Path, PosixPath

import pytest


def files_under(path):
    return [p for p in sorted(Path(path).rglob("*")) if p.is_file() and not p.is_symlink()]


class FailingReplace(PosixPath):
    """A registry path whose rename fails, so a save stops after writing
    its temporary file."""

    def replace(self, target):
        raise OSError("rename refused")


def test_no_plain_key_is_ever_written_to_disk(us, store):
    keys = []
    users = []
    for description in ("Alice（前端）", "bob", "  spaced  ", ""):
        added = store.add_user(description)
        keys.append(added["api_key"])
        users.append(added["user_id"])
    for key in keys:
        assert store.verify_api_key(key) is not None
        assert store.verify_api_key(f"Bearer {key}") is not None
    for user_id in users[:2]:
        for _ in range(2):
            keys.append(store.rotate_api_key(user_id)["api_key"])
    store.list_users()
    assert store.remove_user(users[2]) is True
    assert store.remove_user(users[3], keep_credentials=True) is True
    # A failed save takes its temporary file with it.
    path = store.path
    store.path = FailingReplace(path)
    with pytest.raises(OSError, match="rename refused"):
        store.rotate_api_key(users[0])
    store.path = path
    assert not list(store.base_dir.glob("mcp_users.tmp-*"))

    scanned = files_under(store.base_dir)
    assert {p.name for p in scanned} >= {"mcp_users.json", ".mcp_users.lock"}
    for file in scanned:
        content = file.read_bytes()
        assert b"vardun-mcp-" not in content, file
        for key in keys:
            random_part = key[len("vardun-mcp-") :]
            for form in (random_part, random_part.lower(), random_part.upper()):
                assert form.encode() not in content, file
                assert form.encode("utf-16-le") not in content, file
    for entry in store.base_dir.rglob("*"):
        assert not any(key[len("vardun-mcp-") :] in entry.name for key in keys)
    # What the registry keeps instead: one hash per user, of the latest key.
    records = store._load()
    assert [r["api_key_hash"] for r in records] == [
        store.hash_api_key(keys[5]),
        store.hash_api_key(keys[7]),
    ]


# Run after UMASK and ROOT are bound.
SESSION = r"""
import json, os
from pathlib import Path, PosixPath
os.umask(UMASK)
from vardun.mcp.user_store import MCPUserStore

modes = {}
class FailingReplace(PosixPath):
    def replace(self, target):
        modes["temp file before the rename"] = os.stat(self).st_mode & 0o777
        raise OSError("rename refused")

base = Path(ROOT) / "deep" / "base"
store = MCPUserStore(base)
first = store.add_user("a")
second = store.add_user("b")
store.rotate_api_key(first["user_id"])
os.chmod(store.path, 0o666)
store.remove_user(second["user_id"], keep_credentials=True)
# A widened credential directory, and a deleted one, after verification.
os.chmod(store.credential_dir(first["user_id"]), 0o777)
store.verify_api_key(store.rotate_api_key(first["user_id"])["api_key"])
third = store.add_user("c")
os.rmdir(store.credential_dir(third["user_id"]))
store.verify_api_key(third["api_key"])
store.path = FailingReplace(store.path)
try:
    store.add_user("never saved")
except OSError:
    pass

for entry in sorted(Path(ROOT).rglob("*")):
    modes[str(entry.relative_to(ROOT))] = entry.stat().st_mode & 0o777
print(json.dumps(modes))
"""


@pytest.mark.parametrize("umask", [0o000, 0o002, 0o022, 0o077])
def test_modes_of_everything_created_whatever_the_umask(python, tmp_path, umask):
    # The umask is process-wide, so the session runs in its own interpreter.
    result = python(f"UMASK = {umask}\nROOT = {str(tmp_path)!r}\n" + SESSION)
    modes = json.loads(result.stdout)
    assert modes.pop("temp file before the rename") == 0o600
    for name, mode in modes.items():
        if name == "deep":
            expected = 0o777 & ~umask  # a missing parent, made as any directory
        elif name in ("deep/base", "deep/base/users") or name.startswith("deep/base/users/"):
            expected = 0o700
        elif name in ("deep/base/mcp_users.json", "deep/base/.mcp_users.lock"):
            expected = 0o600
        else:
            raise AssertionError(f"unexpected entry {name}")  # a temporary file, say
        assert mode == expected, f"{name}: {mode:o}, expected {expected:o}"
    assert sum(n.startswith("deep/base/users/") for n in modes) == 3


HOSTILE_IDS = ["..", ".", "", "../outside", "../../outside", "/abs", "a/b", "users/..", "x\x00y"]


def snapshot(root, skip=()):
    """Every entry under `root` with its kind, mode and content."""
    found = {}
    for entry in sorted(Path(root).rglob("*")):
        if entry.name in skip or entry.name.startswith("mcp_users.tmp-"):
            continue
        info = entry.lstat()
        content = entry.read_bytes() if stat.S_ISREG(info.st_mode) else None
        found[str(entry)] = (stat.S_IFMT(info.st_mode), info.st_mode & 0o777, content)
    return found


@pytest.fixture
def hand_edited(us, tmp_path):
    """A store whose registry holds one record per hostile identifier, each
    with its own key, next to a directory outside it that must stay intact."""
    outside = tmp_path / "outside"
    (outside / "sub").mkdir(parents=True)
    (outside / "precious").write_text("keep me")
    outside.chmod(0o755)
    store = us.MCPUserStore(tmp_path / "base")
    (store.users_dir / "neighbour").mkdir()
    (store.users_dir / "neighbour" / "state").write_text("login")
    keys = {user_id: f"vardun-mcp-key{index:029d}" for index, user_id in enumerate(HOSTILE_IDS)}
    records = [
        {"user_id": user_id, "api_key_hash": store.hash_api_key(key), "description": "hand-edited"}
        for user_id, key in keys.items()
    ]
    store.path.write_text(json.dumps(records), encoding="utf-8")
    before = snapshot(tmp_path, skip={"mcp_users.json", ".mcp_users.lock"})
    return store, keys, tmp_path, before


@pytest.mark.parametrize("user_id", HOSTILE_IDS)
def test_hand_edited_identifiers_stay_inside_the_users_directory(hand_edited, user_id):
    store, keys, root, before = hand_edited
    message = f"非法的 MCP 用户 ID: {user_id}"
    with pytest.raises(ValueError) as error:
        store.verify_api_key(keys[user_id])
    assert str(error.value) == message
    with pytest.raises(ValueError):
        store.list_users()
    # The changing operations save first and then stop at the identifier
    # (nothing is rolled back), before any directory is touched.
    with pytest.raises(ValueError) as error:
        store.rotate_api_key(user_id)
    assert str(error.value) == message
    with pytest.raises(ValueError) as error:
        store.remove_user(user_id)
    assert str(error.value) == message
    assert user_id not in [r["user_id"] for r in store._load()]
    for method in (store.credential_dir, store._ensure_credential_dir, store._remove_credential_dir):
        with pytest.raises(ValueError):
            method(user_id)
    assert snapshot(root, skip={"mcp_users.json", ".mcp_users.lock"}) == before


@pytest.mark.parametrize("user_id", ["...", "..a", " ..", "a\\b", "~", "-rf", "u_0123abcd "])
def test_odd_but_plain_identifiers_are_kept_inside(us, store, user_id):
    key = "vardun-mcp-" + "k" * 32
    record = {"user_id": user_id, "api_key_hash": store.hash_api_key(key)}
    store.path.write_text(json.dumps([record]), encoding="utf-8")
    user = store.verify_api_key(key)
    assert user.credential_dir.parent == store.users_dir
    assert user.credential_dir.is_dir()
    assert store.remove_user(user_id) is True
    assert list(store.users_dir.iterdir()) == []


def test_removal_never_follows_links_out_of_the_users_directory(us, store, tmp_path):
    outside = tmp_path / "outside"
    (outside / "sub").mkdir(parents=True)
    (outside / "precious").write_text("keep me")
    (outside / "sub" / "deeper").write_text("keep me too")
    before = snapshot(outside)

    linked = store.add_user("credential directory replaced by a link")
    directory = store.credential_dir(linked["user_id"])
    directory.rmdir()
    directory.symlink_to(outside, target_is_directory=True)
    assert store.remove_user(linked["user_id"]) is True
    assert not os.path.lexists(directory)

    holding = store.add_user("links inside its directory")
    directory = store.credential_dir(holding["user_id"])
    (directory / "to-dir").symlink_to(outside, target_is_directory=True)
    (directory / "to-file").symlink_to(outside / "precious")
    (directory / "nested").mkdir()
    (directory / "nested" / "to-sub").symlink_to(outside / "sub")
    assert store.remove_user(holding["user_id"]) is True
    assert not directory.exists()

    assert snapshot(outside) == before
    assert list(store.users_dir.iterdir()) == []


# Someone else who can write to the base directory (group-writable, as an
# older install left it) puts links and named pipes where the store's files go.


@pytest.fixture
def victim(tmp_path):
    """Files and a directory outside the store that nothing may change."""
    outside = tmp_path / "victim"
    (outside / "dir").mkdir(parents=True)
    (outside / "file").write_text("precious")
    (outside / "dir" / "file").write_text("precious too")
    for entry in (outside, outside / "dir"):
        entry.chmod(0o755)
    return outside


def test_links_planted_in_the_base_directory_are_never_followed(us, store, victim, monkeypatch):
    before = snapshot(victim)
    added = store.add_user("someone")
    credential_dir = store.credential_dir(added["user_id"])

    store.lock_path.unlink()
    store.lock_path.symlink_to(victim / "file")
    with pytest.raises(OSError) as error:
        store.add_user("never added")
    assert error.value.errno == errno.ELOOP and error.value.filename == str(store.lock_path)
    store.lock_path.unlink()

    monkeypatch.setattr(us.time, "time_ns", lambda: 5)
    (store.base_dir / "mcp_users.tmp-5").symlink_to(victim / "file")
    registry = store.path.read_bytes()
    with pytest.raises(OSError) as error:
        store.rotate_api_key(added["user_id"])
    assert error.value.errno == errno.ELOOP and store.path.read_bytes() == registry
    assert error.value.filename == str(store.base_dir / "mcp_users.tmp-5")
    monkeypatch.undo()

    shutil.rmtree(credential_dir)
    credential_dir.symlink_to(victim / "dir")
    with pytest.raises(FileExistsError):
        store.verify_api_key(added["api_key"])
    with pytest.raises(FileExistsError):
        store._ensure_credential_dir(added["user_id"])

    shutil.rmtree(store.users_dir)
    store.users_dir.symlink_to(victim)
    for attempt in (
        lambda: us.MCPUserStore(store.base_dir),
        lambda: store.verify_api_key(added["api_key"]),
        lambda: store._ensure_credential_dir("u_new"),
        lambda: store._remove_credential_dir("dir"),
    ):
        with pytest.raises(OSError) as error:
            attempt()
        assert error.value.errno == errno.ELOOP
    assert snapshot(victim) == before


PIPES = r"""
import errno, os, time
from vardun.mcp.user_store import MCPUserStore
store = MCPUserStore(BASE)
key = store.add_user("x")["api_key"]
time_ns = time.time_ns
for name in ("mcp_users.json", ".mcp_users.lock", "mcp_users.tmp-7"):
    path = store.base_dir / name
    saved = path.read_bytes() if path.exists() else None
    if path.exists():
        path.unlink()
    os.mkfifo(path)
    time.time_ns = lambda: 7
    try:
        store.verify_api_key(key) if name == "mcp_users.json" else store.add_user("y")
    except OSError as error:
        print(name, error.errno, error.strerror)
    finally:
        time.time_ns = time_ns
    path.unlink()
    if saved is not None:
        path.write_bytes(saved)
"""


def test_named_pipes_at_the_stores_files_are_errors_not_hangs(python, tmp_path):
    result = python(f"BASE = {str(tmp_path / 'base')!r}\n" + PIPES, timeout=30)
    assert result.stdout.splitlines() == [
        f"mcp_users.json {errno.EINVAL} Not a regular file",
        f".mcp_users.lock {errno.ENXIO} No such device or address",
        f"mcp_users.tmp-7 {errno.ENXIO} No such device or address",
    ]


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to plant a file of another user")
def test_a_temporary_file_of_another_user_is_not_taken_over(us, store, monkeypatch):
    monkeypatch.setattr(us.time, "time_ns", lambda: 9)
    planted = store.base_dir / "mcp_users.tmp-9"
    planted.write_text("theirs")
    os.chown(planted, 65534, 65534)
    with pytest.raises(PermissionError):
        store._save([])
    assert planted.read_text() == "theirs" and not store.path.exists()
