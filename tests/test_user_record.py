"""MCPUser: a frozen dataclass with to_dict."""

import dataclasses
import json
from pathlib import Path

import pytest

import vardun.mcp.user_store as m

MCPUser = m.MCPUser


def make(**changes):
    fields = dict(user_id="u_0123abcd", description="运维", created_at="2026-01-02T03:04:05+00:00",
                  credential_dir=Path("/base/users/u_0123abcd"))
    fields.update(changes)
    return MCPUser(**fields)


def test_class_shape():
    assert dataclasses.is_dataclass(MCPUser)
    assert MCPUser.__dataclass_params__.frozen is True
    assert MCPUser.__dataclass_params__.order is False and MCPUser.__dataclass_params__.eq is True
    assert [f.name for f in dataclasses.fields(MCPUser)] == ["user_id", "description", "created_at", "credential_dir"]
    assert MCPUser.__annotations__ == {"user_id": "str", "description": "str", "created_at": "str", "credential_dir": "Path"}
    assert all(f.default is dataclasses.MISSING for f in dataclasses.fields(MCPUser))
    assert MCPUser.__match_args__ == ("user_id", "description", "created_at", "credential_dir")
    assert MCPUser.__doc__ == "MCP 用户记录，包含凭证隔离目录。"
    assert MCPUser.__module__ == "vardun.mcp.user_store" and MCPUser.__qualname__ == "MCPUser"
    assert MCPUser.__bases__ == (object,)
    assert list(vars(MCPUser))[:4] == ["__module__", "__annotations__", "__doc__", "to_dict"]
    assert "__slots__" not in vars(MCPUser) and "__lt__" not in vars(MCPUser)


def test_construction_stores_values_unchanged():
    user = MCPUser("u_1", "d", "c", "/plain/text")
    assert (user.user_id, user.description, user.created_at, user.credential_dir) == ("u_1", "d", "c", "/plain/text")
    assert MCPUser(1, None, 2.5, b"x").description is None
    with pytest.raises(TypeError):
        MCPUser("u_1", "d", "c")
    with pytest.raises(TypeError):
        MCPUser("u_1", "d", "c", Path("/x"), "extra")


def test_immutability():
    user = make()
    with pytest.raises(dataclasses.FrozenInstanceError):
        user.description = "other"
    with pytest.raises(dataclasses.FrozenInstanceError):
        del user.user_id
    assert user.description == "运维"


def test_equality_and_hashing():
    a, b = make(), make()
    assert a == b and hash(a) == hash(b)
    assert a != make(credential_dir=Path("/elsewhere"))
    assert a != make(description="x") and a != make(created_at="") and a != make(user_id="u_x")
    assert len({a, b, make(user_id="u_other")}) == 2
    assert hash(a) == hash(tuple(getattr(a, f) for f in ("user_id", "description", "created_at", "credential_dir")))


def test_repr_and_match():
    user = make()
    assert repr(user) == (
        "MCPUser(user_id='u_0123abcd', description='运维', created_at='2026-01-02T03:04:05+00:00', "
        "credential_dir=PosixPath('/base/users/u_0123abcd'))"
    )
    match user:
        case MCPUser(user_id, _, _, directory):
            assert user_id == "u_0123abcd" and directory == Path("/base/users/u_0123abcd")


def test_to_dict():
    user = make()
    result = user.to_dict()
    assert list(result) == ["user_id", "description", "created_at", "credential_dir"]
    assert result["user_id"] is user.user_id and result["description"] is user.description
    assert result["created_at"] is user.created_at
    assert result["credential_dir"] == "/base/users/u_0123abcd"
    assert all(type(v) is str for v in result.values())
    assert "api_key" not in result and "api_key_hash" not in result
    json.dumps(result)
    result["user_id"] = "changed"
    assert user.user_id == "u_0123abcd" and user.to_dict() is not result
    text = "/already/text"
    assert make(credential_dir=text).to_dict()["credential_dir"] is text


def test_to_dict_passes_attribute_errors_through():
    class Broken:
        def __str__(self):
            raise RuntimeError("no text")

    with pytest.raises(RuntimeError, match="no text"):
        make(credential_dir=Broken()).to_dict()



def test_to_dict_reads_attributes_as_getattr_does():
    class Gone:
        def __get__(self, obj, owner=None):
            raise AttributeError("gone")

    class Record(MCPUser):
        created_at = Gone()  # reached only once the instance has no value of its own

    record = Record("u_1", "d", "c", Path("/p"))
    assert record.to_dict()["created_at"] == "c"
    object.__delattr__(record, "created_at")
    with pytest.raises(AttributeError, match="^gone$") as info:
        record.to_dict()
    # What the interpreter adds to an AttributeError met while reading obj.name.
    assert info.value.name == "created_at" and info.value.obj is record
    object.__delattr__(record, "user_id")
    with pytest.raises(AttributeError, match="has no attribute 'user_id'") as info:
        record.to_dict()
    assert info.value.name == "user_id" and info.value.obj is record

    reads = []

    class Watched(MCPUser):
        def __getattribute__(self, name):
            reads.append(name)
            return "seen" if name == "description" else super().__getattribute__(name)

    assert Watched("u_1", "d", "c", "/p").to_dict()["description"] == "seen"
    assert reads == ["to_dict", "user_id", "description", "created_at", "credential_dir"]
