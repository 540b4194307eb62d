"""The user-administration command, run as its own process the way an
operator runs it: python3 -m vardun.mcp.users."""

import json
import os
import pwd
import select
import stat
import subprocess
import sys
from pathlib import Path

import pytest

from vardun.mcp.user_store import MCPUserStore
from vardun.mcp.users import main

from helpers import deep_tree, empty_file, failed, ok

SUBCOMMANDS = ("add", "list", "rotate", "remove", "verify", "check")


def add_json(cli, description="someone"):
    return json.loads(ok(cli("add", description, "--json")).stdout)


def fields(text):
    """The `name: value` lines of a text result."""
    pairs = (line.split(":", 1) for line in text.splitlines() if ":" in line)
    return {name.strip(): value.strip() for name, value in pairs}


class TestHelp:
    @pytest.mark.parametrize("command", [(), *((name,) for name in SUBCOMMANDS)])
    def test_help_everywhere(self, cli, command):
        result = ok(cli(*command, "--help", base=None))
        assert result.stdout.startswith("usage: python3 -m vardun.mcp.users")
        assert "--base-dir DIR" in result.stdout and "--json" in result.stdout

    def test_version_is_the_installed_distributions(self, cli, monkeypatch, capsys):
        # Run from a build, nothing is installed; check-install sees the real one.
        assert ok(cli("--version", base=None)).stdout.startswith(
            "python3 -m vardun.mcp.users (not installed"
        )
        from importlib import metadata

        monkeypatch.setattr(metadata, "version", {"vardun-mcp-user-store": "9.8.7"}.__getitem__)
        assert main(["--version"]) == 0
        assert capsys.readouterr().out.endswith(" 9.8.7\n")

    def test_usage_errors_exit_2(self, cli):
        for args in ((), ("bogus",), ("rotate",), ("remove", "u_1", "--bogus"), ("verify",)):
            result = cli(*args)
            assert result.returncode == 2, args
            assert result.stderr.startswith("usage: ") and "Traceback" not in result.stderr

    def test_main_returns_the_status(self, base_dir, capsys):
        assert main(["--base-dir", str(base_dir), "list", "--json"]) == 0
        assert json.loads(capsys.readouterr().out) == []
        assert main(["remove"]) == 2
        assert main(["--base-dir", str(base_dir), "rotate", "u_00000000"]) == 1


class TestAdd:
    def test_text_shows_the_key_once(self, cli, store):
        result = ok(cli("add", "Alice"))
        shown = fields(result.stdout)
        user = store.verify_api_key(shown["api_key"])
        assert user is not None and user.user_id == shown["user_id"]
        assert shown["description"] == "Alice"
        assert shown["credential_dir"] == str(store.credential_dir(user.user_id))
        assert "not be shown again" in result.stderr
        assert shown["api_key"] not in store.path.read_text(encoding="utf-8")

    def test_json(self, cli, store):
        result = ok(cli("add", "Bob", "--json"))
        added = json.loads(result.stdout)
        assert list(added) == ["user_id", "api_key", "description", "created_at", "credential_dir"]
        assert added["description"] == "Bob"
        assert store.verify_api_key(added["api_key"]).user_id == added["user_id"]
        assert "not be shown again" in result.stderr

    def test_description_is_optional_and_kept_verbatim(self, cli, store):
        assert add_json(cli, "")["description"] == ""
        ok(cli("add", "--json"))
        assert add_json(cli, "  王五（后端） ")["description"] == "  王五（后端） "
        descriptions = [user.description for user in store.list_users()]
        assert descriptions == ["", "", "  王五（后端） "]

    def test_options_before_or_after_the_subcommand(self, cli, base_dir, tmp_path):
        other = tmp_path / "other"
        before = cli("--json", "--base-dir", str(other), "add", "x", base=None)
        after = cli("add", "y", "--base-dir", str(other), "--json", base=None)
        # Given at both levels, the subcommand's value wins.
        both = cli("--base-dir", str(base_dir), "add", "z", "--base-dir", str(other), base=None)
        for result in (before, after):
            json.loads(ok(result).stdout)
        ok(both)
        assert [u.description for u in MCPUserStore(other).list_users()] == ["x", "y", "z"]

    def test_default_base_dir_is_the_configuration_directory(self, cli, cli_env):
        ok(cli("add", "d", base=None))
        config = Path(cli_env["VARDUN_CONFIG_DIR"])
        assert [u.description for u in MCPUserStore(config).list_users()] == ["d"]

    def test_description_that_is_not_utf8_changes_nothing(self, cli, base_dir):
        # os.fsencode turns the surrogate back into the raw byte on argv.
        result = cli("add", "caf\udce9")
        failed(result, 2, "DESCRIPTION is not valid UTF-8")
        assert not list(base_dir.glob("mcp_users*"))


class TestList:
    def test_empty(self, cli):
        assert ok(cli("list")).stdout.startswith("No users in ")
        assert json.loads(ok(cli("list", "--json")).stdout) == []

    def test_table_is_aligned_and_has_no_key_material(self, cli, store):
        alice = store.add_user("Alice（前端）")
        bob = store.add_user("Bob")
        store.add_user("")
        lines = ok(cli("list")).stdout.splitlines()
        assert lines[0].split("  ")[0] == "USER ID"
        assert len(lines) == 4
        # Each column starts at the same terminal column on every line; the
        # CJK description takes two columns per wide character.
        header = lines[0]
        starts = [header.index(title) for title in ("DESCRIPTION", "CREATED", "CREDENTIAL DIR")]
        for line, user in zip(lines[1:3], (alice, bob)):
            assert line.startswith(user["user_id"])
            wide = sum(1 for ch in line if "\u3000" <= ch <= "\uffef")
            created = line.index(user["created_at"][:19])
            cred = line.index(user["credential_dir"])
            assert [created + wide, cred + wide] == starts[1:]
        assert lines[3].split()[1] == "-"
        text = "\n".join(lines)
        assert "sha256:" not in text and "vardun-mcp-" not in text

    def test_json_matches_the_store(self, cli, store):
        store.add_user("a")
        store.add_user("b")
        listed = json.loads(ok(cli("--json", "list")).stdout)
        assert listed == [user.to_dict() for user in store.list_users()]

    def test_control_characters_cannot_reach_the_terminal(self, cli, store):
        store.add_user("evil\n\x1b[31mred\u202e")
        out = ok(cli("list")).stdout
        assert "\x1b" not in out and "\u202e" not in out
        assert len(out.splitlines()) == 2
        assert "evil\\n\\x1b[31mred\\u202e" in out


class TestVerify:
    @pytest.fixture
    def alice(self, store):
        return store.add_user("Alice")

    @pytest.mark.parametrize(
        "presented", ["{key}", "Bearer {key}", "  bearer   {key} ", "BEARER {key}\n"]
    )
    def test_valid_key_exits_0(self, cli, alice, presented):
        result = ok(cli("verify", presented.format(key=alice["api_key"])))
        assert alice["user_id"] in result.stdout.splitlines()[0]
        assert fields(result.stdout)["credential_dir"] == alice["credential_dir"]
        verdict = json.loads(ok(cli("verify", "--json", presented.format(key=alice["api_key"]))).stdout)
        assert verdict == {
            "valid": True,
            "user": {k: alice[k] for k in ("user_id", "description", "created_at", "credential_dir")},
        }

    @pytest.mark.parametrize("presented", ["", "   ", "vardun-mcp-nope", "Token {key}", "{upper}"])
    def test_invalid_key_exits_1(self, cli, alice, presented):
        key = presented.format(key=alice["api_key"], upper=alice["api_key"].upper())
        result = cli("verify", key)
        assert result.returncode == 1 and "Traceback" not in result.stderr
        assert result.stdout.startswith("Invalid API key")
        result = cli("verify", key, "--json")
        assert result.returncode == 1
        assert json.loads(result.stdout) == {"valid": False, "user": None}

    def test_key_from_standard_input(self, cli, alice):
        assert ok(cli("verify", "-", stdin=f"Bearer {alice['api_key']}\n")).stdout.startswith("Valid")
        assert cli("verify", "-", stdin="").returncode == 1

    def test_a_key_on_the_command_line_draws_a_warning(self, cli, alice):
        # Any local user can read another's argv in /proc.
        assert "process list" in ok(cli("verify", alice["api_key"])).stderr
        assert ok(cli("verify", "-", stdin=alice["api_key"])).stderr == ""

    def test_key_that_is_not_utf8_is_invalid(self, cli, alice):
        for result in (cli("verify", "vardun-mcp-\udcff"), cli("verify", "-", stdin="\udcff")):
            assert result.returncode == 1 and result.stdout.startswith("Invalid API key")


class TestRotate:
    def test_text(self, cli, store):
        alice = store.add_user("Alice")
        result = ok(cli("rotate", alice["user_id"]))
        shown = fields(result.stdout)
        assert "not be shown again" in result.stderr
        assert shown["user_id"] == alice["user_id"]
        assert shown["credential_dir"] == alice["credential_dir"]
        assert shown["api_key"] != alice["api_key"]
        assert store.verify_api_key(alice["api_key"]) is None
        assert store.verify_api_key(shown["api_key"]).user_id == alice["user_id"]

    def test_json(self, cli, store):
        alice = store.add_user("Alice")
        rotated = json.loads(ok(cli("rotate", "--json", alice["user_id"])).stdout)
        assert list(rotated) == ["user_id", "api_key", "rotated_at", "credential_dir"]
        records = json.loads(store.path.read_text(encoding="utf-8"))
        assert records[0]["rotated_at"] == rotated["rotated_at"]
        assert store.verify_api_key(rotated["api_key"]).user_id == alice["user_id"]

    def test_unknown_user(self, cli, store, base_dir):
        store.add_user()
        before = (base_dir / "mcp_users.json").read_bytes()
        for args in (("rotate", "u_00000000"), ("rotate", "u_00000000", "--json")):
            failed(cli(*args), 1, "no such user: u_00000000")
        failed(cli("rotate", ""), 1, "no such user: ''")
        assert (base_dir / "mcp_users.json").read_bytes() == before


    def test_an_identifier_on_several_records_is_refused(self, cli, store, base_dir):
        alice = store.add_user("Alice")
        records = store._load()
        store._save([*records, {**records[0], "description": "copy"}])
        before = (base_dir / "mcp_users.json").read_bytes()
        failed(cli("rotate", alice["user_id"]), 1, "2 records carry the user id", " check`")
        assert (base_dir / "mcp_users.json").read_bytes() == before


class TestRemove:
    def test_removes_user_and_credentials(self, cli, store):
        alice = store.add_user("Alice")
        bob = store.add_user("Bob")
        result = ok(cli("remove", alice["user_id"]))
        assert alice["user_id"] in result.stdout
        assert not Path(alice["credential_dir"]).exists()
        assert store.verify_api_key(alice["api_key"]) is None
        assert [u.user_id for u in store.list_users()] == [bob["user_id"]]

    def test_a_wait_for_the_write_lock_is_told_once_with_its_holder(self, cli_env, store):
        alice = store.add_user("Alice")
        argv = [sys.executable, "-P", "-m", "vardun.mcp.users", "--base-dir", str(store.base_dir),
                "remove", alice["user_id"]]
        with store._locked():
            removing = subprocess.Popen(argv, env=cli_env, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
            ready, _, _ = select.select([removing.stderr], [], [], 30)
            told = removing.stderr.readline() if ready else ""
            assert removing.poll() is None
        out, rest = removing.communicate(timeout=60)
        assert told == (f"python3 -m vardun.mcp.users: waiting for the write lock "
                        f"{store.lock_path}, held by process {os.getpid()} "
                        f"({Path('/proc/self/comm').read_text().strip()})\n")
        assert removing.returncode == 0 and rest == "" and "Removed user" in out

    def test_keep_credentials_and_json(self, cli, store):
        alice = store.add_user("Alice")
        (Path(alice["credential_dir"]) / "token").write_text("state")
        removed = json.loads(ok(cli("remove", alice["user_id"], "--keep-credentials", "--json")).stdout)
        assert removed == {
            "user_id": alice["user_id"],
            "removed": True,
            "credential_dir": alice["credential_dir"],
            "credentials_kept": True,
        }
        assert (Path(alice["credential_dir"]) / "token").read_text() == "state"
        assert store.list_users() == []

    def test_unknown_user_touches_nothing(self, cli, store, base_dir):
        store.add_user()
        stray = base_dir / "users" / "u_00000000"
        stray.mkdir()
        failed(cli("remove", "u_00000000"), 1, "no such user: u_00000000")
        failed(cli("remove", "u_00000000", "--json"), 1, "no such user")
        assert stray.is_dir()


    def test_a_directory_of_any_depth_goes_with_few_descriptors(self, cli, store):
        user_id = store.add_user("deep")["user_id"]
        deep_tree(store.credential_dir(user_id), 2000, "d" * 60, leaf=empty_file)
        code = (
            "import resource, sys; resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64)); "
            "from vardun.mcp.users import main; sys.exit(main(sys.argv[1:]))"
        )
        ok(cli("remove", user_id, code=code))
        assert list(store.users_dir.iterdir()) == [] and store.list_users() == []

    def test_a_directory_left_after_the_save_is_one_short_line(self, cli, store):
        alice = store.add_user("Alice")
        directory = Path(alice["credential_dir"])
        deep_tree(directory, 200, "d" * 50)  # the failing entry's path: 10,000 characters
        line = failed(cli("remove", alice["user_id"]), 1)
        assert line.endswith(
            f"error: removed {alice['user_id']}, but its credential directory could not be "
            f"removed (Directory not empty): {directory}; "
            "run `python3 -m vardun.mcp.users check --fix` or remove it by hand"
        )
        assert len(line) < 300 and directory.is_dir()
        assert store.list_users() == [] and store.verify_api_key(alice["api_key"]) is None


class TestErrors:
    @pytest.mark.parametrize(
        "content, fragment",
        [
            (b"{", "not valid JSON"),
            (b"", "not valid JSON"),
            (b'{"user_id": "u_1"}', "not a JSON array"),
            (b"\xff\xfe", "not UTF-8"),
            (b'[{"description": "no id"}]', "has no 'user_id'"),
            (b'[{"user_id": 7}]', "malformed user record"),
            (b"[3]", "malformed user record"),
        ],
    )
    def test_damaged_registry(self, cli, base_dir, content, fragment):
        base_dir.mkdir()
        (base_dir / "mcp_users.json").write_bytes(content)
        for args in (("list",), ("list", "--json")):
            failed(cli(*args), 1, "damaged registry", str(base_dir / "mcp_users.json"), fragment)

    @pytest.mark.parametrize("content", [b"{", b"[1"])
    def test_damaged_registry_in_every_subcommand(self, cli, base_dir, content):
        base_dir.mkdir()
        (base_dir / "mcp_users.json").write_bytes(content)
        for args in (("add", "x"), ("rotate", "u_1"), ("remove", "u_1"), ("verify", "-")):
            failed(cli(*args, stdin="vardun-mcp-x\n"), 1, "damaged registry")
        assert (base_dir / "mcp_users.json").read_bytes() == content

    def test_hand_edited_user_id_outside_users_dir(self, cli, base_dir):
        base_dir.mkdir()
        (base_dir / "mcp_users.json").write_text('[{"user_id": ".."}]')
        failed(cli("list"), 1, "not a plain directory name")

    def test_base_dir_is_a_file(self, cli, tmp_path):
        blocker = tmp_path / "file"
        blocker.write_text("")
        for command in SUBCOMMANDS:
            args = (command,) if command in ("add", "list", "check") else (command, "u_1")
            failed(cli(*args, base=blocker), 1, f"not a directory: {blocker}")

    @pytest.mark.parametrize("uid", [65534, 54321])  # a named account, and a bare uid
    def test_base_dir_of_another_user_is_refused_unless_forced(self, cli, store, base_dir, uid):
        if os.geteuid() != 0:
            pytest.skip("giving a directory to another user needs root")
        store.add_user("Alice")
        os.chown(base_dir, uid, uid)
        try:
            name = pwd.getpwuid(uid).pw_name
            owner, sudo = name, name
        except KeyError:
            owner, sudo = f"uid {uid}", f"'#{uid}'"
        before = (base_dir / "mcp_users.json").read_bytes()
        for args in (("add", "x"), ("check",)):
            failed(cli(*args), 1, f"{base_dir} belongs to {owner}, not to root",
                   f"(sudo -u {sudo} python3 -m vardun.mcp.users ...)", "--force")
        assert (base_dir / "mcp_users.json").read_bytes() == before
        ok(cli("add", "x", "--force"))
        assert len(store.list_users()) == 2

    def test_empty_base_dir_is_refused(self, cli, cli_env):
        # The store would take "" to mean the default configuration directory.
        failed(cli("add", "x", base=""), 2, "--base-dir must not be empty")
        assert not Path(cli_env["VARDUN_CONFIG_DIR"]).exists()

    def test_permission_denied(self, cli, tmp_path):
        locked = tmp_path / "locked"
        locked.mkdir(mode=0o700)
        if os.geteuid() == 0:
            # Root passes every permission check; run as nobody instead.
            user = 65534
            if cli(base=None, user=user, code="import vardun.mcp.user_store").returncode != 0:
                pytest.skip("the build cannot be imported as an unprivileged user")
        else:
            user = None
            locked.chmod(0)
        try:
            for command in ("add", "list"):
                failed(cli(command, base=locked / "base", user=user), 1, "Permission denied", str(locked))
        finally:
            locked.chmod(stat.S_IRWXU)

    def test_configuration_module_missing(self, cli, base_dir):
        code = (
            "import sys; sys.modules['vardun.config'] = None\n"
            "from vardun.mcp.users import main; sys.exit(main())"
        )
        failed(cli("list", code=code), 1, "cannot load the configuration module vardun.config")
        assert not base_dir.exists()

    def test_user_id_with_line_breaks_stays_one_line(self, cli):
        failed(cli("remove", "u_1\nu_2\x1b"), 1, "no such user: u_1\\nu_2\\x1b")

    def test_unexpected_failure_is_one_line(self, cli):
        code = (
            "import sys, vardun.mcp.user_store as m\n"
            "m.MCPUserStore.list_users = lambda self: 1 / 0\n"
            "from vardun.mcp.users import main; sys.exit(main())"
        )
        failed(cli("list", code=code), 1, "unexpected ZeroDivisionError: division by zero")
