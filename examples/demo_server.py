"""Adds a user on a temporary registry with the user command, then starts
examples/mcp_http_app.py under uvicorn on 127.0.0.1 twice, guarded by
BearerAuthMiddleware and then by Starlette's AuthenticationMiddleware with
StoreAuthBackend; makes a few requests to each, prints what came back and
stops the server.

    PYTHONPATH=build/release/lib /usr/bin/python3 -P examples/demo_server.py   (make demo-server)
"""

import http.client
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parent


def request(port, method, path, authorization=None, body=None):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        headers = {} if authorization is None else {"Authorization": authorization}
        connection.request(method, path, body=body, headers=headers)
        response = connection.getresponse()
        return response.status, response.reason, response.getheaders(), response.read()
    finally:
        connection.close()


def wait_until_up(server, port, deadline=15.0):
    started = time.monotonic()
    while time.monotonic() - started < deadline:
        if server.poll() is not None:
            sys.exit(f"the server exited with status {server.returncode}")
        try:
            if request(port, "GET", "/health")[0] == 200:
                return
        except OSError:
            time.sleep(0.05)
    sys.exit("the server did not come up")


def show(port, label, method, path, authorization=None, body=None, shown_as=None):
    print(f"\n## {label}")
    print(f"> {method} {path}")
    if authorization is not None:
        print(f"> Authorization: {shown_as or authorization}")
    if body is not None:
        print(f"> {body.decode()}")
    status, reason, headers, payload = request(port, method, path, authorization, body)
    print(f"< {status} {reason}")
    for name, value in headers:
        if name.lower() in ("content-type", "www-authenticate"):
            print(f"< {name}: {value}")
    if dict((name.lower(), value) for name, value in headers).get("content-type") == "application/json":
        print(f"< {json.dumps(json.loads(payload), ensure_ascii=False)}")
    else:
        print(f"< {payload.decode()}")


def serve(env, factory, label, key, hidden):
    # The listening socket is handed over to uvicorn, so the free port
    # cannot be taken by someone else in between.
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        port = listener.getsockname()[1]
        command = [sys.executable, "-P", "-m", "uvicorn", "--fd", str(listener.fileno()),
                   "--app-dir", str(EXAMPLES), "--factory", f"mcp_http_app:{factory}",
                   "--loop", "asyncio", "--http", "h11", "--no-use-colors"]
        print(f"\n# {label}")
        print(f"uvicorn on http://127.0.0.1:{port} (examples/mcp_http_app.py, {factory})")
        log = tempfile.TemporaryFile(mode="w+")
        server = subprocess.Popen(command, env=env, pass_fds=[listener.fileno()],
                                  stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    try:
        wait_until_up(server, port)
        bearer = {"authorization": f"Bearer {key}", "shown_as": f"Bearer {hidden}"}
        show(port, "no key needed", "GET", "/health")
        if factory == "create_app":
            show(port, "the bare key", "GET", "/whoami", key, shown_as=hidden)
            show(port, "the Bearer form", "GET", "/whoami", **bearer)
            show(port, "a note in the user's credential directory", "POST", "/notes",
                 body="remember the milk".encode(), **bearer)
            show(port, "the notes", "GET", "/notes", **bearer)
            show(port, "a wrong key", "GET", "/whoami", "Bearer vardun-mcp-wrong")
            show(port, "no Authorization header", "GET", "/whoami")
        else:
            show(port, "the Bearer form", "GET", "/whoami", **bearer)
            show(port, "the notes", "GET", "/notes", **bearer)
            show(port, "a wrong key, refused on a public route too", "GET", "/health",
                 "Bearer vardun-mcp-wrong")
            show(port, "no Authorization header: anonymous, refused by @requires", "GET",
                 "/whoami")
    finally:
        server.send_signal(signal.SIGINT)
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
        log.seek(0)
        print("\nserver log:")
        for line in log.read().splitlines():
            print(f"  {line}")
        log.close()
    print(f"server stopped (exit status {server.returncode})")


def main():
    with tempfile.TemporaryDirectory(prefix="vardun-demo-server-") as base:
        env = {**os.environ, "VARDUN_CONFIG_DIR": base}
        env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
        print(f"registry: {base}/mcp_users.json")
        print('$ python3 -m vardun.mcp.users add "Alice (demo)" --json')
        added = json.loads(subprocess.run(
            [sys.executable, "-P", "-m", "vardun.mcp.users", "add", "Alice (demo)", "--json"],
            env=env, check=True, capture_output=True, text=True).stdout)
        key = added["api_key"]
        hidden = f"{key[:15]}…"
        print(f"added {added['user_id']} with key {hidden}")

        serve(env, "create_app", "BearerAuthMiddleware: a gate for every request but /health",
              key, hidden)
        serve(env, "create_per_route_app",
              "AuthenticationMiddleware with StoreAuthBackend: @requires on each guarded route",
              key, hidden)


if __name__ == "__main__":
    main()
