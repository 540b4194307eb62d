"""Hostile registry content and hostile keys, generated with hypothesis.

Each example writes arbitrary JSON, or arbitrary bytes, as the registry file
and runs every operation on it. The outcome of each operation (its result, or
the class of the exception it raises) is compared with a plain Python account
of the documented steps below, so only the documented exceptions can come out;
readers must leave the file exactly as it was, and writers must either write
the expected registry or leave it alone.

VARDUN_FUZZ_EXAMPLES sets the number of examples per property (`make fuzz`
runs 5000).
"""

import hashlib
import hmac
import json
import os
import re
import sys
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, event, example, given, settings
from hypothesis import strategies as st

import vardun.mcp.user_store as user_store

EXAMPLES = int(os.environ.get("VARDUN_FUZZ_EXAMPLES", "60"))
fuzz = settings(
    max_examples=EXAMPLES,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

KEY = "vardun-mcp-" + "Ab3" * 10 + "Zz"
KEY_HASH = "sha256:" + hashlib.sha256(KEY.encode()).hexdigest()

# ---------------------------------------------------------------------------
# Strategies

# Any code point, surrogates included, with the troublesome ones made common.
any_text = st.text(
    st.characters(blacklist_categories=())
    | st.sampled_from(list("\ud800\udcff\x00/. \u3000éu_0abc")),
    max_size=12,
)
awkward_ids = st.sampled_from(
    [
        "u_0123abcd",
        "u_0123abcd",
        "",
        ".",
        "..",
        "/",
        "a/b",
        "../outside",
        "/tmp",
        "x\x00y",
        "\udcff",  # encodes to one byte through surrogateescape
        "\ud800",  # encodes to nothing: UnicodeEncodeError on disk
        "é",
        " ",
        "n" * 300,  # too long for a file name
        "n" * 255,
    ]
)
json_leaves = (
    st.none()
    | st.booleans()
    | st.integers()
    | st.floats(allow_nan=True, allow_infinity=True)
    | any_text
)
json_values = st.recursive(
    json_leaves,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(any_text, inner, max_size=3),
    max_leaves=8,
)
hashes = st.one_of(
    st.just(KEY_HASH), st.sampled_from([KEY_HASH, KEY_HASH.upper(), "", "sha256:é"]), json_leaves
)
optional_fields = {
    "api_key_hash": hashes,
    "description": json_values,
    "created_at": json_values,
    "rotated_at": json_values,
    "extra": json_values,
}
# Mostly records with an identifier (text, usually), so that operations get
# past the first record; some with any field missing.
records = st.fixed_dictionaries(
    {"user_id": awkward_ids | any_text | json_leaves}, optional=optional_fields
) | st.fixed_dictionaries({}, optional={"user_id": json_leaves, **optional_fields})
registries = (
    st.lists(records, min_size=1, max_size=5)
    | st.lists(records | json_values, max_size=5)
    | json_values
)


@st.composite
def registry_bytes(draw):
    """The registry file's bytes: serialised hostile JSON, written with or
    without escapes (lone surrogates then give invalid UTF-8), and at times
    cut short or with one byte changed."""
    value = draw(registries)
    text = json.dumps(
        value,
        ensure_ascii=draw(st.booleans()),
        indent=draw(st.sampled_from([None, 2])),
    )
    content = text.encode("utf-8", "surrogatepass")
    damage = draw(st.sampled_from(["none", "none", "none", "cut", "flip", "bom"]))
    if damage == "cut" and content:
        content = content[: draw(st.integers(0, len(content) - 1))]
    elif damage == "flip" and content:
        at = draw(st.integers(0, len(content) - 1))
        content = content[:at] + bytes([draw(st.integers(0, 255))]) + content[at + 1 :]
    elif damage == "bom":
        content = b"\xef\xbb\xbf" + content
    return content


any_bytes = st.binary(max_size=200) | registry_bytes()
targets = awkward_ids | any_text


@st.composite
def registry_and_target(draw):
    """A hostile registry and an identifier to change, often one it holds."""
    value = draw(registries)
    held = [
        item["user_id"]
        for item in (value if isinstance(value, list) else [])
        if isinstance(item, dict) and isinstance(item.get("user_id"), str)
    ]
    if held and draw(st.integers(0, 3)) > 0:
        return value, draw(st.sampled_from(held))
    return value, draw(targets)


# ---------------------------------------------------------------------------
# The documented steps, in plain Python, as the oracle


class Raised(Exception):
    """The oracle's verdict that the operation raises `kind`."""

    def __init__(self, kind):
        super().__init__(kind.__name__)
        self.kind = kind


def expect_load(content):
    try:
        text = content.decode("utf-8")
    except UnicodeDecodeError:
        raise Raised(UnicodeDecodeError) from None
    text = text.replace("\r\n", "\n").replace("\r", "\n")  # text-mode reading
    try:
        raw = json.loads(text)
    except ValueError:  # the decode error becomes the store's ValueError
        raise Raised(ValueError) from None
    if not isinstance(raw, list):
        raise Raised(ValueError)
    return raw


def expect_credential_dir(users_dir, user_id):
    if type(user_id) is not str:
        raise Raised(TypeError)
    if user_id in ("", ".", "..") or "/" in user_id or "\x00" in user_id:
        raise Raised(ValueError)
    return users_dir / user_id


def expect_usable_name(path, *, testing_existence=False):
    """A file-system call on `path` fails when its name cannot be encoded or
    is longer than a name may be; `Path.exists` takes the former for absence."""
    try:
        encoded = os.fsencode(path.name)
    except UnicodeEncodeError:
        if testing_existence:
            return
        raise Raised(UnicodeEncodeError) from None
    if len(encoded) > 255:
        raise Raised(OSError)


def expect_list(users, users_dir, us):
    listed = []
    for item in users:
        try:
            user_id = item["user_id"]
        except (TypeError, KeyError) as error:
            raise Raised(type(error)) from None
        description = item.get("description", "")
        created_at = item.get("created_at", "")
        directory = expect_credential_dir(users_dir, item["user_id"])
        listed.append(us.MCPUser(user_id, description, created_at, directory))
    return listed


def expect_verify(users, users_dir, us, presented):
    if presented is None or presented == "":
        return None
    value = presented.strip()
    if value.lower().startswith("bearer "):
        value = value[7:].strip()
    try:
        expected = "sha256:" + hashlib.sha256(value.encode("utf-8")).hexdigest()
    except UnicodeEncodeError:
        raise Raised(UnicodeEncodeError) from None
    for item in users:
        if not isinstance(item, dict):
            raise Raised(AttributeError)
        stored = str(item.get("api_key_hash", ""))
        try:
            matched = hmac.compare_digest(stored, expected)
        except TypeError:
            raise Raised(TypeError) from None
        if matched:
            if "user_id" not in item:
                raise Raised(KeyError)
            user_id = str(item["user_id"])
            directory = expect_credential_dir(users_dir, user_id)
            expect_usable_name(directory)
            return us.MCPUser(
                user_id, item.get("description", ""), item.get("created_at", ""), directory
            )
    return None


def expect_saved(users):
    """The bytes a save of `users` writes, or the verdict that it fails."""
    text = json.dumps(users, ensure_ascii=False, indent=2)
    try:
        return text.encode("utf-8")
    except UnicodeEncodeError:
        raise Raised(UnicodeEncodeError) from None


# ---------------------------------------------------------------------------
# Running the operations


class Registry:
    """A store over a fresh directory whose registry file holds `content`."""

    def __init__(self, us, scratch, content):
        self.store = us.MCPUserStore(Path(scratch) / "base")
        self.content = content
        self.reset()

    def reset(self):
        self.store.path.write_bytes(self.content)
        for temp in self.store.base_dir.glob("mcp_users.tmp-*"):
            temp.unlink()

    def fingerprint(self):
        stat = self.store.path.stat()
        return self.store.path.read_bytes(), stat.st_mtime_ns, stat.st_ino


def outcome(call):
    """The result of `call`, or the exception it raised, as the oracle's
    verdict. Anything but Exception (a crash would end the run anyway)
    propagates."""
    try:
        return call()
    except Exception as error:
        return Raised(type(error)), error


def assert_same(actual, expected, label=None):
    if label:  # shown by --hypothesis-show-statistics
        event(f"{label}: {expected.kind.__name__ if isinstance(expected, Raised) else 'returns'}")
    if isinstance(expected, Raised):
        assert isinstance(actual, tuple) and isinstance(actual[0], Raised), actual
        raised = actual[1]
        assert type(raised) is expected.kind or (
            expected.kind is OSError and isinstance(raised, OSError)
        ), f"expected {expected.kind.__name__}, got {raised!r}"
    else:
        assert not (isinstance(actual, tuple) and isinstance(actual[0], Raised)), (
            f"unexpected {actual[1]!r}"
        )
        assert actual == expected


def verdict(compute):
    try:
        return compute()
    except Raised as raised:
        return raised


def check_readers(us, registry):
    store = registry.store
    before = registry.fingerprint()
    users_dir = store.users_dir
    loaded = verdict(lambda: expect_load(registry.content))

    def expected(operation):
        if isinstance(loaded, Raised):
            return loaded
        return verdict(lambda: operation(expect_load(registry.content)))

    assert_same(outcome(store._load), loaded, "_load")
    assert_same(
        outcome(store.list_users), expected(lambda u: expect_list(u, users_dir, us)), "list_users"
    )
    for presented in (KEY, f"  Bearer {KEY}\t", "vardun-mcp-wrong", " "):
        assert_same(
            outcome(lambda: store.verify_api_key(presented)),
            expected(lambda u: expect_verify(u, users_dir, us, presented)),
            "verify_api_key" if presented == KEY else None,
        )
    assert store.verify_api_key(None) is None
    assert store.verify_api_key("") is None
    # Readers never write the registry, whatever it holds.
    assert registry.fingerprint() == before
    assert not list(store.base_dir.glob("mcp_users.tmp-*"))

    # The store's own messages name the file; a parse error is their cause.
    error = outcome(store._load)
    if failed(error) and type(error[1]) is ValueError:
        message, cause = str(error[1]), error[1].__cause__
        if isinstance(cause, json.JSONDecodeError):
            assert message == "MCP 用户注册表 JSON 损坏: " + str(store.path)
        elif message.startswith("MCP 用户注册表必须是数组"):
            assert message == "MCP 用户注册表必须是数组: " + str(store.path)
            assert cause is None
        else:  # the parser's own ValueError (too many digits), unchanged
            assert cause is None and "digits" in message


def failed(actual):
    return isinstance(actual, tuple) and isinstance(actual[0], Raised)


def check_writer(registry, operation, expect, label):
    """Runs one changing operation on the hostile file. `expect(users)` gives
    the records it must save (None: it saves nothing) and the verdict on what
    follows the save (None: it returns). Returns the operation's outcome and
    the records saved, or None when it must not save."""
    registry.reset()
    before = registry.store.path.read_bytes()
    try:
        to_save, after_save = expect(expect_load(registry.content))
        if to_save is not None:
            expect_saved(to_save)
    except Raised as raised:
        assert_same(outcome(operation), raised, label)
        assert registry.store.path.read_bytes() == before
        return None, None
    actual = outcome(operation)
    if after_save is not None:
        assert_same(actual, after_save, label + " after saving")
    else:
        event(f"{label}: saves" if to_save is not None else f"{label}: returns")
        assert not failed(actual), actual[1]
    if to_save is None:
        assert registry.store.path.read_bytes() == before
    return actual, to_save


def check_writers(us, registry, target):
    store = registry.store
    users_dir = store.users_dir

    def after_save(users):
        return verdict(lambda: expect_credential_dir(users_dir, target) and None)

    def after_remove_save(users):
        return verdict(
            lambda: expect_usable_name(
                expect_credential_dir(users_dir, target), testing_existence=True
            )
        )

    # rotate_api_key: the first record whose user_id equals the target gets a
    # new hash and rotated_at; every other byte stays.
    def expect_rotate(users):
        for item in users:
            if not isinstance(item, dict):
                raise Raised(AttributeError)
            if item.get("user_id") == target:
                # Placeholders for the new hash and time, which replace
                # whatever the record held there before it is saved.
                item["api_key_hash"], item["rotated_at"] = KEY_HASH, "now"
                return users, after_save(users)
        raise Raised(ValueError)

    actual, to_save = check_writer(
        registry, lambda: store.rotate_api_key(target), expect_rotate, "rotate_api_key"
    )
    if to_save is not None:
        written = json.loads(store.path.read_text(encoding="utf-8"))
        new = next(u for u in written if isinstance(u, dict) and u.get("user_id") == target)
        old = next(u for u in to_save if isinstance(u, dict) and u.get("user_id") == target)
        assert re.fullmatch("sha256:[0-9a-f]{64}", new["api_key_hash"])
        assert new["rotated_at"].endswith("+00:00")
        old["api_key_hash"], old["rotated_at"] = new["api_key_hash"], new["rotated_at"]
        assert store.path.read_bytes() == expect_saved(to_save)
        if not failed(actual):
            assert new["api_key_hash"] == store.hash_api_key(actual["api_key"])
            assert new["rotated_at"] == actual["rotated_at"]

    # remove_user: every record whose user_id equals the target goes.
    def expect_remove(users):
        kept = []
        for item in users:
            if not isinstance(item, dict):
                raise Raised(AttributeError)
            if item.get("user_id") != target:
                kept.append(item)
        if len(kept) == len(users):
            return None, None
        return kept, after_remove_save(users)

    actual, to_save = check_writer(
        registry, lambda: store.remove_user(target), expect_remove, "remove_user"
    )
    if to_save is not None:
        assert store.path.read_bytes() == expect_saved(to_save)
    if actual is not None and not failed(actual):
        assert actual is (to_save is not None)

    # add_user: appends one record after every record as it was.
    def expect_add(users):
        for item in users:
            if not isinstance(item, dict):
                raise Raised(AttributeError)
        users.append({"user_id": "u_00000000", "api_key_hash": KEY_HASH, "description": "新"})
        return users, None

    actual, to_save = check_writer(registry, lambda: store.add_user("新 user"), expect_add, "add_user")
    if actual is not None:
        to_save[-1] = {
            "user_id": actual["user_id"],
            "api_key_hash": store.hash_api_key(actual["api_key"]),
            "description": "新 user",
            "created_at": actual["created_at"],
        }
        assert store.path.read_bytes() == expect_saved(to_save)
        # The new key verifies, unless a hostile record before it stops the search.
        key = actual["api_key"]
        assert_same(
            outcome(lambda: store.verify_api_key(key)),
            verdict(lambda: expect_verify(to_save, users_dir, us, key)),
        )
    # A save that failed midway (text that cannot be written as UTF-8) leaves
    # its temporary file behind, private from the start.
    for temp in store.base_dir.glob("mcp_users.tmp-*"):
        assert temp.stat().st_mode & 0o777 == 0o600


def run_every_operation(us, content, target):
    with tempfile.TemporaryDirectory(prefix="vardun-hostile-") as scratch:
        registry = Registry(us, scratch, content)
        check_readers(us, registry)
        check_writers(us, registry, target)


# ---------------------------------------------------------------------------
# Properties


@fuzz
@given(value_and_target=registry_and_target(), ensure_ascii=st.booleans())
@example(value_and_target=([{"user_id": "..", "api_key_hash": KEY_HASH}], ".."), ensure_ascii=True)
@example(value_and_target=([{"user_id": "\ud800", "api_key_hash": KEY_HASH}], "x"), ensure_ascii=True)
@example(value_and_target=([{"api_key_hash": KEY_HASH}], "None"), ensure_ascii=True)
@example(value_and_target=([{"user_id": 7, "api_key_hash": KEY_HASH}], "7"), ensure_ascii=True)
@example(value_and_target=([{"user_id": "u_1", "api_key_hash": "sha256:é"}], "u_1"), ensure_ascii=False)
@example(value_and_target=([1, {"user_id": "u_1"}], "u_1"), ensure_ascii=True)
@example(value_and_target=([{"user_id": "\ud800"}], "\ud800"), ensure_ascii=True)
@example(value_and_target=([{"user_id": "", "rotated_at": {"\ud800": 1}}], ""), ensure_ascii=True)
@example(value_and_target=({"user_id": "u_1"}, "u_1"), ensure_ascii=True)
def test_arbitrary_json_as_the_registry(value_and_target, ensure_ascii):
    value, target = value_and_target
    content = json.dumps(value, ensure_ascii=ensure_ascii, indent=2)
    run_every_operation(user_store, content.encode("utf-8", "surrogatepass"), target)


@fuzz
@given(content=any_bytes, target=targets)
@example(content=b"", target="u_1")
@example(content=b"\xef\xbb\xbf[]", target="u_1")
@example(content=b"[\xff]", target="u_1")
@example(content=b"[1" + b"0" * 5000 + b"]", target="u_1")  # beyond int's digit limit
@example(content=b'[{"user_id": "u_1"}\r\n]', target="u_1")
def test_arbitrary_bytes_as_the_registry(content, target):
    run_every_operation(user_store, content, target)


key_text = any_text | st.builds(
    lambda before, scheme, gap, key, after: before + scheme + gap + key + after,
    st.sampled_from(["", " ", "\t", "\u3000", "\x1c", "\u2028", "\x85", "\ufeff"]),
    st.sampled_from(["", "Bearer", "bearer", "BEARER", "bEaReR", "Token"]),
    st.sampled_from(["", " ", "  ", "\t", "\xa0", " \u2003"]),
    st.sampled_from([KEY, KEY.lower(), KEY.upper(), KEY[:-1], "Bearer " + KEY, "\udc80" + KEY]),
    st.sampled_from(["", " ", "\n", "\u3000", "\udfff", "x"]),
)


@fuzz
@given(raw=key_text)
def test_arbitrary_text_as_a_presented_key(raw):
    us = user_store
    store_cls = us.MCPUserStore
    value = raw.strip()
    if value.lower().startswith("bearer "):
        value = value[7:].strip()
    assert store_cls.normalize_api_key(raw) == value
    assert type(store_cls.normalize_api_key(raw)) is str

    hashed = outcome(lambda: store_cls.hash_api_key(raw))
    try:
        digest = hashlib.sha256(raw.encode("utf-8")).hexdigest()
        assert hashed == "sha256:" + digest
    except UnicodeEncodeError:
        assert isinstance(hashed, tuple) and type(hashed[1]) is UnicodeEncodeError

    with tempfile.TemporaryDirectory(prefix="vardun-keys-") as scratch:
        store = store_cls(Path(scratch))
        content = json.dumps(
            [{"user_id": "u_0123abcd", "api_key_hash": KEY_HASH, "description": "d"}]
        ).encode()
        store.path.write_bytes(content)
        expected = verdict(
            lambda: expect_verify(json.loads(content), store.users_dir, us, raw)
        )
        assert_same(outcome(lambda: store.verify_api_key(raw)), expected)
        assert store.path.read_bytes() == content


# ---------------------------------------------------------------------------
# Beyond what hypothesis generates


@pytest.mark.parametrize("depth", [100_000])
def test_a_deeply_nested_registry_fails_cleanly(us, store, depth):
    content = b"[" * depth + b"]" * depth
    store.path.write_bytes(content)
    for operation in (
        store._load,
        store.list_users,
        lambda: store.verify_api_key(KEY),
        lambda: store.add_user("x"),
        lambda: store.rotate_api_key("u_1"),
        lambda: store.remove_user("u_1"),
    ):
        with pytest.raises(RecursionError):
            operation()
        assert store.path.read_bytes() == content


def test_a_record_too_deep_to_save_leaves_the_registry_alone(us, store):
    # Loadable, but deeper than the JSON writer's recursion allows.
    depth = sys.getrecursionlimit() // 2
    nested = "[" * depth + "]" * depth
    content = f'[{{"user_id": "u_1", "deep": {nested}}}]'.encode()
    store.path.write_bytes(content)
    for operation in (lambda: store.add_user("x"), lambda: store.rotate_api_key("u_1")):
        try:
            operation()
        except RecursionError:
            assert store.path.read_bytes() == content
            assert not list(store.base_dir.glob("mcp_users.tmp-*"))
        else:
            assert store._load()[0]["user_id"] == "u_1"
            store.path.write_bytes(content)
