"""The middleware's key index behind a real uvicorn: checks it can answer
stay on the event loop, and a rotation is refused on the next request by
every worker process."""

import os
import socket
import subprocess
import sys
import threading
import time

import httpx

from test_auth_middleware import ENV, Probe, serving, users_command, whoami
from vardun.mcp.key_index import KeyIndex
from vardun.mcp.user_store import MCPUserStore


def test_checks_run_on_the_loop_while_the_index_is_current(tmp_path, monkeypatch):
    store = MCPUserStore(tmp_path / "base")
    alice = store.add_user("Alice")
    key = alice["api_key"].encode()
    calls = []
    for name in ("verify_api_key", "answer_without_parsing"):
        method = getattr(KeyIndex, name)

        def recording(index, api_key, method=method, name=name):
            calls.append((name, threading.get_ident()))
            return method(index, api_key)

        monkeypatch.setattr(KeyIndex, name, recording)

    def served(probe, *values):
        calls.clear()
        with serving(probe) as (port, thread), \
                httpx.Client(base_url=f"http://127.0.0.1:{port}", timeout=30) as client:
            answers = [whoami(client, *value) for value in values]
            rotated = store.rotate_api_key(alice["user_id"])["api_key"].encode()
            answers += [whoami(client, key), whoami(client, rotated)]
        return answers, [(name, ident == thread.ident) for name, ident in calls]

    answers, where = served(Probe(store), [key], [key], [b"vardun-mcp-unknown"])
    assert answers == [(200, alice["user_id"]), (200, alice["user_id"]), (401, "invalid_token"),
                       (401, "invalid_token"), (200, alice["user_id"])]
    on_loop, in_thread = ("answer_without_parsing", True), ("verify_api_key", False)
    # Not parsed yet; then current; then the rotation makes it reload once.
    assert where == [on_loop, in_thread, on_loop, on_loop, on_loop, in_thread, on_loop]

    probe = Probe(store)
    probe.middleware.check_in_thread = True
    key = store.rotate_api_key(alice["user_id"])["api_key"].encode()
    answers, where = served(probe, [key], [key])
    assert answers[:2] == [(200, alice["user_id"])] * 2
    assert where == [in_thread] * 4


APP = """
import os
from vardun.mcp.auth import BearerAuthMiddleware

async def hello(scope, receive, send):
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": scope["user"].user_id.encode()})

def create_app():
    checked = BearerAuthMiddleware(hello)
    async def tagged(scope, receive, send):
        async def send_tagged(message):
            if message["type"] == "http.response.start":
                message = {**message, "headers": [*message["headers"],
                                                  (b"x-worker", str(os.getpid()).encode())]}
            await send(message)
        await checked(scope, receive, send_tagged)
    return tagged
"""


def test_every_worker_refuses_a_rotated_key_on_the_next_request(tmp_path):
    base = tmp_path / "base"
    alice = MCPUserStore(base).add_user("Alice")
    (tmp_path / "worker_app.py").write_text(APP)
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    server = subprocess.Popen(
        [sys.executable, "-P", "-m", "uvicorn", "--factory", "worker_app:create_app",
         "--app-dir", str(tmp_path), "--workers", "2", "--port", str(port), "--lifespan", "off",
         "--log-level", "warning"],
        env={**ENV, "VARDUN_CONFIG_DIR": str(base)}, stdin=subprocess.DEVNULL)

    def answers_from_both_workers(key):
        """(status, body) of each worker for `key`, asked on new connections."""
        seen, deadline = {}, time.monotonic() + 60
        while len(seen) < 2 and time.monotonic() < deadline:
            try:
                response = httpx.get(f"http://127.0.0.1:{port}/", timeout=10,
                                     headers={"Authorization": f"Bearer {key}"})
            except httpx.TransportError:
                time.sleep(0.05)  # still starting
                continue
            answer = (response.status_code, response.text if response.status_code == 200 else "")
            previous = seen.setdefault(response.headers["x-worker"], answer)
            assert previous == answer, (previous, answer)
        assert len(seen) == 2, seen
        return sorted(seen.values())

    try:
        assert answers_from_both_workers(alice["api_key"]) == [(200, alice["user_id"])] * 2
        new_key = users_command(base, "rotate", alice["user_id"])["api_key"]
        assert answers_from_both_workers(alice["api_key"]) == [(401, "")] * 2
        assert answers_from_both_workers(new_key) == [(200, alice["user_id"])] * 2
    finally:
        server.terminate()
        server.wait(30)
