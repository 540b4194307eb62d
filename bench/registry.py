"""Registries of any size, written straight to disk.

Adding 10,000 users through add_user would rewrite the whole file 10,000
times; writing the file once, in the layout the store itself writes, takes a
fraction of a second. The plain keys come back so that the benchmark can
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
    alphabet = ascii_letters + digits
    start = datetime(2025, 1, 6, 9, 0, tzinfo=timezone.utc)
    seen = set()
    records, keys = [], []
    while len(records) < size:
        user_id = f"u_{rng.getrandbits(32):08x}"
        if user_id in seen:
            continue
        seen.add(user_id)
        key = API_KEY_PREFIX + "".join(rng.choices(alphabet, k=32))
        n = len(records)
        created = start + timedelta(minutes=n, microseconds=rng.randrange(1, 1_000_000))
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


def write_registry(base_dir, records):
    """Writes `records` as the store would, with its directories and modes."""
    base_dir = Path(base_dir)
    base_dir.mkdir(parents=True, exist_ok=True)
    (base_dir / "users").mkdir(mode=0o700, exist_ok=True)
    path = base_dir / "mcp_users.json"
    path.write_text(json.dumps(records, ensure_ascii=False, indent=2), encoding="utf-8")
    path.chmod(0o600)
    return path


def build(base_dir, size, seed=None):
    records, keys = make_records(size, size if seed is None else seed)
    write_registry(base_dir, records)
    return Registry(Path(base_dir), [r["user_id"] for r in records], keys)


def unknown_key(seed=0):
    """A well-formed key that no generated registry holds."""
    rng = random.Random(f"unknown-{seed}")
    return API_KEY_PREFIX + "".join(rng.choices(ascii_letters + digits, k=32))
