"""Type stubs for vardun.mcp.auth."""

from collections.abc import Awaitable, Callable, Iterable, MutableMapping
from typing import Any, Protocol

__all__ = ["ASGIApp", "BearerAuthMiddleware", "KeyVerifier", "Receive", "Scope", "Send"]

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
ASGIApp = Callable[[Scope, Receive, Send], Awaitable[None]]

class KeyVerifier(Protocol):
    # MCPUserStore.verify_api_key fits: any user object, or None.
    def verify_api_key(self, api_key: str, /) -> object: ...

class BearerAuthMiddleware:
    app: ASGIApp
    store: KeyVerifier
    exempt_paths: frozenset[str]
    realm: str
    check_in_thread: bool
    def __init__(
        self,
        app: ASGIApp,
        store: KeyVerifier | None = None,
        *,
        exempt_paths: Iterable[str] = (),
        realm: str = "vardun-mcp",
        check_in_thread: bool = False,
    ) -> None: ...
    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None: ...
