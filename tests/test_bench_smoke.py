"""The benchmark still runs, in its smallest configuration.

No timing is asserted. What a run does check is that every floor still does
what the module does (bench/run.py compares their results before timing), so
a change to the module's behaviour that the floors do not share fails here.
"""

import json
import math
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from helpers import release_only

BENCH = Path(__file__).resolve().parent.parent / "bench" / "run.py"


def test_smallest_benchmark_runs_and_reports_every_operation(tmp_path):
    out = tmp_path / "bench.json"
    environment = dict(os.environ)
    environment["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    result = subprocess.run(
        [sys.executable, "-P", str(BENCH), "--quick", "--sizes", "10,1000,2000", "--rounds", "1",
         "--scale-sizes", "1500", "--json", str(out), "--dir", str(tmp_path)],
        env=environment,
        capture_output=True,
        text=True,
        timeout=120,
        stdin=subprocess.DEVNULL,
    )
    assert result.returncode == 0, result.stderr
    assert "verify_api_key (last)" in result.stdout

    report = json.loads(out.read_text(encoding="utf-8"))
    rows = {(r["operation"], r["users"]): r for r in report["results"]}
    expected = {
        ("generate_api_key", None),
        ("normalize_api_key (bare)", None),
        ("normalize_api_key (Bearer)", None),
        ("hash_api_key", None),
        ("credential_dir", None),
        ("MCPUser.to_dict", None),
        ("MCPUserStore()", None),
        ("add_user + remove_user", 10),
        ("add_user + remove_user", 1000),
    }
    for size in (10, 1000, 2000):
        for operation in ("verify_api_key (first)", "verify_api_key (last)",
                          "verify_api_key (no match)", "list_users", "rotate_api_key",
                          "remove_user (unknown)"):
            expected.add((operation, size))
    assert expected <= set(rows)
    for row in rows.values():
        assert row["module_s"] > 0 and row["floor_s"] > 0
        assert math.isfinite(row["ratio"])
    # Index and store agreed (checked before timing) and both were timed,
    # with the ratios the index is held to.
    index = report["index"]
    assert {(r["users"], r["key"]) for r in index["rows"]} == {
        (size, key) for size in (10, 1000) for key in ("last", "no match")}
    for row in index["rows"]:
        assert row["index_s"] > 0 and row["store_s"] > 0 and row["index_cpu_s"] > 0
    assert {(r["ratio"], r["key"]) for r in index["ratios"]} == {
        (ratio, key) for ratio in ("index at 1,000 / index at 10", "index at 10 / store at 10")
        for key in ("last", "no match")}

    # The servers answered as they should (checked before timing) and were
    # timed, on each stack this interpreter has.
    http = report["http"]
    stacks = {row["stack"] for row in http["rows"]}
    assert "h11 on asyncio" in stacks
    assert stacks | set(http["skipped"]) == {"h11 on asyncio", "httptools on uvloop"}
    for stack in stacks:
        rows = [r for r in http["rows"] if r["stack"] == stack]
        assert [(r["users"], r["check_in_thread"]) for r in rows] == [(10, False), (1000, False), (10, True)]
        for row in rows:
            assert row["without_rps"] > 0 and row["with_rps"] > 0
            assert row["server_cpu_per_request_s"]["with"] is not None
        assert len([r for r in http["ratios"] if r["stack"] == stack]) == 2
    # The index at scale: each part ran (the servers and the index agreeing
    # with the store first), every figure next to its yardstick.
    scale = report["at_scale"]
    (changes,) = scale["changes"]
    assert changes["users"] == 1500 and changes["rotations"] >= 1
    assert changes["read_parse_s"] > 0 and changes["rotate"]["rotate_s"] > 0
    for phase in ("quiet", "changing"):
        assert 0 < changes[phase]["p999_s"] <= changes[phase]["worst_s"]
    assert scale["memory"]["users"] == 1500 and scale["memory"]["index_rss_bytes"] > 0
    assert scale["odd"]["plain_s"] > 0 and scale["odd"]["odd_s"] > 0
    assert scale["watch"]["worst_s"] > 0
    peer = scale["peer"]
    if "skipped" not in peer:
        assert all(cpu > 0 for cpu in peer["server_cpu_per_request_s"].values())
    assert len(scale["limits"]) == (6 if "skipped" not in peer else 5)
    for growth in (report["growth"], report["growth_steady_heap"]):
        for operation in ("verify_api_key (last)", "list_users"):
            assert math.isfinite(growth[operation]["module_exponent"])

    # The registries live only for the run.
    assert [p.name for p in tmp_path.iterdir()] == ["bench.json"]


@pytest.mark.skipif(shutil.which("valgrind") is None, reason="valgrind is not installed")
@release_only
def test_instruction_counts_cover_both_sides(tmp_path):
    environment = dict(os.environ)
    environment["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    result = subprocess.run(
        [sys.executable, "-P", str(BENCH), "--instructions", "--only", "MCPUser.to_dict",
         "--json", str(tmp_path / "bench.json"), "--dir", str(tmp_path)],
        env=environment, capture_output=True, text=True, timeout=300, stdin=subprocess.DEVNULL,
    )
    assert result.returncode == 0, result.stderr
    (row,) = json.loads((tmp_path / "instructions.json").read_text(encoding="utf-8"))["rows"]
    assert row["operation"] == "MCPUser.to_dict" and "MCPUser.to_dict" in result.stdout
    # A dict of four entries, a str() and four attribute reads: thousands, not
    # millions (which would mean something besides the loop was counted).
    assert 500 < row["module_ir"] < 20000 and 500 < row["floor_ir"] < 20000


def test_registry_reader_benchmark_runs(tmp_path):
    out = tmp_path / "reader.json"
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    result = subprocess.run(
        [sys.executable, "-P", str(BENCH.parent / "registry_reader.py"), "--users", "500",
         "--rounds", "1", "--dir", str(tmp_path), "--json", str(out)],
        env=environment, capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL,
    )
    assert result.returncode == 0, result.stderr
    report = json.loads(out.read_text(encoding="utf-8"))
    assert report["records"] == 500 and report["complete"]
    assert report["reader_s"] > 0 and report["load_s"] > 0


def test_registry_reread_benchmark_runs(tmp_path):
    out = tmp_path / "reread.json"
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    result = subprocess.run(
        [sys.executable, "-P", str(BENCH.parent / "registry_reread.py"), "--users", "500",
         "--rounds", "1", "--dir", str(tmp_path), "--json", str(out)],
        env=environment, capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL,
    )
    assert result.returncode == 0, result.stderr
    changes = json.loads(out.read_text(encoding="utf-8"))["changes"]
    assert len(changes) == 5
    for row in changes.values():  # one record parsed, or two
        assert row["parsed"] < 1000 < row["bytes"] and row["reread_s"] > 0 and row["whole_s"] > 0
