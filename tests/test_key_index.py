"""KeyIndex gives store.verify_api_key's answer, however the registry
changes and whoever changes it, and sees every change on the next check."""

import json
import os
import random
import re
import shutil
import subprocess
import sys
import threading
import tracemalloc

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from helpers import outcome
from vardun.mcp.key_index import NEEDS_THREAD, KeyIndex
from vardun.mcp.user_store import MCPUserStore

ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}


def command(base, *args):
    result = subprocess.run([sys.executable, "-P", "-m", "vardun.mcp.users", "--base-dir", str(base),
                             *args, "--json"], env=ENV, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr  # a damaged registry: exit 1
    return json.loads(result.stdout)


# Records a hand-edited registry may hold, each one the scan stumbles on or
# passes over in its own way.
def odd_records(rng, store, keys):
    some_key = rng.choice(keys)
    return [
        7, "text", [1, 2], None,
        {"user_id": "u_nohash0"},
        {"user_id": "u_nullhsh", "api_key_hash": None},
        {"user_id": "u_numhash", "api_key_hash": 12},
        {"user_id": "u_wide000", "api_key_hash": "sha256:é" + "0" * 63},
        {"api_key_hash": store.hash_api_key(some_key)},  # a match without user_id
        {"user_id": 42, "api_key_hash": store.hash_api_key(some_key)},
        {"user_id": "u_listdsc", "api_key_hash": store.hash_api_key(some_key), "description": [1]},
        {"user_id": "u_nulldat", "api_key_hash": store.hash_api_key(some_key), "created_at": None},
        {"user_id": "../escape", "api_key_hash": store.hash_api_key(some_key)},
    ]


def plain(record):
    return (isinstance(record, dict) and re.fullmatch(r"u_[0-9a-f]{8}", str(record.get("user_id")))
            and re.fullmatch(r"sha256:[0-9a-f]{64}", str(record.get("api_key_hash")))
            and isinstance(record.get("description"), str))


def hand_edit(rng, store, keys):
    records = json.loads(store.path.read_text()) if store.path.exists() else []
    choice = rng.randrange(4)
    if choice == 0 and records:  # a duplicate, early or late
        records.insert(rng.randrange(len(records) + 1), dict(rng.choice(records)))
    elif choice == 1 and records:  # another user sharing a key
        shared = dict(rng.choice(records), user_id=f"u_{rng.getrandbits(32):08x}")
        records.insert(rng.randrange(len(records) + 1), shared)
    elif choice == 2:  # one odd record, in place of any earlier ones
        records = [r for r in records if plain(r)]
        records.insert(rng.randrange(len(records) + 1), rng.choice(odd_records(rng, store, keys)))
    else:  # the damage taken out again
        records = [r for r in records if plain(r)]
    text = json.dumps(records, ensure_ascii=False, indent=2)
    if rng.random() < 0.5:
        store.path.write_text(text)  # in place, as an editor may
    else:
        temp = store.path.with_suffix(".edit")
        temp.write_text(text)
        temp.replace(store.path)


@pytest.mark.parametrize("seed", range(8))
def test_the_index_answers_as_the_store_whatever_happens(store, seed):
    rng = random.Random(seed)
    index = KeyIndex(store)
    current, old = {}, []
    unknown = [store._new_api_key() for _ in range(3)] + ["", "   ", "Bearer", "vardun-mcp-x"]
    for step in range(70):
        action = rng.choice(["add", "add", "rotate", "remove", "edit", "dir", "command"])
        try:  # a damaged registry makes the changes fail, as it should
            if action == "add" or not current:
                added = store.add_user(f"user {step} 用户")
                current[added["user_id"]] = added["api_key"]
            elif action == "rotate":
                user_id = rng.choice(sorted(current))
                current[user_id], old[:0] = store.rotate_api_key(user_id)["api_key"], [current[user_id]]
            elif action == "remove":
                user_id = rng.choice(sorted(current))
                store.remove_user(user_id, keep_credentials=rng.random() < 0.3)
                old.append(current.pop(user_id))
            elif action == "edit":
                hand_edit(rng, store, [*current.values(), *old])
            elif action == "dir":  # what the server or an operator does to a directory
                user_dir = store.credential_dir(rng.choice(sorted(current)))
                if user_dir.exists() and rng.random() < 0.5:
                    shutil.rmtree(user_dir)
                elif user_dir.exists():
                    user_dir.chmod(0o755)
            elif step % 10 == 0:  # the command, in another process
                user_id = rng.choice(sorted(current))
                rotated = command(store.base_dir, "rotate", user_id)
                current[user_id], old[:0] = rotated["api_key"], [current[user_id]]
        except (AttributeError, TypeError, ValueError, KeyError, AssertionError):
            pass
        for key in rng.sample([*current.values(), *old, *unknown],
                              min(12, len(current) + len(old) + len(unknown))):
            for presented in (key, f"Bearer {key}"):
                # The index first: it must not lean on what the store's call did.
                assert outcome(index.verify_api_key, presented) == \
                    outcome(store.verify_api_key, presented), (step, action, presented)


def test_a_store_that_replaces_a_step_is_asked_itself(store, us, monkeypatch):
    key = store.add_user("Alice")["api_key"]
    seen = []

    class Logging(us.MCPUserStore):
        def _load(self):
            seen.append("load")
            return super()._load()

    logging_store = Logging(store.base_dir)
    index = KeyIndex(logging_store)
    for _ in range(3):
        assert index.verify_api_key(key).description == "Alice"
    assert seen == ["load"] * 3
    # Instance attributes and rebound module names count too.
    plain = KeyIndex(store)
    assert plain.answer_without_parsing(key) is NEEDS_THREAD  # not parsed yet
    assert plain.verify_api_key(key) and plain.answer_without_parsing(key).description == "Alice"
    monkeypatch.setattr(store, "hash_api_key", lambda value: "sha256:" + "0" * 64)
    assert plain.answer_without_parsing(key) is NEEDS_THREAD and plain.verify_api_key(key) is None
    monkeypatch.undo()
    monkeypatch.setattr(us.hmac, "compare_digest", lambda a, b: True)
    assert plain.verify_api_key("anything").description == "Alice"
    with pytest.raises(TypeError):
        KeyIndex(object())


def test_failures_are_the_stores(store):
    key = store.add_user("Alice")["api_key"]
    index = KeyIndex(store)
    assert index.verify_api_key(key)
    os.chown(store.path, 65534, 65534)  # a registry of another account: refused, not read
    with pytest.raises(PermissionError, match="chown it to"):
        index.verify_api_key(key)
    os.chown(store.path, 0, 0)
    for bad in (b"key", 3, str):
        assert outcome(index.verify_api_key, bad) == outcome(store.verify_api_key, bad)
    with pytest.raises(UnicodeEncodeError):
        index.verify_api_key("\ud800")


def test_revocation_reaches_the_next_check_across_processes(store):
    """Another process rotates and removes; the very next check here sees it."""
    index = KeyIndex(store)
    users = [store.add_user(f"u{n}") for n in range(20)]
    keys = {user["user_id"]: user["api_key"] for user in users}
    changer = subprocess.Popen(
        [sys.executable, "-P", "-c", ROTATOR, str(store.base_dir)], env=ENV, text=True,
        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    with changer:
        for round_ in range(300):
            user_id = users[round_ % len(users)]["user_id"]
            assert index.verify_api_key(keys[user_id]).user_id == user_id
            changer.stdin.write(user_id + "\n")
            changer.stdin.flush()
            new_key = changer.stdout.readline().strip()
            assert index.verify_api_key(keys[user_id]) is None, round_
            assert index.verify_api_key(new_key).user_id == user_id
            keys[user_id] = new_key
        changer.stdin.close()
    # And through the command itself, removal included.
    user_id = users[0]["user_id"]
    new_key = command(store.base_dir, "rotate", user_id)["api_key"]
    assert index.verify_api_key(keys[user_id]) is None and index.verify_api_key(new_key)
    command(store.base_dir, "remove", user_id)
    assert index.verify_api_key(new_key) is None


def test_an_edit_in_place_is_seen_even_with_its_old_modification_time(store):
    key = store.add_user("Alice")["api_key"]
    index = KeyIndex(store)
    assert index.verify_api_key(key).description == "Alice"
    info = store.path.stat()
    store.path.write_text(store.path.read_text().replace("Alice", "Alicf"))
    os.utime(store.path, ns=(info.st_atime_ns, info.st_mtime_ns))  # as cp -p would leave it
    assert index.verify_api_key(key).description == "Alicf"


ROTATOR = """
import sys
from vardun.mcp.user_store import MCPUserStore
store = MCPUserStore(sys.argv[1])
for line in sys.stdin:
    print(store.rotate_api_key(line.strip())["api_key"], flush=True)
"""

CHURN = """
import sys
from vardun.mcp.user_store import MCPUserStore
store = MCPUserStore(sys.argv[1])
ids = sys.argv[2:]
while sys.stdin.readline():
    for user_id in ids:
        store.rotate_api_key(user_id)
    print("rotated", flush=True)
"""


def test_threads_share_one_index_while_another_process_rotates(store):
    stable = [store.add_user(f"stable {n}") for n in range(16)]
    churned = [store.add_user(f"churned {n}")["user_id"] for n in range(4)]
    revoked = store.add_user("revoked")
    store.rotate_api_key(revoked["user_id"])
    index = KeyIndex(store)
    wrong, checks, stop = [], [], threading.Event()

    def check(user):
        while not stop.is_set():
            if (found := index.verify_api_key(user["api_key"])) is None or \
                    found.user_id != user["user_id"]:
                wrong.append((user["user_id"], found))
            if index.verify_api_key(revoked["api_key"]) is not None:
                wrong.append(("revoked", "accepted"))
            checks.append(1)

    with subprocess.Popen([sys.executable, "-P", "-c", CHURN, str(store.base_dir), *churned],
                          env=ENV, text=True, stdin=subprocess.PIPE, stdout=subprocess.PIPE) as churn:
        threads = [threading.Thread(target=check, args=(user,)) for user in stable]
        for thread in threads:
            thread.start()
        try:
            for _ in range(25):
                churn.stdin.write("go\n")
                churn.stdin.flush()
                assert churn.stdout.readline() == "rotated\n"
        finally:
            stop.set()
            for thread in threads:
                thread.join()
            churn.stdin.close()
    assert wrong == [] and len(checks) > 16

    # Threads that find the registry changed all at once read it once.
    reads = index._state()["reads"]
    store.rotate_api_key(churned[0])
    barrier = threading.Barrier(16)

    def at_once(user):
        barrier.wait()
        assert index.verify_api_key(user["api_key"]).user_id == user["user_id"]

    threads = [threading.Thread(target=at_once, args=(user,)) for user in stable]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert index._state()["reads"] == reads + 1


def test_the_index_holds_less_than_the_parsed_registry(store):
    # The registry written directly: adding 2,000 users one by one takes long.
    records = [{"user_id": f"u_{n:08x}", "api_key_hash": store.hash_api_key(f"key {n}"),
                "description": f"user {n} 用户", "created_at": "2026-12-09T11:31:08.317612+00:00",
                "rotated_at": "2026-12-09T11:31:09.317612+00:00"} for n in range(2000)]
    store._save(records)
    index = KeyIndex(store)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        loaded = store._load()
        parsed = tracemalloc.get_traced_memory()[0] - before
        del loaded
        before = tracemalloc.get_traced_memory()[0]
        assert index.verify_api_key("key 1999").user_id == "u_000007cf"
        held = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert 0 < held <= parsed, (held, parsed)


# Text the native normalisation could get wrong: every kind of whitespace the
# interpreter strips, letters whose lower case is not ASCII (or is longer),
# surrogates, and the scheme word in any case.
_AWKWARD = st.text(st.sampled_from(
    list(" \t\n\x0b\x0c\r\x1c\x1d\x1e\x1f\x85\xa0\u1680\u2000\u2028\u3000\ufeff")
    + ["B", "b", "E", "A", "R", "İ", "\u212a", "ß", "é", "中", "\U0001f600", "\ud800", "x"]),
    max_size=12)


@settings(max_examples=int(os.environ.get("VARDUN_FUZZ_EXAMPLES", "60")), deadline=None)
@given(prefix=_AWKWARD, scheme=st.sampled_from(["", "bearer ", "Bearer ", "BEARER  ", "bearer\t"]),
       body=_AWKWARD, suffix=_AWKWARD)
def test_presented_keys_are_normalised_and_hashed_as_the_store_does(tmp_path_factory, prefix,
                                                                   scheme, body, suffix):
    store = MCPUserStore(tmp_path_factory.mktemp("base"))
    presented = prefix + scheme + body + suffix
    try:
        stored = store.hash_api_key(store.normalize_api_key(presented))
    except UnicodeEncodeError:
        stored = None
    store._save([{"user_id": "u_0000abcd", "api_key_hash": stored or "sha256:", "description": ""}])
    assert outcome(KeyIndex(store).verify_api_key, presented) == \
        outcome(store.verify_api_key, presented)
