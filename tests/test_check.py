"""`check` and `check --fix`, each situation built for real on a temporary
base directory: a save killed half-way, a removal that kept the credentials,
records written by hand, modes and owners changed by hand."""

import json
import os
import select
import stat
import subprocess
import sys
import time

import pytest

from helpers import ok


def snapshot(root):
    """Every path under `root` with its type, mode, size and times."""
    seen = {}
    for top, dirs, files in os.walk(root):
        for name in ["", *dirs, *files]:
            st = os.lstat(os.path.join(top, name))
            seen[os.path.join(top, name)] = (st.st_mode, st.st_size, st.st_mtime_ns, st.st_uid)
    return seen


def registry_bytes(base_dir):
    registry = base_dir / "mcp_users.json"
    return registry.read_bytes() if registry.is_file() else None


def findings(report):
    return [(f["kind"], f["user_id"]) for f in report]


@pytest.fixture
def audit(cli, base_dir):
    """Runs a plain check (which must change nothing), then --fix (which must
    leave the registry's bytes as they were); returns both JSON reports."""

    def run(status_after_fix):
        before = snapshot(base_dir)
        plain = cli("check", "--json")
        text = cli("check")
        assert snapshot(base_dir) == before
        content = registry_bytes(base_dir)
        fixed = cli("check", "--fix", "--json")
        assert fixed.returncode == status_after_fix, fixed.stderr
        assert registry_bytes(base_dir) == content
        assert "Traceback" not in plain.stderr + text.stderr + fixed.stderr
        return json.loads(plain.stdout), json.loads(fixed.stdout), text

    return run


def test_healthy_registry_is_one_summary_line(cli, store, base_dir):
    store.add_user("Alice")
    bob = store.add_user("Bob")
    assert ok(cli("check")).stdout == f"Checked {base_dir}: 2 user records; no problems.\n"
    assert json.loads(ok(cli("check", "--json")).stdout) == []
    assert json.loads(ok(cli("check", "--fix", "--json")).stdout) == []
    # A note is no problem.
    store.credential_dir(bob["user_id"]).rmdir()
    (note,) = json.loads(ok(cli("check", "--json")).stdout)
    assert (note["kind"], note["user_id"], note["severity"]) == (
        "credential_dir_missing", bob["user_id"], "info")


def test_no_base_directory_yet_is_fine_and_stays_absent(cli, base_dir):
    assert findings(json.loads(ok(cli("check", "--json")).stdout)) == [("registry_missing", None)]
    ok(cli("check", "--fix"))
    assert not base_dir.exists()


def test_save_killed_half_way_leaves_a_temp_file_that_fix_deletes(python, cli, store, audit):
    store.add_user("Alice")
    killed = python(
        "import os, signal\n"
        "from pathlib import PosixPath\n"
        "from vardun.mcp.user_store import MCPUserStore\n"
        "class Dying(PosixPath):\n"
        "    def replace(self, target):\n"
        "        os.kill(os.getpid(), signal.SIGKILL)\n"
        f"s = MCPUserStore({str(store.base_dir)!r})\n"
        "s.path = Dying(s.path)\n"
        "s.add_user('never saved')\n",
        check=False,
    )
    assert killed.returncode == -9
    (temp,) = store.base_dir.glob("mcp_users.tmp-*")
    plain, fixed, text = audit(0)
    assert [(f["kind"], f["path"], f["fixable"]) for f in plain] == [("temp_file", str(temp), True)]
    assert "[--fix: delete it]" in text.stdout and text.returncode == 1
    assert [f["fixed"] for f in fixed] == [True]
    assert not temp.exists() and len(store.list_users()) == 1


def test_orphans_are_removed_as_the_store_removes_a_directory(cli, store, audit, tmp_path):
    alice, bob = store.add_user("Alice"), store.add_user("Bob")
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "keep").write_text("x")
    bob_dir = store.credential_dir(bob["user_id"])
    (bob_dir / "token").write_text("state")
    (bob_dir / "escape").symlink_to(outside)
    store.remove_user(bob["user_id"], keep_credentials=True)
    evil = store.users_dir / "evil\x1b[31m\nname"
    evil.mkdir()
    (store.users_dir / "link").symlink_to(outside)

    plain, fixed, text = audit(0)
    assert sorted(findings(plain)) == sorted(
        ("orphan_credential_dir", name) for name in (bob["user_id"], evil.name, "link")
    )
    # Size, time and what a link points to; control characters escaped.
    assert "5 bytes in files, last modified " in text.stdout
    assert f"a symbolic link to {outside}" in text.stdout
    assert "\x1b" not in text.stdout and "evil\\x1b[31m\\nname" in text.stdout
    assert all(f["fixed"] for f in fixed)
    assert sorted(os.listdir(store.users_dir)) == [alice["user_id"]]
    assert (outside / "keep").read_text() == "x"


def test_modes_are_put_back(cli, store, audit):
    alice = store.add_user("Alice")
    store.path.chmod(0o644)
    store.lock_path.chmod(0o644)  # as stores used to create it
    store.users_dir.chmod(0o755)
    store.credential_dir(alice["user_id"]).chmod(0o750)
    registry = store.path.stat()
    plain, fixed, _ = audit(0)
    # Re-moded in place: a re-save would be a new file, not the one audited.
    after = store.path.stat()
    assert (after.st_ino, after.st_mtime_ns) == (registry.st_ino, registry.st_mtime_ns)
    kinds = ["registry_mode", "users_dir_mode", "credential_dir_mode", "lock_mode"]
    assert sorted(f["kind"] for f in plain) == sorted(kinds) and all(f["fixable"] for f in plain)
    assert sorted((f["kind"], f["fixed"]) for f in fixed) == sorted((k, True) for k in kinds)
    modes = [stat.S_IMODE(p.stat().st_mode) for p in
             (store.path, store.users_dir, store.credential_dir(alice["user_id"]), store.lock_path)]
    assert modes == [0o600, 0o700, 0o700, 0o600]
    assert ok(cli("check")).stdout.count("\n") == 1


@pytest.mark.parametrize("case", ["base writable", "users writable", "users a link"])
def test_what_others_could_write_blocks_every_repair(cli, store, audit, base_dir, tmp_path, case):
    store.add_user("Alice")
    store.path.chmod(0o644)
    (base_dir / "mcp_users.tmp-1").write_text("[]")
    if case == "base writable":
        base_dir.chmod(0o775)
    elif case == "users writable":
        store.users_dir.chmod(0o770)
    else:
        store.users_dir.rename(tmp_path / "real-users")
        store.users_dir.symlink_to(tmp_path / "real-users")
    plain, fixed, _ = audit(1)
    blocker = "users_dir_not_dir" if case == "users a link" else "writable_by_others"
    assert [f["kind"] for f in plain] == [blocker, "registry_mode", "temp_file"]
    assert plain == fixed and not any(f["fixable"] for f in plain)
    assert f"--fix leaves it: nothing is repaired while there is a {blocker}" in plain[1]["detail"]


RECORD = {"api_key_hash": "sha256:" + "a" * 64, "description": "", "created_at": "t"}


def test_records_written_by_hand(cli, base_dir, audit):
    other_hash = {**RECORD, "api_key_hash": "sha256:" + "b" * 64}
    records = [
        {**RECORD, "user_id": "u_1"},
        {**other_hash, "user_id": "u_1", "description": 5},
        {**RECORD, "user_id": "u_2", "created_at": None},
        "text",
        {"description": "no id"},
        {**other_hash, "user_id": ".."},
        {"user_id": 7, "api_key_hash": "SHA256:" + "A" * 64},
    ]
    base_dir.mkdir()
    (base_dir / "mcp_users.json").write_text(json.dumps(records))
    (base_dir / "mcp_users.json").chmod(0o600)
    for name in ("u_1", "u_2", "orphan"):
        (base_dir / "users" / name).mkdir(mode=0o700, parents=True)
    (base_dir / "users").chmod(0o700)

    plain, fixed, text = audit(1)
    assert [(f["kind"], f["record"], f["user_id"]) for f in plain] == [
        ("duplicate_user_id", 0, "u_1"),
        ("shared_key_hash", 0, "u_1"),  # records 0 and 2
        ("shared_key_hash", 1, "u_1"),  # records 1 and 5
        ("field_not_text", 1, "u_1"),
        ("field_not_text", 2, "u_2"),
        ("record_not_object", 3, None),
        ("record_without_user_id", 4, None),
        ("bad_key_hash", 4, None),
        ("bad_user_id", 5, ".."),
        ("bad_user_id", 6, None),
        ("bad_key_hash", 6, None),
        ("lock_missing", None, None),
        ("orphan_credential_dir", None, "orphan"),
    ]
    # A record without a usable identifier may own any directory.
    assert not plain[-1]["fixable"] and (base_dir / "users" / "orphan").is_dir()
    assert plain == fixed
    assert "record [6]: user_id is not text but a JSON number" in text.stdout
    assert "a" * 64 not in text.stdout  # no key hash is ever shown


@pytest.mark.parametrize(
    "registry, kind",
    [(b"[{", "registry_not_json"), (b"\xff", "registry_not_json"),
     (b'{"user_id": "u_1"}', "registry_not_array"), ("fifo", "registry_unreadable"),
     (None, "registry_missing")],
)
def test_no_readable_registry_means_nothing_is_removed(cli, store, audit, registry, kind):
    store.add_user("Alice")
    if registry is None:
        store.path.unlink()
    elif registry == "fifo":
        store.path.unlink()
        os.mkfifo(store.path, 0o600)  # read, it would hang the check
    else:
        store.path.write_bytes(registry)
    temp = store.base_dir / "mcp_users.tmp-1"
    temp.write_text("[]")
    plain, fixed, _ = audit(1)
    assert plain[0]["kind"] == kind and plain == fixed
    assert not any(f["fixable"] for f in plain)
    assert temp.exists() and len(os.listdir(store.users_dir)) == 1


def test_links_and_files_in_place_of_the_stores_own(cli, store, audit, tmp_path):
    alice = store.add_user("Alice")
    cred = store.credential_dir(alice["user_id"])
    cred.rmdir()
    cred.symlink_to(tmp_path)
    (store.users_dir / "stray").write_text("")
    store.lock_path.unlink()
    store.lock_path.symlink_to(tmp_path / "elsewhere")
    # A second name for the registry: whoever holds it can put it back later.
    os.link(store.path, tmp_path / "kept")
    store.path.chmod(0o644)
    plain, fixed, _ = audit(1)
    assert findings(plain) == [
        ("registry_linked", None),
        ("registry_mode", None),
        ("credential_path_not_dir", alice["user_id"]),
        ("credential_path_not_dir", "stray"),
        ("lock_not_file", None),
    ]
    assert plain == fixed and not any(f["fixable"] for f in plain)
    assert plain[0]["detail"].startswith("2 links: the store refuses it")
    assert not (tmp_path / "elsewhere").exists()


def test_files_of_another_owner_are_reported_and_block_repairs(cli, store, audit):
    if os.geteuid() != 0:
        pytest.skip("giving a file to another user needs root")
    alice = store.add_user("Alice")
    os.chown(store.credential_dir(alice["user_id"]), 65534, 65534)
    store.path.chmod(0o640)
    plain, fixed, text = audit(1)
    assert [f["kind"] for f in plain] == ["foreign_owner", "registry_mode"]
    assert "owned by nobody (uid 65534), not by root (uid 0), the account running" in text.stdout
    assert plain == fixed and stat.S_IMODE(store.path.stat().st_mode) == 0o640


def test_fix_waits_for_the_write_lock_and_repairs_what_it_finds_then(cli_env, store, base_dir):
    store.add_user("Alice")
    temp = base_dir / "mcp_users.tmp-1"
    temp.write_text("")
    orphan = store.users_dir / "u_0000000b"
    orphan.mkdir(mode=0o700)
    argv = [sys.executable, "-P", "-m", "vardun.mcp.users", "check", "--fix", "--base-dir",
            str(base_dir)]
    with store._locked():
        fixing = subprocess.Popen(argv, env=cli_env, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True)
        # The line comes before it blocks; without it, the lock is released.
        ready, _, _ = select.select([fixing.stderr], [], [], 30)
        waiting = fixing.stderr.readline() if ready else ""
        time.sleep(0.3)
        assert fixing.poll() is None and temp.exists()
        # Meanwhile a record comes to own the orphan directory.
        records = [*json.loads(store.path.read_text()), {**RECORD, "user_id": orphan.name}]
        store.path.write_text(json.dumps(records))
    out, _ = fixing.communicate(timeout=60)
    assert "waiting for the write lock" in waiting
    assert orphan.is_dir()
    assert fixing.returncode == 0 and "1 fixed" in out and not temp.exists()
