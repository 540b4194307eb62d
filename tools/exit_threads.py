"""Interpreter exit while daemon threads are inside the store, many times.

Each run is a fresh interpreter whose daemon threads keep using one store
while the main thread returns after a short random pause, so the interpreter
finalises with threads anywhere in the module: checking keys, handling a
failed directory step, saving, flushing, waiting for the write lock, serving
HTTP requests. A run crashes
when it ends by a signal or with a non-zero status, or prints an abort
message or a sanitizer report.

    python3 -P tools/exit_threads.py [--runs 60] [--jobs 4] [--scenario NAME ...]

Exits non-zero when any run crashed. The test suite imports `run` for a
smaller run.
"""

from __future__ import annotations

import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

# Every program gets BASE (a fresh directory) and PAUSE (seconds before the
# main thread returns) in its globals.
_PROLOGUE = """
import threading, time
from vardun.mcp.user_store import MCPUserStore
store = MCPUserStore(BASE)
key = store.add_user("exit")["api_key"]
def spawn(work, count=4):
    for _ in range(count):
        threading.Thread(target=work, daemon=True).start()
"""

SCENARIOS = {
    # Key checks and rotations, as a server's request threads and an admin do.
    "verify-rotate": """
def work():
    while True:
        store.verify_api_key(key)
        store.rotate_api_key(store.list_users()[0].user_id)
spawn(work)
time.sleep(PAUSE)
""",
    # Key checks through one key index while another thread rotates: reads
    # of the registry, arming of watches and answers from the table.
    "key-index": """
from vardun.mcp.key_index import KeyIndex
store._save(store._load() + [
    {"user_id": f"u_{n:08x}", "api_key_hash": store.hash_api_key(f"k{n}"), "description": ""}
    for n in range(3000)
])
index = KeyIndex(store)
def check():
    while True:
        index.verify_api_key(key)
        index.answer_without_parsing("vardun-mcp-unknown")
def rotate():
    while True:
        store.rotate_api_key(store.list_users()[0].user_id)
spawn(check)
spawn(rotate, 1)
time.sleep(PAUSE)
""",
    # Key checks only, over a registry big enough for each to take a while.
    "key-check": """
store._save(store._load() + [
    {"user_id": f"u_{n:08x}", "api_key_hash": store.hash_api_key(f"k{n}"), "description": ""}
    for n in range(300)
])
def work():
    while True:
        store.verify_api_key("Bearer " + key)
        store.verify_api_key("vardun-mcp-unknown")
spawn(work)
time.sleep(PAUSE)
""",
    # Key checks whose directory step fails (a file holds the credential
    # directory's name), so each reads the registry again while it handles
    # that error; at exit a module's finaliser blocks for a moment (closing a
    # connection, say) and lets the waiting threads take the interpreter lock.
    "failed-directory-step": """
import sys, types
store._save(store._load() + [
    {"user_id": f"u_{n:08x}", "api_key_hash": store.hash_api_key(f"k{n}"), "description": ""}
    for n in range(30)
])
occupied = store.credential_dir(store.list_users()[0].user_id)
occupied.rmdir()
occupied.write_text("")
def work():
    while True:
        try:
            store.verify_api_key(key)
        except FileExistsError:
            pass
spawn(work, 8)
class Connection:
    def __del__(self, sleep=time.sleep):
        sleep(0.05)
sys.modules["closing_at_exit"] = types.ModuleType("closing_at_exit")
sys.modules["closing_at_exit"].connection = Connection()
time.sleep(PAUSE)
""",
    # Saves back to back: most of the time goes to the flushes of the save.
    "save-flush": """
def work():
    while True:
        store.remove_user(store.add_user("short-lived")["user_id"])
spawn(work)
time.sleep(PAUSE)
""",
    # Threads waiting for the write lock, which another open file of the lock
    # holds until just before the interpreter exits.
    "lock-wait": """
import fcntl
store.lock_path.touch()
holder = open(store.lock_path, "rb")
fcntl.flock(holder, fcntl.LOCK_EX)
def work():
    while True:
        store.rotate_api_key(store.list_users()[0].user_id)
spawn(work)
def holding():
    with store._locked():
        time.sleep(3600)
threading.Thread(target=holding, daemon=True).start()
time.sleep(PAUSE)
fcntl.flock(holder, fcntl.LOCK_UN)
holder.close()
""",
    # A threaded HTTP server authenticating every request through the store,
    # left with requests in flight as when it is stopped with Ctrl-C. Clients
    # keep their connections, so no request thread starts near the exit: a
    # thread started while the interpreter finalises can crash CPython 3.11
    # itself, whatever it would run.
    "http-server": """
import http.client
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def do_GET(self):
        user = store.verify_api_key(self.headers.get("Authorization"))
        body = (user.user_id if user else "denied").encode()
        self.send_response(200 if user else 401)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args):
        pass
server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
threading.Thread(target=server.serve_forever, daemon=True).start()
def client():
    connection = http.client.HTTPConnection(*server.server_address, timeout=30)
    while True:
        connection.request("GET", "/", headers={"Authorization": "Bearer " + key})
        connection.getresponse().read()
spawn(client)
def admin():
    while True:
        store.rotate_api_key(store.add_user("other")["user_id"])
threading.Thread(target=admin, daemon=True).start()
time.sleep(PAUSE)
""",
}

# What a crash leaves on standard error.
CRASH_MARKERS = (
    "FATAL:",
    "Fatal Python error",
    "Segmentation fault",
    "AddressSanitizer",
    "UndefinedBehaviorSanitizer",
    "runtime error:",
    "terminate called",
)


def _run_once(scenario: str, pause: float, environment: dict[str, str]) -> dict:
    base = tempfile.mkdtemp(prefix="vardun-exit-")
    code = f"BASE = {base!r}\nPAUSE = {pause!r}\n{_PROLOGUE}{SCENARIOS[scenario]}"
    try:
        result = subprocess.run(
            [sys.executable, "-P", "-c", code],
            env=environment,
            capture_output=True,
            text=True,
            errors="replace",
            timeout=120,
            stdin=subprocess.DEVNULL,
        )
        status, stderr = result.returncode, result.stderr
    except subprocess.TimeoutExpired as expired:
        status, stderr = "timeout", str(expired.stderr or "")
    finally:
        shutil.rmtree(base, ignore_errors=True)
    marker = next((m for m in CRASH_MARKERS if m in stderr), None)
    crashed = status != 0 or marker is not None
    return {"scenario": scenario, "status": status, "crashed": crashed, "stderr": stderr[-2000:]}


def run(
    runs: int = 60, jobs: int = 4, scenarios: list[str] | None = None, log=print, seed=None
) -> dict:
    """`runs` exits of each scenario, `jobs` at a time; returns the figures."""
    chosen = scenarios or list(SCENARIOS)
    rng = random.Random(seed)
    environment = dict(os.environ)
    environment["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    plan = [(name, rng.uniform(0.02, 0.15)) for name in chosen for _ in range(runs)]
    rng.shuffle(plan)
    with ThreadPoolExecutor(max_workers=jobs) as pool:
        outcomes = list(pool.map(lambda item: _run_once(*item, environment), plan))
    per_scenario = {
        name: {
            "exits": sum(o["scenario"] == name for o in outcomes),
            "crashes": sum(o["scenario"] == name and o["crashed"] for o in outcomes),
        }
        for name in chosen
    }
    crashes = [o for o in outcomes if o["crashed"]]
    figures = {
        "exits": len(outcomes),
        "crashes": len(crashes),
        "per_scenario": per_scenario,
        "first_crashes": crashes[:3],
    }
    if log:
        for name, counts in per_scenario.items():
            log(f"{name:14} {counts['exits']:4} exits  {counts['crashes']:4} crashes")
        log(f"{'all':14} {figures['exits']:4} exits  {figures['crashes']:4} crashes")
        for crash in figures["first_crashes"]:
            log(f"--- {crash['scenario']}: status {crash['status']}\n{crash['stderr']}")
    return figures


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=60, help="exits per scenario")
    parser.add_argument("--jobs", type=int, default=4, help="interpreters at a time")
    parser.add_argument("--scenario", action="append", choices=sorted(SCENARIOS))
    args = parser.parse_args()
    figures = run(args.runs, args.jobs, args.scenario)
    return 1 if figures["crashes"] else 0


if __name__ == "__main__":
    sys.exit(main())
