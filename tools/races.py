"""Races an attacker or plain bad luck can run against the store, many rounds each.

verify-vs-remove: a process checks a user's key without pause (through the
store and through a key index, by turns) while another removes that user, as
the MCP server does while an operator removes someone.
No key check may fail (every answer is the user or None) and no removed
user's credential directory may remain once the checks have stopped.

swap-during-removal: while a user's credential directory is removed, another
process keeps swapping a subdirectory of it for a symbolic link to a
directory elsewhere holding files of the same names. The removal may fail,
but nothing outside the credential directory may be removed or changed.

move-during-deep-removal: while a deep credential directory is removed, another
process keeps moving one of its directories, a few levels down, into a
directory elsewhere holding files named as those beside it, and back. The
removal, which closes the descriptors of the upper levels and comes back up
through "..", may fail, but nothing outside may be removed or changed.

fix-during-swap: `check --fix --force` repairs a registry of mode 0644 while
another process keeps renaming a link to a file outside the store over the
registry's name and back. The file outside must keep its mode and inode.

lock-replaced-while-taken: processes take the write lock without pause while
the lock file is made 0644 again and again, as older stores left it, so that
the locker finding it so replaces it with a private file while others wait
on the old one. No two lockers may ever be inside at once.

    python3 -P tools/races.py [--rounds 300] [--race NAME ...]

Exits non-zero when a round broke a rule. The test suite imports `run` for a
smaller run.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

# Checks keys read from stdin ("<key> <count>" per round) until the key has
# stopped working `count` times in a row, then reports "<checks> <errors>".
# The checks take turns between the store and a key index over it.
_VERIFIER = r"""
import sys
from vardun.mcp.key_index import KeyIndex
from vardun.mcp.user_store import MCPUserStore
store = MCPUserStore(sys.argv[1])
checkers = (store, KeyIndex(store))
for line in sys.stdin:
    key, quiet = line.split()
    checks = errors = misses = 0
    while misses < int(quiet):
        checks += 1
        try:
            user = checkers[checks % 2].verify_api_key(key)
        except Exception as error:
            errors += 1
            print(f"error {type(error).__name__}: {error}", file=sys.stderr, flush=True)
            user = "error"
        misses = misses + 1 if user is None else 0
    print(checks, errors, flush=True)
"""

# Swaps <dir>/sub for a link to <victim> and back until stdin closes.
_SWAPPER = r"""
import os, sys, threading
directory, victim = sys.argv[1], sys.argv[2]
sub, real = os.path.join(directory, "sub"), os.path.join(directory, "sub-real")
stop = threading.Event()
threading.Thread(target=lambda: (sys.stdin.read(), stop.set()), daemon=True).start()
print("swapping", flush=True)
while not stop.is_set():
    try:
        os.rename(sub, real)
        os.symlink(victim, sub)
        os.unlink(sub)
        os.rename(real, sub)
    except OSError:
        pass
"""

# Once <deepest> is gone (the removal is on its way back up), moves <inner> to
# <away> and back until stdin closes; leaves it at <inner>.
_MOVER = r"""
import os, sys, threading, time
inner, away, deepest = sys.argv[1:4]
stop = threading.Event()
threading.Thread(target=lambda: (sys.stdin.read(), stop.set()), daemon=True).start()
print("moving", flush=True)
while os.path.lexists(deepest) and not stop.is_set():
    pass
while not stop.is_set():
    try:
        os.rename(inner, away)
        time.sleep(0.0002)
        os.rename(away, inner)
    except OSError:
        pass
"""

# Swaps <registry> with a link to <victim> and back until stdin closes, each
# time in one renameat2(RENAME_EXCHANGE), so that the name never goes missing.
_RENAMER = r"""
import ctypes, os, sys, threading
registry, victim = sys.argv[1], sys.argv[2]
link = registry + ".link"
os.symlink(victim, link)
libc = ctypes.CDLL(None, use_errno=True)
AT_FDCWD, RENAME_EXCHANGE = -100, 2
names = os.fsencode(registry), os.fsencode(link)
for _ in range(2):
    if libc.renameat2(AT_FDCWD, names[0], AT_FDCWD, names[1], RENAME_EXCHANGE) != 0:
        sys.exit(f"renameat2: {os.strerror(ctypes.get_errno())}")
stop = threading.Event()
threading.Thread(target=lambda: (sys.stdin.read(), stop.set()), daemon=True).start()
print("renaming", flush=True)
while not stop.is_set():
    libc.renameat2(AT_FDCWD, names[0], AT_FDCWD, names[1], RENAME_EXCHANGE)
    libc.renameat2(AT_FDCWD, names[0], AT_FDCWD, names[1], RENAME_EXCHANGE)
"""


# Takes the write lock without pause until stdin closes; inside, claims a
# marker file no other holder may have. Reports "<taken> <overlaps>".
_LOCKER = r"""
import os, sys, threading, time
from vardun.mcp.user_store import MCPUserStore
store = MCPUserStore(sys.argv[1])
marker = os.path.join(sys.argv[1], "inside")
stop = threading.Event()
threading.Thread(target=lambda: (sys.stdin.read(), stop.set()), daemon=True).start()
print("locking", flush=True)
taken = overlaps = 0
while not stop.is_set():
    with store._locked():
        taken += 1
        try:
            os.close(os.open(marker, os.O_WRONLY | os.O_CREAT | os.O_EXCL))
        except FileExistsError:
            overlaps += 1
            continue
        time.sleep(0.0002)
        os.unlink(marker)
print(taken, overlaps, flush=True)
"""


def _store(base):
    from vardun.mcp.user_store import MCPUserStore

    return MCPUserStore(base)


def _child(code, *args):
    environment = dict(os.environ)
    environment["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.Popen(
        [sys.executable, "-P", "-c", code, *args],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=environment,
    )


def verify_vs_remove(rounds, base, rng):
    store = _store(base)
    figures = {"rounds": rounds, "checks": 0, "errors": 0, "resurrected": 0}
    with _child(_VERIFIER, str(base)) as verifier:
        for _ in range(rounds):
            added = store.add_user("removed while checked")
            if rng.random() < 0.5:
                # Half the rounds start without the directory, so that the
                # check has to create it while the removal runs.
                store.credential_dir(added["user_id"]).rmdir()
            verifier.stdin.write(f"{added['api_key']} 20\n")
            verifier.stdin.flush()
            time.sleep(rng.uniform(0, 0.003))
            store.remove_user(added["user_id"])
            checks, errors = map(int, verifier.stdout.readline().split())
            figures["checks"] += checks
            figures["errors"] += errors
            if os.path.lexists(store.credential_dir(added["user_id"])):
                figures["resurrected"] += 1
                shutil.rmtree(store.credential_dir(added["user_id"]))
        verifier.stdin.close()
        figures["stderr"] = verifier.stderr.read()[-2000:]
    figures["ok"] = figures["errors"] == 0 and figures["resurrected"] == 0
    return figures


def _remove_while(child, ready, store, user_id, rng, figures):
    """Removes the user's credential directory once `child` says it is
    `ready` and at work, counting whether the removal completed or stopped."""
    assert child.stdout.readline().strip() == ready
    time.sleep(rng.uniform(0, 0.002))
    try:
        store._remove_credential_dir(user_id)
        figures["completed"] += 1
    except OSError:
        figures["stopped"] += 1
    child.stdin.close()


def _snapshot(root):
    found = {}
    for entry in sorted(Path(root).rglob("*")):
        info = entry.lstat()
        found[str(entry)] = (info.st_mode, entry.read_bytes() if entry.is_file() else None)
    return found


def swap_during_removal(rounds, base, rng, files=60):
    store = _store(base / "store")
    victim = base / "victim"
    victim.mkdir()
    for n in range(files):
        (victim / f"f{n:03}").write_text("precious")
    (victim / "nested").mkdir()
    before = _snapshot(victim)
    figures = {"rounds": rounds, "completed": 0, "stopped": 0, "outside_changed": 0}
    for _ in range(rounds):
        user_id = store.add_user("swapped")["user_id"]
        directory = store.credential_dir(user_id)
        (directory / "sub" / "nested").mkdir(parents=True)
        for n in range(files):
            (directory / "sub" / f"f{n:03}").write_text("login state")
        with _child(_SWAPPER, str(directory), str(victim)) as swapper:
            _remove_while(swapper, "swapping", store, user_id, rng, figures)
        if _snapshot(victim) != before:
            figures["outside_changed"] += 1
            shutil.rmtree(victim)
            victim.mkdir()
            for n in range(files):
                (victim / f"f{n:03}").write_text("precious")
            (victim / "nested").mkdir()
        if os.path.lexists(directory):
            for leftover in (directory / "sub", directory / "sub-real"):
                if leftover.is_symlink():
                    leftover.unlink()
            shutil.rmtree(directory)
        store.remove_user(user_id)
    figures["ok"] = figures["outside_changed"] == 0
    return figures


def _precious(directory, files):
    directory.mkdir(exist_ok=True)
    for n in range(files):
        (directory / f"f{n:02}").write_text("precious")


def move_during_deep_removal(rounds, base, rng, depth=14, moved=3, files=10):
    store = _store(base / "store")
    victim = base / "victim"
    _precious(victim, files)
    before = _snapshot(victim)
    figures = {"rounds": rounds, "completed": 0, "stopped": 0, "outside_changed": 0}
    for _ in range(rounds):
        user_id = store.add_user("moved")["user_id"]
        directory = store.credential_dir(user_id)
        # "sub" sorts after the files, so each level's files go on the way up.
        level = directory
        for _ in range(depth):
            level = level / "sub"
            _precious(level, files)
        inner = directory.joinpath(*["sub"] * moved)
        with _child(_MOVER, str(inner), str(victim / "sub"), str(level)) as mover:
            _remove_while(mover, "moving", store, user_id, rng, figures)
        # What was moved out and could not go back is the credential directory's.
        shutil.rmtree(victim / "sub", ignore_errors=True)
        if _snapshot(victim) != before:
            figures["outside_changed"] += 1
            _precious(victim, files)
        shutil.rmtree(directory, ignore_errors=True)
        store.remove_user(user_id)
    figures["ok"] = figures["outside_changed"] == 0
    return figures


def _check_fix(base):
    """`check --fix --force --json` in this process: its status, findings and stderr."""
    import contextlib
    import io
    import json

    from vardun.mcp.users import main

    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = main(["--base-dir", str(base), "check", "--fix", "--force", "--json"])
    return status, json.loads(out.getvalue() or "[]"), err.getvalue()


def fix_during_swap(rounds, base, rng):
    store = _store(base / "store")
    store.add_user("re-moded while renamed")
    victim = base / "victim"
    victim.write_text("outside the store")
    victim.chmod(0o644)
    before = (victim.stat().st_ino, victim.stat().st_mode)
    figures = {"rounds": rounds, "fixed": 0, "errors": 0, "outside_changed": 0, "stderr": ""}
    # Held open so that its mode can be put back however it is named meanwhile.
    registry = os.open(store.path, os.O_RDONLY)
    try:
        with _child(_RENAMER, str(store.path), str(victim)) as renamer:
            assert renamer.stdout.readline().strip() == "renaming"
            for _ in range(rounds):
                os.fchmod(registry, 0o644)
                time.sleep(rng.uniform(0, 0.001))
                status, findings, stderr = _check_fix(store.base_dir)
                if "error" in stderr or status not in (0, 1):
                    figures["errors"] += 1
                    figures["stderr"] = stderr[-2000:]
                figures["fixed"] += any(f["kind"] == "registry_mode" and f["fixed"]
                                        for f in findings)
                info = victim.stat()
                if (info.st_ino, info.st_mode) != before:
                    figures["outside_changed"] += 1
                    victim.chmod(0o644)
            renamer.stdin.close()
    finally:
        os.close(registry)
    figures["ok"] = figures["outside_changed"] == 0 and figures["errors"] == 0
    return figures


def lock_replaced_while_taken(rounds, base, rng, lockers=4):
    store = _store(base)
    with store._locked():
        pass
    lock = store.lock_path
    figures = {"rounds": rounds, "replaced": 0, "taken": 0, "overlaps": 0, "stderr": ""}
    with contextlib.ExitStack() as running:
        children = [running.enter_context(_child(_LOCKER, str(base))) for _ in range(lockers)]
        try:
            for child in children:
                assert child.stdout.readline().strip() == "locking"
            for _ in range(rounds):
                before = os.lstat(lock).st_ino
                os.chmod(lock, 0o644)
                deadline = time.monotonic() + 10
                while os.lstat(lock).st_ino == before and time.monotonic() < deadline:
                    time.sleep(0.0002)
                figures["replaced"] += os.lstat(lock).st_ino != before
                time.sleep(rng.uniform(0, 0.002))
        finally:
            for child in children:
                child.stdin.close()
        for child in children:
            out, err = child.stdout.read(), child.stderr.read()
            taken, overlaps = map(int, out.split()) if out.strip() else (0, 0)
            figures["taken"] += taken
            figures["overlaps"] += overlaps
            figures["stderr"] += err[-1000:]
    figures["ok"] = figures["overlaps"] == 0 and figures["replaced"] == rounds
    return figures


RACES = {
    "verify-vs-remove": verify_vs_remove,
    "swap-during-removal": swap_during_removal,
    "move-during-deep-removal": move_during_deep_removal,
    "fix-during-swap": fix_during_swap,
    "lock-replaced-while-taken": lock_replaced_while_taken,
}


def run(rounds=300, races=None, log=print, seed=None):
    """`rounds` rounds of each race; returns their figures by name."""
    rng = random.Random(seed)
    results = {}
    for name in races or list(RACES):
        base = Path(tempfile.mkdtemp(prefix=f"vardun-{name}-"))
        try:
            results[name] = RACES[name](rounds, base, rng)
        finally:
            shutil.rmtree(base, ignore_errors=True)
        if log:
            shown = {k: v for k, v in results[name].items() if k != "stderr"}
            log(f"{name}: {shown}")
            if results[name].get("stderr"):
                log(results[name]["stderr"])
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=300, help="rounds of each race")
    parser.add_argument("--race", action="append", choices=sorted(RACES))
    args = parser.parse_args()
    results = run(args.rounds, args.race)
    return 0 if all(r["ok"] for r in results.values()) else 1


if __name__ == "__main__":
    sys.exit(main())
