"""A short session with the store on a temporary registry."""

import json
import tempfile
from pathlib import Path

from vardun.mcp.user_store import MCPUserStore


def show(label, value):
    print(f"{label}: {json.dumps(value, ensure_ascii=False, indent=2, default=str)}")


def main():
    with tempfile.TemporaryDirectory(prefix="vardun-demo-") as base:
        store = MCPUserStore(Path(base))
        print(f"registry: {store.path}")

        alice = store.add_user("Alice（前端）")
        bob = store.add_user("Bob")
        show("added", alice)
        show("added", bob)

        bare = store.verify_api_key(alice["api_key"])
        bearer = store.verify_api_key(f"Bearer {alice['api_key']}")
        print(f"verify bare key   -> {bare.user_id if bare else None}")
        print(f"verify as Bearer  -> {bearer.user_id if bearer else None}")
        print(f"verify wrong key  -> {store.verify_api_key('vardun-mcp-wrong')}")

        rotated = store.rotate_api_key(alice["user_id"])
        show("rotated", rotated)
        print(f"old key after rotation -> {store.verify_api_key(alice['api_key'])}")
        print(f"new key after rotation -> {store.verify_api_key(rotated['api_key']).user_id}")

        show("listed", [user.to_dict() for user in store.list_users()])
        print(f"remove {bob['user_id']} -> {store.remove_user(bob['user_id'])}")
        print(f"remove again -> {store.remove_user(bob['user_id'])}")
        show("listed", [user.to_dict() for user in store.list_users()])
        print("registry file (hashes only, no plain keys):")
        print(store.path.read_text(encoding="utf-8"))


if __name__ == "__main__":
    main()
