"""The key index's read of a changed registry, reusing what it shares with the
last one read, against a whole read of the changed file.

    PYTHONPATH=build/release/lib /usr/bin/python3 -P bench/registry_reread.py [--users N] [--rounds R]

Builds a registry of N users (100,000 by default, about 23 MB) with
registry.py, then changes a copy of it through the store as the server's
users would: rotates the first, a middle and the last user's key, adds a
user, removes a middle one. For each change, R rounds (15 by default) of the
read of the changed file after the original, reusing (`reread`) and whole
(`whole`), taking turns, the order flipping every round; each figure is the
read alone (vardun.mcp._key_index._reread_summary times it on the reading
thread's clocks, wall and CPU), the medians. `parsed` is how many bytes the
re-read scanned as JSON; the rest it compared with the original, byte for
byte. `measure(path, rounds)` gives the same as a dict.
"""

import argparse
import json
import shutil
import statistics
import sys
import tempfile
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
if str(BENCH_DIR) not in sys.path:
    sys.path.insert(0, str(BENCH_DIR))

import registry  # noqa: E402

CHANGES = ("rotate first", "rotate middle", "rotate last", "add", "remove middle")


def _change(store, user_ids, which):
    middle = user_ids[len(user_ids) // 2]
    if which == "rotate first":
        store.rotate_api_key(user_ids[0])
    elif which == "rotate middle":
        store.rotate_api_key(middle)
    elif which == "rotate last":
        store.rotate_api_key(user_ids[-1])
    elif which == "add":
        store.add_user("新成员 (bench)")
    else:
        store.remove_user(middle)


def measure(reg, rounds=15):
    """Per change: the re-read and the whole read of the changed registry."""
    from vardun.mcp import _key_index
    from vardun.mcp.user_store import MCPUserStore

    original = reg.path.with_name("original.json")
    shutil.copyfile(reg.path, original)
    store = MCPUserStore(reg.base_dir)
    results = {}
    for which in CHANGES:
        shutil.copyfile(original, reg.path)
        _change(store, reg.user_ids, which)
        got, _ = _key_index._reread_table(store.path, original)
        if got != _key_index._read_table(store.path):
            raise RuntimeError(f"{which}: the re-read differs from a whole read")
        samples = {True: [], False: []}
        for round_ in range(rounds):
            for reuse in ((True, False) if round_ % 2 == 0 else (False, True)):
                samples[reuse].append(_key_index._reread_summary(store.path, original, reuse=reuse))
        row = {"bytes": store.path.stat().st_size, "parsed": samples[True][0]["scanned"]}
        for reuse, name in ((True, "reread"), (False, "whole")):
            row[f"{name}_s"] = statistics.median(s["ns"] for s in samples[reuse]) / 1e9
            row[f"{name}_cpu_s"] = statistics.median(s["cpu_ns"] for s in samples[reuse]) / 1e9
        row["ratio"] = row["reread_s"] / row["whole_s"]
        row["cpu_ratio"] = row["reread_cpu_s"] / row["whole_cpu_s"]
        results[which] = row
    return results


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--users", type=int, default=100_000)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--dir", type=Path, default=None, help="where the registry goes")
    parser.add_argument("--json", type=Path, default=None, help="also write the figures here")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory(dir=args.dir) as root:
        reg = registry.build(Path(root) / "base", args.users)
        results = measure(reg, args.rounds)
    print(f"registry of {args.users:,} users: read again after one change, against a whole read")
    print(f"{'change':<15} {'parsed':>8} {'reread ms (cpu)':>17} {'whole ms (cpu)':>17} "
          f"{'reread/whole':>13} {'cpu':>6}")
    for which, row in results.items():
        print(f"{which:<15} {row['parsed']:>8,} {row['reread_s'] * 1e3:>8.2f} ({row['reread_cpu_s'] * 1e3:5.2f}) "
              f"{row['whole_s'] * 1e3:>8.2f} ({row['whole_cpu_s'] * 1e3:5.2f}) "
              f"{row['ratio']:>13.2f} {row['cpu_ratio']:>6.2f}")
    if args.json:
        args.json.write_text(json.dumps({"users": args.users, "changes": results}, indent=2), encoding="utf-8")


if __name__ == "__main__":
    main()
