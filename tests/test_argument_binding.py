"""Argument binding: counts, keywords, exact-type checks and their messages,
and the result checks."""

import ctypes
import re

import pytest

import vardun.mcp.user_store as m

Store = m.MCPUserStore


class StrSubclass(str):
    pass


class ListSubclass(list):
    pass


def message(call):
    with pytest.raises(TypeError) as info:
        call()
    return str(info.value)


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda s: s.credential_dir(), "credential_dir() takes exactly 2 positional arguments (1 given)"),
        (lambda s: s.credential_dir("a", "b"), "credential_dir() takes exactly 2 positional arguments (3 given)"),
        (lambda s: s.add_user("a", "b"), "add_user() takes at most 2 positional arguments (3 given)"),
        (lambda s: Store.add_user(), "add_user() takes at least 1 positional argument (0 given)"),
        (lambda s: s.list_users(1), "list_users() takes exactly 1 positional argument (2 given)"),
        (lambda s: Store.list_users(), "list_users() takes exactly 1 positional argument (0 given)"),
        (lambda s: s.remove_user("u", True), "remove_user() takes exactly 2 positional arguments (3 given)"),
        (lambda s: s.remove_user(), "remove_user() takes exactly 2 positional arguments (1 given)"),
        (lambda s: s.remove_user(keep_credentials=True), "remove_user() takes exactly 2 positional arguments (1 given)"),
        (lambda s: Store.__init__(s, None, None), "__init__() takes at most 2 positional arguments (3 given)"),
        (lambda s: Store(None, None), "__init__() takes at most 2 positional arguments (3 given)"),
        (lambda s: Store.normalize_api_key(), "normalize_api_key() takes exactly 2 positional arguments (1 given)"),
        (lambda s: s.hash_api_key("a", "b"), "hash_api_key() takes exactly 2 positional arguments (3 given)"),
        (lambda s: s._save(), "_save() takes exactly 2 positional arguments (1 given)"),
        (lambda s: m.MCPUser.to_dict(), "to_dict() takes exactly 1 positional argument (0 given)"),
        # A missing required argument is reported before a stray keyword.
        (lambda s: s.rotate_api_key(userid="u"), "rotate_api_key() takes exactly 2 positional arguments (1 given)"),
    ],
)
def test_positional_counts(store, call, expected):
    assert message(lambda: call(store)) == expected


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda s: s.add_user(name="x"), "add_user() got an unexpected keyword argument 'name'"),
        (lambda s: s.remove_user("u", keep=True), "remove_user() got an unexpected keyword argument 'keep'"),
        (lambda s: s.list_users(x=1), "list_users() got an unexpected keyword argument 'x'"),
        (lambda s: s.credential_dir("u", user_id="v"), "credential_dir() got multiple values for keyword argument 'user_id'"),
        (lambda s: s.add_user(self=s), "add_user() got multiple values for keyword argument 'self'"),
        (lambda s: Store.hash_api_key("k", api_key="k"), "hash_api_key() got multiple values for keyword argument 'api_key'"),
        (lambda s: m.generate_api_key(1), "generate_api_key() takes no arguments (1 given)"),
        (lambda s: m.generate_api_key(1, 2), "generate_api_key() takes no arguments (2 given)"),
        (lambda s: m.generate_api_key(x=1), "generate_api_key() takes no keyword arguments"),
        (lambda s: m.generate_api_key(1, x=1), "generate_api_key() takes no keyword arguments"),
    ],
)
def test_keyword_errors(store, call, expected):
    assert message(lambda: call(store)) == expected


def test_keywords_bind_by_name_in_any_order(store):
    assert Store.credential_dir(user_id="u_1", self=store) == store.users_dir / "u_1"
    assert store.normalize_api_key(raw=" k ") == "k"
    assert store.hash_api_key(api_key="") == Store.hash_api_key("")
    # A str subclass as a keyword name still names the parameter.
    assert store.credential_dir(**{StrSubclass("user_id"): "u_2"}) == store.users_dir / "u_2"


def test_keywords_that_are_not_strings_are_rejected():
    # The interpreter itself refuses such calls from Python code; C callers
    # can still pass them through vectorcall.
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    args = (ctypes.py_object * 3)(Store.__new__(Store), "u_1", "value")
    with pytest.raises(TypeError, match=re.escape("credential_dir() keywords must be strings")):
        vectorcall(Store.credential_dir, args, 2, (1,))


@pytest.mark.parametrize(
    "call, name, expected, got",
    [
        (lambda s, v: s.credential_dir(v), "user_id", "str", None),
        (lambda s, v: s.add_user(v), "description", "str", None),
        (lambda s, v: s.add_user(description=v), "description", "str", 5),
        (lambda s, v: s.remove_user(v), "user_id", "str", b"u"),
        (lambda s, v: s.rotate_api_key(v), "user_id", "str", None),
        (lambda s, v: s.verify_api_key(v), "api_key", "str", 1.5),
        (lambda s, v: s.normalize_api_key(v), "raw", "str", None),
        (lambda s, v: s.hash_api_key(v), "api_key", "str", None),
        (lambda s, v: s._ensure_credential_dir(v), "user_id", "str", None),
        (lambda s, v: s._remove_credential_dir(v), "user_id", "str", 7),
        (lambda s, v: s._save(v), "users", "list", ()),
        (lambda s, v: s._save(v), "users", "list", None),
        (lambda s, v: s._new_user_id(v), "users", "list", {}),
    ],
)
def test_exact_type_checks(store, call, name, expected, got):
    text = message(lambda: call(store, got))
    assert text == (
        f"Argument '{name}' has incorrect type (expected {expected}, got {type(got).__name__})"
    )


@pytest.mark.parametrize(
    "call, value",
    [
        (lambda s, v: s.credential_dir(v), StrSubclass("u_1")),
        (lambda s, v: s.verify_api_key(v), StrSubclass("key")),
        (lambda s, v: s.hash_api_key(v), StrSubclass("key")),
        (lambda s, v: s._save(v), ListSubclass()),
        (lambda s, v: s._new_user_id(v), ListSubclass()),
    ],
)
def test_subclasses_of_builtin_types_are_rejected(store, call, value):
    text = message(lambda: call(store, value))
    expected = "list" if isinstance(value, list) else "str"
    prefix = f"has incorrect type (expected {expected}, got {type(value).__name__}). "
    assert prefix in text
    assert "Subclasses of built-in types are rejected" in text


def test_none_passes_where_allowed(store):
    assert store.verify_api_key(None) is None
    assert store.verify_api_key("") is None


def test_keep_credentials_truth_is_taken_before_the_type_check(store):
    class Falsy:
        def __bool__(self):
            raise ZeroDivisionError("truth")

    # The truth test runs first, so its error wins over the bad user_id.
    with pytest.raises(ZeroDivisionError):
        store.remove_user(None, keep_credentials=Falsy())
    with pytest.raises(TypeError, match="Argument 'user_id'"):
        store.remove_user(None, keep_credentials=1)


class Text(str):
    """A str subclass that stays one through `+`."""

    def __add__(self, other):
        return Text(str(self) + other)

    def __radd__(self, other):
        return Text(other + str(self))


def test_result_checks(store, monkeypatch):
    generate = m.generate_api_key
    monkeypatch.setattr(m, "generate_api_key", lambda: 42)
    assert message(store._new_api_key) == "Expected str, got int"
    monkeypatch.setattr(m, "generate_api_key", lambda: None)
    assert store._new_api_key() is None
    # Exactly str: a subclass is refused by every result check.
    monkeypatch.setattr(m, "generate_api_key", lambda: Text("vardun-mcp-x"))
    assert message(store._new_api_key) == "Expected str, got Text"
    assert message(store.add_user) == "Expected str, got Text"
    assert store._load() == []
    monkeypatch.setattr(m, "API_KEY_PREFIX", Text("vardun-mcp-"))
    assert message(generate) == "Expected str, got Text"
    monkeypatch.setattr(m.secrets, "token_hex", lambda n: Text("0"))
    assert message(lambda: store._new_user_id([])) == "Expected str, got Text"

    class FakeSecrets:
        @staticmethod
        def choice(alphabet):
            return "x"

    monkeypatch.setattr(m, "secrets", FakeSecrets)
    monkeypatch.setattr(m, "API_KEY_PREFIX", 7)
    monkeypatch.setattr(m, "API_KEY_RANDOM_LENGTH", 0)
    with pytest.raises(TypeError, match="unsupported operand"):
        generate()


def test_load_result_must_be_an_exact_list(store, monkeypatch):
    class FakeJson:
        JSONDecodeError = ValueError

        @staticmethod
        def loads(text):
            return ListSubclass([1])

    store.path.write_text("[]", encoding="utf-8")
    monkeypatch.setattr(m, "json", FakeJson)
    assert message(store._load) == "Expected list, got ListSubclass"


def test_hash_result_must_be_text(store, monkeypatch):
    class Digest:
        def hexdigest(self):
            return Suffix()

    class Suffix:
        def __radd__(self, other):
            return returned

    class FakeHashlib:
        @staticmethod
        def sha256(data):
            return Digest()

    monkeypatch.setattr(m, "hashlib", FakeHashlib)
    for returned, name in ((3, "int"), (Text("sha256:0"), "Text")):
        assert message(lambda: store.hash_api_key("k")) == f"Expected str, got {name}"


def test_runaway_recursion_is_an_error_not_a_crash(store, monkeypatch):
    monkeypatch.setattr(m, "generate_api_key", store._new_api_key)
    with pytest.raises(RecursionError):
        store._new_api_key()
