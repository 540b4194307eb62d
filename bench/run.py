"""Per-operation cost of vardun.mcp.user_store against its standard-library floor.

    PYTHONPATH=build/release/lib /usr/bin/python3 -P bench/run.py [--quick] [--json PATH]

For every operation, the module's call and its floor (bench/floors.py: the
same standard-library calls in plain Python) are timed in alternating
batches within the same run, so that load from other processes hits both
alike. The table shows the median time per call over the rounds and the
ratio module / floor; the growth check fits how verify_api_key (key of the
last user) and list_users scale with the number of users. Then KeyIndex
against the store per check up to 100,000 users (bench/index_checks.py), and
requests per second through uvicorn without and with BearerAuthMiddleware on
two server stacks (bench/http_rps.py), and last the index at scale next to
its yardsticks (bench/at_scale.py): the reload stall, rotate_api_key, the
index's memory, the middleware against an in-memory dict, odd records.
bench/README.md explains the method and how to read the numbers.
"""

import argparse
import gc
import json
import math
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
from dataclasses import dataclass
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
# The helpers sit next to this script; -P keeps its directory off sys.path.
if str(BENCH_DIR) not in sys.path:
    sys.path.insert(0, str(BENCH_DIR))

import at_scale  # noqa: E402
import floors  # noqa: E402
import http_rps  # noqa: E402
import index_checks  # noqa: E402
import registry  # noqa: E402

# Above these ratios the glue is worth a closer look.
DISK_LIMIT = 1.10
CALL_LIMIT = 1.50

# Exponents are fitted over sizes where per-user work dominates the fixed
# cost of a call (opening the file, hashing the key).
GROWTH_MIN_SIZE = 1000
GROWTH_OPERATIONS = ("verify_api_key (last)", "list_users")

SETTINGS = {
    "full": {
        "sizes": (10, 1000, 10000),
        "growth_sizes": (1000, 2000, 5000, 10000),
        "add_remove_sizes": (10, 1000),
        "rounds": 21,
        "batch": 0.025,
        "warmup": 0.05,
        "index_sizes": (10, 1000, 10000, 100000),
        "index_slow_store_sizes": (100000,),
        "index_slow_store_rounds": 5,
        "index_memory": True,
        "http_sizes": (10, 1000, 100000),
        "http_thread_sizes": (10,),
        "http_rounds": 7,
        "http_seconds": 1.0,
        "scale_sizes": (10000, 100000),
        "scale_rounds": 5,
        "stall_quiet_seconds": 3.0,
        "stall_rotations": 4,
        "rotate_pause_seconds": 1.0,
        "memory_runs": 2,
        "peer_users": 10,
        "peer_rounds": 5,
        "peer_seconds": 1.0,
        "odd_record_users": 5000,
    },
    "quick": {
        "sizes": (10, 1000, 10000),
        "growth_sizes": (1000, 3000, 10000),
        "add_remove_sizes": (10, 1000),
        "rounds": 5,
        "batch": 0.004,
        "warmup": 0.008,
        "index_sizes": (10, 1000, 10000, 100000),
        "index_slow_store_sizes": (100000,),
        "index_slow_store_rounds": 0,
        "index_memory": False,
        "http_sizes": (10, 1000, 100000),
        "http_thread_sizes": (10,),
        "http_rounds": 3,
        "http_seconds": 0.3,
        "scale_sizes": (10000, 100000),
        "scale_rounds": 2,
        "stall_quiet_seconds": 0.5,
        "stall_rotations": 1,
        "rotate_pause_seconds": 1.0,
        "memory_runs": 1,
        "peer_users": 10,
        "peer_rounds": 3,
        "peer_seconds": 0.3,
        "odd_record_users": 5000,
    },
}

KEY_RE = re.compile(r"vardun-mcp-[A-Za-z0-9]{32}")


def import_module(name="user_store"):
    try:
        module = __import__(f"vardun.mcp.{name}", fromlist=[name])
    except ImportError as exc:
        sys.exit(
            f"cannot import vardun.mcp.{name} ({exc}); run `make build` and "
            "PYTHONPATH=build/release/lib /usr/bin/python3 -P bench/run.py"
        )
    return module


# ---------------------------------------------------------------------------
# Cases


@dataclass
class Variant:
    stmt: str
    namespace: dict


@dataclass
class Case:
    operation: str
    size: int | None  # None: independent of the registry
    disk: bool
    module: Variant
    floor: Variant
    # The floor plus the module's crash-safety syscalls (saves only).
    durable: Variant | None = None
    growth_only: bool = False

    @property
    def limit(self):
        return DISK_LIMIT if self.disk else CALL_LIMIT

    def variants(self):
        found = [("module", self.module), ("floor", self.floor)]
        if self.durable is not None:
            found.append(("durable", self.durable))
        return found


@dataclass
class Fixture:
    """One registry on disk, with a module store and a floor store over it."""

    reg: registry.Registry
    store: object
    fstore: floors.Store


def make_fixture(us, root, name, size):
    reg = registry.build(root / name, size)
    return Fixture(reg, us.MCPUserStore(reg.base_dir), floors.Store(reg.base_dir))


def unknown_user_id(reg):
    taken = set(reg.user_ids)
    candidate = "u_00000000"
    n = 0
    while candidate in taken:
        n += 1
        candidate = f"u_{n:08x}"
    return candidate


def call_bound_cases(us, fx):
    key = fx.reg.keys[0]
    user_id = fx.reg.user_ids[0]
    cls = us.MCPUserStore
    mod_user = us.MCPUser(user_id, "成员 0", "2025-01-06T09:00:00.5+00:00", fx.store.users_dir / user_id)
    floor_user = floors.User(user_id, "成员 0", "2025-01-06T09:00:00.5+00:00", fx.fstore.users_dir / user_id)
    construct_dir = fx.reg.base_dir.parent / "construct"

    def one(operation, mod_fn, floor_fn, args, disk=False, floor_self=None):
        mod_args = ", ".join(f"a{i}" for i in range(len(args)))
        ns = {f"a{i}": arg for i, arg in enumerate(args)}
        floor_args = mod_args if floor_self is None else ", ".join(["s"] + ([mod_args] if args else []))
        return Case(
            operation,
            None,
            disk,
            Variant(f"f({mod_args})", {"f": mod_fn, **ns}),
            Variant(f"f({floor_args})", {"f": floor_fn, "s": floor_self, **ns}),
        )

    return [
        one("generate_api_key", us.generate_api_key, floors.generate_api_key, ()),
        one("normalize_api_key (bare)", cls.normalize_api_key, floors.normalize_api_key, (key,)),
        one(
            "normalize_api_key (Bearer)",
            cls.normalize_api_key,
            floors.normalize_api_key,
            (f"Bearer {key}",),
        ),
        one("hash_api_key", cls.hash_api_key, floors.hash_api_key, (key,)),
        one(
            "credential_dir",
            fx.store.credential_dir,
            floors.credential_dir,
            (user_id,),
            floor_self=fx.fstore,
        ),
        one("MCPUser.to_dict", mod_user.to_dict, floors.user_to_dict, (), floor_self=floor_user),
        Case(
            "MCPUserStore()",
            None,
            True,
            Variant("f(a0)", {"f": us.MCPUserStore, "a0": construct_dir}),
            Variant("f(a0)", {"f": floors.Store, "a0": construct_dir}),
        ),
    ]


def reading_cases(read, size, growth_only=False):
    """verify_api_key at three positions and list_users, on registry `read`."""
    store, fstore, reg = read.store, read.fstore, read.reg
    verify, fverify = store.verify_api_key, floors.verify_api_key
    keys = {"first": reg.keys[0], "last": reg.keys[-1], "no match": registry.unknown_key(size)}
    cases = []
    for position, key in keys.items():
        operation = f"verify_api_key ({position})"
        if growth_only and operation not in GROWTH_OPERATIONS:
            continue
        cases.append(
            Case(
                operation,
                size,
                True,
                Variant("f(k)", {"f": verify, "k": key}),
                Variant("f(s, k)", {"f": fverify, "s": fstore, "k": key}),
                growth_only=growth_only,
            )
        )
    cases.append(
        Case(
            "list_users",
            size,
            True,
            Variant("f()", {"f": store.list_users}),
            Variant("f(s)", {"f": floors.list_users, "s": fstore}),
            growth_only=growth_only,
        )
    )
    return cases


def writing_cases(write, size, with_add_remove):
    store, fstore, reg = write.store, write.fstore, write.reg
    last = reg.user_ids[-1]
    unknown = unknown_user_id(reg)
    cases = [
        Case(
            "rotate_api_key",
            size,
            True,
            Variant("f(u)", {"f": store.rotate_api_key, "u": last}),
            Variant("f(s, u)", {"f": floors.rotate_api_key, "s": fstore, "u": last}),
            Variant("f(s, u, True)", {"f": floors.rotate_api_key, "s": fstore, "u": last}),
        ),
        Case(
            "remove_user (unknown)",
            size,
            True,
            Variant("f(u)", {"f": store.remove_user, "u": unknown}),
            Variant("f(s, u)", {"f": floors.remove_user, "s": fstore, "u": unknown}),
        ),
    ]
    if with_add_remove:
        ns = {"a": floors.add_user, "m": floors.remove_user, "s": fstore, "d": "bench add"}
        cases.append(
            Case(
                "add_user + remove_user",
                size,
                True,
                Variant(
                    "r = a(d); m(r['user_id'])",
                    {"a": store.add_user, "m": store.remove_user, "d": "bench add"},
                ),
                Variant("r = a(s, d); m(s, r['user_id'])", ns),
                Variant("r = a(s, d, True); m(s, r['user_id'], durable=True)", ns),
            )
        )
    return cases


# ---------------------------------------------------------------------------
# Parity: the floor must do what the module does, or the ratio means nothing.


class ParityError(AssertionError):
    pass


def expect(condition, what):
    if not condition:
        raise ParityError(f"module and floor disagree: {what}")


def user_fields(user):
    if user is None:
        return None
    return (user.user_id, user.description, user.created_at, user.credential_dir)


def check_call_bound(us, fx):
    cls = us.MCPUserStore
    key = fx.reg.keys[0]
    for raw in (key, f"Bearer {key}", f"  bEaReR   {key}\t", "Token x", "bearer", " ", ""):
        expect(cls.normalize_api_key(raw) == floors.normalize_api_key(raw), f"normalize {raw!r}")
    for text in (key, "", "密钥"):
        expect(cls.hash_api_key(text) == floors.hash_api_key(text), f"hash {text!r}")
    for generated in (us.generate_api_key(), floors.generate_api_key()):
        expect(KEY_RE.fullmatch(generated) is not None, f"key format {generated!r}")
    user_id = fx.reg.user_ids[0]
    expect(
        fx.store.credential_dir(user_id) == floors.credential_dir(fx.fstore, user_id),
        "credential_dir",
    )
    fields = (user_id, "d", "c", fx.store.users_dir / user_id)
    expect(
        us.MCPUser(*fields).to_dict() == floors.user_to_dict(floors.User(*fields)),
        "MCPUser.to_dict",
    )
    base = fx.reg.base_dir.parent / "construct"
    a, b = us.MCPUserStore(base), floors.Store(base)
    for name in ("base_dir", "users_dir", "path", "lock_path"):
        expect(getattr(a, name) == getattr(b, name), f"store attribute {name}")


def check_reading(read, size):
    store, fstore, reg = read.store, read.fstore, read.reg
    for key in (reg.keys[0], reg.keys[-1], f"Bearer {reg.keys[-1]}", registry.unknown_key(size), "", None):
        expect(
            user_fields(store.verify_api_key(key)) == user_fields(floors.verify_api_key(fstore, key)),
            f"verify_api_key at {size} users",
        )
    expect(store.verify_api_key(reg.keys[-1]) is not None, "the last user's key verifies")
    expect(
        [user_fields(u) for u in store.list_users()]
        == [user_fields(u) for u in floors.list_users(fstore)],
        f"list_users at {size} users",
    )


def registry_shape(path):
    text = path.read_text(encoding="utf-8")
    records = json.loads(text)
    expect(json.dumps(records, ensure_ascii=False, indent=2) == text, "registry text layout")
    return [list(record) for record in records]


def check_writing(write, size, with_add_remove):
    store, fstore, reg = write.store, write.fstore, write.reg
    last = reg.user_ids[-1]

    before = reg.path.read_bytes()
    unknown = unknown_user_id(reg)
    expect(store.remove_user(unknown) is False, "module remove_user(unknown)")
    expect(floors.remove_user(fstore, unknown) is False, "floor remove_user(unknown)")
    expect(reg.path.read_bytes() == before, "remove_user(unknown) leaves the registry alone")

    for durable in (False, True):
        mine = store.rotate_api_key(last)
        shape = registry_shape(reg.path)
        expect(user_fields(floors.verify_api_key(fstore, mine["api_key"])) is not None, "floor sees rotation")
        theirs = floors.rotate_api_key(fstore, last, durable)
        expect(list(mine) == list(theirs), "rotate_api_key result keys")
        expect(registry_shape(reg.path) == shape, "registry keys after rotation")
        expect(store.verify_api_key(theirs["api_key"]).user_id == last, "module sees floor rotation")
        expect(store.verify_api_key(mine["api_key"]) is None, "old key stops verifying")

    if with_add_remove:
        for durable in (False, True):
            users_before = len(reg.user_ids)
            mine = store.add_user("parity")
            expect(floors.verify_api_key(fstore, mine["api_key"]).user_id == mine["user_id"], "floor sees add")
            theirs = floors.add_user(fstore, "parity", durable)
            expect(list(mine) == list(theirs), "add_user result keys")
            expect(store.verify_api_key(theirs["api_key"]).user_id == theirs["user_id"], "module sees add")
            expect(floors.remove_user(fstore, mine["user_id"], durable=durable), "floor removes module's user")
            expect(store.remove_user(theirs["user_id"]), "module removes floor's user")
            expect(len(json.loads(reg.path.read_text(encoding="utf-8"))) == users_before, "size restored")
            for user in (mine, theirs):
                expect(not Path(user["credential_dir"]).exists(), "credential directory removed")


# ---------------------------------------------------------------------------
# Timing


def time_case(case, rounds, batch, warmup):
    """Median seconds per call of each variant, batches interleaved."""
    return time_variants(case.variants(), rounds, batch, warmup)


def time_variants(variants, rounds, batch, warmup, cpu_samples=None):
    """Seconds per call of each (name, Variant) in every round, and the calls
    per batch; batches interleaved. A dict as `cpu_samples` receives the
    CPU seconds this thread spent per call in the same batches."""
    timers = {name: timeit.Timer(v.stmt, globals=v.namespace) for name, v in variants}
    number = {}
    for name, timer in timers.items():
        n = 1
        while True:
            elapsed = timer.timeit(n)
            if elapsed >= warmup or n >= 1 << 20:
                break
            n *= 2
        number[name] = max(1, round(batch * n / elapsed)) if elapsed > 0 else n
    samples = {name: [] for name in timers}
    gc.collect()
    for round_index in range(rounds):
        # Alternate who goes first, so neither always follows the other's
        # cache misses or page-cache writes.
        order = variants if round_index % 2 == 0 else variants[::-1]
        for name, _ in order:
            cpu = time.thread_time()
            samples[name].append(timers[name].timeit(number[name]) / number[name])
            if cpu_samples is not None:
                cpu_samples.setdefault(name, []).append((time.thread_time() - cpu) / number[name])
    return samples, number


def summarise(case, samples, number):
    module = statistics.median(samples["module"])
    floor = statistics.median(samples["floor"])
    row = {
        "operation": case.operation,
        "users": case.size,
        "kind": "disk" if case.disk else "call",
        "limit": case.limit,
        "module_s": module,
        "floor_s": floor,
        "ratio": module / floor,
        "paired_ratio": statistics.median(m / f for m, f in zip(samples["module"], samples["floor"])),
        "calls_per_batch": number,
        "samples_s": samples,
        "growth_only": case.growth_only,
    }
    if case.durable is not None:
        durable = statistics.median(samples["durable"])
        row["durable_floor_s"] = durable
        row["durable_ratio"] = module / durable
    return row


# ---------------------------------------------------------------------------
# Growth


def fit_exponent(sizes, times):
    """Slope of log(time) against log(size), least squares."""
    xs = [math.log(n) for n in sizes]
    ys = [math.log(t) for t in times]
    mx, my = statistics.fmean(xs), statistics.fmean(ys)
    return sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sum((x - mx) ** 2 for x in xs)


def fit_line(sizes, times):
    """time = fixed + per_user * size, least squares."""
    mx, my = statistics.fmean(sizes), statistics.fmean(times)
    slope = sum((x - mx) * (y - my) for x, y in zip(sizes, times)) / sum((x - mx) ** 2 for x in sizes)
    return my - slope * mx, slope


def growth(rows, min_size=GROWTH_MIN_SIZE):
    result = {}
    for operation in GROWTH_OPERATIONS:
        points = sorted(
            (r["users"], r["module_s"], r["floor_s"]) for r in rows if r["operation"] == operation
        )
        fitted = [p for p in points if p[0] >= min_size]
        if len(fitted) < 2:
            continue
        sizes = [p[0] for p in fitted]
        entry = {"sizes": [p[0] for p in points], "module_s": [p[1] for p in points],
                 "floor_s": [p[2] for p in points], "fitted_sizes": sizes}
        for side, index in (("module", 1), ("floor", 2)):
            times = [p[index] for p in fitted]
            fixed, per_user = fit_line(sizes, times)
            entry[f"{side}_exponent"] = fit_exponent(sizes, times)
            entry[f"{side}_per_user_s"] = per_user
            entry[f"{side}_fixed_s"] = fixed
        result[operation] = entry
    return result


# ---------------------------------------------------------------------------
# Output


def fmt_time(seconds):
    if seconds is None:
        return "-"
    if seconds < 0:  # a difference of two noisy figures
        return "-" + fmt_time(-seconds)
    if seconds < 1e-6:
        return f"{seconds * 1e9:.0f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.2f} µs"
    return f"{seconds * 1e3:.2f} ms"


def print_table(rows, out=sys.stdout):
    header = ("operation", "users", "module", "floor", "ratio", "limit", "floor+sync", "ratio/sync")
    lines = []

    def ratio(value, limit):
        return f"{value:.2f}" + (" !" if value > limit else "  ")

    for r in rows:
        if r["growth_only"]:
            continue
        durable = r.get("durable_floor_s")
        lines.append(
            (
                r["operation"],
                "-" if r["users"] is None else f"{r['users']:,}",
                fmt_time(r["module_s"]),
                fmt_time(r["floor_s"]),
                ratio(r["ratio"], r["limit"]),
                f"{r['limit']:.2f}",
                fmt_time(durable) if durable is not None else "",
                ratio(r["durable_ratio"], r["limit"]) if durable is not None else "",
            )
        )
    if lines:
        print_columns(header, lines, out)


def print_columns(header, lines, out=sys.stdout):
    """A table: the first column left-aligned, the others right-aligned."""
    widths = [max(len(h), *(len(line[i]) for line in lines)) for i, h in enumerate(header)]

    def render(cells):
        return "  ".join(
            c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(cells, widths))
        ).rstrip()

    print(render(header), file=out)
    print("  ".join("-" * w for w in widths), file=out)
    for line in lines:
        print(render(line), file=out)


def print_growth(result, title, out=sys.stdout):
    print(f"\n{title}; exponent fitted over sizes >= {GROWTH_MIN_SIZE:,}:", file=out)
    for operation, g in result.items():
        print(f"  {operation}: exponent {g['module_exponent']:.2f} (floor {g['floor_exponent']:.2f}); "
              f"{fmt_time(g['module_per_user_s'])} per user (floor {fmt_time(g['floor_per_user_s'])})",
              file=out)
        for n, m, f in zip(g["sizes"], g["module_s"], g["floor_s"]):
            print(f"    {n:>7,} users  module {fmt_time(m):>10}  floor {fmt_time(f):>10}  "
                  f"ratio {m / f:.2f}", file=out)


def git_commit():
    try:
        return subprocess.run(["git", "-C", str(BENCH_DIR), "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, timeout=5, check=True).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return None


# ---------------------------------------------------------------------------
# Driver


def build_cases(us, root, settings, only=None, log=print, growth_only=False):
    """Builds the registries under `root`, checks parity, returns the cases."""
    cases = []
    sizes = sorted(set(settings["sizes"]) | set(settings["growth_sizes"]))
    call_fixture = None
    for size in sizes:
        started = time.perf_counter()
        read = make_fixture(us, root, f"read-{size}", size)
        main = size in settings["sizes"] and not growth_only
        check_reading(read, size)
        cases += reading_cases(read, size, growth_only=not main)
        if main:
            write = make_fixture(us, root, f"write-{size}", size)
            add_remove = size in settings["add_remove_sizes"]
            check_writing(write, size, add_remove)
            cases += writing_cases(write, size, add_remove)
        if call_fixture is None:
            call_fixture = read
        log(f"  registry of {size:,} users ready and checked in {time.perf_counter() - started:.2f} s")
    if not growth_only:
        check_call_bound(us, call_fixture)
        cases = call_bound_cases(us, call_fixture) + cases
    if only:
        cases = [c for c in cases if any(word in c.operation for word in only)]
    return cases


# glibc hands buffers above its mmap threshold (128 KiB, then adapting) back
# to the kernel when they are freed, so reading a registry of a few hundred
# users or more takes fresh page faults on every call, and how many depends
# on the heap's history. Pinning the thresholds keeps such buffers in the
# heap; the growth measured then is the work's, not the allocator's.
STEADY_HEAP_ENV = {
    "MALLOC_MMAP_THRESHOLD_": str(64 << 20),
    "MALLOC_TRIM_THRESHOLD_": str(128 << 20),
    "MALLOC_TOP_PAD_": str(64 << 20),
}


def steady_heap_growth(settings, quick, workdir, log=print):
    """The growth check again, in a child process with STEADY_HEAP_ENV."""
    sizes = sorted(n for n in set(settings["sizes"]) | set(settings["growth_sizes"])
                   if n >= GROWTH_MIN_SIZE)
    if len(sizes) < 2:
        return None
    log("growth check again with a steady heap (child process)")
    with tempfile.TemporaryDirectory(prefix="vardun-bench-growth-", dir=workdir) as scratch:
        out = Path(scratch) / "growth.json"
        command = [sys.executable, "-P", str(Path(__file__).resolve()), "--growth-only",
                   "--sizes", ",".join(map(str, sizes)), "--rounds", str(settings["rounds"]),
                   "--json", str(out), "--dir", scratch]
        if quick:
            command.append("--quick")
        subprocess.run(command, env={**os.environ, **STEADY_HEAP_ENV}, check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        return json.loads(out.read_text(encoding="utf-8"))["growth"]


def selected(sizes, operation, only, growth_only):
    return bool(sizes) and not growth_only and (not only or any(word in operation for word in only))


def run(settings, json_path=None, workdir=None, only=None, log=print, growth_only=False,
        steady_heap=False, quick=False):
    us = import_module()
    started = time.perf_counter()
    load_before = os.getloadavg()
    root = Path(tempfile.mkdtemp(prefix="vardun-bench-", dir=workdir))
    try:
        log(f"module: {us.__file__}")
        log(f"registries under {root}")
        cases = build_cases(us, root, settings, only, log, growth_only)
        rows = []
        for case in cases:
            samples, number = time_case(case, settings["rounds"], settings["batch"], settings["warmup"])
            rows.append(summarise(case, samples, number))
        stages = {"operations": time.perf_counter() - started}
        # The key checks and the servers only read: they share registries.
        shared = {}

        def registry_of(size):
            if size not in shared:
                shared[size] = registry.build(root / f"shared-{size}", size)
            return shared[size]

        index = None
        if selected(settings["index_sizes"], index_checks.INDEX_OPERATION, only, growth_only):
            log(f"{index_checks.INDEX_OPERATION}: KeyIndex against the store")
            stage = time.perf_counter()
            index = index_checks.run(us, import_module("key_index"), registry_of, registry.unknown_key,
                                     settings, time_variants, Variant, log)
            stages["index"] = time.perf_counter() - stage
        http = None
        if selected(settings["http_sizes"], http_rps.HTTP_OPERATION, only, growth_only):
            log(f"{http_rps.HTTP_OPERATION}, without and with the middleware")
            stage = time.perf_counter()
            http = http_rps.run(registry_of, settings["http_sizes"], settings["http_thread_sizes"],
                                settings["http_rounds"], settings["http_seconds"], log)
            stages["http"] = time.perf_counter() - stage
        scale = None
        if any(selected(True, part, only, growth_only) for part in at_scale.PARTS):
            stage = time.perf_counter()
            scale = at_scale.run(us, import_module("key_index"), root, registry_of, index, settings,
                                 only, time_variants, Variant, index_checks.answer, log)
            stages["at scale"] = time.perf_counter() - stage
        log("  " + ", ".join(f"{name} {seconds:.1f} s" for name, seconds in stages.items()))
    finally:
        shutil.rmtree(root, ignore_errors=True)
    result = {
        "meta": {
            "python": sys.version,
            "executable": sys.executable,
            "platform": platform.platform(),
            "cpus": os.cpu_count(),
            "module": us.__file__,
            "commit": git_commit(),
            "date": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
            "settings": {k: list(v) if isinstance(v, tuple) else v for k, v in settings.items()},
            "loadavg_before": load_before,
            "fcntl": floors.FCNTL_AVAILABLE,
            "limits": {"disk": DISK_LIMIT, "call": CALL_LIMIT},
            "malloc_env": {k: os.environ[k] for k in STEADY_HEAP_ENV if k in os.environ},
            "uvicorn": http_rps.implementations(),
        },
        "results": rows,
        "index": index,
        "http": http,
        "at_scale": scale,
        "growth": growth(rows),
    }
    if steady_heap:
        stage = time.perf_counter()
        result["growth_steady_heap"] = steady_heap_growth(settings, quick, workdir, log)
        stages["steady heap"] = time.perf_counter() - stage
    result["meta"]["loadavg_after"] = os.getloadavg()
    result["meta"]["seconds"] = time.perf_counter() - started
    result["meta"]["stage_seconds"] = stages
    if json_path is not None:
        json_path = Path(json_path)
        json_path.parent.mkdir(parents=True, exist_ok=True)
        json_path.write_text(json.dumps(result, ensure_ascii=False, indent=2) + "\n", encoding="utf-8")
    return result


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer, shorter rounds (under 45 s)")
    parser.add_argument("--json", type=Path, default=BENCH_DIR / "results" / "latest.json",
                        help="where to write the results (default: bench/results/latest.json)")
    parser.add_argument("--dir", type=Path, default=None,
                        help="directory for the temporary registries (default: the system's)")
    parser.add_argument("--only", action="append", metavar="TEXT",
                        help="time only operations whose name contains TEXT (repeatable)")
    parser.add_argument("--sizes", type=lambda s: tuple(int(n) for n in s.split(",")),
                        help="registry sizes, comma-separated (overrides the preset)")
    parser.add_argument("--scale-sizes", type=lambda s: tuple(int(n) for n in s.split(",")),
                        help="sizes of the reload stall and rotate_api_key against read+parse, "
                             "comma-separated; the index's memory at the largest (default: the preset's, "
                             "kept to those in --sizes)")
    parser.add_argument("--rounds", type=int, help="timed rounds per operation")
    parser.add_argument("--growth-only", action="store_true",
                        help="only the growth check, in this process as it is")
    parser.add_argument("--no-steady-heap", action="store_true",
                        help="skip the second growth check with glibc's thresholds pinned")
    parser.add_argument("--instructions", action="store_true",
                        help="count instructions per call under callgrind instead of timing "
                             "(bench/instructions.py; JSON beside --json, as instructions.json)")
    args = parser.parse_args(argv)
    if args.instructions:
        import instructions

        return instructions.main(args)

    settings = dict(SETTINGS["quick" if args.quick else "full"])
    if args.sizes:
        settings["sizes"] = args.sizes
        settings["growth_sizes"] = tuple(n for n in settings["growth_sizes"] if n in args.sizes)
        settings["add_remove_sizes"] = tuple(n for n in settings["add_remove_sizes"] if n in args.sizes)
        for name in ("index_sizes", "http_sizes", "http_thread_sizes", "scale_sizes"):
            settings[name] = tuple(n for n in settings[name] if n in args.sizes)
    if args.scale_sizes:
        settings["scale_sizes"] = args.scale_sizes
    if args.rounds:
        for name in ("rounds", "http_rounds", "scale_rounds", "peer_rounds"):
            settings[name] = args.rounds

    steady_heap = not (args.growth_only or args.no_steady_heap or args.only)
    result = run(settings, args.json, args.dir, args.only, growth_only=args.growth_only,
                 steady_heap=steady_heap, quick=args.quick)
    print()
    print_table(result["results"])
    if result["growth"]:
        print_growth(result["growth"], "growth with the number of users")
    if result.get("growth_steady_heap"):
        print_growth(result["growth_steady_heap"], "the same with a steady heap "
                     "(glibc mmap/trim thresholds pinned, so large buffers stay in the heap)")
    checks = {r["users"]: (None, r["module_s"]) for r in result["results"]
              if r["operation"] == "verify_api_key (last)"}
    if result["index"]:
        index_checks.print_result(result["index"], fmt_time)
        checks.update((r["users"], (r["index_s"], r["store_s"])) for r in result["index"]["rows"]
                      if r["key"] == "last")
    if result["http"]:
        http_rps.print_result(result["http"], result["meta"]["uvicorn"], checks, fmt_time)
    if result["at_scale"]:
        at_scale.print_result(result["at_scale"], fmt_time)
    meta = result["meta"]
    print(f"\n{meta['seconds']:.1f} s; load average {meta['loadavg_before'][0]:.2f} before, "
          f"{meta['loadavg_after'][0]:.2f} after; results in {args.json}")
    print(f"'!': ratio above the limit ({DISK_LIMIT} for operations on disk, {CALL_LIMIT} for calls); "
          "floor+sync adds the module's fsyncs to the floor of each save")
    return 0


if __name__ == "__main__":
    sys.exit(main())
