"""A stale file handle (ESTALE) where a fresh look would succeed is not an
error: the store and the key index list the directory, which makes a FUSE
file system look the name up afresh, and try again, a bounded number of
times. Driven by stale_handle_shim.c, preloaded into one interpreter, which
fails chosen calls the way a file system shared between hosts does; the
real thing runs in `make multihost`."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

SHIM_SOURCE = Path(__file__).with_name("stale_handle_shim.c")

CASES = r"""
import ctypes, errno, json, os, pathlib, sys
from vardun.mcp.key_index import KeyIndex
from vardun.mcp.user_store import MCPUserStore

shim = ctypes.CDLL(os.environ["STALE_SHIM"])
store = MCPUserStore(sys.argv[1])
alice = store.add_user("Alice")
key, user_id = alice["api_key"], alice["user_id"]
results = {}


def case(name, call, suffix, count, action, error=errno.ESTALE):
    shim.stale_arm(call.encode(), suffix.encode(), count, error)
    try:
        outcome = {"answer": action()}
    except OSError as raised:
        outcome = {"errno": raised.errno, "filename": raised.filename}
    outcome.update(injected=shim.stale_injected(), listings=shim.stale_listings())
    shim.stale_arm(b"", b"", 0, 0)
    results[name] = outcome


def verified():
    user = store.verify_api_key(key)
    return user and user.user_id


registry = os.fspath(store.path)
case("registry open", "open", "/mcp_users.json", 1, verified)
case("registry read", "read", "/mcp_users.json", 2, verified)
case("registry close", "close", "/mcp_users.json", 1, verified)
# On an open file, "no such file" is the server saying it is gone.
case("registry fstat", "fstat", "/mcp_users.json", 1, verified, errno.ENOENT)
case("registry exists", "stat", "/mcp_users.json", 1, lambda: len(store._load()))
case("lock file open", "open", "/.mcp_users.lock", 1, lambda: bool(store.add_user("Bob")))
case("users directory at construction", "open", "/users", 1,
     lambda: str(MCPUserStore(sys.argv[1]).users_dir))
case("credential directory ensured", "open", "/users", 1, verified)
bob = [user.user_id for user in store.list_users() if user.description == "Bob"][0]
case("credential directory removed", "open", "/users", 1,
     lambda: store.remove_user(bob) and not store.credential_dir(bob).exists())
case("always stale", "open", "/mcp_users.json", 1000, verified)
case("another error", "open", "/mcp_users.json", 1, verified, errno.EIO)


class OwnPath(type(store.path)):
    pass


plain = store.path
store.path = OwnPath(plain)
case("exists of another path type", "stat", "/mcp_users.json", 1, lambda: len(store._load()))
store.path = plain

index = KeyIndex(store)
index.verify_api_key(key)
key = store.rotate_api_key(user_id)["api_key"]
case("key index open", "open", "/mcp_users.json", 1,
     lambda: [index.verify_api_key(key).user_id, index.verify_api_key(alice["api_key"])])
old_key, key = key, store.rotate_api_key(user_id)["api_key"]
case("key index close", "close", "/mcp_users.json", 1,
     lambda: [index.verify_api_key(key).user_id, index.verify_api_key(old_key)])
old_key, key = key, store.rotate_api_key(user_id)["api_key"]
case("key index fstat", "fstat", "/mcp_users.json", 1,
     lambda: [index.verify_api_key(key).user_id, index.verify_api_key(old_key)], errno.ENOENT)
if hasattr(sys, "gettotalrefcount"):  # the debug interpreter: references kept by retries
    import gc

    def stale_round():
        for call, count in (("stat", 1), ("open", 1), ("close", 1), ("open", 1000)):
            shim.stale_arm(call.encode(), b"/mcp_users.json", count, errno.ESTALE)
            try:
                verified()
            except OSError:
                pass
        shim.stale_arm(b"", b"", 0, 0)

    deltas = []
    for _ in range(8):
        gc.collect()
        before = sys.gettotalrefcount()
        for _ in range(4):
            stale_round()
        gc.collect()
        after = sys.gettotalrefcount()
        deltas.append(after - before)
    results["reference deltas"] = deltas[3:]
print(json.dumps({"results": results, "user_id": user_id, "registry": registry}))
"""


@pytest.fixture(scope="module")
def outcomes(tmp_path_factory):
    """Every case, run once in one interpreter with the shim preloaded."""
    work = tmp_path_factory.mktemp("stale")
    shim = work / "stale_handle_shim.so"
    compiler_env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run(["gcc", "-shared", "-fPIC", "-O1", "-o", str(shim), str(SHIM_SOURCE), "-ldl"],
                   check=True, env=compiler_env, timeout=120)
    # After the sanitizer's runtime, when a sanitizer run preloads it.
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))
    env = {**os.environ, "LD_PRELOAD": preload, "STALE_SHIM": str(shim),
           "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    result = subprocess.run([sys.executable, "-P", "-c", CASES, str(work / "base")], env=env,
                            capture_output=True, text=True, timeout=120, check=False)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1])


@pytest.mark.parametrize("name", ["registry open", "registry read", "registry close",
                                  "registry fstat", "lock file open",
                                  "users directory at construction",
                                  "credential directory ensured", "credential directory removed",
                                  "registry exists"])
def test_a_stale_handle_is_looked_up_afresh_and_tried_again(outcomes, name):
    outcome = outcomes["results"][name]
    assert "errno" not in outcome, outcome
    assert outcome["answer"] not in (None, False, 0), outcome
    assert outcome["injected"] >= 1
    # The fresh look-up is a listing of the directory, before the next try.
    assert outcome["listings"] >= 1


def test_a_handle_that_stays_stale_fails_after_a_few_tries(outcomes):
    outcome = outcomes["results"]["always stale"]
    assert outcome["errno"] == 116 and outcome["filename"] == outcomes["registry"]
    assert 2 <= outcome["injected"] <= 4
    assert outcome["listings"] == outcome["injected"] - 1


def test_other_errors_and_exists_of_other_path_types_are_not_tried_again(outcomes):
    for name in ("another error", "exists of another path type"):
        outcome = outcomes["results"][name]
        assert outcome["injected"] == 1 and outcome["listings"] == 0, (name, outcome)
        assert outcome["errno"] in (5, 116)


@pytest.mark.parametrize("name", ["key index open", "key index close", "key index fstat"])
def test_the_key_index_looks_the_registry_up_afresh(outcomes, name):
    outcome = outcomes["results"][name]
    assert outcome["answer"] == [outcomes["user_id"], None]
    assert outcome["injected"] == 1 and outcome["listings"] >= 1


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs the debug interpreter")
def test_retries_keep_no_references(outcomes):
    # A leak grows the count in every tracked round.
    assert min(outcomes["results"]["reference deltas"]) < 1, outcomes["results"]
