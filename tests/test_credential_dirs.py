"""Credential directories: naming, ensuring with mode 0700, removing with
everything inside, and never reaching outside the users directory."""

import os
import re
import shutil
import stat
import subprocess
import sys
import time
from pathlib import Path

import pytest

import vardun.mcp.user_store as m
from helpers import traced_calls

needs_strace = pytest.mark.skipif(shutil.which("strace") is None, reason="strace is not installed")

from helpers import deep_tree, empty_file


def mode(path):
    return stat.S_IMODE(path.lstat().st_mode)


def test_credential_dir_names_a_path_and_touches_nothing(store):
    path = store.credential_dir("u_0123abcd")
    assert path == store.users_dir / "u_0123abcd" and isinstance(path, Path)
    assert not path.exists()


@pytest.mark.parametrize("user_id", ["", ".", "..", "a/b", "/etc", "../x", "u\0x", "u_1/"])
def test_identifiers_that_are_not_one_plain_component_are_refused(store, user_id):
    for method in (store.credential_dir, store._ensure_credential_dir, store._remove_credential_dir):
        with pytest.raises(ValueError) as info:
            method(user_id)
        assert str(info.value) == "非法的 MCP 用户 ID: " + user_id
    assert list(store.users_dir.iterdir()) == []


@pytest.mark.parametrize("user_id", ["u_0123abcd", "...", ".hidden", "a b", "名字", "a\\b", "None"])
def test_other_identifiers_are_used_unchanged(store, user_id):
    assert store.credential_dir(user_id).name == user_id
    store._ensure_credential_dir(user_id)
    assert mode(store.users_dir / user_id) == 0o700
    store._remove_credential_dir(user_id)
    assert not (store.users_dir / user_id).exists()


def test_ensure_creates_parents_and_tightens_modes(store):
    store.users_dir.rmdir()
    assert store._ensure_credential_dir("u_1") is None
    assert mode(store.users_dir / "u_1") == 0o700 and mode(store.users_dir) == 0o700
    directory = store.users_dir / "u_2"
    directory.mkdir(mode=0o755)
    directory.chmod(0o755)
    (directory / "state.json").write_text("{}")
    store._ensure_credential_dir("u_2")
    assert mode(directory) == 0o700 and (directory / "state.json").read_text() == "{}"


CREATE_AND_RECREATE = r"""
import os, sys
from vardun.mcp.user_store import MCPUserStore
store = MCPUserStore(sys.argv[1])
added = store.add_user("a")
os.rmdir(store.credential_dir(added["user_id"]))
assert store.verify_api_key(added["api_key"]) is not None
"""


@needs_strace
def test_a_credential_directory_is_private_from_its_creation(tmp_path):
    # Made wider and re-moded afterwards, it could be entered in between.
    calls = traced_calls(tmp_path, CREATE_AND_RECREATE, "mkdir,mkdirat", tmp_path / "base")
    (user_id,) = os.listdir(tmp_path / "base" / "users")
    made = [c for c in calls if f'{user_id}",' in c]
    assert len(made) == 2, calls  # by add_user, and again by the key check
    assert all(re.search(r", 0700\) = 0$", c) for c in made), made


@needs_strace
def test_a_removal_works_below_a_descriptor_of_the_users_directory(store, tmp_path):
    # Naming the directory by its path, a link swapped in for one of its
    # parents meanwhile would send the removal elsewhere.
    user_id = store.add_user("a")["user_id"]
    root = store.credential_dir(user_id)
    (root / "nested" / "sub").mkdir(parents=True)
    (root / "nested" / "sub" / "deep.txt").write_text("x")
    (root / ".hidden").write_text("x")
    (root / "link").symlink_to(tmp_path)
    code = "import sys\nfrom vardun.mcp.user_store import MCPUserStore\n" \
           "assert MCPUserStore(sys.argv[1]).remove_user(sys.argv[2])\n"
    calls = traced_calls(tmp_path, code, "all", store.base_dir, user_id)
    assert not root.exists() and (tmp_path / "base").is_dir()
    assert [c for c in calls if str(root) in c] == []
    assert [c for c in calls if c.startswith(("rmdir(", "unlink(", "unlinkat(AT_FDCWD"))] == []
    removed = [c for c in calls if c.startswith("unlinkat(")]
    names = {c.split('"')[1].rsplit("/", 1)[-1] for c in removed}
    assert names == {"nested", "sub", "deep.txt", ".hidden", "link", user_id}, removed
    assert re.fullmatch(rf'unlinkat\(\d+, "{user_id}", AT_REMOVEDIR\) = 0', removed[-1]), removed


def test_ensure_over_a_file_fails_and_keeps_its_mode(store):
    occupied = store.users_dir / "u_1"
    occupied.write_text("")
    occupied.chmod(0o644)
    with pytest.raises(FileExistsError):
        store._ensure_credential_dir("u_1")
    assert mode(occupied) == 0o644


def test_remove_of_nothing_is_quiet(store):
    assert store._remove_credential_dir("u_missing") is None


# Removes the user named on the command line once a line arrives on stdin.
REMOVE_WHEN_TOLD = """
import os, sys
from vardun.mcp.user_store import MCPUserStore
store = MCPUserStore(sys.argv[1])
print(os.getpid(), flush=True)
sys.stdin.readline()
print(store.remove_user(sys.argv[2]))
"""
UNLINKAT = {"x86_64": 263, "aarch64": 35}.get(os.uname().machine)


@needs_strace
@pytest.mark.skipif(UNLINKAT is None, reason="unlinkat's number on this machine is not known")
def test_a_directory_gone_at_the_last_moment_of_its_removal_counts_as_removed(store, tmp_path):
    # The removal's last rmdir is held back under strace; meanwhile a key
    # check that made the directory takes it back.
    alice = store.add_user("Alice")
    directory, trace = store.credential_dir(alice["user_id"]), tmp_path / "trace"
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    with subprocess.Popen(
            ["strace", "-qq", "-o", str(trace), "-e", "trace=unlinkat",
             "-e", "inject=unlinkat:delay_enter=2000000", sys.executable, "-P", "-c",
             REMOVE_WHEN_TOLD, str(store.base_dir), alice["user_id"]],
            env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True) as remover:
        waiting = Path(f"/proc/{remover.stdout.readline().strip()}/syscall")
        remover.stdin.write("go\n")
        remover.stdin.close()
        deadline = time.monotonic() + 30
        while not waiting.read_text().startswith(f"{UNLINKAT} "):
            assert time.monotonic() < deadline, "the removal never reached its rmdir"
            time.sleep(0.001)
        directory.rmdir()
        assert remover.stdout.read() == "True\n"
    assert "= -1 ENOENT" in trace.read_text()  # it did find the directory gone
    assert store.verify_api_key(alice["api_key"]) is None and not directory.exists()


def test_remove_takes_nested_content_and_dot_files(store):
    root = store.users_dir / "u_1"
    (root / "a" / "b" / "c").mkdir(parents=True)
    (root / "empty").mkdir()
    (root / ".hidden").write_text("x")
    (root / "a" / ".also-hidden").write_text("x")
    (root / "a" / "b" / "c" / "deep.txt").write_text("x")
    assert store._remove_credential_dir("u_1") is None
    assert not root.exists() and store.users_dir.exists()


def test_links_are_removed_as_links(store, tmp_path):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    (elsewhere / "precious").write_text("keep")
    outside_file = tmp_path / "outside.txt"
    outside_file.write_text("keep")
    root = store.users_dir / "u_1"
    root.mkdir()
    (root / "dir-link").symlink_to(elsewhere)
    (root / "file-link").symlink_to(outside_file)
    (root / "dangling").symlink_to(tmp_path / "nowhere")
    store._remove_credential_dir("u_1")
    assert not root.exists()
    assert (elsewhere / "precious").read_text() == "keep" and outside_file.read_text() == "keep"


def test_a_credential_path_that_is_a_link_is_unlinked_alone(store, tmp_path):
    elsewhere = tmp_path / "someone-elses"
    (elsewhere / "sub").mkdir(parents=True)
    (elsewhere / "sub" / "data").write_text("keep")
    (store.users_dir / "u_1").symlink_to(elsewhere)
    store._remove_credential_dir("u_1")
    assert not (store.users_dir / "u_1").is_symlink()
    assert (elsewhere / "sub" / "data").read_text() == "keep"


def test_a_named_pipe_stays_and_the_removal_fails(store):
    root = store.users_dir / "u_1"
    (root / "sub").mkdir(parents=True)
    (root / "sub" / "file").write_text("x")
    (root / "z-file").write_text("x")
    os.mkfifo(root / "pipe")
    with pytest.raises(OSError) as info:
        store._remove_credential_dir("u_1")
    assert info.value.errno == 39  # ENOTEMPTY
    assert sorted(p.name for p in root.iterdir()) == ["pipe"]


# Few descriptors allowed; prints how much the peak memory grew (KiB). A path
# string kept per level would take about 120 MB on this tree.
_REMOVE_DEEP = """
import resource
from vardun.mcp.user_store import MCPUserStore
store = MCPUserStore({base!r})
resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
assert store.remove_user({user_id!r}) is True
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
"""


def test_a_tree_of_any_depth_goes_with_few_descriptors_and_little_memory(store, python):
    user_id = store.add_user("deep")["user_id"]
    deep_tree(store.credential_dir(user_id), 2000, "d" * 60, leaf=empty_file)
    grown = int(python(_REMOVE_DEEP.format(base=str(store.base_dir), user_id=user_id)).stdout)
    assert list(store.users_dir.iterdir()) == [] and store.list_users() == []
    assert grown < 16 * 1024


def test_a_failure_deep_down_names_its_full_path(store):
    root = store.users_dir / "u_1"
    root.mkdir()
    deep_tree(root, 100, "d" * 50)
    with pytest.raises(OSError) as info:
        store._remove_credential_dir("u_1")
    assert info.value.errno == 39  # ENOTEMPTY
    assert info.value.filename == str(root) + ("/" + "d" * 50) * 100


def test_a_file_in_the_directorys_place_fails_in_rmdir(store):
    (store.users_dir / "u_1").write_text("x")
    with pytest.raises(NotADirectoryError):
        store._remove_credential_dir("u_1")


def test_helpers_go_through_the_instances_credential_dir(store, tmp_path):
    class Redirected(m.MCPUserStore):
        def credential_dir(self, user_id):
            return tmp_path / "redirected" / user_id

    redirected = Redirected(store.base_dir)
    redirected._ensure_credential_dir("u_1")
    assert (tmp_path / "redirected" / "u_1").is_dir()
    redirected._remove_credential_dir("u_1")
    assert not (tmp_path / "redirected" / "u_1").exists()


def test_rebound_stat_flags_are_used(store, monkeypatch):
    class FakeStat:
        S_IRUSR, S_IWUSR, S_IXUSR = 0o400, 0o200, 0o010

    monkeypatch.setattr(m, "stat", FakeStat)
    store._ensure_credential_dir("u_1")
    assert mode(store.users_dir / "u_1") == 0o610
