"""The key index's native registry reader against one read_text + json.loads.

    PYTHONPATH=build/release/lib /usr/bin/python3 -P bench/registry_reader.py [--users N] [--rounds R]

Builds a registry of N users (100,000 by default, about 23 MB) with
registry.py and prints: the native reader's time (open, read, check and
index the whole file, as vardun.mcp._key_index._table_summary does it)
next to one `read_text` + `json.loads` of the same file (what the store's
`_load` does), the two timed alternately in every round; the table's
memory; and, each in a fresh interpreter, how much one read raises the
process's peak resident memory, for the reader and for the load.
`measure(path, rounds)` gives the same as a dict, for bench/run.py.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
if str(BENCH_DIR) not in sys.path:
    sys.path.insert(0, str(BENCH_DIR))

import registry  # noqa: E402

# Run in a fresh interpreter: the growth of peak RSS (KiB) over one call.
# VmHWM, not ru_maxrss: the latter keeps the peak of the process that
# started this one (Linux carries it over exec).
_PEAK_SCRIPT = """
import json, sys
from pathlib import Path
from vardun.mcp import _key_index

def peak_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))

path = Path(sys.argv[1])
with open(path, "rb") as warm:  # the page cache, not the call, pays for the disk
    while warm.read(1 << 16):
        pass
read = {"reader": lambda: _key_index._table_summary(path),
        "load": lambda: json.loads(path.read_text(encoding="utf-8"))}[sys.argv[2]]
before = peak_kib()
result = read()
print(peak_kib() - before)
"""


def _peak_growth_kib(path, which):
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    result = subprocess.run([sys.executable, "-P", "-c", _PEAK_SCRIPT, str(path), which],
                            env=environment, capture_output=True, text=True, check=True, timeout=120)
    return int(result.stdout)


def measure(path, rounds=15):
    """Times and memory of the native reader and of one read_text + json.loads of `path`."""
    from vardun.mcp import _key_index

    path = Path(path)
    summary = _key_index._table_summary(path)
    if summary is None:
        raise RuntimeError(f"the native reader declined {path}")
    complete, records, memory = summary
    reader, load = [], []
    for round_ in range(rounds):
        for side in (("reader", "load") if round_ % 2 == 0 else ("load", "reader")):
            start = time.perf_counter()
            if side == "reader":
                _key_index._table_summary(path)
                reader.append(time.perf_counter() - start)
            else:
                json.loads(path.read_text(encoding="utf-8"))
                load.append(time.perf_counter() - start)
    return {
        "bytes": path.stat().st_size,
        "records": records,
        "complete": complete,
        "reader_s": statistics.median(reader),
        "reader_min_s": min(reader),
        "load_s": statistics.median(load),
        "load_min_s": min(load),
        "ratio": statistics.median(reader) / statistics.median(load),
        "table_bytes": memory,
        "table_bytes_per_record": memory / max(records, 1),
        "reader_peak_growth_kib": _peak_growth_kib(path, "reader"),
        "load_peak_growth_kib": _peak_growth_kib(path, "load"),
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--users", type=int, default=100_000)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--dir", type=Path, default=None, help="where the registry goes")
    parser.add_argument("--json", type=Path, default=None, help="also write the figures here")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory(dir=args.dir) as root:
        reg = registry.build(Path(root) / "base", args.users)
        result = measure(reg.path, args.rounds)
    result["users"] = args.users
    mib = 1 << 20
    print(f"registry of {args.users:,} users: {result['bytes'] / mib:.1f} MiB")
    print(f"  native reader          {result['reader_s'] * 1e3:8.1f} ms median "
          f"({result['reader_min_s'] * 1e3:.1f} min), "
          f"{result['bytes'] / result['reader_s'] / 1e9:.2f} GB/s")
    print(f"  read_text + json.loads {result['load_s'] * 1e3:8.1f} ms median "
          f"({result['load_min_s'] * 1e3:.1f} min)")
    print(f"  reader / load          {result['ratio']:8.3f}")
    print(f"  table                  {result['table_bytes'] / mib:8.2f} MiB "
          f"({result['table_bytes_per_record']:.1f} bytes per record, complete={result['complete']})")
    print(f"  peak RSS growth        {result['reader_peak_growth_kib'] / 1024:8.1f} MiB reader, "
          f"{result['load_peak_growth_kib'] / 1024:.1f} MiB load")
    if args.json:
        args.json.write_text(json.dumps(result, indent=2), encoding="utf-8")


if __name__ == "__main__":
    main()
