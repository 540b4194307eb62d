"""A refused key's cost with one odd record in the registry.

bench/at_scale.py drives this. Two registries of the same users: one as the
store writes them, and one whose first record's description is a number (a
hand edit the store itself accepts). A KeyIndex over each is asked for a
key neither holds; both sides take turns in every round. An odd record
should cost nothing where the store's own scan would not stumble on it.
"""

import json
import statistics

import registry

ODD_OPERATION = "odd record"
# Refused key with the odd record / without it; strictly below.
ODD_LIMIT = 2.00
SIDES = ("plain", "odd")


def write_odd(base_dir, size):
    """The registry of registry.build(base_dir, size) with the first
    record's description a number, in the store's layout."""
    records, keys = registry.make_records(size, size)
    records[0]["description"] = size
    base_dir.mkdir(parents=True)
    (base_dir / "users").mkdir(mode=0o700)
    path = base_dir / "mcp_users.json"
    path.write_text(json.dumps(records, ensure_ascii=False, indent=2), encoding="utf-8")
    path.chmod(0o600)
    return registry.Registry(base_dir, [r["user_id"] for r in records], keys)


def run(us, key_index, root, size, answer, settings, time_variants, variant_type):
    """Per-check time of the refused key over both registries. `answer(verify,
    key)` is what a check gives (value or exception), for the parity check."""
    regs = {"plain": registry.build(root / "odd-plain", size), "odd": write_odd(root / "odd-odd", size)}
    refused = registry.unknown_key(size)
    indexes = {}
    for side, reg in regs.items():
        store = us.MCPUserStore(reg.base_dir)
        index = indexes[side] = key_index.KeyIndex(store)
        for key in (refused, reg.keys[0], reg.keys[-1]):
            mine, theirs = answer(index.verify_api_key, key), answer(store.verify_api_key, key)
            if mine != theirs:
                raise AssertionError(f"index and store disagree ({side} registry): {mine} != {theirs}")
    cpu = {}
    samples, number = time_variants(
        [(side, variant_type("f(k)", {"f": indexes[side].verify_api_key, "k": refused}))
         for side in SIDES],
        settings["rounds"], settings["batch"], settings["warmup"], cpu_samples=cpu)
    plain, odd = (statistics.median(samples[side]) for side in SIDES)
    return {
        "operation": ODD_OPERATION,
        "users": size,
        "plain_s": plain,
        "odd_s": odd,
        "ratio": odd / plain,
        "paired_ratio": statistics.median(o / p for o, p in zip(samples["odd"], samples["plain"])),
        "cpu_ratio": statistics.median(cpu["odd"]) / statistics.median(cpu["plain"]),
        "calls_per_batch": number,
        "samples_s": samples,
    }
