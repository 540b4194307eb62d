"""The registry file: exact text, modes, atomic and private replacement,
and every way loading can fail."""

import json
import os
import pathlib
import shutil
import stat
import subprocess
import sys

import pytest

import vardun.mcp.user_store as m
from helpers import traced_calls

RECORDS = [
    {"user_id": "u_00000001", "api_key_hash": "sha256:" + "a" * 64, "description": "前端 · 小王",
     "created_at": "2026-01-01T00:00:00+00:00"},
    {"user_id": "u_00000002", "api_key_hash": "sha256:" + "b" * 64, "description": "",
     "created_at": "2026-01-02T00:00:00.123456+00:00", "rotated_at": "2026-02-01T00:00:00+00:00",
     "extra": {"kept": [1, 2.5, None, True]}},
]


def mode(path):
    return stat.S_IMODE(path.lstat().st_mode)


def leftovers(store):
    return sorted(p.name for p in store.base_dir.iterdir() if ".tmp-" in p.name)


def test_missing_registry_loads_as_a_new_empty_list(store):
    first, second = store._load(), store._load()
    assert first == [] and second == [] and first is not second
    assert not store.path.exists()


def test_exact_text_of_the_registry(store):
    store._save([])
    assert store.path.read_bytes() == b"[]"
    assert store._load() == []
    store._save(RECORDS)
    expected = json.dumps(RECORDS, ensure_ascii=False, indent=2)
    assert store.path.read_text(encoding="utf-8") == expected
    raw = store.path.read_bytes()
    assert "前端 · 小王".encode() in raw and b"\\u" not in raw and not raw.endswith(b"\n")
    assert raw.startswith(b'[\n  {\n    "user_id": "u_00000001",\n')


def test_round_trip_keeps_records_keys_and_order(store):
    store._save(RECORDS)
    loaded = store._load()
    assert loaded == RECORDS
    assert [list(r) for r in loaded] == [list(r) for r in RECORDS]
    store._save(loaded)
    assert store.path.read_text(encoding="utf-8") == json.dumps(RECORDS, ensure_ascii=False, indent=2)


def test_elements_of_any_shape_pass_through(store):
    store.path.write_text("[1, \"two\", null, [3], {}]", encoding="utf-8")
    assert store._load() == [1, "two", None, [3], {}]
    store._save([1, "two", None])
    assert store._load() == [1, "two", None]


def test_modes_after_saving(store):
    store.path.write_text("[]")
    store.path.chmod(0o644)
    store._save(RECORDS)
    assert mode(store.path) == 0o600
    assert leftovers(store) == []


SAVE_UNDER_STRACE = r"""
import os, sys
os.umask(0o277)
from vardun.mcp.user_store import MCPUserStore
store = MCPUserStore(sys.argv[1])
store._save([{"user_id": "u_1"}])
"""


@pytest.mark.skipif(shutil.which("strace") is None, reason="strace is not installed")
def test_a_save_is_private_from_its_first_byte_and_flushed_around_its_rename(tmp_path):
    # The system calls of one save, in order: the temporary file is created
    # without following a link and is 0600 (whatever the umask) before a byte
    # goes in, its data reaches the disk before the rename, and the directory
    # after it, or a power cut could lose the rename or leave an empty file.
    calls = traced_calls(tmp_path, SAVE_UNDER_STRACE,
                         "openat,ftruncate,fchmod,write,fdatasync,fsync,rename,close",
                         tmp_path / "base")
    start = next(i for i, c in enumerate(calls) if "mcp_users.tmp-" in c and c.startswith("openat("))
    assert "O_NOFOLLOW" in calls[start] and calls[start].split(") = ")[0].endswith(", 0600")
    fd = calls[start].rsplit("= ", 1)[1]
    steps = []
    for call in calls[start + 1:]:
        name = call.split("(", 1)[0]
        if call.startswith((f"{name}({fd},", f"{name}({fd})")) or (
            name == "rename" and "mcp_users.tmp-" in call
        ):
            steps.append(name)
        elif name == "fsync" and "rename" in steps:
            steps.append("fsync of the directory")
    assert steps[:6] == ["ftruncate", "fchmod", "write", "fchmod", "fdatasync", "rename"], steps
    # Never wider than 0600, not even for a moment before the rename.
    renamed = next(i for i, c in enumerate(calls) if c.startswith('rename("') and "tmp-" in c)
    modes = [c.split(", ")[1].split(")")[0] for c in calls[start:renamed]
             if c.startswith(f"fchmod({fd},")]
    assert modes == ["0600", "0600"], modes
    assert "fsync of the directory" in steps, steps


# Makes fsync of a directory, or fdatasync, fail as a flaky disk can.
FAILING_FLUSH = r"""
#define _GNU_SOURCE
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
int fsync(int fd) {
    struct stat info;
    if (getenv("FAIL_DIRECTORY_FSYNC") && fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        errno = EIO;
        return -1;
    }
    return (int)syscall(SYS_fsync, fd);
}
int fdatasync(int fd) {
    if (getenv("FAIL_FDATASYNC")) {
        errno = EIO;
        return -1;
    }
    return (int)syscall(SYS_fdatasync, fd);
}
"""

FLUSHED_ROTATION = r"""
import glob, os
from vardun.mcp.user_store import MCPUserStore
store = MCPUserStore(BASE)
added = store.add_user("x")
before = store.path.read_bytes()
os.environ[FAIL] = "1"
try:
    key = store.rotate_api_key(added["user_id"])["api_key"]
    print("rotated", store.verify_api_key(key).user_id == added["user_id"])
except OSError as error:
    print("failed", error.errno, os.path.basename(error.filename)[:14],
          store.path.read_bytes() == before, glob.glob(BASE + "/*.tmp-*"))
"""


@pytest.mark.skipif(shutil.which("gcc") is None, reason="gcc is not installed")
@pytest.mark.parametrize(
    "fail, outcome",
    [
        # The rename is the commit: failing after it would tell the caller
        # that nothing changed while the new hash is in place.
        ("FAIL_DIRECTORY_FSYNC", "rotated True"),
        # Before it, the save fails naming its file and leaves nothing behind.
        ("FAIL_FDATASYNC", "failed 5 mcp_users.tmp- True []"),
    ],
)
def test_flush_failures_around_the_rename(tmp_path, python, fail, outcome):
    source = tmp_path / "shim.c"
    source.write_text(FAILING_FLUSH)
    shim = tmp_path / "shim.so"
    subprocess.run(["gcc", "-shared", "-fPIC", "-o", str(shim), str(source)], check=True)
    preload = ":".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))
    base = str(tmp_path / "base")
    result = python(f"BASE = {base!r}\nFAIL = {fail!r}\n" + FLUSHED_ROTATION, env={"LD_PRELOAD": preload})
    assert result.stdout == outcome + "\n"


def test_named_steps_run_in_order(store, monkeypatch):
    # write_text and chmod would reopen the temporary name, following a link
    # put there meanwhile; the file's own descriptor is used instead.
    calls = []
    for method in ("with_suffix", "write_text", "chmod", "replace"):
        original = getattr(pathlib.Path, method)

        def wrapper(self, *args, _original=original, _name=method, **kwargs):
            calls.append((_name, self.name, args, kwargs))
            return _original(self, *args, **kwargs)

        monkeypatch.setattr(pathlib.Path, method, wrapper)
    monkeypatch.setattr(m.time, "time_ns", lambda: 1234567890123456789)
    store._save([])
    temp = "mcp_users.tmp-1234567890123456789"
    assert calls == [
        ("with_suffix", "mcp_users.json", (".tmp-1234567890123456789",), {}),
        ("replace", temp, (store.path,), {}),
    ]
    assert store.path.read_bytes() == b"[]" and mode(store.path) == 0o600


def test_temporary_name_comes_from_time_on_the_module(store, monkeypatch):
    class FakeTime:
        @staticmethod
        def time_ns():
            return 42

    monkeypatch.setattr(m, "time", FakeTime)
    store._save([{"a": 1}])
    (store.base_dir / "mcp_users.tmp-42").mkdir()
    with pytest.raises(IsADirectoryError):
        store._save([])
    assert store._load() == [{"a": 1}]


def test_a_file_left_at_the_temporary_name_is_reused(store, monkeypatch):
    monkeypatch.setattr(m.time, "time_ns", lambda: 7)
    leftover = store.base_dir / "mcp_users.tmp-7"
    leftover.write_text("x" * 10_000)
    leftover.chmod(0o666)
    store._save([{"a": 1}])
    assert store._load() == [{"a": 1}] and mode(store.path) == 0o600
    assert not leftover.exists()


@pytest.mark.parametrize("value", [(), None, type("L", (list,), {})()])
def test_saving_anything_but_a_list_creates_no_file(store, value):
    with pytest.raises(TypeError, match="Argument 'users' has incorrect type"):
        store._save(value)
    assert list(store.base_dir.iterdir()) == [store.users_dir]


def circular():
    loop = []
    loop.append(loop)
    return loop


@pytest.mark.parametrize("bad", [object(), {1j: 1}, circular()])
def test_unserialisable_records_touch_no_file(store, bad):
    store._save(RECORDS)
    before = store.path.read_bytes()
    with pytest.raises((TypeError, ValueError)):
        store._save([{"ok": 1}, bad])
    assert store.path.read_bytes() == before and leftovers(store) == []


def test_a_failed_save_removes_its_temporary_file(store, monkeypatch):
    store._save(RECORDS)
    before = store.path.read_bytes()

    def failing_replace(self, target):
        raise PermissionError("replace refused")

    monkeypatch.setattr(pathlib.Path, "replace", failing_replace)
    for _ in range(3):
        with pytest.raises(PermissionError):
            store._save([])
    with pytest.raises(UnicodeEncodeError):
        store._save(["\udc80"])
    assert store.path.read_bytes() == before and leftovers(store) == []


def test_corrupt_json(store):
    for content in [b"", b"[", b'\xef\xbb\xbf[]', b"[1,]", b"nope"]:
        store.path.write_bytes(content)
        with pytest.raises(ValueError) as info:
            store._load()
        assert str(info.value) == f"MCP 用户注册表 JSON 损坏: {store.path}"
        assert isinstance(info.value.__cause__, json.JSONDecodeError)
        assert info.value.__suppress_context__


@pytest.mark.parametrize("content", ["{}", "null", '"text"', "3", "true", '{"users": []}'])
def test_top_level_must_be_an_array(store, content):
    store.path.write_text(content)
    with pytest.raises(ValueError) as info:
        store._load()
    assert str(info.value) == f"MCP 用户注册表必须是数组: {store.path}"
    assert info.value.__cause__ is None and info.value.__context__ is None


def test_relative_paths_are_shown_as_given(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    store = m.MCPUserStore("rel")
    store.path.write_text("{}")
    with pytest.raises(ValueError, match="^MCP 用户注册表必须是数组: rel/mcp_users.json$"):
        store._load()


def test_read_errors_pass_through(store):
    store.path.write_bytes(b'["\xff"]')
    with pytest.raises(UnicodeDecodeError):
        store._load()
    store.path.unlink()
    store.path.mkdir()
    with pytest.raises(IsADirectoryError):
        store._load()


def test_rebound_json_is_used_and_its_decode_error_class_looked_up_late(store, monkeypatch):
    class FakeDecodeError(Exception):
        pass

    class FakeJson:
        JSONDecodeError = FakeDecodeError

        @staticmethod
        def loads(text):
            raise FakeDecodeError(text)

        @staticmethod
        def dumps(value, **kwargs):
            return f"{kwargs}"

    store.path.write_text("[]")
    monkeypatch.setattr(m, "json", FakeJson)
    with pytest.raises(ValueError, match="JSON 损坏") as info:
        store._load()
    assert isinstance(info.value.__cause__, FakeDecodeError)
    store._save([])
    assert store.path.read_text() == "{'ensure_ascii': False, 'indent': 2}"

    class OtherError(Exception):
        pass

    def loads(text):
        raise OtherError()

    monkeypatch.setattr(FakeJson, "loads", staticmethod(loads))
    with pytest.raises(OtherError):
        store._load()


def test_except_clause_rejects_non_exception_classes(store, monkeypatch):
    class FakeJson:
        JSONDecodeError = "not a class"

        @staticmethod
        def loads(text):
            raise KeyError("x")

    store.path.write_text("[]")
    monkeypatch.setattr(m, "json", FakeJson)
    with pytest.raises(TypeError, match="catching classes that do not inherit from BaseException") as info:
        store._load()
    assert isinstance(info.value.__context__, KeyError)
