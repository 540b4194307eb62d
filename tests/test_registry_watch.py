"""The key index answers without looking at the files only while the kernel
reports that nothing it read has changed: every way of changing what a
check depends on reaches the next check, whatever path it takes."""

import os
import subprocess

import pytest

from helpers import same, warmed
from vardun.mcp.key_index import KeyIndex
from vardun.mcp.user_store import MCPUserStore


def other_registry(base_dir, like):
    """A registry at `base_dir` holding `like`'s user id under another key."""
    planted = MCPUserStore(base_dir)
    key = planted.add_user("planted")["api_key"]
    records = planted._load()
    records[0]["user_id"] = like
    planted._save(records)
    return key


def test_changes_that_go_by_another_name_reach_the_next_check(tmp_path):
    top = tmp_path / "top"
    store = MCPUserStore(top / "base")
    alice = store.add_user("Alice")
    key = alice["api_key"]

    # A write through another link to the registry, its times put back: the
    # second name is refused, as the store refuses it, and once it is gone
    # what was written through it is read.
    index = warmed(store, key)
    linked = tmp_path / "elsewhere.json"
    os.link(store.path, linked)
    info = store.path.stat()
    linked.write_text(linked.read_text().replace("Alice", "Alicf"))
    os.utime(linked, ns=(info.st_atime_ns, info.st_mtime_ns))
    with pytest.raises(PermissionError, match="Has 2 links"):
        index.verify_api_key(key)
    linked.unlink()
    assert index.verify_api_key(key).description == "Alicf"

    # A directory on the way renamed away and another put in its place.
    index = warmed(store, key)
    top.rename(tmp_path / "top.old")
    planted = other_registry(top / "base", alice["user_id"])
    assert index.verify_api_key(key) is None
    assert index.verify_api_key(planted).description == "planted"


def test_directories_changed_under_the_index_are_put_right_by_the_next_check(store):
    alice = store.add_user("Alice")
    key, user_dir = alice["api_key"], store.credential_dir(alice["user_id"])

    def modes():
        return [(p.stat().st_mode, p.stat().st_uid) for p in (store.users_dir, user_dir)]

    for change in (lambda: store.users_dir.chmod(0o755), lambda: user_dir.chmod(0o750),
                   lambda: os.chown(user_dir, 65534, 65534), lambda: user_dir.rmdir()):
        index = warmed(store, key)
        change()
        assert index.verify_api_key(key).user_id == alice["user_id"]
        by_index = modes()
        assert store.verify_api_key(key) and modes() == by_index
        assert by_index[1][0] & 0o777 == 0o700
        os.chown(user_dir, os.geteuid(), os.getegid())
        store.users_dir.chmod(0o700)  # which the store leaves as it finds it


def test_unrelated_changes_leave_the_watch_answering(store, tmp_path):
    key = store.add_user("Alice")["api_key"]
    index = warmed(store, key)
    for directory in (tmp_path, store.base_dir, store.users_dir / ".." / ".."):
        (directory / "noise").write_text("x")
        (directory / "noise").unlink()
    with store._locked():  # the lock file's name is no registry's
        pass
    assert index._state()["quiet"]


def test_a_forked_child_leaves_the_parents_changes_to_the_parent(store):
    """The child shares the parent's notification queue: were it to read
    from it, the parent would miss the rotation the child saw."""
    alice = store.add_user("Alice")
    key = alice["api_key"]
    index = warmed(store, key)
    reader, writer = os.pipe()
    child = os.fork()
    if child == 0:  # pragma: no cover - the child's report is its exit status
        try:
            os.read(reader, 1)  # the parent has rotated
            os._exit(0 if index.verify_api_key(key) is None else 1)
        finally:
            os._exit(2)
    MCPUserStore(store.base_dir).rotate_api_key(alice["user_id"])
    os.write(writer, b"x")
    assert os.waitpid(child, 0)[1] == 0
    assert index.verify_api_key(key) is None


def test_a_relative_base_directory_follows_the_working_directory(tmp_path, monkeypatch):
    for name in ("one", "two"):
        (tmp_path / name).mkdir()
    monkeypatch.chdir(tmp_path / "one")
    store = MCPUserStore("base")
    alice = store.add_user("Alice")
    index = KeyIndex(store)
    for _ in range(3):
        assert index.verify_api_key(alice["api_key"])
    monkeypatch.chdir(tmp_path / "two")
    planted = other_registry("base", alice["user_id"])
    same(index, store, alice["api_key"], planted)


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root")
def test_another_account_and_a_mount_are_seen(store, tmp_path, python):
    alice = store.add_user("Alice")
    key = alice["api_key"]
    # The process's account changed: the registry is then another account's,
    # which the index sees at its look once a second (a server does not
    # change its account while it answers, so no check asks every time).
    store.base_dir.parent.chmod(0o755)
    python(f"""
import os, time
from vardun.mcp.key_index import KeyIndex
from vardun.mcp.user_store import MCPUserStore
store = MCPUserStore({str(store.base_dir)!r})
index = KeyIndex(store)
for _ in range(3):
    assert index.verify_api_key({key!r})
os.seteuid(65534)
outcomes = []
for check in (index.verify_api_key, store.verify_api_key):
    give_up = time.monotonic() + 3
    while True:
        try:
            check({key!r})
        except PermissionError as error:
            outcomes.append(str(error))
            break
        assert time.monotonic() < give_up, "never refused"
        time.sleep(0.05)
assert outcomes[0] == outcomes[1], outcomes
""")
    index = warmed(store, key)
    elsewhere = tmp_path / "elsewhere"
    planted = other_registry(elsewhere, alice["user_id"])
    mounted = subprocess.run(["mount", "--bind", str(elsewhere), str(store.base_dir)],
                             capture_output=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot bind-mount here: {mounted.stderr.decode().strip()}")
    try:
        assert index.verify_api_key(key) is None
        assert index.verify_api_key(planted).description == "planted"
    finally:
        # The index still holds the mounted registry open.
        subprocess.run(["umount", "--lazy", str(store.base_dir)], check=True)
