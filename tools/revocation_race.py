"""The key index's promise under concurrency: a check that begins after a
rotation returned refuses the old key, in every thread and process.

Another process rotates one user's key every ~20 ms and reports each new key
with the moment `rotate_api_key` returned (time.monotonic_ns(): one clock for
every process of the machine). Checker processes, each with one KeyIndex
shared by its threads (as a server's event loop and its executor share one),
keep checking the last keys handed out, by turns through
`answer_without_parsing` (then `verify_api_key` when it needs the thread) and
`verify_api_key`. A revocation is late when a check of the old key began
after the rotation had returned and still accepted it; a new key is refused
wrongly when a check that ended before the next rotation began refused it.

    python3 -P tools/revocation_race.py [--revocations 1000] [--shape 1x6 --shape 2x3]

Exits non-zero when a revocation was late or a check failed. The test suite
imports `run` for a smaller run.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

_ROTATOR = r"""
import sys, time
from vardun.mcp.user_store import MCPUserStore
store = MCPUserStore(sys.argv[1])
user_id, count, interval = sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
deadline = time.monotonic()
for _ in range(count):
    deadline += interval
    time.sleep(max(0.0, deadline - time.monotonic()))
    began = time.monotonic_ns()
    key = store.rotate_api_key(user_id)["api_key"]
    print(key, began, time.monotonic_ns(), flush=True)
"""

# Keys arrive on stdin ("<key>" per line); at its end the checker reports,
# per key, the latest start of a check that accepted it and the earliest
# end of one that refused it.
_CHECKER = r"""
import json, sys, threading, time
from vardun.mcp.key_index import NEEDS_THREAD, KeyIndex
from vardun.mcp.user_store import MCPUserStore
index = KeyIndex(MCPUserStore(sys.argv[1]))
threads = int(sys.argv[2])
keys, seen, lock = [], {}, threading.Lock()
stop = threading.Event()
counts = {"checks": 0, "errors": 0}

def check(turn):
    mine = {}
    checks = errors = 0
    while not stop.is_set():
        for key in keys[-3:]:
            checks += 1
            began = time.monotonic_ns()
            try:
                if (checks + turn) % 2:
                    user = index.answer_without_parsing(key)
                    if user is NEEDS_THREAD:
                        user = index.verify_api_key(key)
                else:
                    user = index.verify_api_key(key)
            except Exception as error:
                errors += 1
                print(f"error {type(error).__name__}: {error}", file=sys.stderr, flush=True)
                continue
            ended = time.monotonic_ns()
            accepted, refused = mine.get(key, (0, 1 << 63))
            if user is not None:
                mine[key] = (max(accepted, began), refused)
            else:
                mine[key] = (accepted, min(refused, ended))
    with lock:
        counts["checks"] += checks
        counts["errors"] += errors
        for key, (accepted, refused) in mine.items():
            old = seen.get(key, (0, 1 << 63))
            seen[key] = (max(old[0], accepted), min(old[1], refused))

workers = [threading.Thread(target=check, args=(turn,)) for turn in range(threads)]
first = sys.stdin.readline().strip()
keys.append(first)
for worker in workers:
    worker.start()
print("ready", flush=True)
for line in sys.stdin:
    keys.append(line.strip())
stop.set()
for worker in workers:
    worker.join()
print(json.dumps({"seen": seen, **counts}), flush=True)
"""


def _env() -> dict[str, str]:
    return {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}


def run(revocations: int = 1000, shapes: tuple[str, ...] = ("1x6", "2x3"),
        interval: float = 0.02, users: int = 200) -> dict[str, dict[str, int]]:
    """Runs each shape ("PROCESSESxTHREADS") for `revocations` rotations;
    returns per shape the counts of late revocations, wrong refusals,
    checks and errors."""
    from vardun.mcp.user_store import MCPUserStore

    results = {}
    for shape in shapes:
        processes, threads = (int(part) for part in shape.split("x"))
        with tempfile.TemporaryDirectory(prefix="vardun-revocation-") as top:
            store = MCPUserStore(Path(top) / "base")
            records = [{"user_id": f"u_{n:08x}", "api_key_hash": store.hash_api_key(f"k{n}"),
                        "description": f"user {n}", "created_at": "2026-12-09T00:00:00+00:00"}
                       for n in range(users)]
            store._save(records)
            target = store.add_user("rotated")
            results[shape] = _race(store, target, processes, threads, revocations, interval)
    return results


def _race(store, target, processes: int, threads: int, revocations: int,
          interval: float) -> dict[str, int]:
    base = str(store.base_dir)
    checkers = [subprocess.Popen([sys.executable, "-P", "-c", _CHECKER, base, str(threads)],
                                 env=_env(), text=True, stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE) for _ in range(processes)]
    issued = [(target["api_key"], 0, 0)]  # key, rotation began, returned
    try:
        for checker in checkers:
            checker.stdin.write(target["api_key"] + "\n")
            checker.stdin.flush()
        for checker in checkers:
            assert checker.stdout.readline() == "ready\n"
        rotator = subprocess.Popen(
            [sys.executable, "-P", "-c", _ROTATOR, base, target["user_id"], str(revocations),
             str(interval)], env=_env(), text=True, stdout=subprocess.PIPE)
        with rotator:
            for line in rotator.stdout:
                key, began, returned = line.split()
                issued.append((key, int(began), int(returned)))
                for checker in checkers:
                    checker.stdin.write(key + "\n")
                    checker.stdin.flush()
        reports = []
        for checker in checkers:
            checker.stdin.close()
            reports.append(json.loads(checker.stdout.readline()))
            checker.wait(timeout=60)
    finally:
        for checker in checkers:
            if checker.poll() is None:
                checker.kill()
                checker.wait()
            for stream in (checker.stdin, checker.stdout):
                if not stream.closed:
                    stream.close()
    late = wrong = 0
    for number, (key, _, _) in enumerate(issued):
        revoked = issued[number + 1] if number + 1 < len(issued) else None
        for report in reports:
            accepted, refused = report["seen"].get(key, (0, 1 << 63))
            if revoked is not None and accepted > revoked[2]:
                late += 1
            if refused < (revoked[1] if revoked is not None else 1 << 63):
                wrong += 1
    return {"revocations": len(issued) - 1, "late": late, "wrongly_refused": wrong,
            "checks": sum(report["checks"] for report in reports),
            "errors": sum(report["errors"] for report in reports)}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--revocations", type=int, default=1000)
    parser.add_argument("--shape", action="append", dest="shapes",
                        help="PROCESSESxTHREADS (default: 1x6 and 2x3)")
    parser.add_argument("--interval", type=float, default=0.02)
    arguments = parser.parse_args()
    shapes = tuple(arguments.shapes or ("1x6", "2x3"))
    failed = False
    for shape, result in run(arguments.revocations, shapes, arguments.interval).items():
        print(f"{shape}: " + ", ".join(f"{name} {value:,}" for name, value in result.items()))
        failed |= bool(result["late"] or result["wrongly_refused"] or result["errors"])
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
