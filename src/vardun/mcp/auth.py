"""API-key authentication for ASGI applications, backed by MCPUserStore.

    from vardun.mcp.auth import BearerAuthMiddleware

    app = BearerAuthMiddleware(app, store, exempt_paths=("/health",))

Every HTTP and WebSocket request (except those to an exempt path) must carry
``Authorization: Bearer <key>`` or the bare key. The key is checked as
``store.verify_api_key`` would (through a KeyIndex for an MCPUserStore, on
the event loop while the index is current, otherwise in a worker thread),
and the application is called
with a copy of the scope whose ``"user"`` is the user the key belongs to
(``request.user`` in Starlette) and whose ``"auth"`` has the scopes
``["authenticated"]`` (``request.auth``, which Starlette's ``@requires``
reads). Refused requests get a JSON error body and a ``WWW-Authenticate:
Bearer`` challenge; refused WebSocket connections are closed before they are
accepted.

For applications that decide per route, ``StoreAuthBackend`` is a backend for
Starlette's own AuthenticationMiddleware, and ``on_auth_error`` answers its
refusals as the middleware does:

    AuthenticationMiddleware(app, backend=StoreAuthBackend(store), on_error=on_auth_error)

Only the standard library is imported here; the store's module is imported
when a middleware is made without a store, and Starlette when the backend's
names are first asked for. The worker thread comes from the running asyncio
loop's default executor, so the middleware runs under asyncio servers
(uvicorn, hypercorn's asyncio mode, ...).
"""

from __future__ import annotations

import asyncio
import json
import logging
import sys
import traceback
from collections.abc import Awaitable, Callable, Iterable, MutableMapping
from typing import Any, NamedTuple, Protocol

__all__ = ["ASGIApp", "BearerAuthMiddleware", "KeyVerifier", "Receive", "Scope", "Send"]

# The shapes Starlette and other ASGI frameworks declare, so that their
# applications type-check as `app`.
Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
ASGIApp = Callable[[Scope, Receive, Send], Awaitable[None]]

_logger = logging.getLogger("vardun.mcp.auth")


class KeyVerifier(Protocol):
    """What the middleware needs of a store: MCPUserStore, or a stand-in."""

    def verify_api_key(self, api_key: str, /) -> object:
        """The user the key belongs to, or None."""
        ...


class _Refusal(NamedTuple):
    status: int
    headers: list[tuple[bytes, bytes]]
    body: bytes
    close_code: int


class _Answer(NamedTuple):
    status: int
    error: str
    description: str


# What a refused request is told, by BearerAuthMiddleware and by
# StoreAuthBackend's error handler alike.
_MISSING = _Answer(401, "missing_token",
                   "This server needs an API key: send it as 'Authorization: Bearer <key>'.")
_REPEATED = _Answer(400, "invalid_request", "Send one Authorization header, not several.")
_INVALID = _Answer(401, "invalid_token",
                   "The API key is not valid: it may have been rotated, or its user removed.")
_FAILED = _Answer(500, "server_error", "The server could not check the API key; try again later.")
_CLIENT_ANSWERS = {answer.error: answer for answer in (_MISSING, _REPEATED, _INVALID)}


def _refusal(answer: _Answer, challenge: str) -> _Refusal:
    """The response for `answer`; `challenge` is the realm's bare challenge."""
    body = json.dumps({"error": answer.error, "error_description": answer.description}).encode()
    headers = [(b"content-type", b"application/json"),
               (b"content-length", str(len(body)).encode())]
    # A missing key is no error to name in the challenge, and our own failure
    # is not answered with one.
    if answer.status < 500:
        if answer is not _MISSING:
            challenge = f'{challenge}, error="{answer.error}"'
        headers.append((b"www-authenticate", challenge.encode("latin-1")))
    # Policy violation for the client's faults, internal error for ours.
    return _Refusal(answer.status, headers, body, 1011 if answer.status >= 500 else 1008)


def _bearer_challenge(realm: str) -> str:
    if not isinstance(realm, str):
        raise TypeError(f"realm must be a str, not {type(realm).__name__}")
    return f"Bearer realm={_quoted(realm)}"


class _Credentials:
    """What ``scope["auth"]`` holds where Starlette cannot be imported: the
    one attribute of its AuthCredentials that its ``requires`` reads."""

    def __init__(self, scopes: Iterable[str]) -> None:
        self.scopes = list(scopes)

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.scopes!r})"


_credentials_type: Callable[[list[str]], object] | None = None


def _authenticated() -> object:
    """Fresh credentials for an authenticated request (an application may add
    to their scopes): Starlette's AuthCredentials when it can be imported."""
    global _credentials_type
    if _credentials_type is None:
        # Asked once, on the first request: importing here keeps the module's
        # own import to the standard library.
        try:
            from starlette.authentication import AuthCredentials
        except ImportError:
            _credentials_type = _Credentials
        else:
            _credentials_type = AuthCredentials
    return _credentials_type(["authenticated"])


# Text this short is no secret worth mangling a traceback for.
_MIN_REDACTED = 8


def _quoted(text: str) -> str:
    """`text` as an HTTP quoted-string."""
    if not all(" " <= char <= "~" or "\x80" <= char <= "\xff" for char in text):
        raise ValueError("realm must be printable ISO-8859-1 text")
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _without_key(error: BaseException, key: str) -> str:
    """The error's traceback, with the presented key cut out of it: a store
    other than ours may put its argument into a message."""
    text = "".join(traceback.format_exception(error)).rstrip()
    words = key.split()
    for secret in sorted({key.strip(), *words[-1:]}, key=len, reverse=True):
        if len(secret) >= _MIN_REDACTED:
            text = text.replace(secret, "<presented key>")
    return text


def _log_failure(error: BaseException, key: str) -> None:
    # Whatever the store raises, the key it was given is valid text: the
    # registry or the file system failed, not the client.
    _logger.error("checking an API key failed; answered with a server error\n%s",
                  _without_key(error, key))


class _KeyCheck:
    """Checks presented keys against one store: ``await check(key)`` is the
    user the key belongs to, or None, and raises what the store raises.

    An MCPUserStore is asked through a KeyIndex. While the index is current
    it answers on the event loop (a few local system calls, no parse);
    anything that may read or parse the registry, and every check of
    another kind of store, runs in a worker thread. `in_thread` sends every
    check there: on a network file system each system call is a round trip.
    """

    def __init__(self, store: KeyVerifier, in_thread: bool = False) -> None:
        self.store = store
        self.in_thread = in_thread
        self._index: Any = None
        # What `now` says when only the worker can answer.
        self.needs_thread: object = _NO_ANSWER
        # The answer on the loop: the index's own (native) method, called
        # straight from the middleware.
        self.now: Callable[[str], object] = self._in_worker_only
        # No MCPUserStore exists before the store's module is imported.
        if "vardun.mcp.user_store" in sys.modules:
            from vardun.mcp.key_index import NEEDS_THREAD, KeyIndex
            from vardun.mcp.user_store import MCPUserStore

            if isinstance(store, MCPUserStore):
                self._index = KeyIndex(store)
                self.needs_thread = NEEDS_THREAD
                if not in_thread:
                    self.now = self._index.answer_without_parsing

    def _in_worker_only(self, key: str) -> object:
        return self.needs_thread

    async def __call__(self, key: str) -> object:
        user = self.now(key)
        if user is not self.needs_thread:
            return user
        return await self.in_worker(key)

    async def in_worker(self, key: str) -> object:
        """The check in a worker thread."""
        index = self._index
        verify = self.store.verify_api_key if index is None else index.verify_api_key
        loop = asyncio.get_running_loop()
        return await loop.run_in_executor(None, verify, key)


# What _KeyCheck.now says for a store it cannot answer for on the loop.
_NO_ANSWER = object()


class _ChecksKeys:
    """What the middleware and the Starlette backend share: `store` and
    `check_in_thread` are plain attributes, and changing them takes effect
    at the next check."""

    store: KeyVerifier
    check_in_thread: bool
    _check: _KeyCheck

    def _take_store(self, store: KeyVerifier | None, check_in_thread: bool) -> None:
        # None: MCPUserStore() over the configured directory.
        if store is None:
            from vardun.mcp.user_store import MCPUserStore

            store = MCPUserStore()
        if not callable(getattr(store, "verify_api_key", None)):
            raise TypeError("store must have a verify_api_key method")
        self.store = store
        self.check_in_thread = bool(check_in_thread)
        self._key_check()

    def _key_check(self) -> _KeyCheck:
        check = getattr(self, "_check", None)
        if check is None or check.store is not self.store or check.in_thread != self.check_in_thread:
            check = self._check = _KeyCheck(self.store, self.check_in_thread)
        return check


class BearerAuthMiddleware(_ChecksKeys):
    """Lets through only requests that carry a key `store` knows.

    `store` is an MCPUserStore or anything with a ``verify_api_key(key)``
    method returning a user or None; None means ``MCPUserStore()`` over the
    configured directory. Requests whose path is one of `exempt_paths`
    (exact match), and lifespan scopes, pass through untouched. `realm` goes
    into the ``WWW-Authenticate`` challenges. `check_in_thread` makes every
    key check run in a worker thread, also those the key index could answer
    on the event loop: for a base directory on a network file system.
    """

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
    ) -> None:
        # A single string would exempt each of its characters, "/" among them.
        if isinstance(exempt_paths, (str, bytes)):
            raise TypeError("exempt_paths must be a collection of paths, not a single string")
        paths = frozenset(exempt_paths)
        if not all(isinstance(path, str) for path in paths):
            raise TypeError("exempt_paths must hold str paths")
        challenge = _bearer_challenge(realm)
        self._take_store(store, check_in_thread)
        self.app = app
        self.exempt_paths = paths
        self.realm = realm

        self._missing, self._repeated, self._invalid, self._failed = (
            _refusal(answer, challenge) for answer in (_MISSING, _REPEATED, _INVALID, _FAILED))

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        kind = scope["type"]
        if kind not in ("http", "websocket") or scope["path"] in self.exempt_paths:
            await self.app(scope, receive, send)
            return
        values = [value for name, value in scope["headers"] if name.lower() == b"authorization"]
        if not values:
            refusal = self._missing
        elif len(values) > 1:
            refusal = self._repeated
        else:
            # Every byte sequence is ISO-8859-1 text, and all of that is UTF-8
            # encodable: no header can fail before it reaches the store.
            key = bytes(values[0]).decode("latin-1")
            try:
                # check(key) itself, without a coroutine when the loop can answer.
                check = self._check
                if check.store is not self.store or check.in_thread != self.check_in_thread:
                    check = self._key_check()
                user = check.now(key)
                if user is check.needs_thread:
                    user = await check.in_worker(key)
            except Exception as error:
                _log_failure(error, key)
                refusal = self._failed
            else:
                if user is not None:
                    await self.app({**scope, "user": user, "auth": _authenticated()},
                                   receive, send)
                    return
                refusal = self._invalid
        await self._refuse(refusal, kind, receive, send)

    @staticmethod
    async def _refuse(refusal: _Refusal, kind: str, receive: Receive, send: Send) -> None:
        if kind == "websocket":
            # Closing before the accept makes the server reject the handshake.
            if (await receive())["type"] == "websocket.connect":
                await send({"type": "websocket.close", "code": refusal.close_code})
            return
        # Fresh header lists: a wrapping middleware may add to them in place.
        await send({"type": "http.response.start", "status": refusal.status,
                    "headers": list(refusal.headers)})
        await send({"type": "http.response.body", "body": refusal.body})


# StoreAuthBackend and its companions are Starlette classes: they are imported
# when first asked for, so that the middleware needs nothing but the
# standard library. Without Starlette, asking for them raises ImportError.
_STARLETTE_NAMES = frozenset({"BearerAuthError", "KeyCheckError", "StoreAuthBackend",
                              "on_auth_error"})


def __getattr__(name: str) -> object:
    if name in _STARLETTE_NAMES:
        from vardun.mcp import _starlette_backend

        return getattr(_starlette_backend, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted({*globals(), *_STARLETTE_NAMES})
