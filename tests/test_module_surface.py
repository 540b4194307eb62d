"""Start-up: the namespace and its order, the fcntl probe, fresh imports."""

import contextlib
import dataclasses
import datetime
import hashlib
import hmac
import importlib
import json
import os
import pathlib
import secrets
import stat
import string
import sys
import time
import typing

import pytest

import vardun.mcp.user_store as m

MODULE_DOC = (
    "MCP 多用户注册表。\n\n本模块负责管理 `~/.config/vardun/mcp_users.json`，为团队共享 MCP Server\n"
    "提供 API Key 到独立凭证目录的映射。注册表只保存 API Key 哈希，原始 Key\n"
    "仅在创建或轮换时展示一次。\n"
)

NAMESPACE = [
    "contextlib", "hashlib", "hmac", "json", "secrets", "stat", "time", "dataclass",
    "datetime", "timezone", "Path", "ascii_letters", "digits", "Iterator", "fcntl",
    "_FCNTL_AVAILABLE", "API_KEY_PREFIX", "API_KEY_RANDOM_LENGTH", "generate_api_key",
    "MCPUser", "MCPUserStore",
]


def own_names(module):
    return [name for name in vars(module) if not (name.startswith("__") and name.endswith("__"))]


def test_namespace_is_bound_in_order(python):
    # In a fresh interpreter: tests that rebind names here reorder the dict.
    result = python(
        "import vardun.mcp.user_store as m\n"
        "print(*[n for n in vars(m) if not (n.startswith('__') and n.endswith('__'))])\n"
    )
    assert result.stdout.split() == NAMESPACE
    assert m.__doc__ == MODULE_DOC
    assert m.__name__ == "vardun.mcp.user_store"
    assert not hasattr(m, "__all__") and not hasattr(m, "CONFIG_DIR")


def test_namespace_values_are_the_standard_library_objects():
    import fcntl

    for module in (contextlib, hashlib, hmac, json, secrets, stat, time, fcntl):
        assert getattr(m, module.__name__) is module
    assert m.dataclass is dataclasses.dataclass
    assert m.datetime is datetime.datetime and m.timezone is datetime.timezone
    assert m.Path is pathlib.Path
    assert m.ascii_letters == string.ascii_letters and m.digits == string.digits
    assert m.Iterator is typing.Iterator
    assert m._FCNTL_AVAILABLE is True
    assert m.API_KEY_PREFIX == "vardun-mcp-" and type(m.API_KEY_PREFIX) is str
    assert m.API_KEY_RANDOM_LENGTH == 32 and type(m.API_KEY_RANDOM_LENGTH) is int


REFUSING_FCNTL = (
    "import sys\n"
    "class Refuse:\n"
    "    def find_spec(self, name, path=None, target=None):\n"
    "        if name == 'fcntl':\n"
    "            raise ERROR('no fcntl today')\n"
    "sys.modules.pop('fcntl', None)\n"
    "sys.meta_path.insert(0, Refuse())\n"
)


@pytest.mark.parametrize(
    "setup",
    # Any ImportError means no fcntl, not only ModuleNotFoundError.
    ["import sys\nsys.modules['fcntl'] = None\n", REFUSING_FCNTL.replace("ERROR", "ImportError")],
    ids=["module-not-found", "import-error"],
)
def test_fcntl_probe_without_fcntl(python, setup):
    result = python(
        setup + "import vardun.mcp.user_store as m\n"
        "print(m._FCNTL_AVAILABLE, hasattr(m, 'fcntl'), 'fcntl' in vars(m))\n"
    )
    assert result.stdout.split() == ["False", "False", "False"]


def test_other_import_errors_abort_the_import(python):
    result = python(
        REFUSING_FCNTL.replace("ERROR", "RuntimeError")
        + "try:\n"
        "    import vardun.mcp.user_store\n"
        "except RuntimeError as exc:\n"
        "    print('failed:', exc)\n"
        "print('vardun.mcp.user_store' in sys.modules)\n",
    )
    assert result.stdout.splitlines() == ["failed: no fcntl today", "False"]


def test_fresh_import_runs_start_up_again(monkeypatch):
    import fcntl  # noqa: F401  (the probe must see the change below)
    import vardun.mcp

    name = "vardun.mcp.user_store"
    original = sys.modules[name]
    monkeypatch.setattr(vardun.mcp, "user_store", original)
    monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, "fcntl", None)
    fresh = importlib.import_module(name)
    assert fresh is not original
    assert fresh._FCNTL_AVAILABLE is False and not hasattr(fresh, "fcntl")
    assert own_names(fresh) == [n for n in NAMESPACE if n != "fcntl"]
    # Each import has its own classes and functions bound to its own namespace.
    assert fresh.MCPUserStore is not original.MCPUserStore
    assert fresh.generate_api_key.__globals__ is vars(fresh)
    assert original._FCNTL_AVAILABLE is True
    monkeypatch.setattr(fresh, "API_KEY_PREFIX", "fresh-")
    assert fresh.generate_api_key().startswith("fresh-")
    assert original.generate_api_key().startswith("vardun-mcp-")


def test_import_without_the_configuration_module(python):
    result = python(
        "import sys\n"
        "sys.modules['vardun.config'] = None\n"
        "import vardun.mcp.user_store as m\n"
        "try:\n"
        "    m.MCPUserStore('/tmp/never-created-by-this-test')\n"
        "except ImportError as exc:\n"
        "    print(type(exc).__name__)\n"
        "import os\n"
        "print(os.path.exists('/tmp/never-created-by-this-test'))\n"
    )
    assert result.stdout.split() == ["ModuleNotFoundError", "False"]


@pytest.mark.skipif(
    hasattr(sys, "gettotalrefcount") or "LD_PRELOAD" in os.environ,
    reason="debug and sanitizer builds load only in their own interpreter set-up",
)
def test_module_loads_under_every_interpreter_on_the_machine():
    # Both 3.11 interpreters of the machine share the extension ABI.
    import shutil
    import subprocess

    for interpreter in {shutil.which("python3"), "/usr/bin/python3"} - {None}:
        version = subprocess.run(
            [interpreter, "-c", "import sys; print(sys.version_info[:2] == (3, 11))"],
            capture_output=True, text=True,
        ).stdout.strip()
        if version != "True":
            continue
        result = subprocess.run(
            [interpreter, "-P", "-c", "import vardun.mcp.user_store as m; print(len(m.generate_api_key()))"],
            capture_output=True, text=True, env={"PYTHONPATH": ":".join(p for p in sys.path if p)},
        )
        assert result.stdout.strip() == "43", (interpreter, result.stderr)
