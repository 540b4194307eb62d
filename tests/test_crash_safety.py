"""Writers killed with SIGKILL: at chosen points inside an operation, and at
random moments in a smaller run of tools/crash.py (VARDUN_CRASH_SECONDS sets
its length)."""

import json
import os
import select
import signal
import time
from pathlib import PosixPath

import pytest

from helpers import load_tool, lock_is_free

SECONDS = float(os.environ.get("VARDUN_CRASH_SECONDS", "12"))


@pytest.fixture(scope="module")
def crash_tool():
    return load_tool("crash")


def _kill_when_signalled(work, timeout=60):
    """Forks a child that runs `work(signal_parent)`; once the child has
    signalled, kills it with SIGKILL. Returns the child's wait status."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        status = 0
        try:
            os.close(read_end)
            work(lambda: os.write(write_end, b"!"))
            status = 2  # reached the end without being killed
        except BaseException:
            import traceback

            traceback.print_exc()
            status = 3
        finally:
            os._exit(status)
    os.close(write_end)
    try:
        ready, _, _ = select.select([read_end], [], [], timeout)
        signalled = bool(ready) and os.read(read_end, 1) == b"!"
    finally:
        os.close(read_end)
        os.kill(pid, signal.SIGKILL)
        _, status = os.waitpid(pid, 0)
    assert signalled, f"child never reached the point (status {status})"
    assert os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL
    return status


def test_a_writer_killed_while_holding_the_lock_frees_it(us, store, python):
    kept = store.add_user("kept")

    def hold_lock(signal_parent):
        with us.MCPUserStore(store.base_dir)._locked():
            signal_parent()
            time.sleep(60)

    _kill_when_signalled(hold_lock)
    assert lock_is_free(store.lock_path)
    # The next writer, in another process, proceeds at once.
    code = (
        "from vardun.mcp.user_store import MCPUserStore\n"
        f"s = MCPUserStore({str(store.base_dir)!r})\n"
        "print(s.add_user('next')['user_id'])\n"
    )
    started = time.monotonic()
    result = python(code, timeout=60)
    assert time.monotonic() - started < 60
    ids = [r["user_id"] for r in store._load()]
    assert ids == [kept["user_id"], result.stdout.strip()]


def test_a_save_cut_short_leaves_the_old_registry_whole_and_the_temp_file_private(us, store):
    first = store.add_user("first")
    before = store.path.read_bytes()

    # Any path the store derives from `path` (the temporary file) is of this
    # class, so the child stops inside `_save` just before the rename.
    class PausingPath(PosixPath):
        def replace(self, target):
            PausingPath.signal_parent()
            time.sleep(60)

    def add_and_pause(signal_parent):
        os.umask(0)  # the temporary file is private whatever the umask
        PausingPath.signal_parent = staticmethod(signal_parent)
        child_store = us.MCPUserStore(store.base_dir)
        child_store.path = PausingPath(child_store.path)
        child_store.add_user("never returned")

    _kill_when_signalled(add_and_pause)

    assert store.path.read_bytes() == before
    assert [r["user_id"] for r in store._load()] == [first["user_id"]]
    assert store.verify_api_key(first["api_key"]).user_id == first["user_id"]
    (temp,) = store.base_dir.glob("mcp_users.tmp-*")
    assert temp.stat().st_mode & 0o777 == 0o600
    # Complete and already on disk, but never taken for the registry.
    records = json.loads(temp.read_text(encoding="utf-8"))
    assert [r["description"] for r in records] == ["first", "never returned"]
    assert lock_is_free(store.lock_path)

    # Later writers go on as if nothing had happened and leave the file alone.
    second = store.add_user("second")
    assert [r["user_id"] for r in store._load()] == [first["user_id"], second["user_id"]]
    assert temp.exists()


def test_random_kills_lose_no_returned_change(crash_tool, tmp_path):
    figures = crash_tool.run(seconds=SECONDS, writers=3, base=tmp_path / "base")
    assert figures["problems"] == []
    assert figures["kills_survived"] == figures["kills"] > 0


def test_the_run_detects_a_registry_rewritten_in_place(crash_tool, tmp_path, monkeypatch):
    # Guards the check itself: writers that rewrite the registry in place
    # instead of replacing it must be caught leaving a torn file.
    monkeypatch.setenv("VARDUN_CRASH_SAVE_IN_PLACE", "1")
    figures = crash_tool.run(seconds=max(SECONDS, 15), writers=3, base=tmp_path / "base", log=None)
    assert not figures["ok"]
    assert any("does not load" in p or "gone" in p for p in figures["problems"])
