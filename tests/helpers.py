"""Helpers shared by several test files."""

import fcntl
import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

TOOLS = Path(__file__).resolve().parents[1] / "tools"

# Checks that need the release build in the plain interpreter (valgrind, the
# stubs): the sanitizer and debug-interpreter runs skip them.
release_only = pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", "") or hasattr(sys, "gettotalrefcount"),
    reason="checked once, in the release run",
)


def lock_is_free(lock_path):
    """True when another open file description could take the write lock now."""
    lock_path = Path(lock_path)
    if not lock_path.exists():
        return True
    with open(lock_path, "rb") as probe:
        try:
            fcntl.flock(probe, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return False
        fcntl.flock(probe, fcntl.LOCK_UN)
        return True


def load_tool(name):
    """Imports tools/<name>.py, which is a script rather than a package module."""
    spec = importlib.util.spec_from_file_location(f"vardun_{name}_tool", TOOLS / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def ok(result):
    assert result.returncode == 0, result.stderr
    assert "Traceback" not in result.stderr
    return result


def failed(result, status, *fragments):
    """A failure: the status, nothing on stdout, and one line on stderr."""
    assert result.returncode == status, (result.stdout, result.stderr)
    assert result.stdout == ""
    assert "Traceback" not in result.stderr
    lines = result.stderr.splitlines()
    assert len(lines) == 1, result.stderr
    assert "error: " in lines[0]
    for fragment in fragments:
        assert fragment in lines[0]
    return lines[0]


def deep_tree(top, depth, name, leaf=os.mkfifo):
    """Nests `depth` directories `name` under `top` and makes `leaf("x",
    dir_fd=...)` in the deepest, through directory descriptors: the paths
    soon exceed PATH_MAX."""
    fd = os.open(top, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for _ in range(depth):
            os.mkdir(name, dir_fd=fd)
            inner = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = inner
        leaf("x", dir_fd=fd)
    finally:
        os.close(fd)


def empty_file(name, dir_fd):
    os.close(os.open(name, os.O_WRONLY | os.O_CREAT, dir_fd=dir_fd))


def traced_calls(tmp_path, code, calls, *args):
    """Runs `code` in a new interpreter under strace and returns the system
    calls named in `calls` that it made, one text per call, strings in full."""
    trace = Path(tmp_path) / "trace"
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    subprocess.run(
        ["strace", "-f", "-qq", "-s", "4096", "-o", str(trace), "-e", f"trace={calls}",
         sys.executable, "-P", "-c", code, *map(str, args)],
        env=env, check=True, timeout=60, stdin=subprocess.DEVNULL,
    )
    # One space before the result, as strace pads it to a column.
    return [re.sub(r"\)\s+= ", ") = ", line.split(None, 1)[1])
            for line in trace.read_text().splitlines()]


def warmed(store, key):
    """A key index whose answers for `key` now come from its watch."""
    from vardun.mcp.key_index import KeyIndex

    index = KeyIndex(store)
    for _ in range(3):
        index.verify_api_key(key)
    assert index._state()["quiet"]
    return index


def outcome(check, key):
    """What `check(key)` gives: its result, or its exception's type and text."""
    try:
        return "ok", check(key)
    except Exception as error:  # the same type and message from both
        return type(error).__name__, str(error)


def same(index, store, *keys):
    """The index answers each key as the store does."""
    for key in keys:
        assert outcome(index.verify_api_key, key) == outcome(store.verify_api_key, key), key


def agree_near_the_recursion_limit(run, limit, fits, fails, around):
    """With the recursion limit at `limit`, finds by halves the deepest
    nesting `run(depth, True)` (through the interpreter's own call) still
    handles, then checks that `run(depth, False)` (the native path) gives the
    same outcome at the depths `around` that edge."""
    saved = sys.getrecursionlimit()
    sys.setrecursionlimit(limit)
    try:
        assert run(fails, True)[0] is RecursionError
        while fails - fits > 1:
            middle = (fits + fails) // 2
            if run(middle, True)[0] is RecursionError:
                fails = middle
            else:
                fits = middle
        for depth in (fits - around, fits - 1, fits, fails, fails + around // 4):
            assert run(depth, False) == run(depth, True), depth
    finally:
        sys.setrecursionlimit(saved)


def profiled(call):
    """`call()`'s result, and the names of the Python functions a profiler
    saw called while it ran."""
    called = []

    def profile(frame, event, arg):
        if event == "call":
            called.append(frame.f_code.co_name)

    sys.setprofile(profile)
    try:
        return call(), called
    finally:
        sys.setprofile(None)
