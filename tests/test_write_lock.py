"""The write lock: the lock file, flock with the file object, release on
every path, exclusion between threads and processes, and the generator
protocol that contextlib drives."""

import fcntl
import os
import threading

import pytest

import vardun.mcp.user_store as m
from helpers import lock_is_free

WAIT = 10  # seconds; only reached when something is broken


class RecordingFcntl:
    """The real fcntl, with its flock calls recorded."""

    LOCK_EX, LOCK_UN = fcntl.LOCK_EX, fcntl.LOCK_UN

    def __init__(self, fail_on=None, before_first=None):
        self.calls = []
        self.names = []  # (name, mode) of the file object at each call
        self.inodes = []  # of the file locked or unlocked
        self.fail_on = fail_on
        self.before_first = before_first

    def flock(self, file, operation):
        if self.before_first and not self.calls:
            self.before_first()
        self.calls.append((file, operation))
        self.names.append((file.name, file.mode))
        self.inodes.append(os.fstat(file.fileno()).st_ino)
        if operation == self.fail_on:
            raise OSError(5, "flock failed")
        fcntl.flock(file, operation)


class Untouchable:
    def __getattr__(self, name):
        raise AssertionError(f"fcntl.{name} used")


def test_lock_file_is_created_empty_and_emptied(store):
    with store._locked() as value:
        assert value is None
        assert store.lock_path.exists() and not lock_is_free(store.lock_path)
    assert store.lock_path.read_bytes() == b"" and lock_is_free(store.lock_path)
    store.lock_path.write_text("stale")
    store.add_user()
    assert store.lock_path.read_bytes() == b""


def test_flock_gets_the_file_object_and_both_operations(store, monkeypatch):
    recording = RecordingFcntl()
    monkeypatch.setattr(m, "fcntl", recording)
    with store._locked():
        pass
    (locked_file, first), (unlocked_file, second) = recording.calls
    assert (first, second) == (fcntl.LOCK_EX, fcntl.LOCK_UN)
    assert locked_file is unlocked_file and locked_file.closed and locked_file.mode == "w"
    # Named as opening the lock path by name names it, though opened by descriptor.
    with store.lock_path.open("w") as by_name:
        expected = (by_name.name, by_name.mode)
    assert recording.names == [expected, expected] and expected[0] == str(store.lock_path)


def test_a_file_that_left_the_lock_path_while_awaited_is_unlocked_and_opened_again(store,
                                                                                   monkeypatch):
    def replace_it():  # as another locker, holding the lock, would
        fresh = store.base_dir / "fresh"
        fresh.touch(mode=0o600)
        fresh.replace(store.lock_path)

    recording = RecordingFcntl(before_first=replace_it)
    monkeypatch.setattr(m, "fcntl", recording)
    with store._locked():
        held = store.lock_path.stat().st_ino
    assert [op for _, op in recording.calls] == [fcntl.LOCK_EX, fcntl.LOCK_UN] * 2
    assert recording.calls[0][0].closed and recording.inodes[2:] == [held, held]
    assert recording.inodes[0] != held


def test_exception_in_the_block_reaches_the_caller_unchanged(store):
    error = KeyError("inside")
    with pytest.raises(KeyError) as info:
        with store._locked():
            raise error
    assert info.value is error
    assert lock_is_free(store.lock_path)
    stop = StopIteration("as data")
    with pytest.raises(StopIteration) as info:
        with store._locked():
            raise stop
    assert info.value is stop and lock_is_free(store.lock_path)


def test_unlock_failure_carries_the_blocks_exception(store, monkeypatch):
    recording = RecordingFcntl(fail_on=fcntl.LOCK_UN)
    monkeypatch.setattr(m, "fcntl", recording)
    with pytest.raises(OSError, match="flock failed") as info:
        with store._locked():
            raise KeyError("block")
    assert isinstance(info.value.__context__, KeyError)
    assert recording.calls[0][0].closed
    with pytest.raises(OSError, match="flock failed") as info:
        with store._locked():
            pass
    assert info.value.__context__ is None


def test_lock_failure_skips_the_block_and_the_unlock(store, monkeypatch):
    recording = RecordingFcntl(fail_on=fcntl.LOCK_EX)
    monkeypatch.setattr(m, "fcntl", recording)
    ran = []
    with pytest.raises(OSError, match="flock failed"):
        with store._locked():
            ran.append(1)
    assert ran == [] and len(recording.calls) == 1 and recording.calls[0][0].closed


def test_without_fcntl_nothing_refers_to_it(store, monkeypatch):
    monkeypatch.setattr(m, "_FCNTL_AVAILABLE", False)
    monkeypatch.setattr(m, "fcntl", Untouchable())
    with store._locked():
        entered = threading.Event()

        def second():
            with store._locked():
                entered.set()

        thread = threading.Thread(target=second)
        thread.start()
        assert entered.wait(WAIT)
        thread.join(WAIT)
    assert store.lock_path.exists()
    user = store.add_user()
    assert store.remove_user(user["user_id"])
    monkeypatch.delattr(m, "fcntl")
    with store._locked():
        pass


def test_flag_is_read_again_before_unlocking(store, monkeypatch):
    recording = RecordingFcntl()
    monkeypatch.setattr(m, "fcntl", recording)
    with store._locked():
        monkeypatch.setattr(m, "_FCNTL_AVAILABLE", False)
    assert [op for _, op in recording.calls] == [fcntl.LOCK_EX]


def test_a_second_thread_waits_for_the_lock(store):
    order = []
    inside = threading.Event()

    def contender():
        with store._locked():
            order.append("second")

    with store._locked():
        thread = threading.Thread(target=contender)
        thread.start()
        # The waiting thread does not hold the interpreter: this one runs on.
        thread.join(0.3)
        assert thread.is_alive()
        order.append("first")
        inside.set()
    thread.join(WAIT)
    assert order == ["first", "second"]


def test_another_process_waits_for_the_lock(store, python):
    import subprocess
    import sys

    code = (
        "import sys, vardun.mcp.user_store as m\n"
        f"store = m.MCPUserStore({str(store.base_dir)!r})\n"
        "print('waiting', flush=True)\n"
        "with store._locked():\n"
        "    print('locked', flush=True)\n"
    )
    with store._locked():
        child = subprocess.Popen(
            [sys.executable, "-P", "-c", code], stdout=subprocess.PIPE, text=True,
            env={**__import__("os").environ, "PYTHONPATH": ":".join(p for p in sys.path if p)},
        )
        assert child.stdout.readline().strip() == "waiting"
        with pytest.raises(subprocess.TimeoutExpired):
            child.wait(0.5)
    out, _ = child.communicate(timeout=WAIT)
    assert out.strip() == "locked" and child.returncode == 0


def test_missing_base_directory_fails_before_loading(store, monkeypatch):
    import shutil

    shutil.rmtree(store.base_dir)
    monkeypatch.setattr(m.MCPUserStore, "_load", lambda self: pytest.fail("loaded"))
    with pytest.raises(FileNotFoundError):
        store.add_user()


def test_a_lock_held_at_interpreter_exit_is_no_crash(store, python):
    result = python(
        "import vardun.mcp.user_store as m\n"
        f"store = m.MCPUserStore({str(store.base_dir)!r})\n"
        "held = store._locked()\n"
        "held.__enter__()\n"
        "generator = m.MCPUserStore._locked.__wrapped__(store)\n"
        "print('exiting', flush=True)\n"
    )
    assert result.stdout == "exiting\n"
    assert lock_is_free(store.lock_path)


class TestGeneratorProtocol:
    def generator(self, store):
        return m.MCPUserStore._locked.__wrapped__(store)

    def test_next_send_and_exhaustion(self, store):
        gen = self.generator(store)
        assert gen.gi_running is False and gen.__name__ == "_locked"
        assert gen.__qualname__ == "MCPUserStore._locked"
        with pytest.raises(TypeError, match="can't send non-None value to a just-started generator"):
            gen.send(1)
        assert next(gen) is None and not lock_is_free(store.lock_path)
        with pytest.raises(StopIteration) as info:
            gen.send("resumed")
        assert info.value.value is None and lock_is_free(store.lock_path)
        with pytest.raises(StopIteration):
            next(gen)
        assert list(self.generator(store)) == [None]

    def test_throw(self, store):
        gen = self.generator(store)
        next(gen)
        error = ValueError("thrown")
        with pytest.raises(ValueError) as info:
            gen.throw(error)
        assert info.value is error and lock_is_free(store.lock_path)
        with pytest.raises(KeyError):
            gen.throw(KeyError)  # into a finished generator: raised as is
        fresh = self.generator(store)
        with pytest.raises(KeyError, match="k"):
            fresh.throw(KeyError, KeyError("k"), None)
        with pytest.raises(StopIteration):
            next(fresh)

    def test_throw_argument_errors(self, store):
        gen = self.generator(store)
        with pytest.raises(TypeError, match="exceptions must be classes or instances deriving from BaseException, not int"):
            gen.throw(1)
        with pytest.raises(TypeError, match="instance exception may not have a separate value"):
            gen.throw(KeyError("a"), "b")
        with pytest.raises(TypeError, match="third argument must be a traceback"):
            gen.throw(KeyError, None, "tb")
        with pytest.raises(TypeError):
            gen.throw()
        with pytest.raises(TypeError):
            gen.throw(KeyError, None, None, None)

    def test_stop_iteration_thrown_in_becomes_runtime_error(self, store):
        gen = self.generator(store)
        next(gen)
        stop = StopIteration("inner")
        with pytest.raises(RuntimeError, match="generator raised StopIteration") as info:
            gen.throw(stop)
        assert info.value.__cause__ is stop and lock_is_free(store.lock_path)

    def test_close_and_collection_release_the_lock(self, store):
        gen = self.generator(store)
        gen.close()
        with pytest.raises(StopIteration):
            next(gen)
        gen = self.generator(store)
        next(gen)
        assert not lock_is_free(store.lock_path)
        assert gen.close() is None and lock_is_free(store.lock_path)
        assert gen.close() is None
        gen = self.generator(store)
        next(gen)
        del gen
        assert lock_is_free(store.lock_path)

    def test_collection_runs_the_unlock_step(self, store, monkeypatch):
        # Closing the lock file would free the lock too; the generator's
        # cleanup must still unlock explicitly, for a plain and a contextlib use.
        operations = []

        class Operations(RecordingFcntl):
            def flock(self, file, operation):
                operations.append(operation)  # not the file: that would keep it open
                fcntl.flock(file, operation)

        monkeypatch.setattr(m, "fcntl", Operations())
        gen = self.generator(store)
        next(gen)
        del gen
        manager = store._locked()
        manager.__enter__()
        del manager
        assert operations == [fcntl.LOCK_EX, fcntl.LOCK_UN] * 2

    def test_a_running_generator_cannot_be_resumed(self, store, monkeypatch):
        captured = {}

        class Reentrant:
            LOCK_EX, LOCK_UN = fcntl.LOCK_EX, fcntl.LOCK_UN

            def flock(self, file, operation):
                gen = captured["gen"]
                assert gen.gi_running is True
                with pytest.raises(ValueError, match="generator already executing"):
                    next(gen)

        monkeypatch.setattr(m, "fcntl", Reentrant())
        gen = captured["gen"] = self.generator(store)
        next(gen)
        gen.close()
