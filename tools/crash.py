"""Crash safety: writers killed with SIGKILL at random moments, many times.

Each round forks a few writer processes that add, rotate and remove users on
one registry without pause, then kills them one by one at random moments.
Every writer journals each operation before it starts and after it returns.
After every round the registry must load, hold every user whose add_user had
returned (unless a later remove_user of it had started), hold no user that
nobody could have added, accept every key whose rotation had returned and
refuse every key replaced by a returned rotation; the lock must be free and
the next writer must proceed. Temporary files left by killed saves are
allowed, but must be private (mode 0600).

    python3 -P tools/crash.py [--seconds 60] [--writers 3] [--max-kills N]

Exits non-zero on the first round that breaks a rule. The test suite imports
`run` for a smaller run.
"""

from __future__ import annotations

import argparse
import fcntl
import json
import os
import random
import signal
import sys
import tempfile
import time
import traceback
from pathlib import Path

# Users one writer slot keeps at most; it removes before adding past that.
MAX_SLOT_USERS = 5


def _store(base):
    from vardun.mcp.user_store import MCPUserStore

    return MCPUserStore(base)


class SlotState:
    """What one writer slot's journal says about its users."""

    def __init__(self):
        self.present = {}  # user_id -> key, or None when a rotation was cut short
        self.stale_keys = []  # (key, user_id): replaced by a rotation that returned
        self.gone = set()  # removed by a remove_user that returned
        self.maybe_gone = set()  # a remove_user started but never returned
        self.adds_cut_short = 0  # an add_user started but never returned
        self.malformed_lines = 0

    @classmethod
    def replay(cls, journal):
        state = cls()
        pending_add = False
        if not journal.exists():
            return state
        lines = journal.read_text(encoding="utf-8").splitlines()
        for number, line in enumerate(lines):
            try:
                entry = json.loads(line)
            except ValueError:
                # Only the last line can be cut by a kill.
                if number != len(lines) - 1:
                    state.malformed_lines += 1
                continue
            op, user_id = entry["op"], entry.get("user_id")
            if op == "add?":
                if pending_add:
                    state.adds_cut_short += 1
                pending_add = True
            elif op == "add":
                pending_add = False
                state.present[user_id] = entry["key"]
            elif op == "rotate?":
                if state.present.get(user_id) is not None:
                    # The old key holds until the rotation returns; after a
                    # kill it may or may not, so neither is checked.
                    state.present[user_id] = None
            elif op == "rotate":
                state.present[user_id] = entry["key"]
            elif op == "stale":
                state.stale_keys.append((entry["key"], user_id))
            elif op == "remove?":
                state.present.pop(user_id, None)
                state.maybe_gone.add(user_id)
            elif op == "remove":
                state.maybe_gone.discard(user_id)
                state.gone.add(user_id)
        if pending_add:
            state.adds_cut_short += 1
        return state


def _writer(base, journal, seed):
    """Runs in a forked child until it is killed."""
    rng = random.Random(seed)
    fd = os.open(journal, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o600)

    def record(**entry):
        os.write(fd, (json.dumps(entry) + "\n").encode())

    state = SlotState.replay(Path(journal))
    mine = dict(state.present)  # user_id -> key or None
    store = _store(base)
    if os.environ.get("VARDUN_CRASH_SAVE_IN_PLACE") == "1":
        store._save = _save_in_place(store)
    while True:
        roll = rng.random()
        if not mine or (roll < 0.4 and len(mine) < MAX_SLOT_USERS):
            record(op="add?")
            result = store.add_user(f"crash {seed}")
            record(op="add", user_id=result["user_id"], key=result["api_key"])
            mine[result["user_id"]] = result["api_key"]
        elif roll < 0.75:
            user_id = rng.choice(sorted(mine))
            record(op="rotate?", user_id=user_id)
            result = store.rotate_api_key(user_id)
            record(op="rotate", user_id=user_id, key=result["api_key"])
            if mine[user_id] is not None:
                record(op="stale", user_id=user_id, key=mine[user_id])
            mine[user_id] = result["api_key"]
        else:
            user_id = rng.choice(sorted(mine))
            record(op="remove?", user_id=user_id)
            removed = store.remove_user(user_id, keep_credentials=rng.random() < 0.2)
            if removed is not True:
                raise AssertionError(f"remove_user({user_id!r}) returned {removed!r}")
            record(op="remove", user_id=user_id)
            del mine[user_id]


def _save_in_place(store):
    """Self-check of this tool: a save that rewrites the registry in place, as
    a careless writer would. Kills must then leave torn registries behind."""

    def save(users):
        text = json.dumps(users, ensure_ascii=False, indent=2)
        with open(store.path, "w", encoding="utf-8") as handle:
            os.fchmod(handle.fileno(), 0o600)
            handle.write(text[: len(text) // 2])
            handle.flush()
            time.sleep(0.005)
            handle.write(text[len(text) // 2 :])

    return save


def _fork_writer(base, journal, seed):
    pid = os.fork()
    if pid == 0:
        status = 0
        try:
            _writer(base, journal, seed)
        except BaseException:
            traceback.print_exc()
            status = 3
        finally:
            os._exit(status)
    return pid


def _lock_is_free(lock_path):
    if not lock_path.exists():
        return True
    with open(lock_path, "rb") as handle:
        try:
            fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return False
        fcntl.flock(handle, fcntl.LOCK_UN)
    return True


def check_after_kills(base, slots):
    """The rules that must hold once every writer is dead; returns problems."""
    problems = []
    store = _store(base)
    if not _lock_is_free(store.lock_path):
        return ["the lock is still held after every writer was killed"]
    try:
        records = store._load()
    except Exception as error:
        return [f"registry does not load: {error!r}"]
    if store.path.exists():
        if store.path.stat().st_mode & 0o777 != 0o600:
            problems.append("registry file is not 0600")
        if not store.path.read_bytes().startswith(b"["):
            problems.append("registry file does not hold an array")

    ids = []
    for record in records:
        if not isinstance(record, dict) or list(record)[:4] != [
            "user_id",
            "api_key_hash",
            "description",
            "created_at",
        ]:
            problems.append(f"malformed record: {record!r}")
            continue
        ids.append(record["user_id"])
    if len(ids) != len(set(ids)):
        problems.append("duplicate identifiers in the registry")
    ids = set(ids)

    known, allowed_unknown = set(), 0
    for slot in slots:
        if slot.malformed_lines:
            problems.append("a journal line other than the last is torn")
        known |= set(slot.present) | slot.gone | slot.maybe_gone
        allowed_unknown += slot.adds_cut_short
        for user_id, key in slot.present.items():
            if user_id not in ids:
                problems.append(f"user whose add_user returned is gone: {user_id}")
            elif key is not None:
                user = store.verify_api_key(key)
                if user is None or user.user_id != user_id:
                    problems.append(f"latest key does not verify: {user_id}")
        for user_id in slot.gone & ids:
            problems.append(f"user whose remove_user returned is back: {user_id}")
        for key, user_id in slot.stale_keys:
            if store.verify_api_key(key) is not None:
                problems.append(f"key replaced by a returned rotation verifies: {user_id}")
    unknown = ids - known
    if len(unknown) > allowed_unknown:
        problems.append(
            f"{len(unknown)} users nobody could have added ({allowed_unknown} adds cut short)"
        )

    for temp in store.base_dir.glob("mcp_users.tmp-*"):
        try:
            mode = temp.stat().st_mode & 0o777
        except FileNotFoundError:
            continue
        if mode != 0o600:
            problems.append(f"temporary file {temp.name} has mode {mode:o}")
    return problems


def _next_writer_proceeds(base, timeout):
    """Adds and removes a user in a fresh process, which must finish in time."""
    import subprocess

    code = (
        "import sys\n"
        "from vardun.mcp.user_store import MCPUserStore\n"
        "s = MCPUserStore(sys.argv[1])\n"
        "u = s.add_user('after a kill')\n"
        "assert s.verify_api_key(u['api_key']).user_id == u['user_id']\n"
        "assert s.remove_user(u['user_id']) is True\n"
    )
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    try:
        result = subprocess.run(
            [sys.executable, "-P", "-c", code, str(base)],
            env=env,
            capture_output=True,
            text=True,
            timeout=timeout,
        )
    except subprocess.TimeoutExpired:
        return "the next writer did not get the lock in time"
    if result.returncode != 0:
        return f"the next writer failed: {result.stderr.strip()[-1500:]}"
    return None


def run(*, seconds=60.0, writers=3, max_kills=None, max_delay=0.05, base=None, seed=None,
        log=print):
    """Kills writers until `seconds` have passed (or `max_kills` is reached);
    returns the figures, with `ok` telling the verdict."""
    seed = random.randrange(2**32) if seed is None else seed
    rng = random.Random(seed)
    with tempfile.TemporaryDirectory(prefix="vardun-crash-") as scratch:
        scratch = Path(scratch)
        base = Path(base) if base else scratch / "base"
        _store(base)
        journals = [scratch / f"slot-{n}.jsonl" for n in range(writers)]
        kills = rounds = survived = 0
        saves_cut = 0
        problems = []
        started = time.monotonic()
        while time.monotonic() - started < seconds and (max_kills is None or kills < max_kills):
            rounds += 1
            before = set(base.glob("mcp_users.tmp-*"))
            pids = [
                _fork_writer(base, journal, rng.randrange(2**32)) for journal in journals
            ]
            alive = list(pids)
            rng.shuffle(alive)
            for pid in alive:
                time.sleep(rng.uniform(0, max_delay))
                finished, status = os.waitpid(pid, os.WNOHANG)
                if finished:
                    problems.append(f"writer ended by itself (status {status}) in round {rounds}")
                    continue
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                kills += 1
            saves_cut += len(set(base.glob("mcp_users.tmp-*")) - before)

            slots = [SlotState.replay(journal) for journal in journals]
            problems += check_after_kills(base, slots)
            # Also in a separate interpreter every few rounds (it costs a start-up).
            if not problems and rounds % 10 == 1:
                failure = _next_writer_proceeds(base, timeout=60)
                if failure:
                    problems.append(failure)
            if problems:
                problems.insert(0, f"round {rounds}, seed {seed}:")
                break
            survived = kills
        else:
            # A final writer in this process as well.
            store = _store(base)
            user = store.add_user("after the last kill")
            if store.remove_user(user["user_id"]) is not True:
                problems.append("the final writer could not remove its user")
        try:
            users = len(_store(base)._load())
        except Exception:
            users = None
        leftovers = len(list(base.glob("mcp_users.tmp-*")))

    figures = {
        "seed": seed,
        "rounds": rounds,
        "writers_per_round": writers,
        "kills_survived": survived,
        "kills": kills,
        "saves_cut_short": saves_cut,
        "temporary_files_left": leftovers,
        "users_at_end": users,
        "seconds": round(time.monotonic() - started, 1),
        "problems": problems,
        "ok": not problems,
    }
    if log:
        log(
            f"crash: {rounds} rounds of {writers} writers, {kills} SIGKILLs in "
            f"{figures['seconds']} s (seed {seed})"
        )
        log(
            f"  kills survived: {figures['kills_survived']}; saves cut short (temporary file "
            f"left): {saves_cut}; users at the end: {users}"
        )
        for problem in problems[:20]:
            log("    " + problem.rstrip().replace("\n", "\n    "))
    return figures


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--writers", type=int, default=3)
    parser.add_argument("--max-kills", type=int)
    parser.add_argument("--max-delay", type=float, default=0.05,
                        help="longest wait before each kill, in seconds")
    parser.add_argument("--seed", type=int)
    parser.add_argument("--base", help="registry directory (default: a temporary one)")
    args = parser.parse_args(argv)
    figures = run(
        seconds=args.seconds,
        writers=args.writers,
        max_kills=args.max_kills,
        max_delay=args.max_delay,
        base=args.base,
        seed=args.seed,
    )
    print("PASS" if figures["ok"] else "FAIL")
    return 0 if figures["ok"] else 1


if __name__ == "__main__":
    sys.exit(main())
