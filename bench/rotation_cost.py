"""rotate_api_key next to one read_text + json.loads of the same registry.

bench/at_scale.py drives this. Both run in one fresh interpreter (its heap
holding nothing else, the garbage collector on, as in a server), taking
turns round by round, the order flipping every round:

    python3 -P bench/rotation_cost.py BASE_DIR USER_ID ROUNDS

prints {"read_parse_s": [...], "rotate_s": [...]}. The read and parse is
what store._load() does; its result is dropped only after the clock stops,
as a caller keeps what it loaded. The same figure is the yardstick of the
reload stall (bench/reload_stall.py), measured on the same registry.
"""

import json
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROTATE_OPERATION = "rotate_api_key against read+parse"
# rotate_api_key / one read+parse, at the largest size.
ROTATE_LIMIT = 1.50


def measure(base_dir, user_id, rounds):
    """Seconds of each read+parse and each rotation of `user_id`, `rounds`
    of each after one uncounted, in a child process."""
    found = subprocess.run(
        [sys.executable, "-P", str(Path(__file__).resolve()), str(base_dir), user_id, str(rounds)],
        check=True, capture_output=True, text=True, stdin=subprocess.DEVNULL)
    samples = json.loads(found.stdout)
    parse, rotate = samples["read_parse_s"], samples["rotate_s"]
    return {
        "read_parse_s": statistics.median(parse),
        "rotate_s": statistics.median(rotate),
        "ratio": statistics.median(rotate) / statistics.median(parse),
        "paired_ratio": statistics.median(r / p for r, p in zip(rotate, parse)),
        "samples_s": samples,
    }


def _child(base_dir, user_id, rounds):
    from vardun.mcp.user_store import MCPUserStore

    store = MCPUserStore(base_dir)
    path = store.path

    def read_parse():
        start = time.perf_counter()
        records = json.loads(path.read_text(encoding="utf-8"))
        elapsed = time.perf_counter() - start
        del records
        return elapsed

    def rotate():
        start = time.perf_counter()
        result = store.rotate_api_key(user_id)
        elapsed = time.perf_counter() - start
        del result
        return elapsed

    sides = {"read_parse_s": read_parse, "rotate_s": rotate}
    for timed in sides.values():
        timed()
    samples = {name: [] for name in sides}
    for round_index in range(rounds):
        for name in list(sides) if round_index % 2 == 0 else list(sides)[::-1]:
            samples[name].append(sides[name]())
    print(json.dumps(samples))


if __name__ == "__main__":
    _child(sys.argv[1], sys.argv[2], int(sys.argv[3]))
