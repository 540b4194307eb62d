"""Runs one benchmarked operation in a loop, for a profiler.

    PYTHONPATH=build/release/lib /usr/bin/python3 -P bench/loop.py "hash_api_key" \
        --calls 20000 [--side floor] [--size 10]

The setup (registries, parity checks) is the benchmark's own. To see only
the loop under callgrind, profile two call counts and subtract, or compare
the module side with the floor side at the same count:

    valgrind --tool=callgrind --callgrind-out-file=m.out /usr/bin/python3 -P bench/loop.py ...
    callgrind_annotate --inclusive=yes m.out | head -60
"""

import argparse
import shutil
import sys
import tempfile
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import run  # noqa: E402


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("operation", help="operation name as the table prints it")
    parser.add_argument("--size", type=int, default=10, help="registry size (default 10)")
    parser.add_argument("--calls", type=int, default=10000)
    parser.add_argument("--side", choices=("module", "floor", "durable"), default="module")
    args = parser.parse_args(argv)

    us = run.import_module()
    settings = {"sizes": (args.size,), "growth_sizes": (), "add_remove_sizes": (args.size,)}
    root = Path(tempfile.mkdtemp(prefix="vardun-loop-"))
    try:
        cases = run.build_cases(us, root, settings, log=lambda *_: None)
        matching = [c for c in cases if c.operation == args.operation]
        if not matching:
            names = sorted({c.operation for c in cases})
            sys.exit(f"no operation {args.operation!r}; one of: {', '.join(names)}")
        variant = dict(matching[0].variants()).get(args.side)
        if variant is None:
            sys.exit(f"{args.operation} has no {args.side} side")
        seconds = timeit.Timer(variant.stmt, globals=variant.namespace).timeit(args.calls)
        print(f"{args.operation} [{args.side}]: {seconds / args.calls * 1e6:.3f} µs per call")
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
