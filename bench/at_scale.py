"""The key index at scale: what a registry change costs a running server, the
index's memory, the loop-side check next to a plain dict, and odd records;
each next to its yardstick from the same run, with the limit it is held to.

bench/run.py drives this after the key-check table (whose figures give the
check answered from the watch). Parts, each selectable with --only:

- registry changes: per size, read+parse and rotate_api_key
  (rotation_cost.py), then the reload stall (reload_stall.py), on one
  registry of that size;
- index memory (index_memory.py), at the largest size;
- middleware CPU against a peer (middleware_cpu.py);
- odd record (odd_record.py).
"""

import sys

import index_memory
import middleware_cpu
import odd_record
import registry
import reload_stall
import rotation_cost

CHANGES_OPERATION = f"registry changes ({reload_stall.STALL_OPERATION}, {rotation_cost.ROTATE_OPERATION})"
PARTS = (CHANGES_OPERATION, index_memory.MEMORY_OPERATION, middleware_cpu.PEER_OPERATION,
         odd_record.ODD_OPERATION)

# A key check answered from the watch, on this machine before the index's
# engine was rewritten; the rewrite may cost at most WATCH_LIMIT times that.
WATCH_BEFORE_S = 4.2e-6
WATCH_LIMIT = 1.10


def _limit(what, value, limit, relation, paired=None, kind="ratio"):
    ok = {"<=": value <= limit, "<": value < limit, ">=": value >= limit}[relation]
    return {"what": what, "value": value, "limit": limit, "relation": relation, "ok": ok,
            "paired": paired, "kind": kind}


def watch_check(index):
    """The slowest key check of the key-check table (every size, both keys):
    the registry does not change there, so each is answered from the watch."""
    rows = [r for r in index["rows"] if r["index_s"] is not None]
    worst = max(rows, key=lambda r: r["index_s"])
    return {"worst_s": worst["index_s"], "users": worst["users"], "key": worst["key"],
            "worst_cpu_s": max(r["index_cpu_s"] for r in rows), "before_s": WATCH_BEFORE_S}


def run(us, key_index, root, registry_of, index, settings, only, time_variants, variant_type,
        answer, log=print):
    """Every part `only` selects; `registry_of(size)` is a registry nothing
    changes, `index` the key-check table's result (or None)."""

    def wanted(part):
        return not only or any(word in part for word in only)

    result = {"changes": [], "memory": None, "peer": None, "odd": None, "watch": None,
              "rotate_pause_s": settings["rotate_pause_seconds"], "limits": []}
    limits = result["limits"]
    sizes = sorted(settings["scale_sizes"])
    if sizes and wanted(CHANGES_OPERATION):
        log(CHANGES_OPERATION)
        for size in sizes:
            # A registry of its own: the rotations change it.
            reg = registry.build(root / f"changing-{size}", size)
            costs = rotation_cost.measure(reg.base_dir, reg.user_ids[0], settings["scale_rounds"])
            row = reload_stall.run(reg, costs["read_parse_s"],
                                   settings["stall_quiet_seconds"], settings["stall_rotations"],
                                   settings["rotate_pause_seconds"], log)
            row["rotate"] = costs
            result["changes"].append(row)
        last = result["changes"][-1]
        limits.append(_limit(f"worst request while the registry changes / one read+parse, "
                             f"{last['users']:,} users", last["worst_ratio"], reload_stall.STALL_LIMIT,
                             "<="))
        limits.append(_limit(f"rotate_api_key / one read+parse, {last['users']:,} users",
                             last["rotate"]["ratio"], rotation_cost.ROTATE_LIMIT, "<=",
                             last["rotate"]["paired_ratio"]))
    if sizes and wanted(index_memory.MEMORY_OPERATION):
        log(f"{index_memory.MEMORY_OPERATION}: fresh processes over {sizes[-1]:,} users")
        memory = result["memory"] = index_memory.measure(registry_of(sizes[-1]), settings["memory_runs"])
        limits.append(_limit(f"index resident memory / one store._load(), {memory['users']:,} users",
                             memory["ratio"], index_memory.MEMORY_LIMIT, "<="))
    if wanted(middleware_cpu.PEER_OPERATION):
        log(f"{middleware_cpu.PEER_OPERATION}: {settings['peer_users']:,} users")
        peer = result["peer"] = middleware_cpu.run(registry_of(settings["peer_users"]),
                                                   settings["peer_rounds"], settings["peer_seconds"],
                                                   log)
        if "skipped" not in peer:
            limits.append(_limit(f"server CPU per request, peer / BearerAuthMiddleware ({peer['stack']})",
                                 peer["ratio"], middleware_cpu.PEER_LIMIT, ">=", peer["paired_ratio"]))
    if wanted(odd_record.ODD_OPERATION):
        size = settings["odd_record_users"]
        log(f"{odd_record.ODD_OPERATION}: {size:,} users")
        odd = result["odd"] = odd_record.run(us, key_index, root, size, answer, settings,
                                             time_variants, variant_type)
        limits.append(_limit(f"refused key, one odd record / none, {size:,} users", odd["ratio"],
                             odd_record.ODD_LIMIT, "<", odd["paired_ratio"]))
    if index:
        watch = result["watch"] = watch_check(index)
        limits.append(_limit(f"key check from the watch, slowest of every size and key "
                             f"({watch['users']:,} users, {watch['key']})", watch["worst_s"],
                             WATCH_LIMIT * WATCH_BEFORE_S, "<=", kind="time"))
    return result


def print_result(result, fmt_time, out=sys.stdout):
    def mark(ok):
        return "  " if ok else " !"

    rows = result["changes"]
    if rows:
        print(f"\n{CHANGES_OPERATION}: uvicorn ({rows[0]['stack']}) with BearerAuthMiddleware, "
              f"{reload_stall.CONNECTIONS} keep-alive connections with the last user's key; while "
              f"changing, another process rotates the first user's key, pausing "
              f"{result['rotate_pause_s']:g} s between rotations:", file=out)
        header = ("users", "read+parse", "rotate_api_key", "rotate/parse", "quiet p99.9 / worst",
                  "changing p99.9 / worst", "worst/parse", "rotations", "rps change",
                  "server CPU per request quiet / changing")
        lines = []
        for i, r in enumerate(rows):
            last = i == len(rows) - 1
            quiet, changing, rotate = r["quiet"], r["changing"], r["rotate"]
            lines.append((
                f"{r['users']:,}", fmt_time(r["read_parse_s"]), fmt_time(rotate["rotate_s"]),
                f"{rotate['ratio']:.2f}" + (mark(rotate["ratio"] <= rotation_cost.ROTATE_LIMIT)
                                            if last else "  "),
                f"{fmt_time(quiet['p999_s'])} / {fmt_time(quiet['worst_s'])}",
                f"{fmt_time(changing['p999_s'])} / {fmt_time(changing['worst_s'])}",
                f"{r['worst_ratio']:.2f}" + (mark(r["worst_ratio"] <= reload_stall.STALL_LIMIT)
                                             if last else "  "),
                str(r["rotations"]), f"{r['throughput_change']:+.0%}",
                f"{fmt_time(quiet['server_cpu_per_request_s'])} / "
                f"{fmt_time(changing['server_cpu_per_request_s'])}"))
        _columns(header, lines, out, left=())
    memory = result["memory"]
    if memory:
        peak = ("" if memory["index_peak_bytes"] is None else
                f"; peak while building {memory['index_peak_bytes'] / 2**20:.1f} MiB / "
                f"{memory['load_peak_bytes'] / 2**20:.1f} MiB")
        print(f"\n{index_memory.MEMORY_OPERATION} at {memory['users']:,} users (resident set growth of a "
              f"fresh process): KeyIndex with one check {memory['index_rss_bytes'] / 2**20:.1f} MiB, "
              f"one store._load() {memory['load_rss_bytes'] / 2**20:.1f} MiB: "
              f"{memory['ratio']:.2f}{mark(memory['ratio'] <= index_memory.MEMORY_LIMIT)}{peak}",
              file=out)
    peer = result["peer"]
    if peer and "skipped" in peer:
        print(f"\n{middleware_cpu.PEER_OPERATION}: {peer['skipped']} not installed, not measured",
              file=out)
    elif peer:
        print(f"\n{middleware_cpu.PEER_OPERATION}: uvicorn ({peer['stack']}), {peer['users']:,} users, "
              "server CPU per request (all its threads, from /proc):", file=out)
        cpu, rps = peer["server_cpu_per_request_s"], peer["rps"]
        bare = cpu["without"]
        lines = [(name, f"{rps[name]:,.0f}", fmt_time(cpu[name]),
                  "-" if name == "without" else fmt_time(cpu[name] - bare))
                 for name in middleware_cpu.SERVERS]
        _columns(("middleware", "rps", "server CPU per request", "added by the middleware"), lines,
                 out, left=(0,))
    odd = result["odd"]
    if odd:
        print(f"\n{odd_record.ODD_OPERATION}: a refused key through KeyIndex at {odd['users']:,} users, "
              f"without an odd record {fmt_time(odd['plain_s'])}, with one whose description is a "
              f"number {fmt_time(odd['odd_s'])}: {odd['ratio']:.2f}{mark(odd['ratio'] < odd_record.ODD_LIMIT)}"
              f" (paired {odd['paired_ratio']:.2f}, CPU time {odd['cpu_ratio']:.2f})", file=out)
    if result["limits"]:
        print("\nlimits of the index at scale ('!' marks a miss):", file=out)
        for entry in result["limits"]:
            if entry["kind"] == "time":
                value, limit = fmt_time(entry["value"]), (
                    f"{fmt_time(entry['limit'])}: {WATCH_LIMIT:.2f} x {fmt_time(WATCH_BEFORE_S)}")
            else:
                value, limit = f"{entry['value']:.2f}", f"{entry['limit']:.2f}"
            paired = "" if entry["paired"] is None else f"paired {entry['paired']:.2f}; "
            print(f"  {entry['what']}: {value}{mark(entry['ok'])} ({paired}limit {entry['relation']} "
                  f"{limit})", file=out)


def _columns(header, lines, out, left):
    widths = [max(len(h), *(len(line[i]) for line in lines)) for i, h in enumerate(header)]
    for cells in (header, *lines):
        print("  " + "  ".join(c.ljust(w) if i in left else c.rjust(w)
                               for i, (c, w) in enumerate(zip(cells, widths))).rstrip(), file=out)
