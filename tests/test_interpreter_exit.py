"""Interpreter exit while daemon threads are inside the store: a smaller run
of tools/exit_threads.py (VARDUN_EXIT_RUNS sets the exits per scenario)."""

import os
import sys

from helpers import load_tool


def _runs_per_scenario():
    if os.environ.get("VARDUN_EXIT_RUNS"):
        return int(os.environ["VARDUN_EXIT_RUNS"])
    # Sanitizer and debug-interpreter runs are many times slower.
    if "libasan" in os.environ.get("LD_PRELOAD", "") or hasattr(sys, "gettotalrefcount"):
        return 6
    return 40


def test_daemon_threads_inside_every_kind_of_operation_never_crash_the_exit():
    tool = load_tool("exit_threads")
    runs = _runs_per_scenario()
    figures = tool.run(runs=runs, jobs=4, log=None)
    assert figures["exits"] == runs * len(tool.SCENARIOS)
    assert figures["crashes"] == 0, figures["first_crashes"]
