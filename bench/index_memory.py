"""Resident memory of a KeyIndex next to that of one store._load() result.

bench/at_scale.py drives this. Each figure is the growth of a fresh
process's resident set (/proc/self/statm) across one step, after the same
imports and the store, with the step's result still alive:

    python3 -P bench/index_memory.py index BASE_DIR KEY   # KeyIndex(store), one check of KEY
    python3 -P bench/index_memory.py load BASE_DIR        # records = store._load()

each printing {"rss_bytes": ..., "peak_bytes": ...}; the peak is the high
water mark above the starting resident set (None where the kernel cannot
reset it), what a worker needs while it (re)builds. The resident set is
what every worker process of a server pays, allocator slack included,
which tracemalloc does not see.
"""

import gc
import json
import math
import os
import statistics
import subprocess
import sys
from pathlib import Path

MEMORY_OPERATION = "index memory"
# The index's resident memory / one store._load() result's.
MEMORY_LIMIT = 0.25
SIDES = ("index", "load")

_PAGE = os.sysconf("SC_PAGE_SIZE")


def measure(reg, runs):
    """Median growth of each side over `runs` fresh processes, taking turns."""
    samples = {side: [] for side in SIDES}
    for round_index in range(runs):
        for side in SIDES if round_index % 2 == 0 else SIDES[::-1]:
            command = [sys.executable, "-P", str(Path(__file__).resolve()), side, str(reg.base_dir)]
            if side == "index":
                command.append(reg.keys[-1])
            found = subprocess.run(command, check=True, capture_output=True, text=True,
                                   stdin=subprocess.DEVNULL)
            samples[side].append(json.loads(found.stdout))
    result = {"operation": MEMORY_OPERATION, "users": len(reg.keys), "samples": samples}
    for side in SIDES:
        result[f"{side}_rss_bytes"] = statistics.median(s["rss_bytes"] for s in samples[side])
        peaks = [s["peak_bytes"] for s in samples[side]]
        result[f"{side}_peak_bytes"] = None if None in peaks else statistics.median(peaks)
    load = result["load_rss_bytes"]
    result["ratio"] = result["index_rss_bytes"] / load if load > 0 else math.inf
    return result


def _resident():
    with open("/proc/self/statm", "rb") as statm:
        return int(statm.read().split()[1]) * _PAGE


def _high_water_mark():
    with open("/proc/self/status", "rb") as status:
        for line in status:
            if line.startswith(b"VmHWM:"):
                return int(line.split()[1]) * 1024
    return None


def _reset_high_water_mark():
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
    except OSError:
        return False
    return True


def _child(side, base_dir, key=None):
    from vardun.mcp.key_index import KeyIndex
    from vardun.mcp.user_store import MCPUserStore

    store = MCPUserStore(base_dir)
    gc.collect()
    peak_known = _reset_high_water_mark()
    before = _resident()
    if side == "index":
        kept = KeyIndex(store)
        if kept.verify_api_key(key) is None:
            raise AssertionError("the key does not verify")
    else:
        kept = store._load()
    gc.collect()
    after = _resident()
    peak = _high_water_mark() if peak_known else None
    print(json.dumps({"rss_bytes": after - before,
                      "peak_bytes": None if peak is None else peak - before}))
    del kept


if __name__ == "__main__":
    _child(*sys.argv[1:])
