"""Reference-leak run: every operation of vardun.mcp.user_store and of the key
index's watch, on its success and failure paths, repeated under the debug
interpreter while sys.gettotalrefcount is watched. A scenario leaks when the
count grows in every tracked round.

Usage: python3.11-dbg -P tools/refleak.py [-v] [name-substring ...]
"""

import contextlib
import fcntl
import gc
import importlib
import json
import os
import sys
import tempfile
import types
from pathlib import Path

import vardun.mcp
import vardun.mcp.user_store as m
from vardun.mcp._key_index import KeyEngine
from vardun.mcp.key_index import KeyIndex

WARMUP_ROUNDS = 3
TRACKED_ROUNDS = 5
CALLS_PER_ROUND = 8

SCENARIOS = {}


def scenario(function):
    SCENARIOS[function.__name__] = function
    return function


def expect(exception, function, *args, **kwargs):
    try:
        function(*args, **kwargs)
    except exception:
        return
    raise AssertionError(f"{function!r} did not raise {exception.__name__}")


class StrSubclass(str):
    pass


class Workspace:
    """One store over a temporary directory, with a user whose directory
    holds nested content."""

    def __init__(self, root):
        self.root = Path(root)
        self.store = m.MCPUserStore(self.root / "base")
        self.user = self.store.add_user("resident")
        self.key = self.user["api_key"]

    def fresh_store(self, name):
        return m.MCPUserStore(self.root / name)


class MovingLock:
    """fcntl, but the first file it locks is replaced at its path as it is
    locked, as another locker replacing it would."""

    LOCK_EX, LOCK_UN = fcntl.LOCK_EX, fcntl.LOCK_UN

    def __init__(self, lock_path):
        self.lock_path, self.moved = lock_path, False

    def flock(self, file, operation):
        if not self.moved:
            self.moved = True
            fresh = self.lock_path.with_name("fresh-lock")
            fresh.touch(mode=0o600)
            fresh.replace(self.lock_path)
        fcntl.flock(file, operation)


@contextlib.contextmanager
def rebound(name, value):
    saved = getattr(m, name)
    setattr(m, name, value)
    try:
        yield
    finally:
        setattr(m, name, saved)


def define_scenarios(ws):
    store = ws.store
    Store = m.MCPUserStore

    @scenario
    def generate_keys():
        m.generate_api_key()
        store._new_api_key()

    @scenario
    def generate_with_rebound_names():
        with rebound("API_KEY_RANDOM_LENGTH", 4):
            m.generate_api_key()
        with rebound("generate_api_key", lambda: 5):
            expect(TypeError, store._new_api_key)
        with rebound("API_KEY_RANDOM_LENGTH", "x"):
            expect(TypeError, m.generate_api_key)
        # The namespace changing between two draws.
        other = types.ModuleType("other")
        other.choice = lambda alphabet: "b"
        swap = types.ModuleType("swap")
        swap.choice = lambda alphabet: setattr(m, "secrets", other) or "a"
        with rebound("secrets", swap):
            m.generate_api_key()

    @scenario
    def deleted_module_name():
        saved = m.secrets
        del m.secrets
        try:
            expect(NameError, m.generate_api_key)
        finally:
            m.secrets = saved

    @scenario
    def binding_errors():
        expect(TypeError, m.generate_api_key, 1)
        expect(TypeError, m.generate_api_key, x=1)
        expect(TypeError, store.add_user, "a", "b")
        expect(TypeError, store.add_user, name="x")
        expect(TypeError, store.credential_dir)
        expect(TypeError, store.credential_dir, "u", user_id="v")
        expect(TypeError, store.credential_dir, None)
        expect(TypeError, store.credential_dir, StrSubclass("u"))
        expect(TypeError, store._save, ())
        expect(TypeError, store.remove_user, "u", True)
        expect(TypeError, store.rotate_api_key, userid="u")

    @scenario
    def keyword_binding():
        store.credential_dir(user_id="u_1")
        Store.credential_dir(user_id="u_1", self=store)
        store.normalize_api_key(raw=" k ")
        store.add_user.__func__(store, description="kw") and store.remove_user(store.list_users()[-1].user_id)

    @scenario
    def keep_credentials_truth():
        class Exploding:
            def __bool__(self):
                raise ZeroDivisionError

        expect(ZeroDivisionError, store.remove_user, "u_none", keep_credentials=Exploding())
        assert store.remove_user("u_none", keep_credentials=[1]) is False

    @scenario
    def normalise_and_hash():
        store.normalize_api_key("  Bearer   abc ")
        store.normalize_api_key("token")
        Store.hash_api_key("abc")
        expect(UnicodeEncodeError, store.hash_api_key, "\ud800")

    @scenario
    def introspection():
        import inspect

        inspect.signature(Store.remove_user)
        inspect.signature(store._locked)
        f = Store.add_user
        (f.__name__, f.__qualname__, f.__code__, f.__defaults__, f.__kwdefaults__,
         f.__annotations__, f.__dict__, f.__doc__, f.__module__, repr(f), f.__reduce__())

    @scenario
    def construction():
        ws.fresh_store("again")
        Store(str(ws.root / "again"))
        expect(FileExistsError, Store, ws.root / "a-file")

    @scenario
    def construction_without_configuration():
        saved = sys.modules.get("vardun.config")
        sys.modules["vardun.config"] = None
        try:
            expect(ImportError, Store, ws.root / "x")
        finally:
            sys.modules["vardun.config"] = saved

    @scenario
    def load_paths():
        store._load()
        empty = ws.fresh_store("load-missing")
        empty._load()
        for name, content, error in [
            ("corrupt", b"{", ValueError),
            ("object", b"{}", ValueError),
            ("bad-utf8", b"\xff[]", UnicodeDecodeError),
        ]:
            target = ws.fresh_store("load-" + name)
            target.path.write_bytes(content)
            expect(error, target._load)
        # A registry of another account is refused, naming its owner.
        foreign = ws.fresh_store("load-foreign")
        foreign._save([])
        os.chown(foreign.path, 65534, 65534)
        if os.geteuid() == 0:
            os.chown(foreign.base_dir, 54321, 54321)
        expect(PermissionError, foreign._load)
        expect(PermissionError, foreign.verify_api_key, "key")
        # And one with a second name.
        linked = ws.fresh_store("load-linked")
        linked._save([])
        with contextlib.suppress(FileNotFoundError):
            os.unlink(linked.base_dir / "kept")
        os.link(linked.path, linked.base_dir / "kept")
        expect(PermissionError, linked._load)

    @scenario
    def save_paths():
        target = ws.fresh_store("save")
        target._save([{"user_id": "u_1", "description": "中文"}])
        target._save([])
        expect(TypeError, target._save, [object()])
        expect(TypeError, target._save, None)

    # A second copy of the standard json, as a fresh import would make it.
    kept = {name: sys.modules.pop(name) for name in list(sys.modules) if name.split(".")[0] == "json"}
    fresh_json = importlib.import_module("json")
    sys.modules.update(kept)
    standard_json = m.json

    @scenario
    def native_text_paths():
        # The registry's text written natively, declined for odd values, and
        # with what json.dumps reads replaced, rebound, and put back.
        target = ws.fresh_store("native")
        loop = [1]
        loop.append(loop)
        target._save([{"a": [1, -(2**63), None, True, {}, []], "b": "\x00é😀"}, 2**64, 1.5])
        expect(ValueError, target._save, [loop])
        expect(UnicodeEncodeError, target._save, [{"k": "\ud800"}])
        defaults = standard_json.dumps.__kwdefaults__
        defaults["sort_keys"] = True
        try:
            target._save([{"b": 1, "a": 2}])
        finally:
            defaults["sort_keys"] = False
        for module in (types.SimpleNamespace(dumps=standard_json.dumps), fresh_json, standard_json):
            m.json = module
            try:
                target._save([{"b": 1}])
            finally:
                m.json = standard_json

    @scenario
    def native_objects_paths():
        # The registry's objects made natively, declined for odd texts, and
        # with what json.loads reads replaced, rebound, and put back.
        target = ws.fresh_store("objects")
        every_kind = ('[{"a": [1, -0, 18446744073709551616, 1.5e400, -0.0, null, true, false, {}, []],'
                      ' "b": "\\u00e9\\ud83d\\ude00\\n", "a": "again"}, "中文", ' + "[" * 60 + "]" * 60 + "]")
        for text, error in [(every_kind, None), ("[NaN]", None), ('["\\ud800"]', None),
                            ("[" + "7" * 700 + "]", None), ("[" * 70 + "]" * 70, None),
                            ("[1,]", ValueError), ("[" + "7" * 5000 + "]", ValueError),
                            ('{"a": 1}', ValueError)]:
            target.path.write_text(text, encoding="utf-8")
            if error is None:
                target._load()
            else:
                expect(error, target._load)
        target.path.write_text(every_kind, encoding="utf-8")
        decoder = standard_json._default_decoder
        scanner_class = type(decoder.scan_once)
        call = scanner_class.__dict__["__call__"]
        scanner_class.__call__ = lambda self, s, idx: ([], len(s))
        try:
            target._load()
        finally:
            scanner_class.__call__ = call
        scan_once = decoder.scan_once
        decoder.scan_once = standard_json.scanner.make_scanner(standard_json.JSONDecoder(parse_int=str))
        try:
            target._load()
        finally:
            decoder.scan_once = scan_once
        for module in (types.SimpleNamespace(loads=standard_json.loads), fresh_json, standard_json):
            m.json = module
            try:
                target._load()
            finally:
                m.json = standard_json

    @scenario
    def lock_paths():
        with store._locked():
            pass
        store.lock_path.chmod(0o644)  # replaced by a private file when it is used
        with store._locked():
            pass
        # The file locked has left the lock path meanwhile: unlocked, opened again.
        with rebound("fcntl", MovingLock(store.lock_path)):
            with store._locked():
                pass
        foreign = ws.fresh_store("lock-foreign")
        foreign.lock_path.touch()
        os.chown(foreign.lock_path, 65534, 65534)
        expect(PermissionError, foreign.remove_user, "u_00000000")
        with contextlib.suppress(KeyError):
            with store._locked():
                raise KeyError("inside")
        generator = Store._locked.__wrapped__(store)
        next(generator)
        expect(StopIteration, next, generator)
        generator = Store._locked.__wrapped__(store)
        next(generator)
        expect(KeyError, generator.throw, KeyError, KeyError("x"), None)
        generator = Store._locked.__wrapped__(store)
        next(generator)
        generator.close()
        generator = Store._locked.__wrapped__(store)
        expect(TypeError, generator.send, 1)
        expect(ValueError, generator.throw, ValueError)
        generator = Store._locked.__wrapped__(store)
        next(generator)
        del generator  # collected while suspended: closed by its finaliser

    @scenario
    def lock_without_fcntl():
        with rebound("_FCNTL_AVAILABLE", False):
            with store._locked():
                pass

    @scenario
    def credential_directories():
        store.credential_dir("u_0123abcd")
        expect(ValueError, store.credential_dir, "..")
        store._ensure_credential_dir("u_tmp")
        # Deeper than the descriptors the removal keeps open.
        nested = store.credential_dir("u_tmp").joinpath(*["a"] * 12)
        nested.mkdir(parents=True, exist_ok=True)
        (nested / ".hidden").write_text("x")
        store._remove_credential_dir("u_tmp")
        store._remove_credential_dir("u_tmp")

    @scenario
    def credential_directory_with_a_pipe():
        directory = store.credential_dir("u_pipe")
        directory.mkdir(exist_ok=True)
        pipe = directory / "pipe"
        if not pipe.exists():
            os.mkfifo(pipe)
        expect(OSError, store._remove_credential_dir, "u_pipe")

    @scenario
    def add_and_remove():
        user = store.add_user("临时")
        assert store.remove_user(user["user_id"]) is True
        assert store.remove_user(user["user_id"]) is False
        user = store.add_user()
        store.remove_user(user["user_id"], keep_credentials=True)
        store._remove_credential_dir(user["user_id"])

    @scenario
    def add_many_users():
        added = [store.add_user(f"user {n}") for n in range(10)]
        for user in added:
            store.remove_user(user["user_id"])

    @scenario
    def failed_saves():
        target = ws.fresh_store("failing-save")
        expect(UnicodeEncodeError, target._save, ["\udc80"])
        with rebound("time", type("FixedTime", (), {"time_ns": staticmethod(lambda: 5)})):
            planted = target.base_dir / "mcp_users.tmp-5"
            if not planted.is_symlink():
                planted.symlink_to(ws.root / "a-file")
            expect(OSError, target._save, [])

    @scenario
    def links_and_pipes():
        target = ws.fresh_store("hostile")
        if not target.path.exists():
            os.mkfifo(target.path)
            target.lock_path.symlink_to(ws.root / "a-file")
            target.credential_dir("u_link").symlink_to(ws.root)
        expect(OSError, target.verify_api_key, "k")
        expect(OSError, target.add_user)
        expect(FileExistsError, target._ensure_credential_dir, "u_link")

    @scenario
    def key_check_racing_a_removal():
        class Racing(m.MCPUserStore):
            def verify_api_key(self, api_key):
                self.checking = True
                return super().verify_api_key(api_key)

            def _ensure_credential_dir(self, user_id):
                super()._ensure_credential_dir(user_id)
                if getattr(self, "checking", False):
                    self._save([r for r in self._load() if r.get("user_id") != user_id])
                    raise FileNotFoundError(2, "removed meanwhile")

        racing = Racing(ws.root / "racing")
        key = racing.add_user("raced")["api_key"]
        assert racing.verify_api_key(key) is None

    @scenario
    def import_afresh():
        name = "vardun.mcp.user_store"
        saved = sys.modules.pop(name)
        try:
            fresh = importlib.import_module(name)
            fresh.MCPUserStore(ws.root / "fresh").verify_api_key("k")
        finally:
            sys.modules[name] = saved
            vardun.mcp.user_store = saved

    @scenario
    def rotate():
        store.rotate_api_key(ws.user["user_id"])
        expect(ValueError, store.rotate_api_key, "u_missing")

    @scenario
    def list_and_verify():
        [user.to_dict() for user in store.list_users()]
        store.verify_api_key(None)
        store.verify_api_key("")
        store.verify_api_key("   ")
        store.verify_api_key("vardun-mcp-nothing")
        current = store.rotate_api_key(ws.user["user_id"])["api_key"]
        assert store.verify_api_key("Bearer " + current) is not None
        expect(UnicodeEncodeError, store.verify_api_key, "\udfff")

    @scenario
    def malformed_records():
        target = ws.fresh_store("malformed")
        key_hash = m.MCPUserStore.hash_api_key("k")
        target._save([{"api_key_hash": key_hash}])
        expect(KeyError, target.list_users)
        expect(KeyError, target.verify_api_key, "k")
        target._save([{"user_id": 5, "api_key_hash": key_hash}])
        expect(TypeError, target.list_users)
        assert target.verify_api_key("k").user_id == "5"
        target._save([7])
        expect(TypeError, target.list_users)
        expect(AttributeError, target.verify_api_key, "k")
        expect(AttributeError, target.add_user)
        expect(AttributeError, target.remove_user, "u")
        expect(AttributeError, target.rotate_api_key, "u")

    @scenario
    def overridden_lock_that_suppresses():
        class Suppressing(m.MCPUserStore):
            @contextlib.contextmanager
            def _locked(self):
                with contextlib.suppress(RuntimeError):
                    yield

            def _load(self):
                raise RuntimeError("load failed")

        target = Suppressing(ws.root / "suppress")
        expect(UnboundLocalError, target.add_user)
        assert target.remove_user("u") is True
        expect(ValueError, target.rotate_api_key, "u")

    index = KeyIndex(store)

    @scenario
    def key_index_and_its_engine():
        # Answers from the watch, a rotation that sends the index back to
        # the file and re-arms it, keys it must refuse, a directory the
        # check makes again, a fresh index made and dropped.
        key = store.rotate_api_key(ws.user["user_id"])["api_key"]
        for _ in range(4):
            assert index.verify_api_key(key) is not None
            assert index.answer_without_parsing("vardun-mcp-nothing") is None
        os.rmdir(store.credential_dir(ws.user["user_id"]))
        assert index.answer_without_parsing(key) is not None or index.verify_api_key(key)
        index.verify_api_key(None)
        expect(TypeError, index.verify_api_key, b"bytes")
        KeyIndex(store).verify_api_key(key)
        expect(TypeError, KeyEngine()._configure, 1, 2, 3, 4, 5, 6, 7)
        expect(RuntimeError, KeyEngine().verify_api_key, key)

    odd = ws.fresh_store("odd")
    odd_key = odd.add_user("odd")["api_key"]
    records = odd._load()
    odd._save([{"user_id": "u_0", "api_key_hash": 5, "description": 7}, *records,
               {"user_id": "u_1", "api_key_hash": odd.hash_api_key("late"), "description": 7}])
    odd_index = KeyIndex(odd)

    @scenario
    def key_index_odd_records_and_declined_registries():
        # A record the store answers for, a refused key, then a registry the
        # reader declines (NaN) and one the store refuses to parse.
        assert odd_index.verify_api_key(odd_key) is not None
        assert odd_index.verify_api_key("late").description == 7
        assert odd_index.verify_api_key("nothing") is None
        text = odd.path.read_text()
        odd.path.write_text(text.replace('"description": 7', '"description": NaN', 1))
        assert odd_index.verify_api_key(odd_key) is not None
        odd.path.write_text("[")
        expect(ValueError, odd_index.verify_api_key, odd_key)
        odd.path.write_text(text)

    @scenario
    def registry_reader_hooks():
        # A table, a declined file, a missing one; a record's fields, a
        # refused record, a malformed key hash.
        from vardun.mcp import _key_index

        records = store._load()
        assert _key_index._read_table(store.path)[1]
        assert _key_index._table_summary(os.fsencode(store.path), 7) is not None
        assert _key_index._read_table(ws.root / "a-file") is None
        expect(FileNotFoundError, _key_index._read_table, ws.root / "missing")
        expect(ValueError, _key_index._read_table, store.path, 0)
        key_hash = records[0]["api_key_hash"]
        record = json.dumps(records[0], ensure_ascii=False).encode()
        assert _key_index._read_record(record, key_hash)[0] == records[0]["user_id"]
        assert _key_index._read_record(b"[]", key_hash) is None
        expect(ValueError, _key_index._read_record, record, "sha256:")
        expect(TypeError, _key_index._read_record, "text", key_hash)
        # The same file read again after itself, after a list, with no reuse.
        assert _key_index._reread_table(store.path, store.path, min_size=0)[0][1]
        assert _key_index._reread_table(store.path, [store.path, store.path])[0] is not None
        assert _key_index._reread_summary(store.path, store.path, reuse=False)["records"]
        assert _key_index._reread_table(ws.root / "a-file", store.path)[0] is None
        expect(FileNotFoundError, _key_index._reread_table, store.path, [ws.root / "missing"])
        expect(ValueError, _key_index._reread_table, store.path, [])
        expect(ValueError, _key_index._reread_summary, store.path, store.path, 0)

    big = ws.fresh_store("big")
    big_keys = [big.add_user(f"user {n}")["api_key"] for n in range(40)]
    big_index = KeyIndex(big)

    @scenario
    def key_index_reads_a_changed_registry_again():
        # Over 4 KiB, so that a rotation is read again from the last table.
        user_id = big_index.verify_api_key(big_keys[7]).user_id
        big_keys[7] = big.rotate_api_key(user_id)["api_key"]
        assert big_index.verify_api_key(big_keys[7]).user_id == user_id

    @scenario
    def user_records():
        user = m.MCPUser("u", "d", "c", Path("/x"))
        user.to_dict()
        partial = m.MCPUser("u", "d", "c", Path("/x"))
        object.__delattr__(partial, "created_at")
        expect(AttributeError, partial.to_dict)
        hash(user)
        user == m.MCPUser("u", "d", "c", Path("/x"))
        repr(user)


def measure(function):
    for _ in range(WARMUP_ROUNDS):
        for _ in range(CALLS_PER_ROUND):
            function()
    deltas = []
    for _ in range(TRACKED_ROUNDS):
        gc.collect()
        before = sys.gettotalrefcount()
        for _ in range(CALLS_PER_ROUND):
            function()
        gc.collect()
        after = sys.gettotalrefcount()
        deltas.append(after - before)
    return deltas


def main(argv):
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("tools/refleak.py needs the debug interpreter (python3.11-dbg)")
    verbose = "-v" in argv
    wanted = [a for a in argv if a != "-v"]
    with tempfile.TemporaryDirectory(prefix="vardun-refleak-") as root:
        os.environ["VARDUN_CONFIG_DIR"] = str(Path(root) / "config")
        (Path(root) / "a-file").write_text("")
        define_scenarios(Workspace(root))
        leaks = []
        for name, function in SCENARIOS.items():
            if wanted and not any(w in name for w in wanted):
                continue
            deltas = measure(function)
            leaked = all(delta >= 1 for delta in deltas)
            if leaked:
                leaks.append(name)
            if verbose or leaked:
                print(f"{'LEAK' if leaked else 'ok  '} {name}: {deltas}")
        checked = len(SCENARIOS) if not wanted else len([n for n in SCENARIOS if any(w in n for w in wanted)])
        print(f"reference-leak run: {checked} scenarios, "
              f"{checked * (WARMUP_ROUNDS + TRACKED_ROUNDS) * CALLS_PER_ROUND} calls, "
              f"{len(leaks)} leaking")
        return 1 if leaks else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
