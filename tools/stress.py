"""Concurrency stress run on one registry.

Writer processes (each with one or more threads) add, rotate and remove users
while reader processes verify keys and list users in a loop, all for a fixed
time. Every writer thread journals each operation that returned; at the end the
registry must hold exactly the users whose adds returned and whose removes did
not, with the key that the last returned add or rotation handed out.

    python3 -P tools/stress.py [--writers 6] [--threads 2] [--readers 2] [--seconds 30]

Exits non-zero when a change was lost or any process saw an error. The test
suite imports `run` for a smaller run.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import re
import secrets
import subprocess
import sys
import tempfile
import threading
import time
import traceback
from pathlib import Path

USER_ID = re.compile(r"u_[0-9a-f]{8}")
# Users a writer thread keeps at most; past that it removes before adding, so
# the registry stays small enough for the run to measure contention, not size.
MAX_OWN_USERS = 6
SEEDED_USERS = 3
# A reader that verifies a key while its user is being removed may recreate
# the user's credential directory after the removal (the readers take no lock).
# So readers only verify keys of users that are never removed; removal still
# races with every listing and with the readers' loads.
PERMANENT_USERS = 2


def _store(base):
    from vardun.mcp.user_store import MCPUserStore

    return MCPUserStore(base)


# ---------------------------------------------------------------------------
# Writer


def _writer_thread(base, journal_path, seconds, seed, counts, lock):
    rng = random.Random(seed)
    store = _store(base)
    mine = {}  # user_id -> current key
    permanent = set()  # never removed, so readers may verify their keys
    ops = {"add": 0, "rotate": 0, "remove": 0, "remove_missing": 0}
    problems = []
    with open(journal_path, "a", encoding="utf-8") as journal:

        def record(entry):
            journal.write(json.dumps(entry) + "\n")
            journal.flush()

        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            roll = rng.random()
            try:
                removable = sorted(set(mine) - permanent)
                if len(mine) < PERMANENT_USERS + 1 or (roll < 0.45 and len(mine) < MAX_OWN_USERS):
                    description = f"stress {seed} {ops['add']}"
                    result = store.add_user(description)
                    lasting = len(permanent) < PERMANENT_USERS
                    record(
                        {
                            "op": "add",
                            "user_id": result["user_id"],
                            "key": result["api_key"],
                            "permanent": lasting,
                        }
                    )
                    mine[result["user_id"]] = result["api_key"]
                    if lasting:
                        permanent.add(result["user_id"])
                    ops["add"] += 1
                    # A writer reads its own change at once, in any process.
                    seen = store.verify_api_key(result["api_key"])
                    if seen is None or seen.user_id != result["user_id"]:
                        problems.append(f"own add not visible: {result['user_id']}")
                elif roll < 0.75:
                    user_id = rng.choice(sorted(mine))
                    result = store.rotate_api_key(user_id)
                    record(
                        {
                            "op": "rotate",
                            "user_id": user_id,
                            "key": result["api_key"],
                            "permanent": user_id in permanent,
                        }
                    )
                    old = mine[user_id]
                    mine[user_id] = result["api_key"]
                    ops["rotate"] += 1
                    if store.verify_api_key(old) is not None:
                        problems.append(f"rotated-away key still verifies: {user_id}")
                elif roll < 0.95 and removable:
                    user_id = rng.choice(removable)
                    keep = rng.random() < 0.3
                    removed = store.remove_user(user_id, keep_credentials=keep)
                    record({"op": "remove", "user_id": user_id, "result": removed, "keep": keep})
                    del mine[user_id]
                    ops["remove"] += 1
                    if removed is not True:
                        problems.append(f"remove of own user returned {removed!r}: {user_id}")
                else:
                    # An identifier no writer ever holds: nothing may change.
                    missing = "u_" + secrets.token_hex(5)
                    if store.remove_user(missing) is not False:
                        problems.append(f"remove of unknown user did not return False: {missing}")
                    ops["remove_missing"] += 1
            except Exception:
                problems.append(traceback.format_exc())
                break
    with lock:
        for name, value in ops.items():
            counts[name] = counts.get(name, 0) + value
        counts.setdefault("problems", []).extend(problems)


def _writer(args):
    counts = {}
    lock = threading.Lock()
    threads = [
        threading.Thread(
            target=_writer_thread,
            args=(
                args.base,
                Path(args.journal_dir) / f"writer-{args.index}-{t}.jsonl",
                args.seconds,
                args.seed * 1000 + t,
                counts,
                lock,
            ),
        )
        for t in range(args.threads)
    ]
    _wait_for_start()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print(json.dumps(counts), flush=True)


# ---------------------------------------------------------------------------
# Reader


def _journal_keys(journal_dir):
    """(key, user_id) pairs that writers have handed out so far."""
    pairs = []
    for path in Path(journal_dir).glob("writer-*.jsonl"):
        for line in path.read_text(encoding="utf-8").splitlines():
            try:
                entry = json.loads(line)
            except ValueError:
                continue  # a line still being written
            if "key" in entry and entry["permanent"]:
                pairs.append((entry["key"], entry["user_id"]))
    return pairs


def _reader(args):
    rng = random.Random(args.seed)
    store = _store(args.base)
    seeded = json.loads(Path(args.seeded).read_text(encoding="utf-8"))
    counts = {"list": 0, "verify": 0, "problems": []}
    problems = counts["problems"]
    handed_out = []
    _wait_for_start()
    deadline = time.monotonic() + args.seconds
    rounds = 0
    try:
        while time.monotonic() < deadline:
            if rounds % 20 == 0:
                handed_out = _journal_keys(args.journal_dir)
            rounds += 1

            listed = store.list_users()
            counts["list"] += 1
            ids = [user.user_id for user in listed]
            if len(ids) != len(set(ids)):
                problems.append(f"duplicate identifiers listed: {sorted(ids)}")
            for user_id in ids:
                if not USER_ID.fullmatch(user_id):
                    problems.append(f"malformed identifier listed: {user_id!r}")
            for user_id in seeded:
                if user_id not in ids:
                    problems.append(f"seeded user missing from a listing: {user_id}")

            for user_id, key in seeded.items():
                presented = key if rng.random() < 0.5 else f"Bearer {key}"
                user = store.verify_api_key(presented)
                counts["verify"] += 1
                if user is None or user.user_id != user_id:
                    problems.append(f"seeded key did not verify: {user_id} -> {user}")

            # A key a writer handed out belongs to its user or to nobody by
            # now (rotated or removed since), never to someone else.
            for key, user_id in rng.sample(handed_out, min(5, len(handed_out))):
                user = store.verify_api_key(key)
                counts["verify"] += 1
                if user is not None and user.user_id != user_id:
                    problems.append(f"key of {user_id} verified as {user.user_id}")

            if store.verify_api_key("vardun-mcp-" + secrets.token_urlsafe(24)) is not None:
                problems.append("a random key verified")
            counts["verify"] += 1
            if len(problems) > 20:
                break
    except Exception:
        problems.append(traceback.format_exc())
    print(json.dumps(counts), flush=True)


def _wait_for_start():
    """Reports readiness, then blocks until the parent says go."""
    print("ready", flush=True)
    if sys.stdin.readline().strip() != "go":
        raise SystemExit("stress worker: no start signal")


# ---------------------------------------------------------------------------
# Parent


def _spawn(role, base, journal_dir, seconds, index, seed, *, threads=1, seeded=None):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    command = [
        sys.executable,
        "-P",
        str(Path(__file__).resolve()),
        "--role",
        role,
        "--base",
        str(base),
        "--journal-dir",
        str(journal_dir),
        "--seconds",
        str(seconds),
        "--index",
        str(index),
        "--seed",
        str(seed),
        "--threads",
        str(threads),
    ]
    if seeded is not None:
        command += ["--seeded", str(seeded)]
    return subprocess.Popen(
        command,
        env=env,
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def _expected_state(journal_dir):
    """From the journals: current users with their keys, keys that must no
    longer verify, removed users and whether their directory was kept."""
    current, dead_keys, removed = {}, [], {}
    for path in sorted(Path(journal_dir).glob("writer-*.jsonl")):
        for line in path.read_text(encoding="utf-8").splitlines():
            entry = json.loads(line)
            user_id = entry["user_id"]
            if entry["op"] == "add":
                current[user_id] = entry["key"]
            elif entry["op"] == "rotate":
                dead_keys.append((current[user_id], user_id))
                current[user_id] = entry["key"]
            elif entry["op"] == "remove":
                dead_keys.append((current.pop(user_id), user_id))
                removed[user_id] = entry["keep"]
    return current, dead_keys, removed


def check_registry(base, expected, dead_keys, removed):
    """Compares the registry on disk with what the journals say. Returns
    (changes lost, list of problems)."""
    store = _store(base)
    problems = []
    records = store._load()
    ids = [record.get("user_id") for record in records]
    if len(ids) != len(set(ids)):
        problems.append("duplicate identifiers in the registry")
    missing = sorted(set(expected) - set(ids))
    extra = sorted(set(ids) - set(expected))
    problems += [f"user lost: {user_id}" for user_id in missing]
    problems += [f"user present that should not be: {user_id}" for user_id in extra]
    lost = len(missing) + len(extra)

    by_id = {record.get("user_id"): record for record in records}
    for user_id, key in expected.items():
        record = by_id.get(user_id)
        if record is None:
            continue
        if list(record)[:4] != ["user_id", "api_key_hash", "description", "created_at"]:
            problems.append(f"record keys out of order: {user_id}: {list(record)}")
        if record.get("api_key_hash") != store.hash_api_key(key):
            problems.append(f"stored hash is not the last key's: {user_id}")
            lost += 1
        user = store.verify_api_key(key)
        if user is None or user.user_id != user_id:
            problems.append(f"current key does not verify: {user_id} -> {user}")
        if (store.credential_dir(user_id).stat().st_mode & 0o777) != 0o700:
            problems.append(f"credential directory not 0700: {user_id}")
    for key, user_id in dead_keys:
        if store.verify_api_key(key) is not None:
            problems.append(f"rotated-away or removed key still verifies: {user_id}")
    for user_id, kept in removed.items():
        if user_id in expected:
            continue
        if store.credential_dir(user_id).exists() != kept:
            state = "left behind" if not kept else "deleted despite keep_credentials"
            problems.append(f"credential directory of removed user {state}: {user_id}")
    if store.path.stat().st_mode & 0o777 != 0o600:
        problems.append("registry file is not 0600")
    leftovers = sorted(p.name for p in store.base_dir.glob("mcp_users.tmp-*"))
    if leftovers:
        problems.append(f"temporary files left by saves that succeeded: {leftovers}")
    if store.lock_path.read_bytes() != b"":
        problems.append("lock file is not empty")
    return lost, problems


def run(*, writers=6, threads=2, readers=2, seconds=30.0, base=None, log=print):
    """Runs the stress test and returns its figures; `ok` tells the verdict."""
    with tempfile.TemporaryDirectory(prefix="vardun-stress-") as scratch:
        scratch = Path(scratch)
        base = Path(base) if base else scratch / "base"
        journal_dir = scratch / "journals"
        journal_dir.mkdir()
        store = _store(base)
        seeded = {}
        for n in range(SEEDED_USERS):
            result = store.add_user(f"seeded {n}")
            seeded[result["user_id"]] = result["api_key"]
        seeded_file = scratch / "seeded.json"
        seeded_file.write_text(json.dumps(seeded), encoding="utf-8")

        started = time.monotonic()
        procs = [
            _spawn("writer", base, journal_dir, seconds, i, 7919 * (i + 1), threads=threads)
            for i in range(writers)
        ]
        procs += [
            _spawn("reader", base, journal_dir, seconds, i, 104729 * (i + 1), seeded=seeded_file)
            for i in range(readers)
        ]
        problems = []
        try:
            for proc in procs:
                if proc.stdout.readline().strip() != "ready":
                    raise RuntimeError(f"worker did not start: {proc.stderr.read()}")
            go = time.monotonic()
            for proc in procs:
                proc.stdin.write("go\n")
                proc.stdin.flush()
            reports = []
            for proc in procs:
                remaining = max(1.0, go + seconds + 120 - time.monotonic())
                out, err = proc.communicate(timeout=remaining)
                if proc.returncode != 0:
                    problems.append(f"worker exited with {proc.returncode}: {err.strip()[-2000:]}")
                    reports.append({})
                    continue
                reports.append(json.loads(out.strip().splitlines()[-1]))
        finally:
            for proc in procs:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
        elapsed = time.monotonic() - go

        writer_ops = {"add": 0, "rotate": 0, "remove": 0, "remove_missing": 0}
        reader_ops = {"list": 0, "verify": 0}
        for report in reports[:writers]:
            for name in writer_ops:
                writer_ops[name] += report.get(name, 0)
            problems += report.get("problems", [])
        for report in reports[writers:]:
            for name in reader_ops:
                reader_ops[name] += report.get(name, 0)
            problems += report.get("problems", [])

        expected, dead_keys, removed = _expected_state(journal_dir)
        expected.update(seeded)
        lost, registry_problems = check_registry(base, expected, dead_keys, removed)
        problems += registry_problems

    figures = {
        "writer_processes": writers,
        "threads_per_writer": threads,
        "reader_processes": readers,
        "seconds": round(elapsed, 1),
        "total_seconds": round(time.monotonic() - started, 1),
        "writer_operations": writer_ops,
        "reader_operations": reader_ops,
        "operations": sum(writer_ops.values()) + sum(reader_ops.values()),
        "users_at_end": len(expected),
        "changes_lost": lost,
        "problems": problems,
        "ok": lost == 0 and not problems,
    }
    if log:
        log(
            f"stress: {writers} writer processes x {threads} threads, {readers} reader processes, "
            f"{figures['seconds']} s"
        )
        log(
            f"  writer operations: {sum(writer_ops.values())} "
            + ", ".join(f"{k} {v}" for k, v in writer_ops.items())
        )
        log(
            f"  reader operations: {sum(reader_ops.values())} "
            + ", ".join(f"{k} {v}" for k, v in reader_ops.items())
        )
        log(f"  operations in all: {figures['operations']}")
        log(f"  users at the end: {len(expected)}; changes lost: {lost}")
        log(f"  errors and wrong results: {len(problems)}")
        for problem in problems[:20]:
            log("    " + problem.rstrip().replace("\n", "\n    "))
    return figures


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--writers", type=int, default=6)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--readers", type=int, default=2)
    parser.add_argument("--seconds", type=float, default=30.0)
    parser.add_argument("--base", help="registry directory (default: a temporary one)")
    # Worker side, used by the parent only.
    parser.add_argument("--role", choices=["writer", "reader"], help=argparse.SUPPRESS)
    parser.add_argument("--journal-dir", help=argparse.SUPPRESS)
    parser.add_argument("--index", type=int, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--seed", type=int, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--seeded", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.role and os.environ.get("VARDUN_STRESS_WITHOUT_LOCK") == "1":
        # Self-check of this tool: with no exclusion, changes must get lost.
        from vardun.mcp import user_store

        user_store._FCNTL_AVAILABLE = False
    if args.role == "writer":
        _writer(args)
        return 0
    if args.role == "reader":
        _reader(args)
        return 0
    figures = run(
        writers=args.writers,
        threads=args.threads,
        readers=args.readers,
        seconds=args.seconds,
        base=args.base,
    )
    print("PASS" if figures["ok"] else "FAIL")
    return 0 if figures["ok"] else 1


if __name__ == "__main__":
    sys.exit(main())
