"""Normalising presented keys and hashing them."""

import hashlib
import re
import tracemalloc

import pytest

import vardun.mcp.user_store as m

Store = m.MCPUserStore


@pytest.mark.parametrize(
    "raw, expected",
    [
        ("abc", "abc"),
        ("  abc \n", "abc"),
        ("\u3000\tabc\u2003", "abc"),  # every kind of whitespace the interpreter knows
        ("Bearer abc", "abc"),
        ("BEARER abc", "abc"),
        ("bEaReR abc", "abc"),
        ("  Bearer    abc  ", "abc"),
        ("Bearer\tabc", "Bearer\tabc"),
        ("Bearer\u00a0abc", "Bearer\u00a0abc"),
        ("Bearer", "Bearer"),
        ("Bearer   ", "Bearer"),
        ("bearer bearer abc", "bearer abc"),
        ("Bearer Bearer abc", "Bearer abc"),
        ("Token abc", "Token abc"),
        ("Bearer AbC", "AbC"),
        ("", ""),
        (" \t\n ", ""),
        ("BEARERabc", "BEARERabc"),
        ("Bearer \u00a0abc\u00a0", "abc"),
        # Lower-casing that changes the length would shift the cut; the cut is
        # made on the stripped original, as the interpreter's slicing makes it.
        ("İ bearer abc", "İ bearer abc"),
    ],
)
def test_normalisation(raw, expected):
    assert Store.normalize_api_key(raw) == expected


def test_normalisation_uses_the_interpreters_lowering():
    # "\u212a" (Kelvin sign) lowers to "k"; nothing else of the text is changed.
    assert Store.normalize_api_key("BEARER \u212aey") == "\u212aey"


def test_normalisation_lowers_only_what_the_prefix_test_needs():
    # Lowering all of a huge value (U+0130 lowers to two characters) would
    # allocate several times its size with the interpreter lock held.
    huge = "\u0130" * 2_000_000
    bearer = "bEaReR " + huge
    tracemalloc.start()
    try:
        assert Store.normalize_api_key(huge) is huge
        without_prefix = tracemalloc.get_traced_memory()[1]
        tracemalloc.reset_peak()
        assert Store.normalize_api_key(bearer) == huge
        with_prefix = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert without_prefix < 10_000
    assert with_prefix < 1.5 * len(huge) * 2  # the key after the prefix, once


def test_hash_format_and_value():
    for key in ["", "abc", "vardun-mcp-" + "A" * 32, "中文钥匙"]:
        digest = Store.hash_api_key(key)
        assert digest == "sha256:" + hashlib.sha256(key.encode("utf-8")).hexdigest()
        assert re.fullmatch(r"sha256:[0-9a-f]{64}", digest)
    assert Store.hash_api_key("") == "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"


def test_hashing_keeps_case_and_whitespace():
    assert Store.hash_api_key("abc") != Store.hash_api_key("ABC")
    assert Store.hash_api_key("abc") != Store.hash_api_key(" abc")


def test_unencodable_text_raises_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError):
        Store.hash_api_key("key\ud800")


def test_rebound_hashlib_is_used(monkeypatch):
    class FakeDigest:
        def __init__(self, data):
            self.data = data

        def hexdigest(self):
            return self.data.decode()[::-1]

    class FakeHashlib:
        sha256 = FakeDigest

    monkeypatch.setattr(m, "hashlib", FakeHashlib)
    assert Store.hash_api_key("abc") == "sha256:cba"


def test_both_work_on_the_class_and_on_stores(store):
    assert store.normalize_api_key(raw="Bearer k") == Store.normalize_api_key("Bearer k") == "k"
    assert store.hash_api_key(api_key="k") == Store.hash_api_key("k")
