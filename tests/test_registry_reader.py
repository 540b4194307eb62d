"""The key index's native registry reader against json.loads and the store's scan.

The reference below is what the store does: read_text (strict UTF-8, newline
translation), json.loads, a list at the top, then the records in file order
with str(record.get("api_key_hash", "")) as hmac.compare_digest sees it. The
reader may decline any file, must decline every file the store cannot load,
and otherwise must give exactly the reference's table. Every file is read in
several chunk sizes, so that elements, strings, escapes and UTF-8 sequences
fall across the ends of the reader's window.
"""

import hashlib
import json
import os
import random
import re
import threading

import pytest

from vardun.mcp import _key_index
from vardun.mcp.user_store import MCPUserStore

EXAMPLES = int(os.environ.get("VARDUN_FUZZ_EXAMPLES", "60"))
CHUNKS = (1, 5, 64, 1 << 20)
HASH = re.compile(r"sha256:[0-9a-f]{64}")
WHITESPACE = re.compile(r"[ \t\n\r]*")
FIELDS = ("api_key_hash", "user_id", "description", "created_at")


def key_hash(n):
    return "sha256:" + hashlib.sha256(str(n).encode()).hexdigest()


def element_spans(text):
    """Byte offset and length of each top-level element of a valid array."""
    decoder, spans = json.JSONDecoder(), []
    pos = WHITESPACE.match(text, WHITESPACE.match(text).end() + 1).end()
    byte_pos, char_pos = 0, 0
    while text[pos] != "]":
        _, end = decoder.raw_decode(text, pos)
        byte_pos += len(text[char_pos:pos].encode())
        length = len(text[pos:end].encode())
        spans.append((byte_pos, length))
        byte_pos, char_pos = byte_pos + length, end
        pos = WHITESPACE.match(text, end).end()
        if text[pos] == ",":
            pos = WHITESPACE.match(text, pos + 1).end()
    return spans


def reference_table(data):
    """None when the store's _load raises; else (complete, [(hash, offset, length)])."""
    try:
        text = data.decode("utf-8")
        records = json.loads(text.replace("\r\n", "\n").replace("\r", "\n"))
    except (UnicodeDecodeError, ValueError, RecursionError):
        return None
    if not isinstance(records, list):
        return None
    table, seen = [], set()
    for record, (offset, length) in zip(records, element_spans(text)):
        if not isinstance(record, dict):
            return False, table
        stored = record.get("api_key_hash", "")
        # compare_digest raises for non-ASCII text; the reader also stops
        # at an array or object, whatever its text.
        if isinstance(stored, (list, dict)) or not str(stored).isascii():
            return False, table
        if isinstance(stored, str) and HASH.fullmatch(stored) and stored not in seen:
            seen.add(stored)
            table.append((stored, offset, length))
    return True, table


class Pairs(list):
    pass


def refuse(constant):
    raise ValueError(f"{constant} is not strict JSON")


def reference_fields(data, wanted_hash):
    try:
        record = json.loads(data.decode("utf-8"), object_pairs_hook=Pairs, parse_constant=refuse)
    except (UnicodeDecodeError, ValueError, RecursionError):
        return None
    if not isinstance(record, Pairs):
        return None
    names = [name for name, _ in record]
    values = dict(record)
    if any(names.count(name) > 1 for name in FIELDS) or values.get("api_key_hash") != wanted_hash:
        return None
    fields = (values.get("user_id"), values.get("description", ""), values.get("created_at", ""))
    if not all(isinstance(f, str) and not re.search("[\ud800-\udfff]", f) for f in fields):
        return None
    return fields


def check(tmp_path, data, must_read=False):
    """Reads `data` in every chunk size; returns whether the reader declined."""
    expected = reference_table(data)
    path = tmp_path / "mcp_users.json"
    path.write_bytes(data)
    declined = set()
    for chunk in CHUNKS:
        got = _key_index._read_table(path, chunk)
        if got is None:
            assert not must_read, data[:200]
            declined.add(chunk)
            continue
        assert expected is not None, f"read a file the store cannot load: {data[:200]!r}"
        assert got == expected, data[:200]
        for hash_text, offset, length in got[1]:
            span = data[offset:offset + length]
            assert _key_index._read_record(span, hash_text) == reference_fields(span, hash_text)
    # Whether the reader declines must not depend on where its window ends.
    assert declined in (set(), set(CHUNKS)), (declined, data[:200])
    return bool(declined)


# ---------------------------------------------------------------------------
# Random registries, written with every escape and whitespace form

TEXT = "ab \"\\/\n\t\x00\x1f\x7f é成员😀\u2028\ufeff"
HASHES = [key_hash(n) for n in range(6)]
UPPER_HEX = HASHES[0][:7] + HASHES[0][7:].upper()


def random_text(rng, size=8):
    return "".join(rng.choice(TEXT) for _ in range(rng.randrange(size)))


def dump(value, rng, escape_rate):
    """JSON text of `value` with random whitespace and random escape forms."""
    ws = lambda: rng.choice(["", "", " ", "\n  ", "\t", "\r\n", "\r"])  # noqa: E731
    if isinstance(value, (dict, Pairs)):  # Pairs: an object with a name twice
        items = value.items() if isinstance(value, dict) else value
        body = ",".join(f"{ws()}{dump(k, rng, escape_rate)}{ws()}:{ws()}{dump(v, rng, escape_rate)}{ws()}"
                        for k, v in items)
        return "{" + (body or ws()) + "}"
    if isinstance(value, list):
        body = ",".join(f"{ws()}{dump(v, rng, escape_rate)}{ws()}" for v in value)
        return "[" + (body or ws()) + "]"
    if not isinstance(value, str):
        return json.dumps(value)
    out = []
    for ch in value:
        code = ord(ch)
        if ch in '"\\' or code < 0x20 or 0xD800 <= code < 0xE000 or rng.random() < escape_rate:
            if code > 0xFFFF:
                code -= 0x10000
                pair = (0xD800 + (code >> 10), 0xDC00 + (code & 0x3FF))
                out.append("".join(rng.choice(["\\u%04x", "\\u%04X"]) % unit for unit in pair))
            elif ch in '"\\/\b\f\n\r\t' and rng.random() < 0.5:
                out.append("\\" + {"\b": "b", "\f": "f", "\n": "n", "\r": "r", "\t": "t"}.get(ch, ch))
            else:
                out.append(rng.choice(["\\u%04x", "\\u%04X"]) % code)
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def random_record(rng):
    kind = rng.random()
    if kind < 0.05:
        return rng.choice([1, "x", [], None, True, [{"api_key_hash": HASHES[0]}]])
    record = {"user_id": f"u_{rng.getrandbits(32):08x}", "api_key_hash": rng.choice(HASHES),
              "description": random_text(rng), "created_at": "2025-01-06T09:00:00+00:00"}
    if kind < 0.4:
        record["api_key_hash"] = rng.choice([
            None, 7, -0.5, True, False, [], {}, "", "é", "\ud800", "sha256:", HASHES[0].upper(), UPPER_HEX,
            HASHES[1][:-1], HASHES[1] + "0", " " + HASHES[2], rng.getrandbits(64)])
    if kind < 0.5:
        del record[rng.choice(FIELDS)]
    if 0.5 < kind < 0.6:
        record[rng.choice(FIELDS[1:])] = rng.choice([None, 5, "\udc00", ["x"], {"a": 1.5e300}])
    if 0.6 < kind < 0.7:  # a name twice: json.loads keeps the last value
        pairs = Pairs(record.items())
        pairs.insert(rng.randrange(len(pairs) + 1), (rng.choice(FIELDS), rng.choice(HASHES + [None, "é"])))
        return pairs
    if 0.7 < kind < 0.8:
        record[random_text(rng)] = rng.choice([[1, [2, {"k": None}]], -1e-7, 10 ** 50, "\U0001F600"])
    return record


def random_registry(rng):
    records = [random_record(rng) for _ in range(rng.randrange(8))]
    if rng.random() < 0.3:
        text = json.dumps(records, ensure_ascii=rng.random() < 0.5, indent=rng.choice([None, 2, "\t"]))
        return text.encode("utf-8", "surrogatepass")  # a lone surrogate: not UTF-8
    return dump(records, rng, rng.choice([0, 0.1, 1])).encode()


def mutations(rng, data):
    yield data[:rng.randrange(len(data) + 1)]
    for _ in range(3):
        at = rng.randrange(len(data) + 1)
        byte = rng.choice([rng.randrange(256), *b'[]{}",:\\ 0e.-u\x00\xff\xc3\xa9\xed\xa0\x80\xf4\x90'])
        yield data[:at] + bytes([byte]) + data[at + 1:]
        yield data[:at] + bytes([byte]) + data[at:]


def test_random_registries_and_their_damaged_copies(tmp_path):
    rng = random.Random(20250106)
    read = 0
    for _ in range(EXAMPLES * 5):
        data = random_registry(rng)
        read += not check(tmp_path, data)
        for damaged in mutations(rng, data):
            check(tmp_path, damaged)
    assert read > EXAMPLES * 4  # only lone surrogates in records keep it from reading more


# ---------------------------------------------------------------------------
# Files the store writes: never declined


def test_store_written_registries_are_always_read(tmp_path):
    rng = random.Random(7)
    descriptions = ['He said "hi"', "back\\slash", "line\nbreak\ttab", "成员 (前端)", "😀 emoji",
                    "\x01\x1f control", "", "\u2028\ufeff", "/ solidus"]
    for _ in range(EXAMPLES):
        records = [{"user_id": f"u_{rng.getrandbits(32):08x}", "api_key_hash": key_hash(rng.randrange(9)),
                    "description": rng.choice(descriptions) * rng.randrange(3),
                    "created_at": "2025-01-06T09:00:00.123456+00:00"} for _ in range(rng.randrange(6))]
        if records and rng.random() < 0.3:
            records[0]["rotated_at"] = "2025-02-01T00:00:00+00:00"
        check(tmp_path, json.dumps(records, ensure_ascii=False, indent=2).encode(), must_read=True)
    store = MCPUserStore(tmp_path / "store")
    for description in descriptions:
        store.add_user(description)
    check(tmp_path, store.path.read_bytes(), must_read=True)


def test_an_element_larger_than_the_window_and_a_long_registry(tmp_path):
    big = {"user_id": "u_1", "api_key_hash": HASHES[1], "description": "成" * 700_000}
    check(tmp_path, json.dumps([{"api_key_hash": HASHES[0]}, big, {"api_key_hash": HASHES[2]}],
                               ensure_ascii=False).encode(), must_read=True)
    records = [{"user_id": f"u_{n:08x}", "api_key_hash": key_hash(n), "description": "成员"}
               for n in range(20_000)]
    data = json.dumps(records, ensure_ascii=False, indent=2).encode()
    path = tmp_path / "long.json"
    path.write_bytes(data)
    assert _key_index._read_table(path) == reference_table(data)


# ---------------------------------------------------------------------------
# Every rule, one file each: (file, whether the reader must read it)

H0, H1 = HASHES[0], HASHES[1]
HEX_ESCAPED = '"sha256:' + "".join(f"\\u{ord(c):04x}" for c in H0[7:]) + '"'
CASES = [
    # not what json.loads takes, or not what the store loads
    (b"", False), (b" \n", False), (b"[", False), (b"[1,", False), (b"[1,]", False), (b"[] x", False),
    (b"[]]", False), (b"{}", False), (b'"x"', False), (b"null", False), (b"\xef\xbb\xbf[]", False),
    (b"[NaN]", False), (b"[Infinity]", False), (b"[-Infinity]", False), (b"[01]", False),
    (b"[1.]", False), (b"[.5]", False), (b"[+1]", False), (b"[-]", False), (b"[1e]", False),
    (b"['x']", False), (b"[tru]", False), (b"[nul]", False), (b"[{a:1}]", False),
    (b'[{"a":1,}]', False), (b'[{"a" 1}]', False), (b'["\t"]', False), (b'["\x00"]', False),
    (b'["\x1f"]', False), (b'["\\x"]', False), (b'["\\u12G4"]', False), (b'["\\U0041"]', False),
    (b"[]\x00", False), (b"[\x0c]", False), (b"[\xc2\xa0]", False), (b"[\xe2\x80\xa8]", False),
    (b'["\xc0\xaf"]', False), (b'["\xed\xa0\x80"]', False), (b'["\xf4\x90\x80\x80"]', False),
    (b'["\xe6\x88"]', False), (b'["\x80"]', False), (b'["\xff"]', False), (b"[" + b"1" * 5000 + b"]", False),
    (b"[" * 100_000 + b"]" * 100_000, False),
    # odd but valid: whitespace forms, DEL, floats, 640 digits, 64 levels
    (b"\t[\r\n]\n", True), (b"[ ]", True), (b'\r[{"api_key_hash":"' + H0.encode() + b'"}\r]\r', True),
    (b'["\x7f", 1e400, -0.0, 1E+2, ' + b"1" * 640 + b", 0." + b"5" * 2000 + b"]", True),
    (b"[" * 64 + b"]" * 64, True),
    # records the scan skips, stops at, or indexes
    ('[{"api_key_hash": null}, {"api_key_hash": 1}, {"api_key_hash": true}, {"a": 1}, '
     f'{{"api_key_hash": "{H0.upper()}"}}, {{"api_key_hash": "{UPPER_HEX}"}}, {{"api_key_hash": "{H1}"}}]'.encode(),
     True),
    (f'[{{"api_key_hash": "{H0}"}}, 5, {{"api_key_hash": "{H1}"}}]'.encode(), True),
    (f'[{{"api_key_hash": "é"}}, {{"api_key_hash": "{H1}"}}]'.encode(), True),
    (f'[{{"api_key_hash": "\\ud800"}}, {{"api_key_hash": "{H1}"}}]'.encode(), True),
    (f'[{{"api_key_hash": "\\u00e9"}}, {{"api_key_hash": "{H1}"}}]'.encode(), True),
    (f'[{{"api_key_hash": []}}, {{"api_key_hash": "{H1}"}}]'.encode(), True),
    (f'[{{"api_key_hash": {{}}}}, {{"api_key_hash": "{H1}"}}]'.encode(), True),
    (f'[{{"api\\u005fkey_hash": "{H0}"}}, {{"api_key_hash": {HEX_ESCAPED}}}]'.encode(), True),
    (f'[{{"api_key_hash": "{H0}", "api_key_hash": null}}, {{"api_key_hash": "{H1}"}}]'.encode(), True),
    (f'[{{"api_key_hash": null, "api_key_hash": "{H0}"}}, {{"api_key_hash": "{H0}"}}]'.encode(), True),
    (f'[{{"api_key_hash": "{H0}", "api_key_hash": "é"}}, {{"api_key_hash": "{H1}"}}]'.encode(), True),
    # a stop does not end the checks: what follows must still be valid JSON
    (b'[1, {"a": NaN}]', False), (b'[1, "\xff"]', False),
]


@pytest.mark.parametrize("data, must_read", CASES, ids=range(len(CASES)))
def test_each_rule(tmp_path, data, must_read):
    declined = check(tmp_path, data, must_read=must_read)
    # Where json.loads itself succeeds the reader may still decline (a
    # bigger integer, deeper nesting); these are the cases it must refuse.
    if not must_read and reference_table(data) is not None:
        assert declined


def test_deeper_nesting_and_longer_integers_are_declined(tmp_path):
    for data in (b"[" * 65 + b"]" * 65, b"[" + b"1" * 641 + b"]", b"[-" + b"9" * 641 + b"]"):
        assert check(tmp_path, data)


def test_files_that_do_not_end_where_fstat_says_and_paths(tmp_path):
    # /proc files say size 0 and hold more; a directory is no registry.
    assert _key_index._read_table("/proc/self/status") is None
    assert _key_index._read_table(tmp_path) is None
    path = tmp_path / "r.json"
    path.write_bytes(f'[{{"api_key_hash": "{H0}"}}]'.encode())
    expected = (True, [(H0, 1, len(path.read_bytes()) - 2)])
    assert _key_index._read_table(str(path)) == _key_index._read_table(os.fsencode(path)) == expected
    with pytest.raises(FileNotFoundError):
        _key_index._read_table(tmp_path / "missing")
    with pytest.raises(ValueError):
        _key_index._read_table(path, 0)
    assert _key_index._table_summary(path)[:2] == (True, 1)


def test_threads_read_at_once(tmp_path):
    path = tmp_path / "r.json"
    path.write_bytes(json.dumps([{"api_key_hash": key_hash(n)} for n in range(3000)]).encode())
    expected = _key_index._read_table(path)
    results = []
    threads = [threading.Thread(target=lambda: results.append(_key_index._read_table(path, 4096)))
               for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [expected] * 4


# ---------------------------------------------------------------------------
# One record's fields


RECORDS = [
    f'{{"user_id": "u_1", "api_key_hash": "{H0}"}}',
    f' {{"description": "成\\ud83d\\ude00\\u0000\\n", "user_id": "\\u0075_1", "api_key_hash": {HEX_ESCAPED},'
    ' "created_at": "t", "x": [1, {"y": null}]} ',
    f'{{"user_id": "u_1", "api_key_hash": "{H0}", "user_id": "u_2"}}',
    f'{{"user_id": "u_1", "api_key_hash": "{H0}", "description": null}}',
    f'{{"user_id": 1, "api_key_hash": "{H0}"}}',
    f'{{"user_id": "\\udc00", "api_key_hash": "{H0}"}}',
    f'{{"user_id": "u_1", "api_key_hash": "{H0}", "created_at": "\\ud800x"}}',
    f'{{"user_id": "u_1", "api_key_hash": "{H1}"}}',
    f'{{"user_id": "u_1", "api_key_hash": "{UPPER_HEX}"}}',
    f'{{"user_id": "u_1"}}',
    f'{{"api_key_hash": "{H0}"}}',
    f'{{"user_id": "u_1", "api_key_hash": "{H0}"}} x',
    f'[{{"user_id": "u_1", "api_key_hash": "{H0}"}}]',
    f'{{"user_id": "u_1", "api_key_hash": "{H0}", "n": NaN}}',
    f'{{"user_id": "u_1", "api_key_hash": "{H0}"',
]


@pytest.mark.parametrize("text", RECORDS, ids=range(len(RECORDS)))
def test_read_record(text):
    assert _key_index._read_record(text.encode(), H0) == reference_fields(text.encode(), H0)


def test_read_record_refuses_bytes_that_are_not_utf8_and_bad_hashes():
    assert _key_index._read_record(b'{"user_id": "\xff", "api_key_hash": "' + H0.encode() + b'"}', H0) is None
    with pytest.raises(ValueError):
        _key_index._read_record(b"{}", H0.upper())
