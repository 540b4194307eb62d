"""The registry's objects made natively: exactly what
json.loads(path.read_text(encoding="utf-8")) makes (types, key order,
shared names), the same exceptions for what it leaves to json.loads, and
json.loads itself whenever anything it reads was replaced."""

import functools
import json
import random
import struct
import sys
import tracemalloc
import types

import pytest

import vardun.mcp.user_store as m
from helpers import agree_near_the_recursion_limit, profiled

TEXTS = ["plain", "", "前端 · 小王", "😀 𝄞 \U0010ffff", "\u2028\u2029\ufeff", "é" * 40, "\x7f\x80\xff",
         "user_id", "a" * 300]
ESCAPES = ['\\"', "\\\\", "\\/", "\\b", "\\f", "\\n", "\\r", "\\t", "\\u0000", "\\u001F", "\\u00e9",
           "\\u4E2d", "\\ud83d\\ude00", "\\uDBFF\\uDFFF", "\\u0041"]
NUMBERS = ["0", "-0", "7", "-12", "9223372036854775807", "-9223372036854775808", "999999999999999999",
           "1000000000000000000", "18446744073709551616", "-" + "9" * 640, "1" * 640, "0.0", "-0.0",
           "1.5", "1e5", "1E+5", "1e-5", "-1.25e-310", "1e400", "-1e400", "4.9e-324", "1e-400",
           "2.2250738585072014e-308", "3.14159265358979323846264338327950288", "1" + "0" * 400 + ".5",
           "123456789012345678901234567890e-10", "0e0", "-0E-0"]
SPACES = ["", "", " ", "\n  ", "\t", "\r\n", " \n\r\t "]
# What the native objects decline; json.loads decides (and often refuses).
ODD = [b"NaN", b"-Infinity", b'"\\ud800"', b'"x\\udfffy"', b'"\\ud800\\u0041"', b"1" * 641,
       b"1" * 4301, b"[" * 70 + b"]" * 70, b"\xef\xbb\xbf", b'"\xff"', b'"\xc0\x80"', b'"\xed\xa0\x80"',
       b'"\xf4\x90\x80\x80"', b'"tab\tinside"', b"[1,]", b"{}", b"01", b"1.", b".5", b"+1", b"tru",
       b'{"a" 1}', b"\x00", b"\x0c"]


def string(rng):
    pieces = [rng.choice(TEXTS) if rng.random() < 0.6 else rng.choice(ESCAPES)
              for _ in range(rng.randrange(4))]
    return '"' + "".join(piece.replace("\\", "\\\\").replace('"', '\\"') if piece in TEXTS else piece
                         for piece in pieces) + '"'


def value(rng, depth):
    space = lambda: rng.choice(SPACES)  # noqa: E731
    roll = rng.random()
    if depth == 1 and roll < 0.02:
        # As deep as the native objects go (64 levels with the registry's).
        levels = rng.randrange(55, 64)
        return "[" * levels + value(rng, 64) + "]" * levels
    if depth < 62 and roll < (0.9 if depth < 3 else 0.2):
        if rng.random() < 0.5:
            items = [value(rng, depth + 1) for _ in range(rng.randrange(4))]
            return "[" + space() + ("," + space()).join(items) + space() + "]"
        # Names repeat within an object (the last value wins) and across them.
        names = [rng.choice(['"user_id"', '"description"', string(rng)]) for _ in range(rng.randrange(5))]
        members = [f"{name}{space()}:{space()}{value(rng, depth + 1)}" for name in names]
        return "{" + space() + ("," + space()).join(members) + space() + "}"
    if roll < 0.5:
        return string(rng)
    if roll < 0.8:
        return rng.choice(NUMBERS)
    return rng.choice(["true", "false", "null"])


def registry(rng):
    records = []
    for n in range(rng.randrange(8)):
        if rng.random() < 0.7:
            record = (f'{{"user_id": "u_{n:08x}", "api_key_hash": "sha256:{rng.getrandbits(256):064x}", '
                      f'"description": {string(rng)}, "created_at": "2026-01-01T00:00:00+00:00"')
            extra = [f"{string(rng)}: {value(rng, 2)}" for _ in range(rng.randrange(3))]
            records.append(record + "".join(", " + e for e in extra) + "}")
        else:
            records.append(value(rng, 1))
    space = rng.choice(SPACES)
    return (space + "[" + space + ("," + space).join(records) + space + "]" + space).encode()


def damaged(rng, text):
    roll = rng.random()
    if roll < 0.3 and text:
        return text[:rng.randrange(len(text))]
    if roll < 0.6 and text:
        at = rng.randrange(len(text))
        return text[:at] + bytes([rng.randrange(256)]) + text[at + 1:]
    at = rng.choice([0, len(text) // 2, max(len(text) - 1, 0)])
    return text[:at] + rng.choice(ODD) + text[at:]


def shape(value):
    """The value with every type made visible, floats to the bit."""
    if type(value) is dict:
        assert all(type(name) is str for name in value)
        return "dict", [(name, shape(item)) for name, item in value.items()]
    if type(value) is list:
        return "list", [shape(item) for item in value]
    if type(value) is float:
        return "float", struct.pack("<d", value)
    return type(value).__name__, value


def sharing(value):
    """Which strs of `value`, names and texts in document order, are one
    object: for each, the place of the first that is the same object."""
    ids = []

    def walk(item):
        if type(item) is dict:
            for name, member in item.items():
                ids.append(id(name))
                walk(member)
        elif type(item) is list:
            for element in item:
                walk(element)
        elif type(item) is str:
            ids.append(id(item))

    walk(value)
    first = {}
    return [first.setdefault(i, place) for place, i in enumerate(ids)]


def outcome(load):
    try:
        result = load()
        return "loaded", shape(result), sharing(result)
    except Exception as error:  # the comparison is of any exception
        cause = error.__cause__
        return type(error), str(error), type(cause), str(cause)


def reference(path):
    """_load as written with the standard library."""
    try:
        raw = json.loads(path.read_text(encoding="utf-8"))
    except json.JSONDecodeError as error:
        raise ValueError(f"MCP 用户注册表 JSON 损坏: {path}") from error
    if not isinstance(raw, list):
        raise ValueError(f"MCP 用户注册表必须是数组: {path}")
    return raw


def loaded(store):
    """store._load(), and whether its objects were made without json's
    Python frames (each object is traced to the frame that made it)."""
    tracemalloc.start()
    try:
        result = store._load()
        traces = tracemalloc.take_snapshot().filter_traces(
            [tracemalloc.Filter(True, json.decoder.__file__), tracemalloc.Filter(True, json.__file__)])
    finally:
        tracemalloc.stop()
    return result, not traces.traces


def test_loaded_objects_or_errors_are_json_loads(store):
    native = 0
    for seed in range(400):
        rng = random.Random(seed)
        text = registry(rng)
        for content in [text] + [damaged(rng, text) for _ in range(3)]:
            store.path.write_bytes(content)
            expected = outcome(lambda: reference(store.path))
            assert outcome(store._load) == expected, (seed, content)
            if content is text:
                # Valid text of every kind is made natively.
                native += loaded(store)[1]
    assert native == 400


@pytest.fixture(scope="module")
def records():
    rng = random.Random(1)
    return [{"user_id": f"u_{n:08x}", "api_key_hash": f"sha256:{rng.getrandbits(256):064x}",
             "description": rng.choice(TEXTS), "created_at": "2026-01-01T00:00:00+00:00",
             "extra": [n, -n, 0.5, None, True, {"description": [n]}]}
            for n in range(1000)]


def test_records_share_their_names_as_json_loads_makes_them(store, records):
    store._save(records)
    result, natively = loaded(store)
    assert natively and shape(result) == shape(records)
    assert sharing(result) == sharing(json.loads(store.path.read_text(encoding="utf-8")))
    assert len({id(name) for user in result for name in user}) == 5
    assert store._load() is not store._load()


def _int_as_text_loads(s, *, cls=None, object_hook=None, parse_float=None, parse_int=None,
                       parse_constant=None, object_pairs_hook=None, **kw):
    # Run as json.loads' own code, so JSONDecoder is json's.
    return JSONDecoder(parse_int=str).decode(s)  # noqa: F821


class _StandInCall:
    def __call__(self, s, idx):
        return ["called"], len(s)


SEAMS = {
    "the module's json": lambda mp: mp.setattr(m, "json", types.SimpleNamespace(
        loads=lambda text: ["stand-in"], JSONDecodeError=json.JSONDecodeError)),
    "json.loads": lambda mp: mp.setattr(json, "loads", functools.partial(json.loads, parse_int=str)),
    "loads' keyword defaults": lambda mp: mp.setitem(json.loads.__kwdefaults__, "parse_int", str),
    "loads' code": lambda mp: mp.setattr(json.loads, "__code__", _int_as_text_loads.__code__),
    "json._default_decoder": lambda mp: mp.setattr(json, "_default_decoder",
                                                   json.JSONDecoder(parse_int=str)),
    "the decoder's scan_once": lambda mp: mp.setattr(
        json._default_decoder, "scan_once", json.scanner.make_scanner(json.JSONDecoder(parse_int=str))),
    "the decoder's own decode": lambda mp: mp.setitem(vars(json._default_decoder), "decode",
                                                      lambda s: ["own"]),
    "a JSONDecoder method": lambda mp: mp.setattr(json.JSONDecoder, "raw_decode",
                                                  lambda self, s, idx=0: (["raw"], len(s))),
    "the scanner's class": lambda mp: mp.setattr(type(json._default_decoder.scan_once), "__call__",
                                                 _StandInCall.__call__),
}


@pytest.mark.parametrize("seam", SEAMS)
def test_whatever_json_loads_reads_when_replaced_is_used(store, records, monkeypatch, seam):
    store._save(records[:50])
    plain = json.loads(store.path.read_text(encoding="utf-8"))
    assert loaded(store) == (plain, True)
    SEAMS[seam](monkeypatch)
    replaced = m.json.loads(store.path.read_text(encoding="utf-8"))
    assert shape(replaced) != shape(plain)
    assert shape(store._load()) == shape(replaced)
    # Once put back, the originals are found again.
    monkeypatch.undo()
    assert loaded(store) == (plain, True)


def test_a_profiler_sees_json_loads_called(store):
    store._save([{"a": 1}])
    result, called = profiled(store._load)
    assert "loads" in called and result == [{"a": 1}]


def test_nesting_near_the_recursion_limit_fails_as_json_loads_fails(store, monkeypatch):
    # json.loads goes one frame deeper per level; from the store it is called
    # as it would be with the module's json bound to anything else.
    def load(depth, through_loads):
        store.path.write_text("[" * depth + "]" * depth)
        if through_loads:
            monkeypatch.setattr(m, "json", types.SimpleNamespace(
                loads=json.loads, JSONDecodeError=json.JSONDecodeError))
        try:
            result = store._load()
        except RecursionError as error:
            return RecursionError, str(error)
        finally:
            monkeypatch.undo()
        levels = 0  # counted without recursion of its own
        while result:
            result, levels = result[0], levels + 1
        return "loaded", levels + 1

    frames, frame = 0, sys._getframe()
    while frame is not None:
        frames, frame = frames + 1, frame.f_back
    # Low enough that json.loads fails within the scanner's own bound.
    agree_near_the_recursion_limit(load, frames + 60, fits=1, fails=64, around=20)
