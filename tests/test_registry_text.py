"""The registry text written natively: byte for byte json.dumps(users,
ensure_ascii=False, indent=2), the same exceptions for what it leaves to
json.dumps, and json.dumps itself whenever anything it reads was replaced."""

import collections
import enum
import functools
import json
import random
import sys
import threading
import tracemalloc
import types

import pytest

import vardun.mcp.user_store as m
from helpers import agree_near_the_recursion_limit, profiled

TEXTS = ["plain", "", '"quoted" \\ back/slash', "".join(map(chr, range(0x20))), "\x7f\x80\xff",
         "前端 · 小王", "😀 𝄞 \U0010ffff", "\u2028\u2029\ufeff", "é" * 40]
INTS = [0, -1, 7, 2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 10**4299, -(10**4299)]


class Text(str):
    pass


class Number(int):
    pass


class Level(enum.IntEnum):
    HIGH = 3


def circular():
    loop = [1]
    loop.append([loop])
    return loop


def circular_everywhere():
    record = {}
    record.update(a=record, b=[record, record], c=record)
    return record


# Values json.dumps treats in its own way, or refuses: each is left to it.
ODD = [lambda: 1.5, lambda: float("nan"), lambda: Text("sub"), lambda: {Text("sub key"): 1},
       lambda: Number(5), lambda: Level.HIGH, lambda: (1, "two"),
       lambda: collections.OrderedDict(b=1), lambda: type("L", (list,), {})([1]),
       lambda: type("D", (dict,), {"items": lambda self: [("over", "ridden")]})(a=1),
       lambda: type("L", (list,), {"__iter__": lambda self: iter(["over"])})([1]),
       lambda: {1: "int key", None: 0, True: 1, 2.5: 2}, lambda: {("tuple",): 1},
       lambda: object(), circular, circular_everywhere, lambda: "\ud800", lambda: "x\udfffy",
       lambda: 10**4300, lambda: -(10**5000)]


def value(rng, depth):
    roll = rng.random()
    if depth < 4 and roll < 0.25:
        if rng.random() < 0.5:
            return [value(rng, depth + 1) for _ in range(rng.randrange(4))]
        return {rng.choice(TEXTS) + str(i): value(rng, depth + 1) for i in range(rng.randrange(4))}
    points = [rng.choice([rng.randrange(0x80), rng.randrange(0x800), rng.randrange(0xd800),
                          rng.randrange(0xe000, 0x110000)]) for _ in range(5)]
    return rng.choice([rng.choice(TEXTS), rng.choice(INTS), True, False, None,
                       "".join(map(chr, points))])


def records(rng, odd=None):
    """A few records of random shape; `odd`, if given, somewhere among them."""
    users = []
    for n in range(rng.randrange(1, 6)):
        record = {"user_id": f"u_{n:08x}", "api_key_hash": "sha256:" + "0" * 64,
                  "description": rng.choice(TEXTS), "created_at": "2026-01-01T00:00:00+00:00"}
        for _ in range(rng.randrange(3)):
            record[rng.choice(TEXTS)] = value(rng, 1)
        users.append(record if rng.random() < 0.9 else value(rng, 1))
    if odd is not None:
        where = rng.choice([users] + [r for r in users if isinstance(r, dict)])
        if isinstance(where, dict):
            where["extra"] = [{"deeper": odd}] if rng.random() < 0.5 else odd
        else:
            where.insert(rng.randrange(len(where) + 1), odd)
    shared = [1, {"shared": True}]
    return users + [shared, shared] if rng.random() < 0.1 else users


def outcome(produce):
    try:
        return "bytes", produce()
    except Exception as error:  # the comparison is of any exception
        return type(error), str(error)


def leftovers(store):
    return [p.name for p in store.base_dir.iterdir() if ".tmp-" in p.name]


def test_saved_bytes_or_errors_are_json_dumps(store):
    store._save([])
    for seed in range(300):
        # Each odd value alone in a few registries, then none.
        odd = ODD[seed % len(ODD)]() if seed < 5 * len(ODD) else None
        users = records(random.Random(seed), odd)
        expected = outcome(lambda: json.dumps(users, ensure_ascii=False, indent=2).encode("utf-8"))
        before = store.path.read_bytes()

        def save():
            store._save(users)
            return store.path.read_bytes()

        got = outcome(save)
        assert got == expected, f"seed {seed}"
        if got[0] != "bytes":
            assert store.path.read_bytes() == before and leftovers(store) == [], f"seed {seed}"


def written_natively(store, users):
    """Saves `users`, telling whether that made no Python str the size of
    the text, as json.dumps would."""
    tracemalloc.start()
    try:
        store._save(users)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    return peak < store.path.stat().st_size // 4


@pytest.fixture(scope="module")
def users():
    rng = random.Random(1)
    return [{"user_id": f"u_{n:08x}", "api_key_hash": "sha256:" + "%064x" % rng.getrandbits(256),
             "description": rng.choice(TEXTS), "created_at": "2026-01-01T00:00:00+00:00",
             "extra": [n, -n, None, True, {}, [], {"deep": [[rng.choice(TEXTS)]]}]}
            for n in range(1000)]


def test_plain_records_are_written_natively(store, users):
    assert written_natively(store, users)
    assert store.path.read_bytes() == json.dumps(users, ensure_ascii=False, indent=2).encode()


def _sorted_dumps(obj, *, skipkeys=False, ensure_ascii=True, check_circular=True,
                  allow_nan=True, cls=None, indent=None, separators=None, default=None,
                  sort_keys=False, **kw):
    # Run as json.dumps' own code, so JSONEncoder is json's.
    return JSONEncoder(ensure_ascii=ensure_ascii, indent=indent, sort_keys=True).encode(obj)  # noqa: F821


def _standin_module():
    module = types.ModuleType("json")
    module.dumps = lambda users, **kwargs: "[]"
    return module


def _wrapped_make_iterencode(monkeypatch):
    original = json.encoder._make_iterencode
    monkeypatch.setattr(json.encoder, "_make_iterencode",
                        lambda *args: original(*args[:5], " := ", *args[6:]))


SEAMS = {
    "the module's json": lambda mp: mp.setattr(m, "json", _standin_module()),
    "json.dumps": lambda mp: mp.setattr(json, "dumps", functools.partial(json.dumps, sort_keys=True)),
    "dumps' keyword defaults": lambda mp: mp.setitem(json.dumps.__kwdefaults__, "sort_keys", True),
    "dumps' code": lambda mp: mp.setattr(json.dumps, "__code__", _sorted_dumps.__code__),
    "encode_basestring": lambda mp: mp.setattr(json.encoder, "encode_basestring",
                                               json.encoder.py_encode_basestring_ascii),
    "_make_iterencode": _wrapped_make_iterencode,
    "a JSONEncoder attribute": lambda mp: mp.setattr(json.JSONEncoder, "key_separator", " = "),
    "a JSONEncoder method": lambda mp: mp.setattr(json.JSONEncoder, "encode", lambda self, o: "{}"),
}


@pytest.mark.parametrize("seam", SEAMS)
def test_whatever_json_dumps_reads_when_replaced_is_used(store, users, monkeypatch, seam):
    plain = json.dumps(users, ensure_ascii=False, indent=2)
    assert written_natively(store, users)
    SEAMS[seam](monkeypatch)
    replaced = m.json.dumps(users, ensure_ascii=False, indent=2)
    assert replaced != plain
    store._save(users)
    assert store.path.read_text(encoding="utf-8") == replaced
    # Once put back, the originals are found again.
    monkeypatch.undo()
    assert written_natively(store, users)
    assert store.path.read_text(encoding="utf-8") == plain


def test_json_dumps_replaced_while_the_originals_are_looked_up_is_used(store, users, monkeypatch):
    # A look-up in json's namespace meets a key of equal hash whose __eq__
    # replaces json.dumps, after dumps itself was looked at.
    names = vars(json)
    replaced = functools.partial(json.dumps, sort_keys=True)

    class Collider:
        armed = False

        def __hash__(self):
            return hash("JSONEncoder")

        def __eq__(self, other):
            if self.armed:
                names["dumps"], self.armed = replaced, False
            return False

    assert written_natively(store, users)
    monkeypatch.setattr(json, "dumps", json.dumps)  # put back afterwards
    encoder = names.pop("JSONEncoder")
    collider = Collider()
    names[collider], names["JSONEncoder"] = None, encoder  # met before JSONEncoder
    collider.armed = True
    try:
        for _ in range(2):
            store._save(users)
            assert json.dumps is replaced
            assert store.path.read_text(encoding="utf-8") == replaced(users, ensure_ascii=False,
                                                                      indent=2)
    finally:
        del names[collider]


def test_a_profiler_sees_json_dumps_called(store):
    _, called = profiled(lambda: store._save([{"a": 1}]))
    assert "dumps" in called and store.path.read_text() == '[\n  {\n    "a": 1\n  }\n]'


def nested(depth):
    value = "leaf"
    for _ in range(depth):
        value = [value]
    return value


def test_nesting_near_the_recursion_limit_fails_as_json_dumps_fails(store, monkeypatch):
    # json.dumps goes one frame deeper per level; from the store it is called
    # as it would be with the module's json bound to anything else.
    def saved(depth, through_dumps):
        if through_dumps:
            monkeypatch.setattr(m, "json", types.SimpleNamespace(dumps=json.dumps))
        try:
            return outcome(lambda: store._save([nested(depth)]) or store.path.read_text())
        finally:
            monkeypatch.undo()

    # json.dumps' deepest nesting from here, by halves
    agree_near_the_recursion_limit(saved, 400, fits=1, fails=400, around=100)
    assert leftovers(store) == []


def test_saves_while_another_thread_changes_the_records(store):
    # The text is made with the interpreter lock held throughout: each file
    # is the whole list at one moment, whatever the other thread does.
    if sys.gettrace() or sys.getprofile():
        pytest.skip("under a tracer the text comes from json.dumps, which the thread can interrupt")
    users = [{"user_id": f"u_{n:08x}", "tags": [n]} for n in range(300)]
    stop = threading.Event()

    def change():
        rng = random.Random(2)
        while not stop.is_set():
            record = rng.choice(users)
            record["tags"] = record["tags"] + ["x"] if len(record["tags"]) < 5 else [0]
            record.pop("extra", None) if rng.random() < 0.5 else record.update(extra={"n": 1})
            users[:] = users[1:] + users[:1]

    changer = threading.Thread(target=change)
    changer.start()
    try:
        for _ in range(40):
            store._save(users)
            saved = json.loads(store.path.read_text(encoding="utf-8"))
            assert sorted(r["user_id"] for r in saved) == sorted(f"u_{n:08x}" for n in range(300))
    finally:
        stop.set()
        changer.join()
