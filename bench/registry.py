"""Registries of any size, written straight to disk.

Adding 100,000 users through add_user would rewrite the whole file 100,000
times; writing the file once, in the layout the store itself writes, takes
well under a second. The plain keys come back so that the benchmark can
present the first user's, the last user's, or nobody's key.
"""

import hashlib
import json
import random
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone
from pathlib import Path
from string import ascii_letters, digits

API_KEY_PREFIX = "vardun-mcp-"
KEY_LENGTH = 32
ALPHABET = ascii_letters + digits
# Random bytes mapped onto the key alphabet. The slight bias towards its
# first letters does not matter here; a key drawn with random.choices per
# character would cost most of the generation time at 100,000 users.
_TO_ALPHABET = bytes.maketrans(bytes(range(256)), bytes(ord(ALPHABET[i % len(ALPHABET)]) for i in range(256)))

_RECORD_TEXT = (
    '  {\n    "user_id": "%s",\n    "api_key_hash": "%s",\n'
    '    "description": "%s",\n    "created_at": "%s"\n  }'
)
# Up to this size the fast text is compared with json.dumps on every build.
CHECKED_LAYOUT_SIZE = 1000


@dataclass(frozen=True)
class Registry:
    base_dir: Path
    user_ids: list
    keys: list  # plain keys, in file order

    @property
    def path(self):
        return self.base_dir / "mcp_users.json"


def make_records(size, seed):
    """`size` user records in the registry's shape, and their plain keys."""
    rng = random.Random(seed)
    start = datetime(2025, 1, 6, 9, 0, tzinfo=timezone.utc)
    key_chars = rng.randbytes(KEY_LENGTH * size).translate(_TO_ALPHABET).decode("ascii")
    seen = set()
    records, keys = [], []
    while len(records) < size:
        user_id = f"u_{rng.getrandbits(32):08x}"
        if user_id in seen:
            continue
        seen.add(user_id)
        n = len(records)
        key = API_KEY_PREFIX + key_chars[n * KEY_LENGTH:(n + 1) * KEY_LENGTH]
        created = start + timedelta(minutes=n, microseconds=1 + rng.getrandbits(19))
        records.append(
            {
                "user_id": user_id,
                "api_key_hash": "sha256:" + hashlib.sha256(key.encode("utf-8")).hexdigest(),
                # Mixed scripts, as real descriptions are; the parser's
                # non-ASCII path costs a little more.
                "description": f"成员 {n} (team bench)",
                "created_at": created.isoformat(),
            }
        )
        keys.append(key)
    return records, keys


def registry_text(records):
    """json.dumps(records, ensure_ascii=False, indent=2) for records of plain
    text that needs no escaping, in the generated field order; json's
    indenting encoder is pure Python and takes about a second for 100,000
    records."""
    if not records:
        return "[]"
    body = ",\n".join(
        _RECORD_TEXT % (r["user_id"], r["api_key_hash"], r["description"], r["created_at"])
        for r in records
    )
    return "[\n" + body + "\n]"


def write_registry(base_dir, records):
    """Writes `records` as the store would, with its directories and modes."""
    base_dir = Path(base_dir)
    base_dir.mkdir(parents=True, exist_ok=True)
    (base_dir / "users").mkdir(mode=0o700, exist_ok=True)
    path = base_dir / "mcp_users.json"
    text = registry_text(records)
    if len(records) <= CHECKED_LAYOUT_SIZE and text != json.dumps(records, ensure_ascii=False, indent=2):
        raise AssertionError("the generated registry text differs from the store's layout")
    path.write_text(text, encoding="utf-8")
    path.chmod(0o600)
    return path


def build(base_dir, size, seed=None):
    records, keys = make_records(size, size if seed is None else seed)
    write_registry(base_dir, records)
    return Registry(Path(base_dir), [r["user_id"] for r in records], keys)


def unknown_key(seed=0):
    """A well-formed key that no generated registry holds."""
    rng = random.Random(f"unknown-{seed}")
    return API_KEY_PREFIX + "".join(rng.choices(ALPHABET, k=KEY_LENGTH))
