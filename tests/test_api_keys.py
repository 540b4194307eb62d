"""Key generation, with every module-level name looked up at call time."""

import string
import types

import pytest

import vardun.mcp.user_store as m

ALPHABET = set(string.ascii_letters + string.digits)


def test_generated_keys_have_the_fixed_format(store):
    keys = [m.generate_api_key() for _ in range(300)] + [store._new_api_key() for _ in range(20)]
    for key in keys:
        assert type(key) is str and len(key) == 43
        assert key.startswith("vardun-mcp-")
        assert set(key[11:]) <= ALPHABET
    assert len(set(keys)) == len(keys)
    drawn = set("".join(key[11:] for key in keys))
    assert drawn & set(string.ascii_lowercase)
    assert drawn & set(string.ascii_uppercase)
    assert drawn & set(string.digits)


def test_a_generated_key_normalises_to_itself_and_verifies(store):
    key = m.generate_api_key()
    assert store.normalize_api_key(key) == key
    user = store.add_user("someone")
    assert store.verify_api_key(user["api_key"]).user_id == user["user_id"]


@pytest.mark.parametrize("length, expected", [(8, 19), (0, 11), (1, 12)])
def test_rebound_length(monkeypatch, length, expected):
    monkeypatch.setattr(m, "API_KEY_RANDOM_LENGTH", length)
    key = m.generate_api_key()
    assert len(key) == expected and key.startswith("vardun-mcp-")


def test_rebound_prefix_and_alphabet(monkeypatch):
    monkeypatch.setattr(m, "API_KEY_PREFIX", "team-")
    monkeypatch.setattr(m, "ascii_letters", "a")
    monkeypatch.setattr(m, "digits", "")
    assert m.generate_api_key() == "team-" + "a" * 32


def test_rebound_secrets_is_used_for_every_character(monkeypatch):
    seen = []

    class CountingSecrets:
        @staticmethod
        def choice(alphabet):
            seen.append(alphabet)
            return "Z"

    monkeypatch.setattr(m, "secrets", CountingSecrets)
    assert m.generate_api_key() == "vardun-mcp-" + "Z" * 32
    assert seen == [string.ascii_letters + string.digits] * 32


def test_changes_between_two_draws_apply_to_the_next_character(monkeypatch):
    fake, other = types.ModuleType("fake_secrets"), types.ModuleType("other_secrets")
    drawn = []

    def first(alphabet):
        drawn.append(alphabet)
        if len(drawn) == 3:
            fake.choice = second
        return "a"

    def second(alphabet):
        drawn.append(alphabet)
        if len(drawn) == 5:
            m.secrets = other
        return "b"

    fake.choice = first
    letters = iter("cdef")
    # Not in the module's dict: its __getattr__ answers at every step.
    other.__getattr__ = lambda name: lambda alphabet: next(letters)
    monkeypatch.setattr(m, "secrets", fake)
    monkeypatch.setattr(m, "API_KEY_RANDOM_LENGTH", 9)
    assert m.generate_api_key() == "vardun-mcp-aaabbcdef"
    assert len(drawn) == 5


def test_rebound_generator_is_what_the_store_calls(store, monkeypatch):
    monkeypatch.setattr(m, "generate_api_key", lambda: "vardun-mcp-fixed")
    assert store._new_api_key() == "vardun-mcp-fixed"
    user = store.add_user()
    assert user["api_key"] == "vardun-mcp-fixed"
    assert store.verify_api_key("vardun-mcp-fixed").user_id == user["user_id"]


def test_bad_rebindings_fail_with_the_interpreters_errors(monkeypatch):
    monkeypatch.setattr(m, "API_KEY_RANDOM_LENGTH", "32")
    with pytest.raises(TypeError, match="'str' object cannot be interpreted as an integer"):
        m.generate_api_key()
    monkeypatch.setattr(m, "API_KEY_RANDOM_LENGTH", 2)

    class Failing:
        @staticmethod
        def choice(alphabet):
            raise OSError("no entropy")

    monkeypatch.setattr(m, "secrets", Failing)
    with pytest.raises(OSError, match="no entropy"):
        m.generate_api_key()


@pytest.mark.parametrize("name", ["API_KEY_PREFIX", "API_KEY_RANDOM_LENGTH", "secrets", "ascii_letters"])
def test_deleted_names_raise_name_error(monkeypatch, name):
    monkeypatch.delattr(m, name)
    with pytest.raises(NameError, match=f"^name '{name}' is not defined$"):
        m.generate_api_key()


def test_deleted_generator_fails_in_the_store(store, monkeypatch):
    monkeypatch.delattr(m, "generate_api_key")
    with pytest.raises(NameError, match="name 'generate_api_key' is not defined"):
        store._new_api_key()
