"""How long requests wait while another process changes the registry.

bench/at_scale.py drives this. One uvicorn server (uvloop and httptools)
with BearerAuthMiddleware over the registry; an asyncio client in the
benchmark's process keeps CONNECTIONS keep-alive connections busy with the
last user's key, whose record never changes, and times every request from
sending it to reading the whole answer. First quiet for a while, then for
as long as a child process takes to rotate the first user's key COUNT times,
pausing PAUSE seconds after each rotation (the last pause leaves the server
time to take in the last change):

    python3 -P bench/reload_stall.py --rotate BASE_DIR USER_ID COUNT PAUSE

(it prints "ready" before the first rotation and, when done, the seconds
each took). Every answer must be 200 with the last user's id, or the run
stops: a change to another user must never refuse this one.
"""

import asyncio
import json
import math
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

# The rotating child runs this file with -P, which keeps its directory off sys.path.
sys.path.insert(0, str(Path(__file__).resolve().parent))

import http_rps  # noqa: E402
import server_cpu  # noqa: E402

STALL_OPERATION = "reload stall"
STACK = ("uvloop", "httptools")
CONNECTIONS = http_rps.CONNECTIONS
# Worst request while the registry changes / one read+parse, at the largest size.
STALL_LIMIT = 0.25


async def _latencies(port, request, expected, done):
    connections = [await asyncio.open_connection("127.0.0.1", port) for _ in range(CONNECTIONS)]
    latencies, wrong = [], []
    started = time.perf_counter()

    async def keep_asking(reader, writer):
        while not done():
            sent = time.perf_counter()
            answer = await http_rps._exchange(reader, writer, request)
            latencies.append(time.perf_counter() - sent)
            if answer != expected:
                wrong.append(answer)

    try:
        await asyncio.gather(*(keep_asking(r, w) for r, w in connections))
    finally:
        for _, writer in connections:
            writer.close()
    return latencies, time.perf_counter() - started, wrong


def percentile(ordered, share):
    return ordered[min(len(ordered) - 1, max(0, math.ceil(share * len(ordered)) - 1))]


def phase(server, expected, done):
    """Requests until `done()`: their rate, latencies and the server's CPU."""
    cpu = server_cpu.cpu_seconds(server.process.pid)
    latencies, elapsed, wrong = asyncio.run(
        _latencies(server.port, http_rps._request(server.key), expected, done))
    after = server_cpu.cpu_seconds(server.process.pid)
    if wrong:
        raise AssertionError(f"{len(wrong)} of {len(latencies)} requests were answered "
                             f"{wrong[0]}, not {expected}")
    ordered = sorted(latencies)
    return {
        "requests": len(ordered),
        "rps": len(ordered) / elapsed,
        "median_s": statistics.median(ordered),
        "p999_s": percentile(ordered, 0.999),
        "worst_s": ordered[-1],
        "server_cpu_per_request_s": None if cpu is None or after is None
        else (after - cpu) / len(ordered),
    }


class Rotator:
    """A child process rotating `user_id`'s key `count` times, pausing
    `pause` seconds after each; `finished` is set when it has exited."""

    def __init__(self, base_dir, user_id, count, pause):
        self.process = subprocess.Popen(
            [sys.executable, "-P", str(Path(__file__).resolve()), "--rotate", str(base_dir), user_id,
             str(count), str(pause)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        if self.process.stdout.readline() != "ready\n":
            self.process.kill()
            self.process.wait()
            raise AssertionError("the rotating process did not start")
        self.finished = threading.Event()
        self.waiter = threading.Thread(target=self._wait, daemon=True)
        self.waiter.start()

    def _wait(self):
        try:
            self.process.wait(timeout=_ROTATOR_TIMEOUT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.finished.set()

    def durations(self):
        """Seconds each rotation took, once `finished`."""
        self.waiter.join()
        out = self.process.stdout.read()
        self.process.stdout.close()
        if self.process.returncode != 0:
            raise AssertionError(f"the rotating process failed ({self.process.returncode})")
        return json.loads(out)


# Longer than any plausible run of rotations: a hung child must not hang the benchmark.
_ROTATOR_TIMEOUT = 600


def _after(seconds):
    deadline = time.perf_counter() + seconds
    return lambda: time.perf_counter() >= deadline


def run(reg, read_parse_s, quiet_seconds, rotations, pause, log=print):
    """One row: quiet and changing figures at `reg`'s size, next to
    `read_parse_s`, one read+parse of it."""
    size = len(reg.keys)
    server = http_rps.Server(reg.base_dir, reg.keys[-1], STACK, True)
    try:
        expected = (200, reg.user_ids[-1].encode())
        answer = http_rps.ask(server.port, server.key)
        if answer != expected:
            raise AssertionError(f"the server answered {answer}, not {expected}")
        phase(server, expected, _after(min(0.3, quiet_seconds)))  # warm-up
        quiet = phase(server, expected, _after(quiet_seconds))
        rotator = Rotator(reg.base_dir, reg.user_ids[0], rotations, pause)
        try:
            changing = phase(server, expected, rotator.finished.is_set)
        finally:
            durations = rotator.durations()
    finally:
        http_rps.stop_all([server])
    log(f"  {size:,} users: worst request {changing['worst_s'] * 1e3:.0f} ms across "
        f"{len(durations)} rotation(s)")
    return {
        "operation": STALL_OPERATION,
        "stack": http_rps.stack_name(*STACK),
        "users": size,
        "read_parse_s": read_parse_s,
        "quiet": quiet,
        "changing": changing,
        "rotations": len(durations),
        "rotation_s": durations,
        "throughput_change": changing["rps"] / quiet["rps"] - 1,
        "worst_ratio": changing["worst_s"] / read_parse_s,
    }


def _rotate(base_dir, user_id, count, pause):
    from vardun.mcp.user_store import MCPUserStore

    store = MCPUserStore(base_dir)
    print("ready", flush=True)
    durations = []
    for _ in range(count):
        start = time.perf_counter()
        store.rotate_api_key(user_id)
        durations.append(time.perf_counter() - start)
        time.sleep(pause)
    print(json.dumps(durations), flush=True)


if __name__ == "__main__":
    if sys.argv[1:2] != ["--rotate"]:
        sys.exit(__doc__)
    _rotate(sys.argv[2], sys.argv[3], int(sys.argv[4]), float(sys.argv[5]))
