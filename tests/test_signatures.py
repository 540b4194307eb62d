"""Introspection: every function reads like a Python function to inspect,
typing, pickle and functools."""

import contextlib
import functools
import inspect
import pickle
import types
import typing

import pytest

import vardun.mcp.user_store as m

Store = m.MCPUserStore

SIGNATURES = {
    "__init__": "(self, base_dir: 'Path | None' = None)",
    "list_users": "(self) -> 'list[MCPUser]'",
    "add_user": "(self, description: 'str' = '') -> 'dict'",
    "remove_user": "(self, user_id: 'str', *, keep_credentials: 'bool' = False) -> 'bool'",
    "rotate_api_key": "(self, user_id: 'str') -> 'dict'",
    "verify_api_key": "(self, api_key: 'str | None') -> 'MCPUser | None'",
    "credential_dir": "(self, user_id: 'str') -> 'Path'",
    "normalize_api_key": "(cls, raw: 'str') -> 'str'",
    "hash_api_key": "(cls, api_key: 'str') -> 'str'",
    "_load": "(self) -> 'list[dict]'",
    "_save": "(self, users: 'list[dict]') -> 'None'",
    "_locked": "(self) -> 'Iterator[None]'",
    "_ensure_credential_dir": "(self, user_id: 'str') -> 'None'",
    "_remove_credential_dir": "(self, user_id: 'str') -> 'None'",
    "_new_user_id": "(self, users: 'list[dict]') -> 'str'",
    "_new_api_key": "(self) -> 'str'",
}

DOCSTRINGS = {
    "__init__": None,
    "list_users": "列出所有 MCP 用户，不返回 API Key 哈希。",
    "add_user": "创建 MCP 用户，并返回只展示一次的明文 API Key。",
    "remove_user": "删除 MCP 用户，默认同步删除该用户的隔离凭证目录。",
    "rotate_api_key": "轮换指定用户的 API Key，返回新 Key 明文。",
    "verify_api_key": "校验 API Key，成功时返回对应 MCP 用户。",
    "credential_dir": "返回指定用户的凭证隔离目录。",
    "normalize_api_key": "兼容 Bearer 头与纯 API Key 两种输入。",
    "hash_api_key": "计算 API Key 的 SHA256 哈希。",
    "_load": "读取用户注册表，文件不存在时返回空列表。",
    "_save": "原子写入用户注册表，避免并发写导致 JSON 损坏。",
    "_locked": "写操作文件锁；Windows 无 fcntl 时退化为单进程锁语义。",
    "_ensure_credential_dir": "创建并收紧用户凭证目录权限。",
    "_remove_credential_dir": "删除用户凭证目录，避免残留可复用登录态。",
    "_new_user_id": "生成不冲突的短用户 ID。",
    "_new_api_key": "生成固定前缀的高熵 API Key（委托给模块级 generate_api_key）。",
}

GENERATE_DOC = (
    "生成固定格式的高熵 API Key（模块级公共接口）。\n\n"
    "    格式：vardun-mcp-<32位随机字母数字>\n"
    "    供 server 和 MCPUserStore 共用，避免重复实现。\n\n"
    "    Returns:\n"
    "        高熵 API Key 字符串\n"
    "    "
)

CLASSMETHODS = {"normalize_api_key", "hash_api_key"}


def function_of(name):
    """The module's own function object behind a class attribute."""
    attribute = Store.__dict__[name]
    if isinstance(attribute, classmethod):
        return attribute.__func__
    if name == "_locked":
        return attribute.__wrapped__
    return attribute


def without_first(signature):
    return signature.replace("(self, ", "(").replace("(cls, ", "(").replace("(self)", "()")


def test_class_namespace_holds_the_sixteen_functions_in_order():
    names = [n for n in Store.__dict__ if n not in ("__module__", "__doc__", "__dict__", "__weakref__")]
    assert names == list(SIGNATURES)
    assert list(Store.__dict__)[:2] == ["__module__", "__doc__"]
    assert Store.__doc__ == "MCP 用户注册表管理器。"
    assert Store.__module__ == "vardun.mcp.user_store"
    assert Store.__qualname__ == "MCPUserStore"
    assert Store.__bases__ == (object,) and type(Store) is type


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_signature_through_class_and_instance(name, store):
    expected = SIGNATURES[name]
    through_class = getattr(Store, name)
    if name in CLASSMETHODS:
        assert str(inspect.signature(through_class)) == without_first(expected)
    else:
        assert str(inspect.signature(through_class)) == expected
    assert str(inspect.signature(getattr(store, name))) == without_first(expected)
    assert str(inspect.signature(function_of(name))) == expected


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_docstrings_names_and_modules(name):
    function = function_of(name)
    assert function.__doc__ == DOCSTRINGS[name]
    assert function.__name__ == name
    assert function.__qualname__ == f"MCPUserStore.{name}"
    assert function.__module__ == "vardun.mcp.user_store"
    assert not hasattr(function, "__text_signature__")
    assert function.__globals__ is vars(m)


def test_module_level_function_and_to_dict():
    assert str(inspect.signature(m.generate_api_key)) == "() -> 'str'"
    assert m.generate_api_key.__doc__ == GENERATE_DOC
    assert m.generate_api_key.__qualname__ == "generate_api_key"
    assert m.generate_api_key.__annotations__ == {"return": "str"}
    to_dict = m.MCPUser.__dict__["to_dict"]
    assert str(inspect.signature(to_dict)) == "(self) -> 'dict'"
    assert to_dict.__qualname__ == "MCPUser.to_dict"
    assert to_dict.__doc__ == "转换为对外展示的 JSON 结构，不包含 API Key 哈希。"


def test_annotations_defaults_and_code_objects():
    remove = Store.remove_user
    assert remove.__annotations__ == {"user_id": "str", "keep_credentials": "bool", "return": "bool"}
    assert list(remove.__annotations__) == ["user_id", "keep_credentials", "return"]
    assert remove.__defaults__ is None
    assert remove.__kwdefaults__ == {"keep_credentials": False}
    assert Store.__init__.__annotations__ == {"base_dir": "Path | None"}
    assert Store.__init__.__defaults__ == (None,)
    assert Store.add_user.__defaults__ == ("",)
    assert Store.add_user.__kwdefaults__ is None
    assert m.generate_api_key.__defaults__ is None

    code = remove.__code__
    assert isinstance(code, types.CodeType)
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (2, 0, 1)
    assert code.co_varnames == ("self", "user_id", "keep_credentials")
    assert code.co_name == "remove_user" and code.co_qualname == "MCPUserStore.remove_user"
    assert not code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS)


def test_parameter_kinds():
    parameters = inspect.signature(Store.remove_user).parameters
    assert parameters["user_id"].kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert parameters["keep_credentials"].kind is inspect.Parameter.KEYWORD_ONLY
    assert parameters["keep_credentials"].default is False


def test_binding_as_methods(store):
    function = Store.__dict__["add_user"]
    assert Store.add_user is function
    assert function.__get__(None, Store) is function
    bound = store.add_user
    assert isinstance(bound, types.MethodType)
    assert bound.__func__ is function and bound.__self__ is store
    assert store.add_user == store.add_user
    normalize = store.normalize_api_key
    assert normalize.__self__ is Store and normalize.__func__ is function_of("normalize_api_key")
    assert Store.normalize_api_key("  x ") == "x"


def test_locked_is_a_contextmanager_of_a_generator_function(store):
    wrapper = Store.__dict__["_locked"]
    inner = wrapper.__wrapped__
    assert wrapper.__name__ == "_locked" and wrapper.__qualname__ == "MCPUserStore._locked"
    assert wrapper.__doc__ == DOCSTRINGS["_locked"]
    assert wrapper.__annotations__ == {"return": "Iterator[None]"}
    assert inspect.isgeneratorfunction(inner)
    assert not inspect.isgeneratorfunction(Store.add_user)
    manager = store._locked()
    assert isinstance(manager, contextlib.AbstractContextManager)
    generator = inner(store)
    assert iter(generator) is generator
    assert repr(generator).startswith("<generator object MCPUserStore._locked at ")
    generator.close()


def test_writable_function_attributes_behave_like_python_functions():
    function = m.MCPUser.__dict__["to_dict"]
    function.custom = 1
    assert function.__dict__ == {"custom": 1}
    del function.custom
    with pytest.raises(TypeError, match="__name__ must be set to a string object"):
        function.__name__ = 3
    with pytest.raises(TypeError, match="__defaults__ must be set to a tuple object"):
        function.__defaults__ = [1]
    with pytest.raises(AttributeError):
        function.__code__ = m.generate_api_key.__code__


def test_defaults_assigned_later_take_effect(store):
    add_user = Store.add_user
    saved = add_user.__defaults__
    try:
        add_user.__defaults__ = None
        with pytest.raises(TypeError, match=r"add_user\(\) takes exactly 2 positional arguments \(1 given\)"):
            store.add_user()
    finally:
        add_user.__defaults__ = saved
    assert Store.add_user.__defaults__ == ("",)


def test_type_hints_resolve_in_the_module_namespace():
    hints = typing.get_type_hints(Store.verify_api_key)
    assert hints == {"api_key": str | None, "return": m.MCPUser | None}
    assert typing.get_type_hints(Store._locked) == {"return": typing.Iterator[None]}
    assert typing.get_type_hints(m.MCPUser)["credential_dir"] is m.Path


def test_pickle_and_functools_treat_them_as_functions():
    assert pickle.loads(pickle.dumps(m.generate_api_key)) is m.generate_api_key
    assert pickle.loads(pickle.dumps(Store.add_user)) is Store.add_user

    @functools.wraps(Store.rotate_api_key)
    def wrapper(*args, **kwargs):
        return Store.rotate_api_key(*args, **kwargs)

    assert wrapper.__name__ == "rotate_api_key"
    assert str(inspect.signature(wrapper)) == SIGNATURES["rotate_api_key"]
    assert repr(Store.add_user).startswith("<function MCPUserStore.add_user at 0x")
