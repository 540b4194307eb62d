"""The store as a backend of Starlette's AuthenticationMiddleware. Its names
are reached through vardun.mcp.auth, which imports this module (and so
Starlette) only when one of them is first asked for."""

from __future__ import annotations

from typing import Any

from starlette.authentication import AuthCredentials, AuthenticationBackend, AuthenticationError
from starlette.requests import HTTPConnection
from starlette.responses import PlainTextResponse, Response

from vardun.mcp.auth import (
    _CLIENT_ANSWERS,
    _INVALID,
    _REPEATED,
    KeyVerifier,
    _bearer_challenge,
    _ChecksKeys,
    _log_failure,
    _refusal,
)


class BearerAuthError(AuthenticationError):
    """A refused ``Authorization`` header. `error` is ``"invalid_request"``,
    ``"invalid_token"`` or ``"missing_token"``; `status_code` and the
    message are what BearerAuthMiddleware answers for it, and
    ``on_auth_error`` turns it into that same response."""

    status_code: int
    error: str
    realm: str

    def __init__(self, error: str, realm: str = "vardun-mcp") -> None:
        answer = _CLIENT_ANSWERS.get(error)
        if answer is None:
            raise ValueError(f"error must be one of {sorted(_CLIENT_ANSWERS)}, not {error!r}")
        challenge = _bearer_challenge(realm)
        super().__init__(answer.description)
        self.status_code = answer.status
        self.error = error
        self.realm = realm
        self._refusal = _refusal(answer, challenge)


class KeyCheckError(RuntimeError):
    """The store failed while checking a key. The store's error and its
    traceback are logged on the ``vardun.mcp.auth`` logger, without the key,
    and are not attached here: the server logs this exception again."""


class StoreAuthBackend(AuthenticationBackend, _ChecksKeys):
    """Authenticates Starlette requests by their ``Authorization`` header.

    `store` is an MCPUserStore or anything with a ``verify_api_key(key)``
    method returning a user or None; None means ``MCPUserStore()`` over the
    configured directory. A request without the header is anonymous (None);
    a key the store knows gives ``AuthCredentials(["authenticated"])`` and
    the store's user; the header twice, or any other value, raises
    BearerAuthError; a failing store raises KeyCheckError, a server error.
    Keys are checked as BearerAuthMiddleware checks them (`check_in_thread`
    as there).
    """

    store: KeyVerifier
    realm: str
    check_in_thread: bool

    def __init__(self, store: KeyVerifier | None = None, *, realm: str = "vardun-mcp",
                 check_in_thread: bool = False) -> None:
        _bearer_challenge(realm)
        self._take_store(store, check_in_thread)
        self.realm = realm

    # Any: the store's user (an MCPUser, for parity with BearerAuthMiddleware's
    # scope["user"]), which need not be a Starlette BaseUser.
    async def authenticate(self, conn: HTTPConnection) -> tuple[AuthCredentials, Any] | None:
        values = [value for name, value in conn.scope["headers"]
                  if name.lower() == b"authorization"]
        if not values:
            return None
        if len(values) > 1:
            raise BearerAuthError(_REPEATED.error, self.realm)
        key = bytes(values[0]).decode("latin-1")
        try:
            user = await self._key_check()(key)
        except Exception as error:
            _log_failure(error, key)
        else:
            if user is None:
                raise BearerAuthError(_INVALID.error, self.realm)
            return AuthCredentials(["authenticated"]), user
        # Raised outside the handler, so that the store's error (which may
        # name the key) is not chained to what the server logs.
        raise KeyCheckError("checking an API key failed; see the vardun.mcp.auth log")


def on_auth_error(conn: HTTPConnection, exc: AuthenticationError) -> Response:
    """The ``on_error`` handler for AuthenticationMiddleware: a BearerAuthError
    gets BearerAuthMiddleware's answer (status, ``WWW-Authenticate``
    challenge, JSON body); any other AuthenticationError Starlette's own."""
    if not isinstance(exc, BearerAuthError):
        return PlainTextResponse(str(exc), status_code=400)
    refusal = exc._refusal
    headers = {name.decode("latin-1"): value.decode("latin-1") for name, value in refusal.headers}
    return Response(refusal.body, refusal.status, headers)
