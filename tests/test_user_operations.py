"""The store's operations: results, registry bytes, failures, and the
steps they take through the instance."""

import contextlib
import datetime as real_datetime
import json
import re
import stat

import pytest

import vardun.mcp.user_store as m

Store = m.MCPUserStore
USER_ID = re.compile(r"u_[0-9a-f]{8}")


def mode(path):
    return stat.S_IMODE(path.stat().st_mode)


def records(store):
    return json.loads(store.path.read_text(encoding="utf-8"))


class FixedDatetime:
    """Stands in for datetime.datetime on the module."""

    moments = iter(())

    @classmethod
    def now(cls, tz):
        assert tz is real_datetime.timezone.utc
        return next(cls.moments)


@pytest.fixture
def fixed_time(monkeypatch):
    def set_moments(*moments):
        FixedDatetime.moments = iter(moments)
        monkeypatch.setattr(m, "datetime", FixedDatetime)

    return set_moments


def moment(*args, **kwargs):
    return real_datetime.datetime(*args, tzinfo=real_datetime.timezone.utc, **kwargs)


class TestAddUser:
    def test_result_record_and_directory(self, store, fixed_time):
        fixed_time(moment(2026, 3, 4, 5, 6, 7, 890))
        result = store.add_user("  运维 小李  ")
        assert list(result) == ["user_id", "api_key", "description", "created_at", "credential_dir"]
        assert USER_ID.fullmatch(result["user_id"])
        assert result["description"] == "  运维 小李  "
        assert result["created_at"] == "2026-03-04T05:06:07.000890+00:00"
        assert result["credential_dir"] == str(store.users_dir / result["user_id"])
        (record,) = records(store)
        assert list(record) == ["user_id", "api_key_hash", "description", "created_at"]
        assert record == {
            "user_id": result["user_id"],
            "api_key_hash": Store.hash_api_key(result["api_key"]),
            "description": "  运维 小李  ",
            "created_at": result["created_at"],
        }
        assert mode(store.users_dir / result["user_id"]) == 0o700
        assert mode(store.path) == 0o600
        assert result["api_key"] not in store.path.read_text(encoding="utf-8")

    def test_defaults_and_appending(self, store, fixed_time):
        fixed_time(moment(2026, 1, 1), moment(2026, 1, 2))
        first = store.add_user()
        second = store.add_user(description="second")
        assert first["description"] == "" and first["created_at"] == "2026-01-01T00:00:00+00:00"
        assert [r["user_id"] for r in records(store)] == [first["user_id"], second["user_id"]]
        assert store.verify_api_key(second["api_key"]).user_id == second["user_id"]

    def test_identifier_collisions_draw_again(self, store, monkeypatch):
        store._save([{"user_id": "u_00000001"}, {"user_id": "u_00000002"}, {"no_id": True}])
        draws = iter(["00000001", "00000002", "00000003"])
        asked = []

        class FakeSecrets:
            @staticmethod
            def token_hex(n):
                asked.append(n)
                return next(draws)

            choice = staticmethod(m.secrets.choice)

        monkeypatch.setattr(m, "secrets", FakeSecrets)
        assert store.add_user()["user_id"] == "u_00000003"
        assert asked == [4, 4, 4]

    def test_identifier_taken_set_uses_the_text_of_every_record(self, store, monkeypatch):
        monkeypatch.setattr(m.secrets, "token_hex", lambda n: "one")
        assert store._new_user_id([{"user_id": "u_two"}, {"user_id": 5}, {}]) == "u_one"
        draws = iter(["5", "6"])
        monkeypatch.setattr(m.secrets, "token_hex", lambda n: next(draws))
        assert store._new_user_id([{"user_id": "u_5"}]) == "u_6"
        with pytest.raises(AttributeError):
            store._new_user_id([{"user_id": "u_1"}, 3])

    def test_identifier_is_the_prefix_plus_the_token_and_is_checked(self, store, monkeypatch):
        class Odd:
            def __radd__(self, other):
                return 42

        monkeypatch.setattr(m.secrets, "token_hex", lambda n: Odd())
        with pytest.raises(TypeError, match="^Expected str, got int$"):
            store._new_user_id([])
        monkeypatch.setattr(m.secrets, "token_hex", lambda n: 7)
        with pytest.raises(TypeError, match="can only concatenate str"):
            store._new_user_id([])

    def test_steps_go_through_the_instance(self, store):
        calls = []

        class Traced(Store):
            def _locked(self):
                calls.append("_locked")
                return super()._locked()

            def _load(self):
                calls.append("_load")
                return super()._load()

            def _new_user_id(self, users):
                calls.append("_new_user_id")
                return "u_custom"

            def _new_api_key(self):
                calls.append("_new_api_key")
                return "vardun-mcp-custom"

            def hash_api_key(self, api_key):
                calls.append("hash_api_key")
                return "sha256:custom"

            def _save(self, users):
                calls.append("_save")
                return super()._save(users)

            def _ensure_credential_dir(self, user_id):
                calls.append("_ensure_credential_dir")
                return super()._ensure_credential_dir(user_id)

            def credential_dir(self, user_id):
                calls.append("credential_dir")
                return super().credential_dir(user_id)

        traced = Traced(store.base_dir)
        result = traced.add_user("t")
        assert calls == ["_locked", "_load", "_new_user_id", "_new_api_key", "hash_api_key", "_save",
                         "_ensure_credential_dir", "credential_dir", "credential_dir"]
        assert result["user_id"] == "u_custom" and result["api_key"] == "vardun-mcp-custom"
        assert records(store)[0]["api_key_hash"] == "sha256:custom"

    def test_instance_attributes_override_methods(self, store):
        store._new_api_key = lambda: "vardun-mcp-instance"
        assert store.add_user()["api_key"] == "vardun-mcp-instance"

    def test_failures_before_the_save_change_nothing(self, store):
        store.path.write_text("{broken")
        with pytest.raises(ValueError, match="JSON 损坏"):
            store.add_user("x")
        assert store.path.read_text() == "{broken" and list(store.users_dir.iterdir()) == []
        store._save([1])
        with pytest.raises(AttributeError):
            store.add_user()
        assert records(store) == [1]
        with pytest.raises(TypeError, match="Argument 'description'"):
            store.add_user(None)
        assert not store.lock_path.read_bytes()

    def test_a_failure_after_the_save_keeps_the_record(self, store):
        # A file where the users directory belongs: the directory cannot be made.
        store.users_dir.rmdir()
        store.users_dir.write_text("")
        with pytest.raises(OSError):
            store.add_user("orphan")
        (record,) = records(store)
        assert record["description"] == "orphan"


class TestRemoveUser:
    def test_remove_with_and_without_credentials(self, store):
        a, b = store.add_user("a"), store.add_user("b")
        (store.users_dir / a["user_id"] / "session").write_text("x")
        assert store.remove_user(a["user_id"]) is True
        assert not (store.users_dir / a["user_id"]).exists()
        assert store.remove_user(b["user_id"], keep_credentials=True) is True
        assert (store.users_dir / b["user_id"]).is_dir()
        assert store.path.read_bytes() == b"[]"
        assert store.verify_api_key(a["api_key"]) is None

    def test_unknown_identifier_writes_nothing(self, store):
        store.add_user("a")
        before = store.path.stat()
        (store.users_dir / "u_stranger").mkdir()
        assert store.remove_user("u_stranger") is False
        assert store.remove_user("") is False
        after = store.path.stat()
        assert (after.st_mtime_ns, after.st_ino) == (before.st_mtime_ns, before.st_ino)
        assert (store.users_dir / "u_stranger").is_dir()

    def test_duplicates_go_together_and_other_records_stay(self, store):
        store._save([{"user_id": "u_1", "x": 1}, {"description": "no id"}, {"user_id": "u_1"},
                     {"user_id": "u_2", "extra": [1]}])
        assert store.remove_user("u_1") is True
        assert records(store) == [{"description": "no id"}, {"user_id": "u_2", "extra": [1]}]

    @pytest.mark.parametrize("flag, kept", [(1, True), ("yes", True), (None, False), (0, False), ([], False)])
    def test_keep_credentials_truth(self, store, flag, kept):
        user = store.add_user()
        assert store.remove_user(user["user_id"], keep_credentials=flag) is True
        assert (store.users_dir / user["user_id"]).exists() is kept

    def test_missing_credential_directory_is_no_error(self, store):
        user = store.add_user()
        (store.users_dir / user["user_id"]).rmdir()
        assert store.remove_user(user["user_id"]) is True

    def test_positional_flag_changes_nothing(self, store):
        user = store.add_user()
        with pytest.raises(TypeError, match="takes exactly 2 positional arguments"):
            store.remove_user(user["user_id"], True)
        assert len(records(store)) == 1

    def test_comparison_is_the_records_not_equal(self, store):
        store._save([{"user_id": 1}, {"user_id": "1"}])
        assert store.remove_user("1") is True
        assert records(store) == [{"user_id": 1}]

    def test_a_failure_after_the_save_is_not_rolled_back(self, store):
        user = store.add_user()
        os = __import__("os")
        os.mkfifo(store.users_dir / user["user_id"] / "pipe")
        with pytest.raises(OSError):
            store.remove_user(user["user_id"])
        assert records(store) == []


class TestRotateApiKey:
    def test_rotation_result_and_record(self, store, fixed_time):
        fixed_time(moment(2026, 1, 1), moment(2026, 2, 2), moment(2026, 3, 3))
        user = store.add_user("r")
        first = store.rotate_api_key(user["user_id"])
        assert list(first) == ["user_id", "api_key", "rotated_at", "credential_dir"]
        assert first["user_id"] == user["user_id"] and first["rotated_at"] == "2026-02-02T00:00:00+00:00"
        assert first["credential_dir"] == str(store.users_dir / user["user_id"])
        (record,) = records(store)
        assert list(record) == ["user_id", "api_key_hash", "description", "created_at", "rotated_at"]
        assert record["created_at"] == "2026-01-01T00:00:00+00:00"
        assert record["api_key_hash"] == Store.hash_api_key(first["api_key"])
        second = store.rotate_api_key(user["user_id"])
        (record,) = records(store)
        assert list(record)[-1] == "rotated_at" and record["rotated_at"] == "2026-03-03T00:00:00+00:00"
        assert first["api_key"] != second["api_key"]
        assert store.verify_api_key(user["api_key"]) is None
        assert store.verify_api_key(first["api_key"]) is None
        assert store.verify_api_key(second["api_key"]).user_id == user["user_id"]

    @pytest.mark.parametrize("user_id", ["u_missing", ""])
    def test_unknown_user(self, store, user_id):
        store.add_user()
        before = store.path.stat().st_mtime_ns
        with pytest.raises(ValueError) as info:
            store.rotate_api_key(user_id)
        assert str(info.value) == "未找到 MCP 用户: " + user_id
        assert store.path.stat().st_mtime_ns == before

    def test_no_registry_and_wrong_types(self, store):
        with pytest.raises(ValueError, match="未找到 MCP 用户: u_x"):
            store.rotate_api_key("u_x")
        assert not store.path.exists()
        with pytest.raises(TypeError, match="Argument 'user_id'"):
            store.rotate_api_key(None)

    def test_first_match_only_and_other_records_untouched(self, store, tmp_path):
        store._save([{"description": "no id"}, {"user_id": 7}, {"user_id": "u_1", "n": 1},
                     {"user_id": "u_1", "n": 2}])
        store.rotate_api_key("u_1")
        data = records(store)
        assert data[0] == {"description": "no id"} and data[1] == {"user_id": 7}
        assert "rotated_at" in data[2] and data[3] == {"user_id": "u_1", "n": 2}
        assert not (store.users_dir / "u_1").exists()  # rotation names the directory only

    def test_lock_is_released_before_the_error(self, store):
        released = []

        class Observed(Store):
            @contextlib.contextmanager
            def _locked(self):
                with super()._locked():
                    yield
                released.append(True)

        with pytest.raises(ValueError):
            Observed(store.base_dir).rotate_api_key("u_none")
        assert released == [True]

    def test_record_that_is_not_an_object_stops_the_search(self, store):
        store._save([{"user_id": "u_0"}, "text", {"user_id": "u_1"}])
        with pytest.raises(AttributeError):
            store.rotate_api_key("u_1")
        store._save([{"user_id": "u_1"}, "text"])
        store.rotate_api_key("u_1")


class TestListAndVerify:
    def test_empty(self, store):
        assert store.list_users() == []
        assert store.verify_api_key("vardun-mcp-anything") is None

    def test_listing_matches_the_file(self, store):
        a, b = store.add_user("a"), store.add_user("b")
        store.rotate_api_key(a["user_id"])
        listed = store.list_users()
        assert [u.user_id for u in listed] == [a["user_id"], b["user_id"]]
        assert listed[0] == m.MCPUser(a["user_id"], "a", a["created_at"], store.users_dir / a["user_id"])
        assert all(not hasattr(u, "api_key_hash") for u in listed)

    def test_listing_creates_and_changes_no_directory(self, store):
        store._save([{"user_id": "u_1"}])
        assert store.list_users()[0] == m.MCPUser("u_1", "", "", store.users_dir / "u_1")
        assert not (store.users_dir / "u_1").exists()

    def test_listing_passes_values_through(self, store):
        store._save([{"user_id": "u_1", "description": None, "created_at": 5}])
        (user,) = store.list_users()
        assert user.description is None and user.created_at == 5

    @pytest.mark.parametrize(
        "content, error",
        [([{"description": "x"}], KeyError), ([{"user_id": 5}], TypeError), ([3], TypeError),
         (["text"], TypeError), ([[1]], TypeError), ([None], TypeError)],
    )
    def test_listing_failures(self, store, content, error):
        store._save(content)
        with pytest.raises(error):
            store.list_users()

    def test_numeric_identifier_fails_in_credential_dir(self, store):
        store._save([{"user_id": 5}])
        with pytest.raises(TypeError, match="Argument 'user_id' has incorrect type"):
            store.list_users()

    @pytest.mark.parametrize("form", ["{k}", "Bearer {k}", "  bearer   {k}\n", "BEARER {k}"])
    def test_verification_forms(self, store, form):
        user = store.add_user("v")
        found = store.verify_api_key(form.format(k=user["api_key"]))
        assert found == m.MCPUser(user["user_id"], "v", user["created_at"], store.users_dir / user["user_id"])

    def test_verification_is_exact(self, store):
        user = store.add_user()
        assert store.verify_api_key(user["api_key"].upper()) is None
        assert store.verify_api_key(user["api_key"][:-1]) is None
        assert store.verify_api_key("   ") is None

    def test_none_and_empty_do_not_read_the_registry(self, store):
        store.path.write_text("corrupt")
        assert store.verify_api_key(None) is None and store.verify_api_key("") is None
        with pytest.raises(ValueError, match="JSON 损坏"):
            store.verify_api_key(" ")

    def test_stored_hash_shapes(self, store):
        key = "vardun-mcp-k"
        digest = Store.hash_api_key(key)
        store._save([{"user_id": "u_null", "api_key_hash": None}, {"user_id": "u_missing"},
                     {"user_id": "u_empty", "api_key_hash": ""},
                     {"user_id": "u_bare", "api_key_hash": digest[7:]},
                     {"user_id": "u_upper", "api_key_hash": digest.upper()}])
        assert store.verify_api_key(key) is None
        assert store.verify_api_key("None") is None

    def test_first_of_duplicate_hashes_wins_and_later_records_are_not_read(self, store):
        digest = Store.hash_api_key("k")
        store._save([{"user_id": "u_2"}, {"user_id": "u_1", "api_key_hash": digest},
                     {"user_id": "u_3", "api_key_hash": digest}, "not even a record"])
        assert store.verify_api_key("k").user_id == "u_1"

    def test_verified_identifier_is_text_and_directory_is_ensured(self, store):
        store._save([{"user_id": 42, "api_key_hash": Store.hash_api_key("k")}])
        user = store.verify_api_key("k")
        assert user.user_id == "42" and user.credential_dir == store.users_dir / "42"
        assert mode(store.users_dir / "42") == 0o700
        (store.users_dir / "42").chmod(0o755)
        store.verify_api_key("k")
        assert mode(store.users_dir / "42") == 0o700

    def test_a_removal_racing_the_check_gives_none_and_leaves_no_directory(self, store):
        # What a removal in another process does between the check's load and
        # its directory step, played by the directory step itself.
        class Racing(Store):
            def _ensure_credential_dir(self, user_id):
                self._save([r for r in self._load() if r.get("user_id") != user_id])
                if failing:
                    raise FileNotFoundError(2, "removed meanwhile")
                super()._ensure_credential_dir(user_id)

        racing = Racing(store.base_dir)
        for failing in (False, True):
            added = store.add_user()
            store._remove_credential_dir(added["user_id"])
            assert racing.verify_api_key(added["api_key"]) is None
            assert list(store.users_dir.iterdir()) == []

    def test_a_rotation_racing_the_check_refuses_the_old_key(self, store):
        # The key is rotated and the directory removed between the check's
        # load and its directory step: the user is still there, its key is not.
        class Racing(Store):
            def _ensure_credential_dir(self, user_id):
                if not rotated:
                    rotated.append(self.rotate_api_key(user_id)["api_key"])
                    self._remove_credential_dir(user_id)
                super()._ensure_credential_dir(user_id)

        rotated = []
        added = store.add_user()
        assert Racing(store.base_dir).verify_api_key(added["api_key"]) is None
        assert store.verify_api_key(rotated[0]).user_id == added["user_id"]

    def test_a_failing_directory_step_of_a_user_still_there_raises(self, store):
        added = store.add_user()
        store.credential_dir(added["user_id"]).rmdir()
        store.credential_dir(added["user_id"]).write_text("in the way")
        with pytest.raises(FileExistsError):
            store.verify_api_key(added["api_key"])
        # A directory made again for a user still there stays.
        store.credential_dir(added["user_id"]).unlink()
        assert store.verify_api_key(added["api_key"]).credential_dir.is_dir()

    def test_verification_failures(self, store):
        digest = Store.hash_api_key("k")
        store._save([{"api_key_hash": digest}])
        with pytest.raises(KeyError):
            store.verify_api_key("k")
        store._save([7])
        with pytest.raises(AttributeError):
            store.verify_api_key("k")
        store._save([{"user_id": "u", "api_key_hash": "sha256:é"}])
        with pytest.raises(TypeError):
            store.verify_api_key("k")
        with pytest.raises(UnicodeEncodeError):
            store.verify_api_key("\ud800")

    def test_rebound_names_are_looked_up_at_each_call(self, store, monkeypatch):
        user = store.add_user("x")
        monkeypatch.setattr(m, "MCPUser", lambda **fields: fields)
        assert store.verify_api_key(user["api_key"])["user_id"] == user["user_id"]
        assert list(store.list_users()[0]) == ["user_id", "description", "created_at", "credential_dir"]

        class RefusingHmac:
            @staticmethod
            def compare_digest(a, b):
                return False

        monkeypatch.setattr(m, "hmac", RefusingHmac)
        assert store.verify_api_key(user["api_key"]) is None


class TestOverriddenLock:
    """A `_locked` that suppresses an exception makes the operations behave as
    their Python code would after such a `with` block."""

    @pytest.fixture
    def suppressing(self, store):
        class Suppressing(Store):
            @contextlib.contextmanager
            def _locked(self):
                with contextlib.suppress(LookupError):
                    yield

        return Suppressing(store.base_dir)

    def test_add_user_reads_unassigned_locals(self, suppressing, monkeypatch):
        monkeypatch.setattr(type(suppressing), "_load", lambda self: {}["missing"])
        with pytest.raises(UnboundLocalError, match="local variable 'user_id'"):
            suppressing.add_user()

    def test_remove_and_rotate_fall_through(self, suppressing, monkeypatch):
        monkeypatch.setattr(type(suppressing), "_load", lambda self: {}["missing"])
        assert suppressing.remove_user("u") is True
        with pytest.raises(ValueError, match="未找到 MCP 用户: u"):
            suppressing.rotate_api_key("u")
