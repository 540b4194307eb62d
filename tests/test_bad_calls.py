"""Every function of the module called wrongly: each wrong argument count,
keyword and argument type, generated from the signatures that introspection
reports, must raise TypeError before anything touches the disk, never crash.
Also calls on the lock's generator object and wrong values for the function
objects' own attributes."""

import ctypes
import inspect
import os
from pathlib import Path

import pytest

from helpers import lock_is_free

import vardun.mcp.user_store as us

FunctionType = type(us.generate_api_key)
POSITIONAL = inspect.Parameter.POSITIONAL_OR_KEYWORD
KEYWORD_ONLY = inspect.Parameter.KEYWORD_ONLY


class StrSubclass(str):
    pass


class ListSubclass(list):
    pass


class Opaque:
    """An object whose every comparison, hash and conversion fails."""

    def __eq__(self, other):
        raise RuntimeError("compared")

    __hash__ = None

    def __repr__(self):
        raise RuntimeError("repr")

    def __str__(self):
        raise RuntimeError("str")


def module_functions():
    """Every function object of the module, by qualified name."""
    found = {"generate_api_key": us.generate_api_key, "MCPUser.to_dict": us.MCPUser.to_dict}
    for name, attribute in vars(us.MCPUserStore).items():
        if isinstance(attribute, classmethod):
            attribute = attribute.__func__
        attribute = getattr(attribute, "__wrapped__", attribute)  # _locked
        if type(attribute) is FunctionType:
            found[f"MCPUserStore.{name}"] = attribute
    return found


FUNCTIONS = module_functions()

# A value each annotation accepts, and values it must refuse.
GOOD = {"str": "u_0123abcd", "str | None": "vardun-mcp-x", "list[dict]": [], "bool": False}
WRONG = {
    "str": [None, 0, 1.5, True, b"u", bytearray(b"u"), ["u"], StrSubclass("u"), Opaque()],
    "str | None": [0, False, b"u", StrSubclass("u"), ["u"], Opaque()],
    "list[dict]": [(), None, {}, "[]", b"", iter([]), ListSubclass(), Opaque()],
}


def test_every_function_is_found():
    assert len(FUNCTIONS) == 18
    assert "MCPUserStore._locked" in FUNCTIONS and "MCPUser.to_dict" in FUNCTIONS


def callers(name, function, store):
    """The ways a user reaches `function`, each taking only the arguments
    after self or cls."""
    if name == "generate_api_key":
        return {"module": function}
    if name == "MCPUser.to_dict":
        record = us.MCPUser("u_1", "", "", store.users_dir / "u_1")
        return {"bound": record.to_dict, "raw": lambda *a, **k: function(record, *a, **k)}
    method = name.split(".")[1]
    owner = us.MCPUserStore if method in ("normalize_api_key", "hash_api_key") else store
    return {
        "instance": getattr(store, method),  # for _locked: the context manager's factory
        "class": getattr(us.MCPUserStore, method)
        if owner is us.MCPUserStore
        else lambda *a, **k: getattr(us.MCPUserStore, method)(store, *a, **k),
        "raw": lambda *a, **k: function(owner, *a, **k),
    }


def bad_calls(name, function, store):
    """(description, thunk) for every wrong call of `function`."""
    params = list(inspect.signature(function).parameters.values())
    if name != "generate_api_key":
        params = params[1:]  # self or cls
    positional = [p for p in params if p.kind is POSITIONAL]
    keyword_only = [p for p in params if p.kind is KEYWORD_ONLY]
    required = [p for p in positional if p.default is p.empty]

    def good(param):
        return store.base_dir if param.name == "base_dir" else GOOD[param.annotation]

    full = [good(p) for p in positional]
    for label, call in callers(name, function, store).items():
        # Too few or too many positional arguments; keyword-only ones can
        # never be given by position.
        for count in range(len(positional) + 3):
            if len(required) <= count <= len(positional):
                continue
            args = (full + [keyword_only and good(keyword_only[0]) or "extra"] * 3)[:count]
            yield f"{label}: {count} positional", lambda c=call, a=args: c(*a)
        # A required parameter left out while the others come by keyword.
        for missing in required:
            kwargs = {p.name: good(p) for p in positional if p is not missing}
            yield f"{label}: without {missing.name}", lambda c=call, k=kwargs: c(**k)
        # Keywords that name no parameter, or name self/cls.
        for bogus in ("bogus", "self", "cls", "Users", "user_id_"):
            if any(p.name == bogus for p in params):
                continue
            yield f"{label}: keyword {bogus}", lambda c=call, b=bogus: c(*full, **{b: 1})
        # A parameter given twice, by position and by keyword.
        for index, param in enumerate(positional):
            args = full[: index + 1]
            yield (
                f"{label}: {param.name} twice",
                lambda c=call, a=args, n=param.name, v=good(param): c(*a, **{n: v}),
            )
        # Values of the wrong type, by position and by keyword.
        for index, param in enumerate(positional):
            for wrong in WRONG.get(param.annotation, []):
                args = list(full)
                args[index] = wrong
                yield f"{label}: {param.name}={type(wrong).__name__}", lambda c=call, a=args: c(*a)
                kwargs = {p.name: good(p) for p in positional}
                kwargs[param.name] = wrong
                yield (
                    f"{label}: {param.name}={type(wrong).__name__} by keyword",
                    lambda c=call, k=kwargs: c(**k),
                )


def vectorcall(function, self_arg, args, kwnames):
    """Calls through vectorcall with keyword names that Python code cannot
    pass: not strings, or the same name twice."""
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [
        ctypes.py_object,
        ctypes.POINTER(ctypes.py_object),
        ctypes.c_size_t,
        ctypes.py_object,
    ]
    items = ([self_arg] if self_arg is not None else []) + list(args)
    array = (ctypes.py_object * max(1, len(items)))(*items)
    positional = len(items) - len(kwnames)
    return call(function, array, positional, tuple(kwnames))


def tree(path):
    """Everything under `path`, with file contents, to tell whether a call
    touched the disk."""
    found = {}
    for entry in sorted(Path(path).rglob("*")):
        found[str(entry)] = entry.read_bytes() if entry.is_file() else entry.is_dir()
    return found


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_every_wrong_call_is_a_type_error(name, store):
    function = FUNCTIONS[name]
    before = tree(store.base_dir)
    failures = []
    cases = 0
    for description, thunk in bad_calls(name, function, store):
        cases += 1
        try:
            result = thunk()
        except TypeError:
            continue
        except Exception as error:  # the wrong kind of failure
            failures.append(f"{description}: {type(error).__name__}: {error}")
        else:
            failures.append(f"{description}: returned {result!r}")
    assert cases >= 6
    assert failures == []
    assert tree(store.base_dir) == before


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_keyword_names_only_c_callers_can_pass(name, store):
    function = FUNCTIONS[name]
    params = list(inspect.signature(function).parameters.values())
    self_arg = None if name == "generate_api_key" else store
    if name == "MCPUser.to_dict":
        self_arg = us.MCPUser("u", "", "", "d")
    elif name.split(".")[-1] in ("normalize_api_key", "hash_api_key"):
        self_arg = us.MCPUserStore
    named = [p.name for p in params[1:]] if self_arg is not None else []
    for kwnames, values in [((1,), ["v"]), ((None, "x"), ["v", "w"]), ((b"user_id",), ["v"])]:
        with pytest.raises(TypeError):
            vectorcall(function, self_arg, values, kwnames)
    for parameter in named:
        # The same keyword twice in one call.
        with pytest.raises(TypeError):
            vectorcall(function, self_arg, ["a", "b"], (parameter, parameter))


@pytest.mark.parametrize("name", sorted(set(FUNCTIONS) - {"generate_api_key"}))
def test_a_wrong_self_is_an_error_not_a_crash(name, store):
    function = FUNCTIONS[name]
    params = list(inspect.signature(function).parameters.values())
    rest = [store.base_dir if p.name == "base_dir" else GOOD[p.annotation] for p in params[1:]]
    before = tree(store.base_dir)
    namespace = dict(vars(us.MCPUserStore))
    wrong_selves = [None, 0, "text", (), us.MCPUser("u", "", "", "d")]
    if name != "MCPUserStore.__init__":  # which would set the paths on the class
        wrong_selves.append(us.MCPUserStore)
    for wrong_self in wrong_selves:
        try:
            outcome = function(wrong_self, *[r for r, p in zip(rest, params[1:])
                                             if p.kind is POSITIONAL])
            if inspect.isgenerator(outcome) or type(outcome).__name__ == "generator":
                next(outcome, None)
                outcome.close()
        except Exception:
            pass
    assert tree(store.base_dir) == before
    assert dict(vars(us.MCPUserStore)) == namespace


class Undecided:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


def test_truth_of_keep_credentials_that_fails_propagates(store):
    class NotABool:
        def __bool__(self):
            return "yes"

    user = store.add_user("x")
    before = tree(store.base_dir)
    with pytest.raises(ZeroDivisionError):
        store.remove_user(user["user_id"], keep_credentials=Undecided())
    with pytest.raises(TypeError):
        store.remove_user(user["user_id"], keep_credentials=NotABool())
    assert tree(store.base_dir) == before


def test_bad_calls_on_the_lock_generator_keep_its_state(store):
    generator = us.MCPUserStore._locked.__wrapped__(store)
    not_started = [
        lambda: generator.send(),
        lambda: generator.send(1, 2),
        lambda: generator.send("not None before the start"),
        lambda: generator.throw(),
        lambda: generator.close(1),
    ]
    for call in not_started:
        with pytest.raises(TypeError):
            call()
    assert not store.lock_path.exists()  # nothing ran

    assert next(generator) is None  # holds the lock now
    assert not lock_is_free(store.lock_path)
    suspended = [
        lambda: generator.throw(1),
        lambda: generator.throw("ValueError"),
        lambda: generator.throw(ValueError, ValueError("x"), "not a traceback"),
        lambda: generator.throw(ValueError("x"), "a separate value"),
        lambda: generator.throw(ValueError, 1, 2, 3),
        lambda: generator.close(None),
        lambda: generator.send(),
    ]
    for call in suspended:
        with pytest.raises(TypeError):
            call()
        # A refused call neither releases the lock nor ends the generator.
        assert not lock_is_free(store.lock_path)
        assert generator.gi_suspended
    generator.close()
    assert lock_is_free(store.lock_path)
    with pytest.raises(StopIteration):
        next(generator)


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_wrong_values_for_function_attributes(name, store):
    function = FUNCTIONS[name]
    saved = {
        attribute: getattr(function, attribute)
        for attribute in ("__name__", "__qualname__", "__defaults__", "__kwdefaults__",
                          "__annotations__", "__doc__", "__module__")
    }
    wrong = {
        "__name__": [None, 1, b"name"],
        "__qualname__": [None, 1, b"name"],
        "__defaults__": [1, ["x"], "x", {}],
        "__kwdefaults__": [1, [("a", 1)], "x"],
        "__annotations__": [1, [("a", 1)], "x"],
    }
    try:
        for attribute, values in wrong.items():
            for value in values:
                with pytest.raises(TypeError):
                    setattr(function, attribute, value)
        for attribute in ("__name__", "__qualname__"):
            with pytest.raises(TypeError):
                delattr(function, attribute)
        for attribute in ("__code__", "__globals__"):
            with pytest.raises((AttributeError, TypeError)):
                setattr(function, attribute, None)
        assert {a: getattr(function, a) for a in saved} == saved
    finally:
        for attribute, value in saved.items():
            setattr(function, attribute, value)


def test_defaults_of_the_wrong_length_or_kind_give_type_errors(store):
    add_user, remove_user = us.MCPUserStore.add_user, us.MCPUserStore.remove_user
    saved = add_user.__defaults__, remove_user.__kwdefaults__
    try:
        # More defaults than parameters, a default of the wrong type, and a
        # keyword-only default that is gone: checked like a caller's values.
        add_user.__defaults__ = (1, 2, 3)
        with pytest.raises(TypeError):
            store.add_user()
        add_user.__defaults__ = (None,)
        with pytest.raises(TypeError):
            store.add_user()
        remove_user.__kwdefaults__ = {}
        with pytest.raises(TypeError):
            store.remove_user("u_1")
        remove_user.__kwdefaults__ = {"keep_credentials": Undecided()}
        with pytest.raises(ZeroDivisionError):  # its truth test is the one taken
            store.remove_user("u_1")
    finally:
        add_user.__defaults__, remove_user.__kwdefaults__ = saved
    assert not store.path.exists()


def test_calls_after_many_bad_calls_still_work(store):
    # The binder's reference handling, exercised above thousands of times,
    # leaves the functions usable.
    user = store.add_user("after")
    assert store.verify_api_key(user["api_key"]).user_id == user["user_id"]
    assert store.remove_user(user["user_id"]) is True
    assert os.listdir(store.users_dir) == []
