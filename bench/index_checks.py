"""Per-check cost of KeyIndex.verify_api_key against store.verify_api_key.

bench/run.py drives this: one registry per size, a store and an index over
it, both asked for the same keys. All sizes and both sides of one key take
turns within every round, so that the ratios across sizes (the index at the
largest size against the smallest) are as steady as the ratio between the
sides at one size.
"""

import gc
import shutil
import statistics
import sys
import tracemalloc
from dataclasses import dataclass

INDEX_OPERATION = "key checks"
KEYS = ("last", "no match")
SIDES = ("index", "store")

# What the index must reach in one run.
GROWTH_LIMIT = 1.50  # index at the largest size / index at the smallest
STORE_LIMIT = 1.00  # index / store, at the smallest size


@dataclass
class Fixture:
    size: int
    store: object
    index: object
    keys: dict  # position -> key presented


def user_fields(user):
    if user is None:
        return None
    return (type(user).__name__, user.user_id, user.description, user.created_at, user.credential_dir)


def answer(verify, key):
    try:
        return "value", user_fields(verify(key))
    except Exception as error:  # the index must raise what the store raises
        return "error", (type(error), str(error))


def make_fixture(us, key_index, reg, unknown_key, slow_store):
    size = len(reg.keys)
    store = us.MCPUserStore(reg.base_dir)
    keys = {"last": reg.keys[-1], "no match": unknown_key}
    fixture = Fixture(size, store, key_index.KeyIndex(store), keys)
    # Index and store must agree, or the comparison means nothing; where a
    # store call parses for a tenth of a second or more, on fewer keys.
    presented = [keys["last"], keys["no match"], "", None]
    if not slow_store:
        presented += [reg.keys[0], f"Bearer {reg.keys[-1]}"]
    for key in presented:
        mine, theirs = answer(fixture.index.verify_api_key, key), answer(store.verify_api_key, key)
        if mine != theirs:
            raise AssertionError(f"index and store disagree at {size:,} users: {mine} != {theirs}")
        if key == keys["last"] and (mine[0] != "value" or mine[1] is None):
            raise AssertionError("the last user's key does not verify")
    # The store is timed over a copy: its re-mode of the matched user's
    # credential directory is a change the index's watch must see, and over
    # the same files every store batch would make the next index batch look.
    copy = reg.base_dir.with_name(reg.base_dir.name + "-store")
    shutil.copytree(reg.base_dir, copy, symlinks=True)
    fixture.store = us.MCPUserStore(copy)
    return fixture


def memory(us, key_index, reg):
    """Bytes the interpreter's allocators hold for a parsed index of `reg`,
    and for one store._load() of it (tracemalloc)."""
    store = us.MCPUserStore(reg.base_dir)
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        index = key_index.KeyIndex(store)
        index.verify_api_key(reg.keys[-1])  # parses
        gc.collect()
        index_bytes = tracemalloc.get_traced_memory()[0] - before
        del index
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        records = store._load()
        load_bytes = tracemalloc.get_traced_memory()[0] - before
        del records
    finally:
        tracemalloc.stop()
    return {"users": len(reg.keys), "index_bytes": index_bytes, "load_bytes": load_bytes}


def variants(fixtures, position, variant_type, sides):
    """(name, Variant) for every size and side in `sides(size)`, the check
    of `position`'s key."""
    found = []
    for fx in fixtures:
        for side in sides(fx.size):
            verify = fx.index.verify_api_key if side == "index" else fx.store.verify_api_key
            found.append(((fx.size, side), variant_type("f(k)", {"f": verify, "k": fx.keys[position]})))
    return found


def median(samples, name):
    return statistics.median(samples[name]) if samples.get(name) else None


def ratio_entry(what, limit, numerator, denominator, samples, cpu):
    value = median(samples, numerator) / median(samples, denominator)
    paired = statistics.median(a / b for a, b in zip(samples[numerator], samples[denominator]))
    return {"ratio": what, "limit": limit, "value": value, "paired": paired,
            "cpu": median(cpu, numerator) / median(cpu, denominator), "ok": value <= limit}


def run(us, key_index, registry_of, unknown_key, settings, time_variants, variant_type, log=print):
    """Rows of median seconds per check by size, key and side, and the ratios.

    `registry_of(size)` is a registry of `size` users that nothing changes
    meanwhile, `unknown_key(size)` a key it does not hold.

    The index at every size and the store at the sizes not in
    settings["index_slow_store_sizes"] take turns in settings["rounds"]
    rounds; the store at those sizes, a tenth of a second or more per call
    and needed for no ratio, gets settings["index_slow_store_rounds"]
    rounds of its own (none: not timed). Each batch is timed by the clock
    and by this thread's CPU time: on a loaded machine the second leaves out
    the time other processes had the core."""
    slow = set(settings["index_slow_store_sizes"])
    slow_rounds = settings["index_slow_store_rounds"]
    fixtures = []
    for size in sorted(settings["index_sizes"]):
        fixtures.append(make_fixture(us, key_index, registry_of(size), unknown_key(size), size in slow))
        log(f"  index and store over {size:,} users ready and agreeing")
    timing = (settings["batch"], settings["warmup"])
    rows, ratios = [], []
    small, large = fixtures[0].size, fixtures[-1].size
    for position in KEYS:
        cpu = {}
        samples, number = time_variants(
            variants(fixtures, position, variant_type,
                     lambda size: SIDES if size not in slow else ("index",)),
            settings["rounds"], *timing, cpu_samples=cpu)
        if slow_rounds:
            more, more_number = time_variants(
                variants(fixtures, position, variant_type,
                         lambda size: ("store",) if size in slow else ()),
                slow_rounds, *timing, cpu_samples=cpu)
            samples.update(more)
            number.update(more_number)
        for fx in fixtures:
            index, store = median(samples, (fx.size, "index")), median(samples, (fx.size, "store"))
            paired = fx.size not in slow and store is not None
            rows.append({
                "operation": INDEX_OPERATION,
                "users": fx.size,
                "key": position,
                "index_s": index,
                "store_s": store,
                "ratio": None if store is None else index / store,
                "index_cpu_s": median(cpu, (fx.size, "index")),
                "store_cpu_s": median(cpu, (fx.size, "store")),
                # Only where both sides took turns in the same rounds.
                "paired_ratio": statistics.median(
                    i / s for i, s in zip(samples[fx.size, "index"], samples[fx.size, "store"])
                ) if paired else None,
                "calls_per_batch": {side: number.get((fx.size, side)) for side in SIDES},
                "samples_s": {side: samples.get((fx.size, side), []) for side in SIDES},
                "cpu_samples_s": {side: cpu.get((fx.size, side), []) for side in SIDES},
            })
        if large != small:
            ratios.append({"key": position, **ratio_entry(
                f"index at {large:,} / index at {small:,}", GROWTH_LIMIT,
                (large, "index"), (small, "index"), samples, cpu)})
        if small not in slow:
            ratios.append({"key": position, **ratio_entry(
                f"index at {small:,} / store at {small:,}", STORE_LIMIT,
                (small, "index"), (small, "store"), samples, cpu)})
    result = {"rows": rows, "ratios": ratios, "memory": None}
    if settings["index_memory"]:
        result["memory"] = memory(us, key_index, registry_of(large))
    return result


def print_result(result, fmt_time, out=sys.stdout):
    print(f"\n{INDEX_OPERATION}, registry unchanged: KeyIndex.verify_api_key against "
          "store.verify_api_key, median per check (clock, and CPU time of the checking thread):",
          file=out)
    header = ("users", "key", "index", "store", "index/store", "index CPU", "store CPU")
    lines = [(f"{r['users']:,}", r["key"], fmt_time(r["index_s"]), fmt_time(r["store_s"]),
              "-" if r["ratio"] is None else f"{r['ratio']:.4f}",
              fmt_time(r["index_cpu_s"]), fmt_time(r["store_cpu_s"]))
             for r in sorted(result["rows"], key=lambda r: r["users"])]
    widths = [max(len(h), *(len(line[i]) for line in lines)) for i, h in enumerate(header)]
    for cells in (header, *lines):
        print("  " + "  ".join(c.ljust(w) if i == 1 else c.rjust(w)
                               for i, (c, w) in enumerate(zip(cells, widths))).rstrip(), file=out)
    for entry in result["ratios"]:
        mark = "  " if entry["ok"] else " !"
        print(f"  {entry['ratio']} ({entry['key']}): {entry['value']:.2f}{mark} "
              f"(paired {entry['paired']:.2f}, CPU time {entry['cpu']:.2f}; "
              f"limit <= {entry['limit']:.2f})", file=out)
    found = result["memory"]
    if found:
        print(f"  memory at {found['users']:,} users (tracemalloc): the index "
              f"{found['index_bytes'] / 1e6:.1f} MB, one store._load() {found['load_bytes'] / 1e6:.1f} MB",
              file=out)
