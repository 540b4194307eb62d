"""Shared fixtures: the module under test, stores over temporary directories,
and a way to run code in a fresh interpreter against the same build."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import vardun.mcp.user_store as user_store_module

# A run against a particular build (release, sanitizers, debug interpreter)
# names its directory, so a stale build elsewhere on the path cannot pass.
_expected = os.environ.get("VARDUN_EXPECT_BUILD")
if _expected:
    _loaded = Path(user_store_module.__file__).resolve()
    if not _loaded.is_relative_to(Path(_expected).resolve()):
        raise RuntimeError(f"tests imported {_loaded}, expected a build under {_expected}")


@pytest.fixture
def us():
    """The module vardun.mcp.user_store."""
    return user_store_module


@pytest.fixture
def base_dir(tmp_path):
    return tmp_path / "base"


@pytest.fixture
def store(base_dir):
    return user_store_module.MCPUserStore(base_dir)


def run_python(code, *, env=None, timeout=60, check=True):
    """Runs `code` in a new interpreter that imports the same build."""
    environment = dict(os.environ)
    environment["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    environment.update(env or {})
    result = subprocess.run(
        [sys.executable, "-P", "-c", code],
        env=environment,
        capture_output=True,
        text=True,
        timeout=timeout,
        stdin=subprocess.DEVNULL,
    )
    if check and result.returncode != 0:
        raise AssertionError(f"subprocess failed ({result.returncode}):\n{result.stderr}")
    return result


@pytest.fixture
def python():
    return run_python


@pytest.fixture
def cli_env(tmp_path):
    """An environment in which the default registry is a temporary one, so
    that nothing here can reach the real ~/.config."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    env["HOME"] = str(tmp_path / "home")
    env["VARDUN_CONFIG_DIR"] = str(tmp_path / "default-config")
    return env


@pytest.fixture
def cli(cli_env, base_dir):
    """Runs the command over the test's base directory unless `base` is None."""

    def run(*args, base=base_dir, stdin=None, env=None, user=None, code=None):
        argv = [sys.executable, "-P"]
        argv += ["-c", code] if code else ["-m", "vardun.mcp.users"]
        if base is not None:
            argv += ["--base-dir", str(base)]
        extra = {"user": user} if user is not None else {}
        return subprocess.run(
            [*argv, *args],
            env={**cli_env, **(env or {})},
            input=stdin,
            capture_output=True,
            text=True,
            errors="surrogateescape",  # lets a test send bytes that are not UTF-8
            timeout=60,
            **extra,
        )

    return run
