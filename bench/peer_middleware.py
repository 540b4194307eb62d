"""The peer BearerAuthMiddleware is measured against: what a user would write
without the store.

It reads the registry once, keeps `sha256(key).hexdigest()` -> user in a
dict, and answers every request from that dict. So it never sees a rotation
or a removal made after it started, by this process or any other: no
revocation, no credential directory, nothing on disk per request. Its scope
handling is BearerAuthMiddleware's (the same exempt paths, the same
Authorization header rules, the same copy of the scope with "user" and
"auth"), so that only the check differs.
"""

import hashlib
import json
from pathlib import Path

try:
    from starlette.authentication import AuthCredentials as _Credentials
except ImportError:  # what the middleware puts there without Starlette

    class _Credentials:
        def __init__(self, scopes):
            self.scopes = list(scopes)


_REFUSED = {
    "missing": (401, b'{"error": "missing_token"}'),
    "repeated": (400, b'{"error": "invalid_request"}'),
    "invalid": (401, b'{"error": "invalid_token"}'),
}


class DictAuthMiddleware:
    """Lets through requests whose key hashes to a key of `users`, a dict of
    SHA-256 hex digest -> user."""

    def __init__(self, app, users, exempt_paths=()):
        self.app = app
        self.users = users
        self.exempt_paths = frozenset(exempt_paths)

    @classmethod
    def from_registry(cls, app, store, exempt_paths=()):
        """The users of `store`'s registry as it is now; the first record of
        a stored hash wins, as in the store's scan."""
        from vardun.mcp.user_store import MCPUser

        users = {}
        for record in json.loads(Path(store.path).read_text(encoding="utf-8")):
            key_hash = record.get("api_key_hash")
            if isinstance(key_hash, str) and key_hash.startswith("sha256:"):
                user_id = record["user_id"]
                users.setdefault(key_hash[7:], MCPUser(
                    user_id, record.get("description", ""), record.get("created_at", ""),
                    store.credential_dir(user_id)))
        return cls(app, users, exempt_paths)

    async def __call__(self, scope, receive, send):
        kind = scope["type"]
        if kind not in ("http", "websocket") or scope["path"] in self.exempt_paths:
            await self.app(scope, receive, send)
            return
        values = [value for name, value in scope["headers"] if name.lower() == b"authorization"]
        if not values:
            refusal = "missing"
        elif len(values) > 1:
            refusal = "repeated"
        else:
            key = bytes(values[0]).decode("latin-1").strip()
            if key[:7].lower() == "bearer ":
                key = key[7:].strip()
            user = self.users.get(hashlib.sha256(key.encode()).hexdigest())
            if user is not None:
                await self.app({**scope, "user": user, "auth": _Credentials(["authenticated"])},
                               receive, send)
                return
            refusal = "invalid"
        await _refuse(refusal, kind, receive, send)


async def _refuse(refusal, kind, receive, send):
    status, body = _REFUSED[refusal]
    if kind == "websocket":
        if (await receive())["type"] == "websocket.connect":
            await send({"type": "websocket.close", "code": 1008})
        return
    headers = [(b"content-type", b"application/json"), (b"content-length", b"%d" % len(body))]
    if status == 401:
        headers.append((b"www-authenticate", b'Bearer realm="vardun-mcp"'))
    await send({"type": "http.response.start", "status": status, "headers": headers})
    await send({"type": "http.response.body", "body": body})
