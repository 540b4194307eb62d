"""Type stubs for vardun.mcp.key_index."""

from typing import Final

from vardun.mcp.user_store import MCPUser, MCPUserStore

__all__ = ["NEEDS_THREAD", "KeyIndex"]

class _NeedsThread: ...

# What answer_without_parsing returns when only verify_api_key can answer.
NEEDS_THREAD: Final[_NeedsThread]

class KeyIndex:
    store: MCPUserStore
    def __init__(self, store: MCPUserStore) -> None: ...
    def verify_api_key(self, api_key: str | None) -> MCPUser | None: ...
    def answer_without_parsing(self, api_key: str | None) -> MCPUser | None | _NeedsThread: ...
