"""Store construction: the configuration import, the base and users
directories, and the four path attributes."""

import stat
import sys
import types
from pathlib import Path

import pytest

import vardun.config
import vardun.mcp.user_store as m


def mode(path):
    return stat.S_IMODE(path.stat().st_mode)


@pytest.fixture
def config_dir(tmp_path, monkeypatch):
    directory = tmp_path / "config-dir"
    monkeypatch.setattr(vardun.config, "CONFIG_DIR", directory)
    return directory


@pytest.mark.parametrize("argument", [(), (None,), ("",), (0,), ([],)])
def test_false_arguments_select_the_configuration_directory(config_dir, argument):
    store = m.MCPUserStore(*argument)
    assert store.base_dir == config_dir and type(store.base_dir) is type(Path())
    assert config_dir.is_dir() and (config_dir / "users").is_dir()


def test_attributes_are_paths_in_order(tmp_path):
    store = m.MCPUserStore(str(tmp_path / "b"))
    assert list(vars(store)) == ["base_dir", "users_dir", "path", "lock_path"]
    assert store.base_dir == tmp_path / "b"
    assert store.users_dir == tmp_path / "b" / "users"
    assert store.path == tmp_path / "b" / "mcp_users.json"
    assert store.lock_path == tmp_path / "b" / ".mcp_users.lock"
    assert all(isinstance(value, Path) for value in vars(store).values())
    assert not store.path.exists() and not store.lock_path.exists()


def test_empty_path_means_the_working_directory_and_tilde_is_literal(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    store = m.MCPUserStore(Path(""))
    assert store.base_dir == Path("") and store.users_dir == Path("users")
    assert (tmp_path / "users").is_dir()
    tilde = m.MCPUserStore("~/x")
    assert tilde.base_dir == Path("~/x") and (tmp_path / "~" / "x" / "users").is_dir()
    assert str(tilde.path) == "~/x/mcp_users.json"


def test_missing_parents_are_created_and_modes_applied(tmp_path):
    base = tmp_path / "a" / "b" / "c"
    store = m.MCPUserStore(base)
    assert mode(store.users_dir) == 0o700
    base2 = tmp_path / "existing"
    base2.mkdir(mode=0o751)
    base2.chmod(0o751)
    (base2 / "users").mkdir(mode=0o755)
    (base2 / "users").chmod(0o755)
    (base2 / "users" / "keep").write_text("x")
    m.MCPUserStore(base2)
    assert mode(base2 / "users") == 0o700 and mode(base2) == 0o751
    assert (base2 / "users" / "keep").read_text() == "x"


def test_path_like_and_invalid_arguments(tmp_path):
    class PathLike:
        def __fspath__(self):
            return str(tmp_path / "pl")

    assert m.MCPUserStore(PathLike()).base_dir == tmp_path / "pl"
    with pytest.raises(TypeError):
        m.MCPUserStore(5)
    occupied = tmp_path / "file"
    occupied.write_text("")
    with pytest.raises(FileExistsError):
        m.MCPUserStore(occupied)
    (tmp_path / "base-with-file").mkdir()
    (tmp_path / "base-with-file" / "users").write_text("")
    with pytest.raises(FileExistsError):
        m.MCPUserStore(tmp_path / "base-with-file")


def test_configuration_is_imported_at_every_construction(tmp_path, monkeypatch):
    fake = types.ModuleType("vardun.config")
    fake.CONFIG_DIR = tmp_path / "from-fake"
    monkeypatch.setitem(sys.modules, "vardun.config", fake)
    assert m.MCPUserStore().base_dir == tmp_path / "from-fake"
    fake.CONFIG_DIR = str(tmp_path / "changed")
    assert m.MCPUserStore().base_dir == tmp_path / "changed"


def test_configuration_import_failures(tmp_path, monkeypatch):
    target = tmp_path / "never"
    monkeypatch.setitem(sys.modules, "vardun.config", None)
    with pytest.raises(ModuleNotFoundError):
        m.MCPUserStore(target)
    monkeypatch.setitem(sys.modules, "vardun.config", types.ModuleType("vardun.config"))
    with pytest.raises(ImportError, match=r"^cannot import name CONFIG_DIR$"):
        m.MCPUserStore(target)
    assert not target.exists()


def test_a_loaded_submodule_of_that_name_is_accepted(tmp_path, monkeypatch):
    config = types.ModuleType("vardun.config")
    submodule = types.ModuleType("vardun.config.CONFIG_DIR")
    monkeypatch.setitem(sys.modules, "vardun.config", config)
    monkeypatch.setitem(sys.modules, "vardun.config.CONFIG_DIR", submodule)
    # A module is no path, so Path() refuses it after the import succeeded.
    with pytest.raises(TypeError, match="PathLike"):
        m.MCPUserStore()


def test_truth_of_base_dir_is_taken_after_the_import(tmp_path, monkeypatch):
    class Undecided:
        def __bool__(self):
            raise RuntimeError("no truth")

    with pytest.raises(RuntimeError, match="no truth"):
        m.MCPUserStore(Undecided())
    monkeypatch.setitem(sys.modules, "vardun.config", None)
    with pytest.raises(ImportError):
        m.MCPUserStore(Undecided())


def test_rebound_path_class_is_used(tmp_path, monkeypatch):
    seen = []

    def fake_path(value):
        seen.append(value)
        return Path(value)

    monkeypatch.setattr(m, "Path", fake_path)
    m.MCPUserStore(str(tmp_path / "p"))
    assert seen == [str(tmp_path / "p")]


def test_reassigned_attributes_redirect_the_store(tmp_path):
    store = m.MCPUserStore(tmp_path / "one")
    other = m.MCPUserStore(tmp_path / "two")
    user = other.add_user("elsewhere")
    store.path = other.path
    assert [u.user_id for u in store.list_users()] == [user["user_id"]]
    store.users_dir = tmp_path / "custom-users"
    assert store.credential_dir("u_1") == tmp_path / "custom-users" / "u_1"
    store.lock_path = tmp_path / "custom.lock"
    with store._locked():
        assert (tmp_path / "custom.lock").exists()
