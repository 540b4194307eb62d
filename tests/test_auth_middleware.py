"""BearerAuthMiddleware in front of an application, served by a real uvicorn
on 127.0.0.1 and reached over real HTTP and WebSocket connections."""

import asyncio
import contextlib
import contextvars
import json
import logging
import os
import socket
import subprocess
import sys
import threading
import time

import h11
import httpx
import pytest
import uvicorn
from uvicorn.protocols.http.h11_impl import H11Protocol

from vardun.mcp.auth import BearerAuthMiddleware

CHALLENGE = 'Bearer realm="vardun-mcp"'
CHALLENGES = {
    (401, "missing_token"): CHALLENGE,
    (400, "invalid_request"): f'{CHALLENGE}, error="invalid_request"',
    (401, "invalid_token"): f'{CHALLENGE}, error="invalid_token"',
}
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
_outer_scope = contextvars.ContextVar("outer_scope")


class LargeHeaders(H11Protocol):
    # uvicorn's h11 stops at 16 KiB of headers; a 64 KiB value must reach the app.
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.conn = h11.Connection(h11.SERVER, max_incomplete_event_size=1 << 20)


class Probe:
    """Outer app: the middleware, over an app that tells who called it and
    whether it got the caller's scope or a copy. Records what went wrong."""

    def __init__(self, store):
        self.middleware = BearerAuthMiddleware(self.inner, store, exempt_paths=("/health",))
        self.faults, self.lifespan, self.closes = [], [], []

    async def __call__(self, scope, receive, send):
        before = dict(scope)
        _outer_scope.set(scope)

        async def recording_send(message):
            if message["type"] == "websocket.close":
                self.closes.append(message["code"])
            await send(message)

        await self.middleware(scope, receive, recording_send)
        if scope != before:
            self.faults.append(f"the caller's scope changed: {before} -> {scope}")

    async def inner(self, scope, receive, send):
        if scope["type"] == "lifespan":
            self.lifespan.append(scope is _outer_scope.get())
            while (message := await receive())["type"] != "lifespan.shutdown":
                await send({"type": "lifespan.startup.complete"})
            await send({"type": "lifespan.shutdown.complete"})
            return
        # Exempt paths get the caller's scope itself; others a copy with the user.
        user, exempt, same = scope.get("user"), scope["path"] == "/health", scope is _outer_scope.get()
        if (user is None) != exempt or same != exempt:
            self.faults.append(f"{scope['path']}: user {user}, the caller's scope: {same}")
        reply = json.dumps({"user": user and user.user_id})
        if scope["type"] == "websocket":
            await receive()
            await send({"type": "websocket.accept"})
            await send({"type": "websocket.send", "text": reply})
            await send({"type": "websocket.close", "code": 1000})
            return
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-type", b"application/json")]})
        await send({"type": "http.response.body", "body": reply.encode()})


UVICORN_LOGGERS = ("uvicorn.error", "uvicorn.access", "uvicorn.asgi")


@contextlib.contextmanager
def serving(app, log_level=None):
    """Serves `app`; with `log_level` ("info", as a deployed server) uvicorn
    logs an application's error as such a server does. Without one its
    loggers stay unset, which makes uvicorn wrap the application in its
    message logger, which re-raises an error without its chain."""
    levels = {name: logging.getLogger(name).level for name in UVICORN_LOGGERS}
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    config = uvicorn.Config(app, loop="asyncio", http=LargeHeaders, ws="wsproto", lifespan="on",
                            log_config=None, access_log=False, log_level=log_level)
    server = uvicorn.Server(config)
    thread = threading.Thread(target=server.run, kwargs={"sockets": [listener]}, daemon=True)
    thread.start()
    deadline = time.monotonic() + 30
    while not server.started:
        assert thread.is_alive() and time.monotonic() < deadline, "uvicorn did not start"
        time.sleep(0.01)
    try:
        yield listener.getsockname()[1], thread
    finally:
        server.should_exit = True
        thread.join(30)
        listener.close()
        for name, level in levels.items():
            logging.getLogger(name).setLevel(level)


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    base = tmp_path_factory.mktemp("auth") / "base"
    from vardun.mcp.user_store import MCPUserStore

    store = MCPUserStore(base)
    probe = Probe(store)
    with serving(probe) as (port, thread):
        with httpx.Client(base_url=f"http://127.0.0.1:{port}", timeout=30) as client:
            yield type("Site", (), dict(store=store, base=base, probe=probe, port=port,
                                        thread=thread, client=client,
                                        alice=store.add_user("Alice"), bob=store.add_user("Bob")))


def whoami(client, *values, path="/whoami"):
    response = client.get(path, headers=[(b"authorization", v) for v in values])
    if response.status_code == 200:
        return 200, response.json()["user"]
    assert response.headers["content-type"] == "application/json"
    body = response.json()
    assert set(body) == {"error", "error_description"}
    challenges = response.headers.get_list("www-authenticate")
    expected = CHALLENGES.get((response.status_code, body["error"]))
    assert challenges == ([expected] if expected else []), challenges
    return response.status_code, body["error"]


def test_every_answer_of_the_middleware(site):
    key = site.alice["api_key"].encode()
    assert whoami(site.client) == (401, "missing_token")
    assert whoami(site.client, key, key) == (400, "invalid_request")
    assert whoami(site.client, b"vardun-mcp-" + b"x" * 32) == (401, "invalid_token")
    assert whoami(site.client, b"") == (401, "invalid_token")
    for value in (key, b"Bearer " + key, b"bEaReR  " + key):
        assert whoami(site.client, value) == (200, site.alice["user_id"])
    assert whoami(site.client, path="/health") == (200, None)
    assert whoami(site.client, path="/health/") == (401, "missing_token")
    # Refused before the body is read; the connection still serves the next request.
    refused = site.client.post("/whoami", content=b"x" * 100_000)
    assert refused.status_code == 401 and key.decode() not in refused.text
    assert whoami(site.client, key) == (200, site.alice["user_id"])


# Header values a client may send; ALICE stands for a valid key.
HOSTILE = [
    b"Bearer \xff\xfe\x80 caf\xe9",
    b"Bearer \x01\x02\x1b[2J\x7f\x1f",
    bytes(b for b in range(1, 256) if b not in b" \t\n\v\f\r"),
    b"Bearer " + b"A" * 65536,
    b"Bearer",
    b"Bearer Bearer",
    b"Basic dmFyZHVuOnNlY3JldA==",
    b'Digest username="alice", response="00"',
    b"Basic ALICE", b"Token ALICE", b"ALICE trailing",
]


@pytest.mark.parametrize("value", HOSTILE)
def test_hostile_headers_are_refused_as_invalid_tokens(site, value):
    value = value.replace(b"ALICE", site.alice["api_key"].encode())
    assert whoami(site.client, value) == (401, "invalid_token")


def test_websocket_refused_before_the_handshake_and_accepted_with_a_key(site, monkeypatch):
    def handshake(*headers):
        """The handshake's status and the first frame's text (short, unmasked)."""
        with socket.create_connection(("127.0.0.1", site.port), timeout=30) as connection:
            connection.sendall(b"\r\n".join([
                b"GET /socket HTTP/1.1", b"Host: 127.0.0.1", b"Upgrade: websocket",
                b"Connection: Upgrade", b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==",
                b"Sec-WebSocket-Version: 13", *headers, b"", b""]))
            received = b""
            while b"\r\n\r\n" not in received:
                received += connection.recv(65536) or pytest.fail(f"closed after {received!r}")
            head, _, frame = received.partition(b"\r\n\r\n")
            status = head.split()[1]
            while status == b"101" and (len(frame) < 2 or len(frame) < 2 + frame[1]):
                frame += connection.recv(65536) or pytest.fail(f"closed after {frame!r}")
        return status, frame[2:2 + frame[1]] if status == b"101" else b""

    closes = len(site.probe.closes)
    assert handshake() == (b"403", b"")
    assert handshake(b"Authorization: Bearer vardun-mcp-wrong") == (b"403", b"")
    assert site.probe.closes[closes:] == [1008, 1008]
    status, frame = handshake(b"Authorization: Bearer " + site.bob["api_key"].encode())
    assert status == b"101" and json.loads(frame) == {"user": site.bob["user_id"]}
    # A store that fails is the server's fault, not a policy violation.
    monkeypatch.setattr(site.probe.middleware, "store", RaisingStore())
    assert handshake(b"Authorization: Bearer " + site.bob["api_key"].encode()) == (b"403", b"")
    assert [code for code in site.probe.closes[closes:] if code != 1000] == [1008, 1008, 1011]


class RaisingStore:
    def verify_api_key(self, key):
        raise KeyError(f"no record for {key.split()[-1]}")


DAMAGE = {
    "not JSON": lambda registry: registry.write_text("[{"),
    "not UTF-8": lambda registry: registry.write_bytes(b"[\xff]"),
    "unencodable user id": lambda registry: registry.write_text(
        registry.read_text().replace('"u_', '"\\ud800')),
    "a directory": lambda registry: (registry.unlink(), registry.mkdir()),
    "owned by another account": lambda registry: os.chown(registry, 65534, 65534),
    "a store that names its argument": lambda registry: None,
}


@pytest.mark.parametrize("how", DAMAGE)
def test_store_failure_is_a_500_logged_once_without_the_key(site, tmp_path, caplog, monkeypatch, how):
    from vardun.mcp.user_store import MCPUserStore

    store = MCPUserStore(tmp_path)
    key = store.add_user("Carol")["api_key"]
    DAMAGE[how](store.path)
    monkeypatch.setattr(site.probe.middleware, "store", RaisingStore() if "argument" in how else store)
    with caplog.at_level(logging.ERROR, logger="vardun.mcp.auth"):
        response = site.client.get("/whoami", headers={"Authorization": f"Bearer {key}"})
    assert (response.status_code, response.json()["error"]) == (500, "server_error")
    assert "www-authenticate" not in response.headers
    records = [r for r in caplog.records if r.name == "vardun.mcp.auth"]
    assert len(records) == 1 and "Traceback" in records[0].getMessage()
    assert key not in caplog.text and key not in response.text


def users_command(base, *args):
    result = subprocess.run([sys.executable, "-P", "-m", "vardun.mcp.users", "--base-dir", str(base),
                             *args, "--json"], env=ENV, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def test_rotation_and_removal_by_the_command_apply_to_the_next_request(site):
    # Judged request by request, none racing the command: each refusal is
    # the first request after it returned, while the index was current.
    carol = site.store.add_user("Carol")
    key, user_id = carol["api_key"].encode(), carol["user_id"]
    for _ in range(3):
        assert [whoami(site.client, key) for _ in range(2)] == [(200, user_id)] * 2
        rotated = users_command(site.base, "rotate", user_id)["api_key"].encode()
        assert whoami(site.client, key) == (401, "invalid_token")
        key = rotated
    assert [whoami(site.client, key) for _ in range(2)] == [(200, user_id)] * 2
    users_command(site.base, "remove", user_id)
    assert whoami(site.client, key) == (401, "invalid_token")


# Adds, rotates and removes a user over and over until its stdin closes.
CHURN = """
import sys, threading
from vardun.mcp.user_store import MCPUserStore
store, cycles, done = MCPUserStore(sys.argv[1]), 0, threading.Event()
threading.Thread(target=lambda: (sys.stdin.read(), done.set()), daemon=True).start()
while not done.is_set():
    added = store.add_user("churn")
    store.rotate_api_key(added["user_id"])
    store.remove_user(added["user_id"])
    cycles += 1
    print(cycles, flush=True)
"""


def test_concurrent_clients_see_only_their_own_users_while_others_change(site):
    users = [site.store.add_user(f"client {n}") for n in range(16)]
    answers = []

    def client(user):
        key = user["api_key"].encode()
        with httpx.Client(base_url=site.client.base_url, timeout=60) as client:
            for n in range(50):
                answers.append((user["user_id"], whoami(client, b"Bearer " + key if n % 2 else key)))

    threads = [threading.Thread(target=client, args=(user,)) for user in users]
    with subprocess.Popen([sys.executable, "-P", "-c", CHURN, str(site.base)], env=ENV,
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True) as churn:
        assert churn.stdout.readline() == "1\n"
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        cycles = churn.communicate(timeout=60)[0].split()
    assert churn.returncode == 0 and len(cycles) > 1
    assert len(answers) == 16 * 50
    assert [(user, answer) for user, answer in answers if answer != (200, user)] == []


def test_a_slow_store_does_not_hold_up_other_requests(site, monkeypatch):
    entered, release, threads = threading.Event(), threading.Event(), []
    store = site.store

    class SlowStore:
        def verify_api_key(self, key):
            threads.append(threading.get_ident())
            entered.set()
            release.wait(30)
            return store.verify_api_key(key)

    monkeypatch.setattr(site.probe.middleware, "store", SlowStore())
    slow = []

    def wait_for_slow_store():
        with httpx.Client(base_url=site.client.base_url, timeout=60) as client:
            slow.append(whoami(client, site.alice["api_key"].encode()))

    waiting = threading.Thread(target=wait_for_slow_store)
    waiting.start()
    try:
        assert entered.wait(30)
        started = time.monotonic()
        assert whoami(site.client, path="/health") == (200, None)
        assert time.monotonic() - started < 5 and not release.is_set()
    finally:
        release.set()
        waiting.join()
    assert slow == [(200, site.alice["user_id"])]
    assert threads and site.thread.ident not in threads


class NoUsers:
    def verify_api_key(self, key):
        return None


def test_construction(tmp_path, monkeypatch):
    import vardun.config

    monkeypatch.setattr(vardun.config, "CONFIG_DIR", tmp_path)
    assert BearerAuthMiddleware(None).store.base_dir == tmp_path
    for bad, error in [({"exempt_paths": "/health"}, TypeError), ({"exempt_paths": [b"/"]}, TypeError),
                       ({"store": object()}, TypeError), ({"realm": 3}, TypeError),
                       ({"realm": "a\r\nSet-Cookie: x"}, ValueError)]:
        with pytest.raises(error):
            BearerAuthMiddleware(None, **{"store": NoUsers(), **bad})

    sent = []

    async def send(message):
        sent.append(message)

    middleware = BearerAuthMiddleware(None, NoUsers(), realm='team "a\\b"')
    asyncio.run(middleware({"type": "http", "path": "/", "headers": []}, None, send))
    assert (b"www-authenticate", b'Bearer realm="team \\"a\\\\b\\""') in sent[0]["headers"]


def test_the_lifespan_and_every_scope_passed_through_untouched(site):
    # Last in this file: it judges what the tests before it sent to the site.
    assert site.probe.lifespan == [True], "the lifespan scope did not pass through untouched"
    assert site.probe.faults == []
