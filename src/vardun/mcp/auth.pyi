"""Type stubs for vardun.mcp.auth."""

from collections.abc import Awaitable, Callable, Iterable, MutableMapping
from typing import Any, Protocol

from starlette.authentication import AuthCredentials, AuthenticationBackend, AuthenticationError
from starlette.requests import HTTPConnection
from starlette.responses import Response

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

# Reached on first use (they import Starlette), so not in __all__.
class BearerAuthError(AuthenticationError):
    status_code: int
    error: str
    realm: str
    def __init__(self, error: str, realm: str = "vardun-mcp") -> None: ...

class KeyCheckError(RuntimeError): ...

class StoreAuthBackend(AuthenticationBackend):
    store: KeyVerifier
    realm: str
    check_in_thread: bool
    def __init__(
        self, store: KeyVerifier | None = None, *, realm: str = "vardun-mcp",
        check_in_thread: bool = False,
    ) -> None: ...
    async def authenticate(self, conn: HTTPConnection) -> tuple[AuthCredentials, Any] | None: ...

def on_auth_error(conn: HTTPConnection, exc: AuthenticationError) -> Response: ...
