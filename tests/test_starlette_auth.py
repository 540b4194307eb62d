"""Starlette's conventions (request.auth, @requires) behind BearerAuthMiddleware
and behind Starlette's AuthenticationMiddleware with StoreAuthBackend, served
by a real uvicorn on 127.0.0.1."""

import logging
import time
import types

import httpx
import pytest
from starlette.applications import Starlette
from starlette.authentication import AuthenticationError, requires
from starlette.middleware import Middleware
from starlette.middleware.authentication import AuthenticationMiddleware
from starlette.responses import JSONResponse
from starlette.routing import Route
from test_auth_middleware import (DAMAGE, HOSTILE, NoUsers, RaisingStore, serving, users_command,
                                 whoami)

import vardun.mcp.auth as auth
from vardun.mcp.auth import BearerAuthError, BearerAuthMiddleware, StoreAuthBackend, on_auth_error

WAYS = ["middleware", "backend"]


async def public(request):
    credentials = request.scope.get("auth")
    return JSONResponse({"user": type(request.scope.get("user")).__name__,
                         "scopes": credentials and credentials.scopes})


@requires("authenticated")
async def private(request):
    return JSONResponse({"user": request.user.user_id, "scopes": request.auth.scopes})


@pytest.fixture(scope="module")
def sites(tmp_path_factory):
    from vardun.mcp.user_store import MCPUserStore

    base = tmp_path_factory.mktemp("starlette") / "base"
    store = MCPUserStore(base)
    backend = StoreAuthBackend(store)
    routes = [Route("/health", public), Route("/private", private)]
    gated = BearerAuthMiddleware(Starlette(routes=routes), store, exempt_paths=("/health",))
    per_route = Starlette(routes=routes, middleware=[
        Middleware(AuthenticationMiddleware, backend=backend, on_error=on_auth_error)])
    # The backend's server logs at a normal level, so that what reaches its
    # log is what a deployed one would write.
    with serving(gated) as (gated_port, _), \
            serving(per_route, log_level="info") as (per_route_port, _):
        with httpx.Client(base_url=f"http://127.0.0.1:{gated_port}", timeout=30) as gated_client, \
                httpx.Client(base_url=f"http://127.0.0.1:{per_route_port}", timeout=30) as client:
            yield types.SimpleNamespace(
                store=store, base=base, backend=backend, alice=store.add_user("Alice"),
                clients={"middleware": gated_client, "backend": client})


@pytest.mark.parametrize("way", WAYS)
def test_requires_routes_and_public_routes_behind_either_component(sites, way):
    client, key, alice = sites.clients[way], sites.alice["api_key"], sites.alice["user_id"]
    for value in (key, f"Bearer {key}"):
        response = client.get("/private", headers={"Authorization": value})
        assert response.status_code == 200
        assert response.json() == {"user": alice, "scopes": ["authenticated"]}
    with_key = client.get("/health", headers={"Authorization": key}).json()
    if way == "middleware":
        # A gate: no key never reaches the application; exempt paths pass untouched.
        assert whoami(client, path="/private") == (401, "missing_token")
        assert client.get("/health").json() == with_key == {"user": "NoneType", "scopes": None}
    else:
        refused = client.get("/private")
        assert (refused.status_code, refused.text) == (403, "Forbidden")
        assert client.get("/health").json() == {"user": "UnauthenticatedUser", "scopes": []}
        assert with_key == {"user": "MCPUser", "scopes": ["authenticated"]}


def test_the_backend_refuses_with_the_middlewares_answers(sites):
    key = sites.alice["api_key"].encode()
    for values in ([key, key], [b"vardun-mcp-" + b"x" * 32], [b""]):
        headers = [(b"authorization", value) for value in values]
        gated, backed = (sites.clients[way].get("/private", headers=headers) for way in WAYS)
        assert backed.status_code == gated.status_code and backed.content == gated.content
        for name in ("content-type", "content-length", "www-authenticate"):
            assert backed.headers.get_list(name) == gated.headers.get_list(name)
        assert whoami(sites.clients["backend"], *values, path="/private")[0] in (400, 401)
    # Starlette's backend sees every request: a wrong key is refused on public routes too.
    assert whoami(sites.clients["backend"], b"wrong", path="/health") == (401, "invalid_token")


@pytest.mark.parametrize("value", HOSTILE)
def test_hostile_headers_through_the_backend_are_invalid_tokens(sites, value):
    value = value.replace(b"ALICE", sites.alice["api_key"].encode())
    assert whoami(sites.clients["backend"], value, path="/private") == (401, "invalid_token")


def test_a_rotated_key_is_refused_on_the_next_request_through_the_backend(sites):
    client, carol = sites.clients["backend"], sites.store.add_user("Carol")
    assert whoami(client, carol["api_key"].encode(), path="/private") == (200, carol["user_id"])
    new_key = users_command(sites.base, "rotate", carol["user_id"])["api_key"].encode()
    assert whoami(client, carol["api_key"].encode(), path="/private") == (401, "invalid_token")
    assert whoami(client, new_key, path="/private") == (200, carol["user_id"])


@pytest.mark.parametrize("how", DAMAGE)
def test_store_failure_through_the_backend_is_a_500_logged_without_the_key(
        sites, tmp_path, caplog, monkeypatch, how):
    from vardun.mcp.user_store import MCPUserStore

    store = MCPUserStore(tmp_path)
    key = store.add_user("Carol")["api_key"]
    DAMAGE[how](store.path)
    monkeypatch.setattr(sites.backend, "store", RaisingStore() if "argument" in how else store)
    with caplog.at_level(logging.ERROR, logger="vardun.mcp.auth"):
        response = sites.clients["backend"].get("/private", headers={"Authorization": key})
    assert (response.status_code, response.text) == (500, "Internal Server Error")
    assert "www-authenticate" not in response.headers
    ours = [r for r in caplog.records if r.name == "vardun.mcp.auth"]
    assert len(ours) == 1 and "Traceback" in ours[0].getMessage()
    # The server logs what reached it, once the response is sent: our own
    # error, with nothing of the store's chained to it.
    deadline = time.monotonic() + 10
    while "KeyCheckError" not in caplog.text:
        assert time.monotonic() < deadline, caplog.text
        time.sleep(0.01)
    assert key not in caplog.text and key not in response.text


# In a fresh interpreter where Starlette cannot be imported.
WITHOUT_STARLETTE = """
import asyncio, sys
import vardun.mcp.auth as auth
print(sorted(name for name in sys.modules if name.partition(".")[0] == "starlette"))
sys.modules["starlette"] = None

class Store:
    def verify_api_key(self, key):
        return "alice" if key == "good" else None

seen = []

async def app(scope, receive, send):
    seen.append(scope["auth"])

middleware = auth.BearerAuthMiddleware(app, Store())
for _ in range(2):
    asyncio.run(middleware({"type": "http", "path": "/", "headers": [(b"authorization", b"good")]},
                           None, None))
print(type(seen[0]).__module__, seen[0].scopes, seen[0] is not seen[1])
try:
    auth.StoreAuthBackend
except ImportError as error:
    print(type(error).__name__)
"""


def test_the_middleware_needs_no_starlette(python):
    assert python(WITHOUT_STARLETTE).stdout.splitlines() == [
        "[]", "vardun.mcp.auth ['authenticated'] True", "ModuleNotFoundError"]


def test_backend_construction_and_error_handler(tmp_path, monkeypatch):
    import vardun.config

    monkeypatch.setattr(vardun.config, "CONFIG_DIR", tmp_path)
    assert StoreAuthBackend().store.base_dir == tmp_path
    for bad, error in [({"store": object()}, TypeError), ({"realm": 3}, TypeError),
                       ({"realm": "a\r\nSet-Cookie: x"}, ValueError)]:
        with pytest.raises(error):
            StoreAuthBackend(**{"store": NoUsers(), **bad})
    with pytest.raises(ValueError):
        BearerAuthError("server_error")
    refused = on_auth_error(None, BearerAuthError("missing_token", realm='team "a"'))
    assert refused.status_code == 401
    assert refused.headers["www-authenticate"] == 'Bearer realm="team \\"a\\""'
    other = on_auth_error(None, AuthenticationError("no such session"))
    assert (other.status_code, other.body) == (400, b"no such session")
    assert {"StoreAuthBackend", "on_auth_error"} <= set(dir(auth))
    with pytest.raises(AttributeError):
        auth.no_such_name
