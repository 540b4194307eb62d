"""The key index's read of a changed registry, reusing what it shares with the
last one read, against a whole read of the changed file.

Each registry is edited the ways a store or a hand edits one, and the table
read from the edited file after the original must be the one a whole read
gives: the same entries in order, the same complete flag, the same decline
(the whole read is checked against json.loads in test_registry_reader.py).
The hook also checks that the table finds exactly its entries, since its
slots may have been mended from the last table's rather than built.
"""

import hashlib
import json
import os
import random
import re

from test_registry_reader import EXAMPLES, HASHES, dump, element_spans, random_record
from vardun.mcp import _key_index
from vardun.mcp.key_index import KeyIndex
from vardun.mcp.user_store import MCPUserStore

WHITESPACE = b" \t\r\n"


def structural_whitespace(data):
    """Offsets of the whitespace bytes outside strings."""
    offsets, in_string, escaped = [], False, False
    for at, byte in enumerate(data):
        if in_string:
            if escaped:
                escaped = False
            elif byte == 0x5C:
                escaped = True
            elif byte == 0x22:
                in_string = False
        elif byte == 0x22:
            in_string = True
        elif byte in WHITESPACE:
            offsets.append(at)
    return offsets


def store_layout(records):
    return json.dumps(records, ensure_ascii=False, indent=2).encode()


def registry(rng):
    """A registry of up to 16 records (odd ones, stops, duplicate hashes,
    escapes, CJK), in the store's layout or with random whitespace and escapes."""
    records = [random_record(rng) for _ in range(rng.randrange(17))]
    text = json.dumps(records, ensure_ascii=False, indent=2)
    if rng.random() < 0.4 and re.search("[\ud800-\udfff]", text) is None:
        return text.encode()
    return dump(records, rng, rng.choice([0, 0.1])).encode()


def element_text(rng):
    """One element's text: a record as the store writes it, or an odd one."""
    if rng.random() < 0.6:
        record = {"user_id": f"u_{rng.getrandbits(32):08x}", "api_key_hash": rng.choice(HASHES),
                  "description": rng.choice(["成员", 'say "hi"', "a\\b", ""]),
                  "created_at": "2025-01-06T09:00:00+00:00"}
        if rng.random() < 0.5:
            record["rotated_at"] = "2025-02-01T00:00:00.5+00:00"
        return json.dumps(record, ensure_ascii=False, indent=2).replace("\n", "\n  ").encode()
    return dump(random_record(rng), rng, 0.1).encode("utf-8", "surrogatepass")


def escape_flip(rng, data):
    """An escaped quote made plain or a plain one escaped: what follows in that
    string parses as structure, or structure as string."""
    quotes = [m.start() for m in re.finditer(rb'"', data)]
    if not quotes:
        return data
    at = rng.choice(quotes)
    if at > 0 and data[at - 1] == 0x5C:
        return data[:at - 1] + data[at:]
    return data[:at] + b"\\" + data[at:]


def edits(rng, data):
    """The edited copies of `data`: what stores and hands do to a registry."""
    try:
        spans = element_spans(data.decode())
    except (ValueError, IndexError):
        spans = []
    def replace(at, length, text):
        return data[:at] + text + data[at + length:]
    for at, length in rng.sample(spans, min(3, len(spans))):
        yield replace(at, length, element_text(rng))  # rotation, any record
    if spans:
        at, length = spans[-1]
        yield replace(at + length, 0, b",\n  " + element_text(rng))  # added at the end
        index = rng.randrange(len(spans))
        at, length = spans[index]
        if len(spans) == 1:
            yield replace(at, length, b"")
        elif index + 1 < len(spans):  # removed, with the comma after it
            yield data[:at] + data[spans[index + 1][0]:]
        else:  # the last one, with the comma before it
            end = spans[index - 1][0] + spans[index - 1][1]
            yield data[:end] + data[at + length:]
        changed = data
        for at, length in sorted(rng.sample(spans, min(3, len(spans))), reverse=True):
            changed = changed[:at] + element_text(rng) + changed[at + length:]
        yield changed  # several records
        at, length = rng.choice(spans)  # a record's insides, byte for byte
        yield replace(at + rng.randrange(length), 1, bytes([rng.choice(b'"\\{}[],:0 ae\xe6')]))
    yield escape_flip(rng, data)
    gaps = structural_whitespace(data)
    if gaps:
        at = rng.choice(gaps)
        yield replace(at, 1, b"")  # whitespace only
        yield replace(at, 0, bytes([rng.choice(WHITESPACE)]) * rng.randrange(1, 4))
    yield b" " + data
    yield data[1:]
    yield data + b"\n"
    yield data[:-1]
    yield data[:-1] + b"}"
    yield b"[]"
    if spans:  # an element larger than the read window
        at, length = rng.choice(spans)
        big = {"user_id": "u_big", "api_key_hash": rng.choice(HASHES), "description": "成" * 40_000}
        yield replace(at, length, json.dumps(big, ensure_ascii=False).encode())


def check(tmp_path, versions, chunk):
    """The re-read of the last of `versions` after the others in turn, against
    a whole read of it; whether anything was reused."""
    paths = [tmp_path / f"v{n}.json" for n in range(len(versions))]
    for path, data in zip(paths, versions):
        path.unlink(missing_ok=True)  # not truncated: ext4 then writes the file out at close
        path.write_bytes(data)
    whole = _key_index._read_table(paths[-1], chunk)
    got, scanned = _key_index._reread_table(paths[-1], paths[:-1], chunk, min_size=0)
    assert got == whole, versions[-2:]
    return got is not None and scanned < len(versions[-1])


def test_every_edit_reads_as_a_whole_read(tmp_path):
    rng = random.Random(20250107)
    pairs = reused = 0
    for _ in range(EXAMPLES * 4):
        old = registry(rng)
        for new in edits(rng, old):
            pairs += 1
            reused += check(tmp_path, [old, new], rng.choice([5, 64, 1 << 20]))
        # Edits of an edit, from a table that was itself re-read.
        new = next(edits(rng, old))
        for newer in edits(rng, new):
            pairs += 1
            reused += check(tmp_path, [old, new, newer], 1 << 20)
    assert reused > pairs // 3, (reused, pairs)


def test_escapes_taken_out_of_a_string_make_it_records(tmp_path):
    # The same bytes follow the change, but what was text in one file is a
    # record boundary and a record in the other.
    inner = f'x"}}, {{"api_key_hash": "{HASHES[1]}", "y": "'
    records = [{"user_id": "u_a", "api_key_hash": HASHES[0]},
               {"user_id": "u_b", "api_key_hash": HASHES[2], "description": inner, "created_at": "t"},
               {"user_id": "u_c", "api_key_hash": HASHES[3]}]
    escaped = store_layout(records)
    plain = escaped.replace(b'\\"', b'"')
    assert len(json.loads(plain)) == 4
    for old, new in ((escaped, plain), (plain, escaped)):
        assert check(tmp_path, [old, new], 1 << 20)


def test_a_table_reread_from_a_reread_table(tmp_path):
    # Many rotations in turn, each re-read from the table the last re-read
    # built (mended slots included), at the threshold's default.
    records = [{"user_id": f"u_{n:08x}", "api_key_hash": "sha256:" + hashlib.sha256(b"%d" % n).hexdigest(),
                "description": "成员 %d" % n, "created_at": "2025-01-06T09:00:00+00:00"} for n in range(300)]
    rng = random.Random(5)
    paths = [tmp_path / "v0.json"]
    paths[0].write_bytes(store_layout(records))
    for step in range(40):
        n = rng.randrange(len(records))
        action = rng.choice(["rotate", "add", "remove"])
        if action == "rotate":
            records[n]["api_key_hash"] = "sha256:" + hashlib.sha256(b"r%d" % step).hexdigest()
            records[n]["rotated_at"] = "2025-02-01T00:00:00+00:00"
        elif action == "add":
            records.append(dict(records[n], user_id=f"u_add{step:05x}",
                                api_key_hash="sha256:" + hashlib.sha256(b"a%d" % step).hexdigest()))
        else:
            del records[n]
        paths.append(tmp_path / f"v{step + 1}.json")
        paths[-1].write_bytes(store_layout(records))
        got, scanned = _key_index._reread_table(paths[-1], paths[:-1])
        assert got == _key_index._read_table(paths[-1]), (step, action)
        assert scanned < 2000, (step, action)


def test_the_index_does_not_reuse_a_replaced_file_written_in_place(tmp_path):
    store = MCPUserStore(tmp_path / "base")
    keys = [store.add_user(f"user {n} 用户")["api_key"] for n in range(30)]
    user_id = store.verify_api_key(keys[10]).user_id
    store.rotate_api_key(user_id)  # rotated_at now there: the next rotation keeps the size
    index = KeyIndex(store)
    key = store.rotate_api_key(user_id)["api_key"]
    assert index.verify_api_key(key).user_id == user_id
    replaced = os.open(store.path, os.O_RDWR)  # a writer holding the file the index read
    try:
        new_key = store.rotate_api_key(user_id)["api_key"]
        # The replaced file now holds the new registry's bytes: a re-read
        # from it would find nothing changed and keep the old key's hash.
        os.pwrite(replaced, store.path.read_bytes(), 0)
        # Where timestamps are coarse, that write may keep the time it had.
        written = os.fstat(replaced)
        os.utime(replaced, ns=(written.st_atime_ns, written.st_mtime_ns + 1_000_000))
        assert index.verify_api_key(key) is None
        assert index.verify_api_key(new_key).user_id == user_id
    finally:
        os.close(replaced)
