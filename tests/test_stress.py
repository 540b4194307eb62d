"""Smaller runs of tools/stress.py (writer processes with two threads each and
reader processes on one registry; VARDUN_STRESS_SECONDS sets its length) and
of tools/races.py (VARDUN_RACE_ROUNDS sets its rounds)."""

import os

import pytest

from helpers import load_tool

SECONDS = float(os.environ.get("VARDUN_STRESS_SECONDS", "8"))


@pytest.fixture(scope="module")
def stress():
    return load_tool("stress")


def test_concurrent_writers_and_readers_lose_nothing(stress, tmp_path):
    figures = stress.run(writers=6, threads=2, readers=2, seconds=SECONDS, base=tmp_path / "base")
    assert figures["problems"] == []
    assert figures["changes_lost"] == 0
    ops = figures["writer_operations"]
    # Every kind of change actually ran concurrently with the others.
    assert ops["add"] > 0 and ops["rotate"] > 0 and ops["remove"] > 0
    assert figures["reader_operations"]["verify"] > 0
    assert figures["reader_operations"]["list"] > 0


def test_the_run_detects_lost_changes_when_writers_do_not_exclude_each_other(
    stress, tmp_path, monkeypatch
):
    # Guards the check itself: with the lock switched off in every worker the
    # same run must report lost or wrong changes, or it proves nothing.
    monkeypatch.setenv("VARDUN_STRESS_WITHOUT_LOCK", "1")
    figures = stress.run(
        writers=6, threads=1, readers=1, seconds=min(SECONDS, 3.0), base=tmp_path / "base", log=None
    )
    assert not figures["ok"]
    assert figures["changes_lost"] > 0 or figures["problems"]


def test_key_checks_racing_removals_and_links_swapped_into_removals_and_repairs(tmp_path):
    # Half the race rounds begin without the credential directory, so key
    # checks have to create it again while the user is being removed.
    rounds = int(os.environ.get("VARDUN_RACE_ROUNDS", "120"))
    races = load_tool("races")
    results = races.run(
        rounds=rounds, races=["verify-vs-remove", "swap-during-removal", "fix-during-swap"],
        log=None, seed=1
    )
    checked, swapped = results["verify-vs-remove"], results["swap-during-removal"]
    assert (checked["errors"], checked["resurrected"]) == (0, 0), checked["stderr"]
    assert checked["checks"] > rounds
    assert swapped["outside_changed"] == 0
    assert swapped["completed"] + swapped["stopped"] == rounds
    # A round of this one builds a deep tree: fewer of them.
    deep_rounds = max(rounds // 6, 5)
    moved = races.run(rounds=deep_rounds, races=["move-during-deep-removal"], log=None, seed=1)
    moved = moved["move-during-deep-removal"]
    assert moved["outside_changed"] == 0
    assert moved["completed"] + moved["stopped"] == deep_rounds
    fixing = results["fix-during-swap"]
    assert (fixing["errors"], fixing["outside_changed"]) == (0, 0), fixing["stderr"]
    assert fixing["fixed"] > 0  # the registry was repaired in some rounds, refused in others


def test_lockers_never_overlap_while_a_lock_file_others_could_open_is_replaced():
    # Every round a locker replaces the lock file while others wait on the
    # old one; each of those must find it moved and wait again.
    rounds = 2 * int(os.environ.get("VARDUN_RACE_ROUNDS", "120"))
    figures = load_tool("races").run(rounds=rounds, races=["lock-replaced-while-taken"],
                                     log=None, seed=1)["lock-replaced-while-taken"]
    assert (figures["overlaps"], figures["replaced"]) == (0, rounds), figures["stderr"]
    assert figures["taken"] > rounds
