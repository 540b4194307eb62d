"""Several hosts on one registry, on a real distributed file system.

A private GlusterFS from Debian's glusterfs-server and glusterfs-client: one
glusterd whose state, bricks and logs live in a temporary directory, and per
configuration one volume of one brick, mounted twice through FUSE. Each mount
stands for a host with its own caches. On each volume:

- writers: processes on both mounts add users at once; none may be lost;
- store, index: after a rotation on one mount, the very next check on the
  other, through ``store.verify_api_key`` and through a ``KeyIndex`` that
  stays alive like a server's, must refuse the old key and accept the new;
- race: a ``KeyIndex`` on one mount checks without pause while the other
  mount rotates; a key whose successor had been handed out before a check
  began must be refused, the newest one accepted;
- server: ``BearerAuthMiddleware`` behind uvicorn on one mount while the
  user command rotates on the other: the next request with the old key gets
  401, with the new one 200;
- check: ``vardun-mcp-users check`` notes the FUSE file system.

No check may raise. The configurations: "coherent" (the volume options
performance.stat-prefetch off and performance.open-behind off, the kernel's
FUSE defaults) and "timeouts-0" (stat-prefetch off, FUSE attribute, entry and
negative timeouts 0) are held to all of that; "default" (the volume as
created), "timeouts-0-alone" (the FUSE timeouts at 0 on such a volume) and
"no-readdirplus" (such a volume mounted with --use-readdirp=no) are measured: how long the store alone keeps accepting an old key, and how
many checks and changes raise. Everything is torn down afterwards,
also after a failure or Ctrl-C.

    python3 -P tools/multihost.py [--short] [--rounds N] [--config NAME ...]

Needs root, /dev/fuse and the two packages (`make multihost` installs them);
without them it says why and exits 0. Exits 1 when a held configuration broke
a rule.
"""

from __future__ import annotations

import argparse
import contextlib
import ctypes
import json
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import traceback
from pathlib import Path

import httpx

GLUSTERD_PORT = 24007
CONFIGURATIONS = {
    # name: (volume options, FUSE mount options, held to the rules)
    "coherent": ({"performance.stat-prefetch": "off", "performance.open-behind": "off"}, [],
                 True),
    "timeouts-0": ({"performance.stat-prefetch": "off"},
                   ["--attribute-timeout=0", "--entry-timeout=0", "--negative-timeout=0"], True),
    "default": ({}, [], False),
    "timeouts-0-alone": ({}, ["--attribute-timeout=0", "--entry-timeout=0",
                              "--negative-timeout=0"], False),
    # Listings without READDIRPLUS do not replace a stale entry.
    "no-readdirplus": ({}, ["--use-readdirp=no"], False),
}
SHORT_CONFIGURATIONS = ("coherent", "default")

GLUSTERD_VOL = """volume management
    type mgmt/glusterd
    option working-directory {root}/state
    option run-directory {root}/run
    option logging-directory {root}/logs
    option glusterd-sockfile {root}/run/glusterd.socket
    option transport-type socket
    option transport.socket.bind-address 127.0.0.1
    option transport.socket.listen-port {port}
    option ping-timeout 0
    option event-threads 1
end-volume
"""

# Adds `count` users to the store over argv[1]; prints how many returned and
# what the failures were.
WRITER = r"""
import collections, json, sys
from vardun.mcp.user_store import MCPUserStore
store, added, failures = MCPUserStore(sys.argv[1]), [], collections.Counter()
for number in range(int(sys.argv[2])):
    try:
        added.append(store.add_user(f"writer {sys.argv[3]} {number}")["user_id"])
    except Exception as error:
        failures[f"{type(error).__name__}: {error}"] += 1
print(json.dumps({"added": added, "failures": failures}))
"""

SERVER_APP = """
import os
from vardun.mcp.auth import BearerAuthMiddleware
from vardun.mcp.user_store import MCPUserStore

async def whoami(scope, receive, send):
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": scope["user"].user_id.encode()})

def create_app():
    return BearerAuthMiddleware(whoami, MCPUserStore(os.environ["MULTIHOST_BASE"]),
                                check_in_thread=True)
"""

ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}


def missing() -> str | None:
    """Why the run cannot happen on this machine, or None."""
    if os.geteuid() != 0:
        return "needs root, for glusterd and the FUSE mounts"
    try:
        os.close(os.open("/dev/fuse", os.O_RDWR))
    except OSError as error:
        return f"FUSE cannot be used here (/dev/fuse: {error.strerror})"
    for program in ("glusterd", "gluster", "glusterfs"):
        if shutil.which(program) is None:
            return f"{program} is missing: install Debian's glusterfs-server and glusterfs-client"
    # glusterd finds its bricks by this machine's name.
    host = socket.gethostname()
    try:
        with socket.socket() as probe:
            probe.bind((socket.gethostbyname(host), 0))
    except OSError as error:
        return f"this machine's name {host} does not lead to one of its addresses ({error})"
    return None


def _run(argv: list[str], timeout: float = 120) -> str:
    result = subprocess.run(argv, capture_output=True, text=True, timeout=timeout,
                            stdin=subprocess.DEVNULL, check=False)
    if result.returncode != 0:
        raise RuntimeError(f"{' '.join(argv)} failed: {result.stderr or result.stdout}")
    return result.stdout


class Cluster:
    """A private glusterd on 127.0.0.1 with everything under `root`; its
    volumes and mounts; and their removal. The process becomes a child
    subreaper, so that glusterd, the bricks and the FUSE clients, which put
    themselves in the background, stay its children and are waited for."""

    def __init__(self, root: Path) -> None:
        self.root = root
        self.host = socket.gethostname()
        self.mounts: list[Path] = []
        self.volumes: list[str] = []
        self.system_before = _system_paths()

    def gluster(self, *args: str) -> str:
        return _run(["gluster", f"--glusterd-sock={self.root}/run/glusterd.socket",
                     "--mode=script", f"--log-file={self.root}/logs/cli.log", *args])

    def __enter__(self) -> Cluster:
        with socket.socket() as probe:
            if probe.connect_ex(("127.0.0.1", GLUSTERD_PORT)) == 0:
                raise RuntimeError(f"port {GLUSTERD_PORT} is taken: another glusterd runs here")
        ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
        for part in ("state", "run", "logs", "bricks", "mounts"):
            (self.root / part).mkdir()
        volfile = self.root / "glusterd.vol"
        volfile.write_text(GLUSTERD_VOL.format(root=self.root, port=GLUSTERD_PORT))
        try:
            _run(["glusterd", "-f", str(volfile), "-p", str(self.root / "run/glusterd.pid"),
                  "-l", str(self.root / "logs/glusterd.log")])
            deadline = time.monotonic() + 30
            while True:
                try:
                    self.gluster("volume", "list")
                    break
                except RuntimeError:
                    if time.monotonic() > deadline:
                        raise
                    time.sleep(0.2)
        except BaseException:
            self.__exit__()
            raise
        return self

    def volume(self, name: str, options: dict[str, str]) -> None:
        brick = self.root / "bricks" / name
        brick.mkdir()
        # A brick on a loopback name is refused; this machine's name is not.
        self.gluster("volume", "create", name, f"{self.host}:{brick}", "force")
        self.volumes.append(name)
        for option, value in options.items():
            self.gluster("volume", "set", name, option, value)
        self.gluster("volume", "start", name)

    def mount(self, volume: str, name: str, options: list[str]) -> Path:
        point = self.root / "mounts" / name
        point.mkdir()
        _run(["glusterfs", f"--volfile-server={self.host}", f"--volfile-id={volume}",
              "-l", str(self.root / f"logs/mount-{name}.log"), *options, str(point)])
        self.mounts.append(point)
        deadline = time.monotonic() + 30
        while not os.path.ismount(point):
            if time.monotonic() > deadline:
                raise RuntimeError(f"{point} did not mount")
            time.sleep(0.1)
        return point

    def __exit__(self, *_: object) -> None:
        for point in reversed(self.mounts):
            if subprocess.run(["umount", str(point)], capture_output=True).returncode != 0:
                subprocess.run(["umount", "-l", str(point)], capture_output=True)
        for name in self.volumes:
            try:
                self.gluster("volume", "stop", name, "force")
            except (RuntimeError, subprocess.TimeoutExpired):
                pass
        pids = [self.root / "run/glusterd.pid", *self.root.glob("run/vols/*/*.pid")]
        for pid_file in pids:
            try:
                os.kill(int(pid_file.read_text()), 15)
            except (OSError, ValueError):
                pass
        _reap_children(timeout=30)
        for path in sorted(_system_paths() - self.system_before, reverse=True):
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path, ignore_errors=True)
            else:
                with contextlib.suppress(OSError):
                    os.unlink(path)


# What glusterd and the bricks create outside the given directories, however
# they are configured (control sockets, the geo-replication and snapshot
# directories): removed again afterwards, unless they were there before.
SYSTEM_DIRECTORIES = ("/var/lib/glusterd", "/var/log/glusterfs", "/run/gluster")


def _system_paths() -> set[str]:
    found = set()
    for top in SYSTEM_DIRECTORIES:
        if os.path.lexists(top):
            found.add(top)
        for directory, subdirectories, files in os.walk(top):
            found.update(os.path.join(directory, name) for name in subdirectories + files)
    return found


def _reap_children(timeout: float) -> None:
    """Waits for every child (the daemons included, as their subreaper),
    killing what is left after `timeout`."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid:
            continue
        if time.monotonic() > deadline:
            for line in subprocess.run(["ps", "-o", "pid=", "--ppid", str(os.getpid())],
                                       capture_output=True, text=True).stdout.split():
                try:
                    os.kill(int(line), 9)
                except (OSError, ValueError):
                    pass
            deadline = time.monotonic() + 5
        time.sleep(0.05)


# ---------------------------------------------------------------------------
# What happens on the two mounts


def _settled(check, user_id: str, key: str, seconds: float = 10) -> None:
    """Waits until `check` on another mount sees `key` (the start of a run
    may meet the caches of its set-up)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        user = check.verify_api_key(key)
        if user is not None and user.user_id == user_id:
            return
        time.sleep(0.05)
    raise RuntimeError(f"{user_id} never became visible on the other mount")


def _note(counts: dict, error: BaseException) -> None:
    """Counts `error` by its text under counts["errors"]."""
    text = f"{type(error).__name__}: {error}"
    frame = traceback.extract_tb(error.__traceback__)[-1]
    text += f" at {os.path.basename(frame.filename)}:{frame.lineno}"
    errors = counts.setdefault("errors", {})
    errors[text] = errors.get(text, 0) + 1


def writers(first: Path, second: Path, per_mount: int, adds: int) -> dict:
    """Writer processes on both mounts at once: none of their adds may be lost."""
    from vardun.mcp.user_store import MCPUserStore

    base_a, base_b = first / "writers", second / "writers"
    MCPUserStore(base_a)
    processes = [subprocess.Popen([sys.executable, "-P", "-c", WRITER, str(base), str(adds),
                                   f"{base.parent.name}{number}"],
                                  env=ENV, stdout=subprocess.PIPE, text=True)
                 for base in (base_a, base_b) for number in range(per_mount)]
    added, failures = [], {}
    for process in processes:
        out, _ = process.communicate(timeout=600)
        result = json.loads(out)
        added += result["added"]
        for text, count in result["failures"].items():
            failures[text] = failures.get(text, 0) + count
    time.sleep(1.5)  # the other mount's caches, whatever the options
    present = {user.user_id for user in MCPUserStore(base_a).list_users()}
    attempted = 2 * per_mount * adds
    return {"attempted": attempted, "raised": attempted - len(added), "failures": failures,
            "lost": len(set(added) - present)}


def rotations(first: Path, second: Path, rounds: int, through: str) -> dict:
    """Rotates on the first mount, then checks the old and the new key on the
    second at once, through the store or through a KeyIndex (`through`).
    After a stale answer it asks again until both are right, which gives how
    long the old key stayed accepted; then the next round."""
    from vardun.mcp.key_index import KeyIndex
    from vardun.mcp.user_store import MCPUserStore

    writer, reader = MCPUserStore(first / through), MCPUserStore(second / through)
    check = KeyIndex(reader) if through == "index" else reader
    added = writer.add_user(f"rotated through {through}")
    user_id, key = added["user_id"], added["api_key"]
    _settled(check, user_id, key)
    counts = {"rounds": rounds, "old_accepted": 0, "new_refused": 0, "raised": 0}

    def answers(old: str, new: str) -> tuple[bool, bool] | None:
        try:
            old_user, new_user = check.verify_api_key(old), check.verify_api_key(new)
        except Exception as error:
            counts["raised"] += 1
            _note(counts, error)
            return None
        return old_user is not None, new_user is not None and new_user.user_id == user_id

    accepted_for = []
    for _ in range(rounds):
        new = writer.rotate_api_key(user_id)["api_key"]
        rotated = time.monotonic()
        seen = answers(key, new)
        if seen is not None:
            counts["old_accepted"] += seen[0]
            counts["new_refused"] += not seen[1]
        old_was_accepted = seen is not None and seen[0]
        refused_at = None if old_was_accepted else rotated
        while seen != (False, True) and time.monotonic() - rotated < 10:
            time.sleep(0.002)
            seen = answers(key, new)
            if refused_at is None and seen is not None and not seen[0]:
                refused_at = time.monotonic()
        if old_was_accepted and refused_at is not None:
            accepted_for.append(refused_at - rotated)
        key = new
    costs = []
    for _ in range(200):
        started = time.perf_counter()
        check.verify_api_key(key)
        costs.append(time.perf_counter() - started)
    counts["check_ms"] = round(statistics.median(costs) * 1000, 3)
    if accepted_for:
        counts["old_accepted_ms"] = {"median": round(statistics.median(accepted_for) * 1000),
                                     "max": round(max(accepted_for) * 1000)}
    return counts


def race(first: Path, second: Path, rotations_count: int) -> dict:
    """A KeyIndex on the second mount checks without pause while the first
    rotates. A check judges only keys that held still throughout it: the
    newest key handed out must be accepted, its predecessor refused."""
    from vardun.mcp.key_index import KeyIndex
    from vardun.mcp.user_store import MCPUserStore

    writer, reader = MCPUserStore(first / "race"), MCPUserStore(second / "race")
    index = KeyIndex(reader)
    added = writer.add_user("raced")
    user_id = added["user_id"]
    _settled(index, user_id, added["api_key"])
    # Odd while a rotation runs, even once its key is published (a sequence
    # lock): a check that saw the same even value before and after judges.
    keys = {"sequence": 0, "previous": "", "newest": added["api_key"]}
    done = threading.Event()
    counts = {"rotations": rotations_count, "checks": 0, "judged": 0, "raised": 0, "wrong": 0}

    def check() -> None:
        while not done.is_set():
            sequence, previous, newest = keys["sequence"], keys["previous"], keys["newest"]
            counts["checks"] += 1
            try:
                newest_user = index.verify_api_key(newest)
                previous_user = index.verify_api_key(previous) if previous else None
            except Exception as error:
                counts["raised"] += 1
                _note(counts, error)
                continue
            if sequence % 2 == 0 and keys["sequence"] == sequence:
                counts["judged"] += 1
                counts["wrong"] += newest_user is None or previous_user is not None

    checker = threading.Thread(target=check)
    checker.start()
    try:
        for _ in range(rotations_count):
            keys["sequence"] += 1
            new = writer.rotate_api_key(user_id)["api_key"]
            keys["previous"], keys["newest"] = keys["newest"], new
            keys["sequence"] += 1
            time.sleep(0.02)
    finally:
        done.set()
        checker.join()
    return counts


def server(first: Path, second: Path, rounds: int, work: Path) -> dict:
    """BearerAuthMiddleware behind uvicorn on the first mount, the user
    command rotating on the second: the next request decides."""
    from vardun.mcp.user_store import MCPUserStore

    base_a, base_b = first / "server", second / "server"
    added = MCPUserStore(base_a).add_user("served")
    user_id, key = added["user_id"], added["api_key"]
    (work / "multihost_app.py").write_text(SERVER_APP)
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    # The server logs each failed check with its traceback: kept with the logs.
    log = open(work / "logs" / f"server-{first.name}.log", "wb")
    process = subprocess.Popen(
        [sys.executable, "-P", "-m", "uvicorn", "--factory", "multihost_app:create_app",
         "--app-dir", str(work), "--port", str(port), "--lifespan", "off", "--log-level",
         "warning"], env={**ENV, "MULTIHOST_BASE": str(base_a)}, stdin=subprocess.DEVNULL,
        stdout=log, stderr=log)
    counts = {"rounds": rounds, "old_accepted": 0, "new_refused": 0, "errors": 0}
    try:
        with httpx.Client(base_url=f"http://127.0.0.1:{port}", timeout=60) as client:

            def status(key: str) -> tuple[int, str]:
                response = client.get("/", headers={"Authorization": f"Bearer {key}"})
                return response.status_code, response.text

            deadline = time.monotonic() + 30
            while True:
                try:
                    if status(key) == (200, user_id):
                        break
                except httpx.TransportError:
                    pass
                if time.monotonic() > deadline:
                    raise RuntimeError("the server never accepted the first key")
                time.sleep(0.05)
            for _ in range(rounds):
                result = subprocess.run(
                    [sys.executable, "-P", "-m", "vardun.mcp.users", "--base-dir", str(base_b),
                     "--json", "rotate", user_id], env=ENV, capture_output=True, text=True,
                    timeout=60, check=True)
                new = json.loads(result.stdout)["api_key"]
                for presented, wanted, miss in ((key, 401, "old_accepted"),
                                                (new, 200, "new_refused")):
                    code, _ = status(presented)
                    if code >= 500:
                        counts["errors"] += 1
                    elif code != wanted:
                        counts[miss] += 1
                key = new
    finally:
        process.terminate()
        process.wait(30)
        log.close()
    return counts


def check_note(mount: Path) -> bool:
    """Whether `check` notes that the registry is on a FUSE file system."""
    result = subprocess.run(
        [sys.executable, "-P", "-m", "vardun.mcp.users", "--base-dir", str(mount / "writers"),
         "--json", "check"], env=ENV, capture_output=True, text=True, timeout=120, check=False)
    kinds = {finding["kind"] for finding in json.loads(result.stdout)}
    return "shared_file_system" in kinds


# ---------------------------------------------------------------------------


def broken(name: str, figures: dict) -> list[str]:
    """The rules a held configuration broke."""
    problems = []
    if figures["writers"]["lost"] or figures["writers"]["raised"]:
        problems.append(f"{name}: writers {figures['writers']}")
    for part in ("store", "index"):
        wrong = {k: figures[part][k] for k in ("old_accepted", "new_refused", "raised")}
        if any(wrong.values()):
            problems.append(f"{name}: {part} {wrong}")
    if figures["race"]["raised"] or figures["race"]["wrong"]:
        problems.append(f"{name}: race {figures['race']}")
    if "server" in figures and any(figures["server"][k] for k in
                                   ("old_accepted", "new_refused", "errors")):
        problems.append(f"{name}: server {figures['server']}")
    if not figures["check_notes_fuse"]:
        problems.append(f"{name}: check did not note the FUSE file system")
    return problems


def run(configs: list[str], rounds: int, writer_processes: int, adds: int,
        server_rounds: int, measured_rounds: int, log=print) -> dict:
    """Sets the volumes up, runs everything, tears everything down."""
    started = time.monotonic()
    figures: dict = {"configurations": {}}
    with tempfile.TemporaryDirectory(prefix="vardun-multihost-") as temporary:
        root = Path(temporary)
        with Cluster(root) as cluster:
            for name in configs:
                options, mount_options, _ = CONFIGURATIONS[name]
                cluster.volume(name, options)
                first = cluster.mount(name, f"{name}-a", mount_options)
                second = cluster.mount(name, f"{name}-b", mount_options)
                log(f"{name}: volume options {options or 'as created'}, "
                    f"mount options {mount_options or 'as default'}")
                part: dict = {}
                part["writers"] = writers(first, second, writer_processes, adds)
                log(f"  writers {part['writers']}")
                held = CONFIGURATIONS[name][2]
                # A stale answer costs a wait for the caches: fewer rounds
                # where it is measured rather than ruled out.
                count = rounds if held else measured_rounds
                part["store"] = rotations(first, second, count, "store")
                log(f"  store   {part['store']}")
                part["index"] = rotations(first, second, count, "index")
                log(f"  index   {part['index']}")
                part["race"] = race(first, second, rounds)
                log(f"  race    {part['race']}")
                if server_rounds:
                    part["server"] = server(first, second, server_rounds, root)
                    log(f"  server  {part['server']}")
                part["check_notes_fuse"] = check_note(first)
                figures["configurations"][name] = part
    figures["problems"] = [problem for name, part in figures["configurations"].items()
                           if CONFIGURATIONS[name][2] for problem in broken(name, part)]
    figures["seconds"] = round(time.monotonic() - started)
    return figures


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--short", action="store_true", help="the short form CI runs")
    parser.add_argument("--rounds", type=int, help="rotations per check kind")
    parser.add_argument("--config", action="append", choices=sorted(CONFIGURATIONS))
    args = parser.parse_args()
    # A termination (a time limit in CI, say) tears the cluster down too.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    reason = missing()
    if reason is not None:
        print(f"multihost: SKIPPED: {reason}")
        return 0
    if args.short:
        settings = dict(rounds=60, writer_processes=2, adds=25, server_rounds=30, measured_rounds=20)
        configs = args.config or list(SHORT_CONFIGURATIONS)
    else:
        settings = dict(rounds=200, writer_processes=4, adds=50, server_rounds=200, measured_rounds=50)
        configs = args.config or list(CONFIGURATIONS)
    if args.rounds:
        settings["rounds"] = settings["server_rounds"] = args.rounds
    figures = run(configs, **settings)
    for problem in figures["problems"]:
        print(f"multihost: FAILED: {problem}")
    print(f"multihost: {'ok' if not figures['problems'] else 'FAILED'} in {figures['seconds']} s")
    return 1 if figures["problems"] else 0


if __name__ == "__main__":
    sys.exit(main())
