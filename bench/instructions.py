"""Instructions per call of every operation, module against floor, under callgrind.

    PYTHONPATH=build/release/lib /usr/bin/python3 -P bench/run.py --instructions [--only TEXT]

Timings on a shared machine move with the load; instruction counts do not.
One process under `valgrind --tool=callgrind` (PYTHONHASHSEED=0) builds the
benchmark's own cases (bench/run.py: the same registries, parity checks and
call statements) and runs each side of each case in a loop of its own. Only
the loops are counted: each one is started through ctypes, and callgrind
collects only inside libffi's `ffi_call`, which nothing else in the process
enters, and writes one profile each time it returns. The cost of an empty
loop is subtracted, so what is left is the call statement alone, divided by
the number of calls.
"""

import ctypes
import itertools
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
if str(BENCH_DIR) not in sys.path:
    sys.path.insert(0, str(BENCH_DIR))

# Measured loops run inside this function (ctypes' foreign call); nothing
# else in the process calls it.
MARKER = "ffi_call"
# Calls per loop: enough that the loop's fixed cost is far below one
# instruction per call; operations on disk are slower, so fewer of them.
CALLS = {"call": 2000, "disk": 200}
EMPTY_CALLS = 20000
WARMUP_CALLS = 50
# A module call above this multiple of its floor is marked.
TARGET = 1.05
SIZES = (10,)

# As timeit loops: repeat() hands out the same object, no int per step.
LOOP_SOURCE = "def _loop(_calls):\n    for _ in _repeat(None, _calls):\n        {stmt}\n"


def _evaluator():
    """PyEval_EvalCode(code, globals, locals), called through libffi."""
    function = ctypes.pythonapi.PyEval_EvalCode
    function.restype = ctypes.py_object
    function.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return function


def _run_loop(evaluate, stmt, namespace, calls):
    """Runs `stmt` `calls` times inside the marker; returns nothing, callgrind counts."""
    namespace = {**namespace, "_repeat": itertools.repeat}
    exec(compile(LOOP_SOURCE.format(stmt=stmt), "<measured loop>", "exec"), namespace)
    namespace["_loop"](WARMUP_CALLS)
    code = compile(f"_loop({calls})", "<measured call>", "exec")
    evaluate(code, namespace, namespace)


def _fixed_directory(parent):
    """A new directory whose name is the same from run to run: the paths end
    up in strings that get hashed, and a random name would move the counts
    by a few hundred instructions."""
    for n in range(10000):
        candidate = parent / f"vardun-instructions-{n:04d}"
        try:
            candidate.mkdir(mode=0o700)
        except FileExistsError:
            continue
        return candidate
    raise FileExistsError(f"no free vardun-instructions-NNNN directory in {parent}")


def child(plan_path, only, sizes, workdir):
    """Under callgrind: one measured loop per entry of the plan, in its order."""
    import run

    us = run.import_module()
    evaluate = _evaluator()
    settings = {"sizes": sizes, "growth_sizes": (), "add_remove_sizes": sizes}
    root = _fixed_directory(Path(workdir or tempfile.gettempdir()))
    plan = []
    try:
        cases = run.build_cases(us, root, settings, only, log=lambda *_: None)
        for calls in (0, EMPTY_CALLS):
            _run_loop(evaluate, "pass", {}, calls)
            plan.append({"operation": None, "side": "empty", "calls": calls})
        for case in cases:
            calls = CALLS["disk" if case.disk else "call"]
            for side, variant in (("module", case.module), ("floor", case.floor)):
                _run_loop(evaluate, variant.stmt, variant.namespace, calls)
                plan.append({"operation": case.operation, "users": case.size, "side": side,
                             "calls": calls})
    finally:
        shutil.rmtree(root, ignore_errors=True)
    Path(plan_path).write_text(json.dumps(plan), encoding="utf-8")


def _instructions(profile):
    """The instruction total of one callgrind profile."""
    for line in profile.read_text(encoding="utf-8").splitlines():
        if line.startswith(("summary:", "totals:")):
            return int(line.split()[1])
    raise ValueError(f"no instruction total in {profile}")


def _profiles(scratch):
    """The profiles written at each return from the marker, in order (the
    one written at exit has no number)."""
    dumps = [p for p in scratch.glob("callgrind.out.*") if p.suffix[1:].isdigit()]
    return sorted(dumps, key=lambda p: int(p.suffix[1:]))


def measure(only=None, sizes=SIZES, workdir=None, log=print):
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        sys.exit("valgrind is not installed (Debian package valgrind)")
    started = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="vardun-callgrind-", dir=workdir) as scratch:
        scratch = Path(scratch)
        plan_path = scratch / "plan.json"
        command = [valgrind, "--tool=callgrind", "--collect-atstart=no",
                   f"--toggle-collect={MARKER}", f"--dump-after={MARKER}",
                   f"--callgrind-out-file={scratch}/callgrind.out",
                   sys.executable, "-P", str(Path(__file__).resolve()), "--child", str(plan_path),
                   "--sizes", ",".join(map(str, sizes))]
        for word in only or ():
            command += ["--only", word]
        if workdir is not None:
            command += ["--dir", str(workdir)]
        log("running every operation under callgrind (a few minutes)")
        process = subprocess.run(command, env={**os.environ, "PYTHONHASHSEED": "0"},
                                 stdin=subprocess.DEVNULL, capture_output=True, text=True)
        if process.returncode != 0:
            sys.exit(f"the measured process failed:\n{process.stderr[-4000:]}")
        plan = json.loads(plan_path.read_text(encoding="utf-8"))
        counts = [_instructions(p) for p in _profiles(scratch)]
    if len(counts) != len(plan):
        sys.exit(f"expected {len(plan)} profiles from callgrind, got {len(counts)}")
    # The loop's own cost: once per loop (starting it), and per iteration.
    fixed = counts[0]
    empty = (counts[1] - fixed) / plan[1]["calls"]
    per_call = {}
    for entry, count in zip(plan[2:], counts[2:]):
        key = (entry["operation"], entry["users"])
        per_call.setdefault(key, {})[entry["side"]] = (count - fixed) / entry["calls"] - empty
    rows = [
        {"operation": operation, "users": users, "module_ir": sides["module"],
         "floor_ir": sides["floor"], "ratio": sides["module"] / sides["floor"]}
        for (operation, users), sides in per_call.items()
    ]
    return {"rows": rows, "empty_loop_ir": empty, "seconds": time.perf_counter() - started}


def print_table(rows, out=sys.stdout):
    import run

    header = ("operation", "users", "module Ir/call", "floor Ir/call", "ratio")
    lines = [
        (r["operation"], "-" if r["users"] is None else f"{r['users']:,}",
         f"{r['module_ir']:,.0f}", f"{r['floor_ir']:,.0f}",
         f"{r['ratio']:.2f}" + (" !" if r["ratio"] > TARGET else "  "))
        for r in rows
    ]
    run.print_columns(header, lines, out)


def main(args):
    """The benchmark's --instructions mode; `args` are bench/run.py's options."""
    import run

    sizes = args.sizes or SIZES
    result = measure(args.only, sizes, args.dir)
    us = run.import_module()
    result["meta"] = {
        "python": sys.version,
        "executable": sys.executable,
        "module": us.__file__,
        "commit": run.git_commit(),
        "date": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
        "valgrind": subprocess.run(["valgrind", "--version"], capture_output=True,
                                   text=True).stdout.strip(),
        "hash_seed": 0,
        "calls": CALLS,
    }
    json_path = Path(args.json).parent / "instructions.json"
    json_path.parent.mkdir(parents=True, exist_ok=True)
    json_path.write_text(json.dumps(result, ensure_ascii=False, indent=2) + "\n", encoding="utf-8")
    print()
    print_table(result["rows"])
    print(f"\n{result['seconds']:.1f} s; instructions per call under callgrind, PYTHONHASHSEED=0, "
          f"an empty loop's {result['empty_loop_ir']:.1f} per iteration subtracted; "
          f"'!': above {TARGET:.2f}; results in {json_path}")
    return 0


if __name__ == "__main__":
    import argparse

    parser = argparse.ArgumentParser()
    parser.add_argument("--child", type=Path, required=True)
    parser.add_argument("--only", action="append")
    parser.add_argument("--sizes", type=lambda s: tuple(int(n) for n in s.split(",")), default=SIZES)
    parser.add_argument("--dir", type=Path, default=None)
    cli = parser.parse_args()
    child(cli.child, cli.only, cli.sizes, cli.dir)
