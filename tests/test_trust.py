"""The store trusts only files its own account wrote: a registry of anyone
else's, or one with a second name, is an error, not a source of users; a lock
file of another account is refused, and one of its own that others could
open is replaced by a private one when it is used."""

import fcntl
import json
import os
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

import pytest

from vardun.mcp.key_index import KeyIndex
from vardun.mcp.user_store import MCPUserStore

SERVICE, MEMBER = 65534, 54321  # the service account and a team member

# Runs in a process of its own account: argv is the base directory and what to do.
ACT = """
import json, os, sys
from vardun.mcp.user_store import MCPUserStore
base, action = sys.argv[1], sys.argv[2]
if action == "probe":
    print("probe")
elif action == "setup":
    store = MCPUserStore(base)
    print(json.dumps(store.add_user("Alice (frontend)")))
elif action == "swap":
    # A team member moves the base directory away and puts their own in its
    # place, with alice's identifier under a key of theirs.
    alice = json.loads(sys.argv[3])
    os.rename(base, base + ".moved")
    store = MCPUserStore(base)
    store._save([{"user_id": alice["user_id"], "api_key_hash": store.hash_api_key(sys.argv[4]),
                  "description": "Alice (frontend)", "created_at": alice["created_at"]}])
    os.chmod(base, 0o755)  # so that the server can read it
    os.chmod(store.path, 0o644)
elif action == "serve":
    # The running server: its store was made before the swap.
    store = MCPUserStore(base)
    print("ready", flush=True)
    for key in sys.stdin:
        try:
            user = store.verify_api_key(key.strip())
            print(user and user.user_id, flush=True)
        except PermissionError as error:
            print(f"{type(error).__name__}: {error}", flush=True)
"""


def as_account(uid, *args, **kwargs):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    return subprocess.Popen([sys.executable, "-P", "-c", ACT, *map(str, args)], user=uid,
                            group=uid, extra_groups=[4242], env=env, text=True,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, **kwargs)


@pytest.fixture
def shared_dir():
    """A directory other accounts can reach (pytest's own are root's alone)."""
    if os.geteuid() != 0:
        pytest.skip("acting as other accounts needs root")
    with tempfile.TemporaryDirectory(prefix="vardun-team-") as top:
        os.chmod(top, 0o755)
        probe = as_account(SERVICE, top, "probe")
        if probe.communicate(timeout=60)[0] != "probe\n":
            pytest.skip("the build cannot be imported as another account")
        yield Path(top)


def test_a_base_directory_swapped_in_a_writable_parent_gives_no_user(shared_dir):
    team = shared_dir / "team"
    team.mkdir()
    os.chown(team, 0, 4242)
    os.chmod(team, 0o2775)
    base = team / "base"
    setup = as_account(SERVICE, base, "setup")
    alice = json.loads(setup.communicate(timeout=60)[0])
    with as_account(SERVICE, base, "serve") as server:
        assert server.stdout.readline() == "ready\n"
        server.stdin.write(alice["api_key"] + "\n")
        server.stdin.flush()
        assert server.stdout.readline() == f"{alice['user_id']}\n"

        stolen = "vardun-mcp-" + "T" * 32
        swap = as_account(MEMBER, base, "swap", json.dumps(alice), stolen)
        assert swap.communicate(timeout=60) == ("", None) and swap.returncode == 0
        for key in (stolen, alice["api_key"]):
            server.stdin.write(key + "\n")
            server.stdin.flush()
            answer = server.stdout.readline()
            assert answer.startswith("PermissionError: [Errno 1] Owned by uid 54321, not by "
                                     "this process's account nobody (uid 65534): chown it to "
                                     "nobody if that is right"), answer
            assert str(base / "mcp_users.json") in answer


@pytest.mark.parametrize("owner, base_owner, accepted", [
    (0, 0, True),              # root's own store
    (SERVICE, SERVICE, True),  # root working on the service account's store
    (SERVICE, 0, False),       # a file of someone else in root's store
    (MEMBER, SERVICE, False),  # a file of a third account in the service's store
])
def test_root_reads_a_registry_of_root_or_of_the_base_directorys_owner(
        store, owner, base_owner, accepted):
    key = store.add_user("x")["api_key"]
    os.chown(store.path, owner, owner)
    os.chown(store.base_dir, base_owner, base_owner)
    if accepted:
        assert store.verify_api_key(key) is not None and len(store.list_users()) == 1
        return
    for operation in (lambda: store.verify_api_key(key), store.list_users,
                      lambda: store.rotate_api_key("u_00000000")):
        with pytest.raises(PermissionError, match="chown it to") as caught:
            operation()
        assert caught.value.filename == str(store.path)
    # The refusal takes nothing away: the registry is as it was.
    os.chown(store.path, 0, 0)
    assert store.verify_api_key(key) is not None


def test_a_lock_file_others_could_open_is_replaced_and_another_accounts_refused(store):
    for mode in (0o644, 0o660, 0o606):
        store.lock_path.touch()
        store.lock_path.chmod(mode)
        inode = store.lock_path.stat().st_ino
        with open(store.lock_path, "rb") as planted:  # opened while others could
            store.remove_user("u_00000000")
            after = store.lock_path.stat()
            assert (after.st_mode & 0o777, after.st_ino != inode) == (0o600, True)
            # Holding what was opened then keeps no operation waiting.
            fcntl.flock(planted, fcntl.LOCK_EX)
            removal = threading.Thread(target=store.remove_user, args=("u_00000000",))
            removal.start()
            removal.join(10)
            waited = removal.is_alive()
            fcntl.flock(planted, fcntl.LOCK_UN)
            removal.join()
        assert not waited and store.lock_path.stat().st_ino == after.st_ino
    assert sorted(os.listdir(store.base_dir)) == [".mcp_users.lock", "users"]
    # Another account's is refused, whatever its mode, and left as it is.
    os.chown(store.lock_path, MEMBER, MEMBER)
    store.lock_path.chmod(0o666)
    with pytest.raises(PermissionError, match="^.*Owned by uid 54321, not by root") as refused:
        store.remove_user("u_00000000")
    assert refused.value.filename == str(store.lock_path) and "chown it to" in str(refused.value)
    assert (store.lock_path.stat().st_uid, store.lock_path.stat().st_mode & 0o777) == (MEMBER, 0o666)


@pytest.mark.parametrize("check", ["store", "index"])
def test_a_registry_with_a_second_name_is_refused_so_no_removal_can_be_undone(store, check):
    verify = store.verify_api_key if check == "store" else KeyIndex(store).verify_api_key
    bob = store.add_user("Bob")
    for _ in range(2):  # the second answered from the index's watch
        assert verify(bob["api_key"]).user_id == bob["user_id"]
    # Bob keeps a name for the registry that lets him in, to put it back
    # once he has been removed.
    kept = store.base_dir / "kept"
    os.link(store.path, kept)
    for operation in (lambda: verify(bob["api_key"]), lambda: store.remove_user(bob["user_id"])):
        with pytest.raises(PermissionError, match="Has 2 links") as refused:
            operation()
        assert refused.value.filename == str(store.path)
    kept.unlink()
    assert verify(bob["api_key"]).user_id == bob["user_id"]
    assert store.remove_user(bob["user_id"]) and verify(bob["api_key"]) is None


def test_the_owner_is_the_effective_account_not_the_real_one(shared_dir, python):
    # A process that gave up root for the service account reads only the
    # service's registry, though its real account is still root.
    store = MCPUserStore(shared_dir / "base")
    key = store.add_user("Alice")["api_key"]
    store.base_dir.chmod(0o755)
    store.path.chmod(0o644)
    result = python(
        "import os\n"
        "from vardun.mcp.user_store import MCPUserStore\n"
        f"store = MCPUserStore({str(store.base_dir)!r})\n"
        f"os.seteuid({SERVICE})\n"
        "try:\n"
        f"    print(store.list_users(), store.verify_api_key({key!r}))\n"
        "except PermissionError as error:\n"
        "    print(error)\n")
    assert result.stdout.startswith("[Errno 1] Owned by root (uid 0), not by this process's "
                                    "account nobody (uid 65534)"), result.stdout
