"""`check` where others have had their hands on the store or above it:
writable parent directories, files of other accounts, files swapped between
the scan and the repair, trees too deep to walk, a registry too large to read,
entries its owner cannot read."""

import json
import os
import shutil
import stat
import subprocess
import tempfile
from pathlib import Path

import pytest

from helpers import ok
from vardun.mcp import audit

NOBODY = 65534


@pytest.fixture
def as_root():
    if os.geteuid() != 0:
        pytest.skip("other accounts' files need root")


@pytest.fixture
def public_tmp(as_root):
    """A directory that uid 65534 can reach (pytest's own is root's alone)."""
    top = Path(tempfile.mkdtemp(prefix="vardun-check-"))
    top.chmod(0o755)
    yield top
    shutil.rmtree(top)


def kinds(result):
    return [(f["kind"], f["path"]) for f in json.loads(result.stdout)]


def run_as_nobody(code):
    subprocess.run(["/usr/bin/python3", "-c", code], user=NOBODY, group=NOBODY, check=True,
                   cwd="/", timeout=60)


def test_a_team_member_who_can_write_the_parent_is_reported(cli, public_tmp):
    # The natural shared layout: a team directory of mode 2775 holds the base directory.
    team = public_tmp / "team"
    team.mkdir()
    os.chown(team, 0, NOBODY)
    team.chmod(0o2775)
    base = team / "base"
    ok(cli("add", "Alice", base=base))
    (base / "mcp_users.json").chmod(0o644)
    result = cli("check", "--fix", "--json", base=base)
    assert result.returncode == 1
    registry = base / "mcp_users.json"
    assert kinds(result) == [("path_writable_by_others", str(team)),
                             ("registry_mode", str(registry))]
    assert "the group nogroup can write here" in result.stdout
    assert stat.S_IMODE(registry.stat().st_mode) == 0o644  # hands off

    # A member puts a base directory of their own in its place.
    run_as_nobody(f"import os; os.rename({str(base)!r}, {str(team / 'old')!r}); "
                  f"os.mkdir({str(base)!r}); open({str(registry)!r}, 'w').write('[]')")
    result = cli("check", "--force", base=base)
    assert result.returncode == 1
    assert "path_writable_by_others: " + str(team) in result.stdout
    assert (f"foreign_owner: {base}: owned by nobody (uid 65534), not by root (uid 0), the account "
            "running check") in result.stdout
    assert "run check as nobody or with --owner nobody" in result.stdout


@pytest.mark.parametrize("layout", ["group-writable", "owned by another", "sticky",
                                    "sticky, a link of another", "an absolute link into it"])
def test_directories_above_the_base(cli, store, base_dir, tmp_path, as_root, layout):
    team = base_dir.parent
    team.chmod(0o775 if layout == "group-writable" else 0o1777 if "sticky" in layout else 0o755)
    if layout == "owned by another":
        os.chown(team, NOBODY, 0)
    store.add_user("Alice")
    base = base_dir
    if layout == "sticky, a link of another":
        base = team / "link"
        base.symlink_to(base_dir)
        os.chown(base, NOBODY, NOBODY, follow_symlinks=False)
    if layout == "an absolute link into it":
        # Reached from a safe directory; the link's target lies in another.
        team = tmp_path / "open"
        team.mkdir(mode=0o777)
        team.chmod(0o777)
        base_dir.rename(team / "base")
        (tmp_path / "safe").mkdir(mode=0o755)
        base = tmp_path / "safe" / "link"
        base.symlink_to(team / "base")
    result = cli("check", "--json", base=base)
    if layout == "sticky":
        # /tmp's layout: nobody else can rename what root owns there.
        assert ok(result) and kinds(result) == []
    else:
        assert result.returncode == 1 and kinds(result) == [("path_writable_by_others", str(team))]


def test_the_expected_owner_is_the_account_running_check_or_the_one_given(cli, store, base_dir,
                                                                         as_root):
    store.add_user("Alice")
    store.path.chmod(0o644)
    for path in (base_dir, *base_dir.rglob("*")):
        os.chown(path, NOBODY, NOBODY)
    result = cli("check", "--force", "--json")
    foreign = [path for kind, path in kinds(result) if kind == "foreign_owner"]
    assert result.returncode == 1 and str(base_dir) in foreign and str(store.path) in foreign
    assert len(foreign) == 5  # with users/, the credential directory and the lock file
    assert all(f["fix"] is None for f in json.loads(result.stdout))
    for owner in ("nobody", str(NOBODY)):
        assert kinds(cli("check", "--force", "--json", "--owner", owner)) == [
            ("registry_mode", str(store.path))]
    ok(cli("check", "--force", "--fix", "--owner", "nobody"))
    st = store.path.stat()
    assert (stat.S_IMODE(st.st_mode), st.st_uid) == (0o600, NOBODY)
    refused = cli("check", "--owner", "no-such-account")
    assert refused.returncode == 2 and "no such account: no-such-account" in refused.stderr


def _swap_registry_for_link(store, outside, user_id):
    store.path.unlink()
    store.path.symlink_to(outside / "file")


def _swap_registry_for_file(store, outside, user_id):
    store.path.unlink()
    os.link(outside / "file", store.path)  # a regular file, but not the one seen


def _swap_credential_dir(store, outside, user_id):
    store.credential_dir(user_id).rename(store.base_dir / "moved")
    store.credential_dir(user_id).symlink_to(outside / "dir")


def _swap_orphan(store, outside, user_id):
    (store.users_dir / "orphan").rename(store.base_dir / "moved")
    (store.users_dir / "orphan").symlink_to(outside / "dir")


def _swap_temp_file(store, outside, user_id):
    temp = store.base_dir / "mcp_users.tmp-1"
    temp.unlink()
    os.link(outside / "file", temp)


@pytest.mark.parametrize("swap", [_swap_registry_for_link, _swap_registry_for_file,
                                  _swap_credential_dir, _swap_orphan, _swap_temp_file])
def test_repairs_change_only_what_the_scan_saw(store, tmp_path, monkeypatch, swap):
    outside = tmp_path / "outside"
    (outside / "dir").mkdir(parents=True)
    (outside / "dir" / "keep").write_text("x")
    (outside / "file").write_text("outside")
    (outside / "file").chmod(0o644)
    alice = store.add_user("Alice")
    store.path.chmod(0o644)
    store.credential_dir(alice["user_id"]).chmod(0o755)
    (store.users_dir / "orphan").mkdir()
    (store.base_dir / "mcp_users.tmp-1").write_text("[]")
    scan = audit.scan

    def scan_then_swap(*args):
        report = scan(*args)
        swap(store, outside, alice["user_id"])  # after the scan under the lock, before the repairs
        return report

    before = scan(store.base_dir)
    monkeypatch.setattr(audit, "scan", scan_then_swap)
    report = audit.repair(store, before)
    failed = [f for f in report.findings if not f.fixed]
    assert len(failed) == 1 and failed[0].detail.endswith("--fix failed: changed since the scan")
    assert [stat.S_IMODE((outside / name).stat().st_mode) for name in ("file", "dir")] == [
        0o644, 0o755]
    assert (outside / "file").read_text() == "outside" and os.listdir(outside / "dir") == ["keep"]


def _deep_tree(top, levels):
    top.mkdir()
    fd = os.open(top, os.O_RDONLY)
    for _ in range(levels):
        os.mkdir("d", dir_fd=fd)
        fd, parent = os.open("d", os.O_RDONLY, dir_fd=fd), fd
        os.close(parent)
    os.close(fd)


def _remove_deep_tree(top):
    # Without recursion: lift the level below up one at a time.
    while os.path.isdir(top / "d"):
        if os.path.isdir(top / "d" / "d"):
            os.rename(top / "d" / "d", top / "lifted")
        os.rmdir(top / "d")
        if os.path.isdir(top / "lifted"):
            os.rename(top / "lifted", top / "d")
    os.rmdir(top)


def test_an_orphan_2000_levels_deep_gives_a_report(cli, store):
    store.add_user("Alice")
    orphan = store.users_dir / "deep"
    _deep_tree(orphan, 2000)
    try:
        text = cli("check")
        assert text.returncode == 1 and "Traceback" not in text.stderr
        assert "too deep or too large to measure: over 256 levels" in text.stdout
        (finding,) = json.loads(cli("check", "--json").stdout)
        assert finding["kind"] == "orphan_credential_dir" and finding["fixable"]
        (finding,) = json.loads(ok(cli("check", "--fix", "--json")).stdout)
        assert finding["fixed"] and not orphan.exists()
    finally:
        if orphan.exists():
            _remove_deep_tree(orphan)


def test_a_registry_too_large_is_not_read(cli, store, base_dir):
    store.add_user("Alice")
    with open(store.path, "r+b") as registry:
        registry.truncate(8 << 30)  # sparse: takes no room
    temp = base_dir / "mcp_users.tmp-1"
    temp.write_text("[]")
    result = cli("check", "--fix", "--json")
    assert result.returncode == 1 and "Traceback" not in result.stderr
    findings = json.loads(result.stdout)
    assert findings[0]["kind"] == "registry_too_large" and "8.0 GiB" in findings[0]["detail"]
    assert temp.exists()  # it may be the registry's last good copy
    assert "the registry could not be read" in cli("check").stdout


def test_an_owner_without_roots_privileges(cli, public_tmp):
    base = public_tmp / "base"
    base.mkdir(mode=0o700)
    os.chown(base, NOBODY, NOBODY)
    nobody = {"user": NOBODY, "base": base}
    user_id = json.loads(ok(cli("add", "Alice", "--json", **nobody)).stdout)["user_id"]
    users = base / "users"
    (base / "mcp_users.tmp-1").write_text("[]")
    os.chown(base / "mcp_users.tmp-1", NOBODY, NOBODY)

    # users/ that cannot be listed: said once, the rest still reported.
    users.chmod(0o300)
    result = cli("check", "--json", **nobody)
    assert [kind for kind, _ in kinds(result)] == ["path_unreadable", "users_dir_mode", "temp_file"]

    # Modes that keep the owner out are repaired all the same; an orphan with
    # a directory its owner cannot read is measured and removed.
    users.chmod(0o700)
    (users / "orphan" / "closed").mkdir(parents=True)
    for path in (users / "orphan", users / "orphan" / "closed"):
        os.chown(path, NOBODY, NOBODY)
    (users / "orphan" / "closed").chmod(0)
    (users / user_id).chmod(0)
    assert "1 entry could not be read" in cli("check", **nobody).stdout
    ok(cli("check", "--fix", **nobody))
    assert os.listdir(users) == [user_id]
    assert stat.S_IMODE((users / user_id).stat().st_mode) == 0o700
    (base / "mcp_users.json").chmod(0)
    assert cli("check", "--fix", **nobody).returncode == 1  # it could not be read meanwhile
    assert stat.S_IMODE((base / "mcp_users.json").stat().st_mode) == 0o600
    assert ok(cli("check", **nobody)).stdout.count("\n") == 1
