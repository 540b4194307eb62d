"""Requests per second through uvicorn, with and without BearerAuthMiddleware.

bench/run.py drives this: one server without the middleware and one with it
per registry size, each a child process on 127.0.0.1 serving the same small
ASGI application, measured in interleaved rounds by an asyncio client in the
benchmark's process. The server side runs as

    python3 -P bench/http_rps.py FD BASE_DIR [--middleware]
"""

import asyncio
import signal
import socket
import statistics
import subprocess
import sys
import time
from pathlib import Path

HTTP_OPERATION = "requests through uvicorn"
CONNECTIONS = 8


async def hello(scope, receive, send):
    """Answers with the user's id; no work of its own, so the middleware's shows."""
    user = scope.get("user")
    body = user.user_id.encode() if user is not None else b"-"
    await send({"type": "http.response.start", "status": 200,
                "headers": [(b"content-type", b"text/plain"), (b"content-length", b"%d" % len(body))]})
    await send({"type": "http.response.body", "body": body})


def serve(fd, base_dir, middleware):
    import uvicorn

    app = hello
    if middleware:
        from vardun.mcp.auth import BearerAuthMiddleware
        from vardun.mcp.user_store import MCPUserStore

        app = BearerAuthMiddleware(hello, MCPUserStore(base_dir))
    # uvicorn's own fd= takes every descriptor for a Unix socket and so leaves
    # Nagle's algorithm on; a socket object made from it knows it is TCP.
    listener = socket.socket(fileno=fd)
    config = uvicorn.Config(app, lifespan="off", access_log=False, log_level="warning")
    uvicorn.Server(config).run(sockets=[listener])


def implementations():
    """What uvicorn's "auto" picks on this machine."""
    import importlib.util

    loop = "uvloop" if importlib.util.find_spec("uvloop") else "asyncio"
    http = "httptools" if importlib.util.find_spec("httptools") else "h11"
    return {"loop": loop, "http": http}


class Server:
    """A child process serving `hello` on a free port of 127.0.0.1; `key` is
    what its requests present."""

    def __init__(self, base_dir, key, middleware):
        self.key, self.middleware = key, middleware
        with socket.socket() as listener:
            listener.bind(("127.0.0.1", 0))
            self.port = listener.getsockname()[1]
            self.process = subprocess.Popen(
                [sys.executable, "-P", str(Path(__file__).resolve()), str(listener.fileno()),
                 str(base_dir), *(["--middleware"] if middleware else [])],
                pass_fds=[listener.fileno()], stdin=subprocess.DEVNULL)

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


async def _exchange(reader, writer, request):
    writer.write(request)
    head = await reader.readuntil(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.lower() == b"content-length":
            length = int(value)
    body = await reader.readexactly(length)
    return int(head[9:12]), body


def _request(key):
    headers = b"" if key is None else b"Authorization: Bearer %s\r\n" % key.encode()
    return b"GET /whoami HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + b"\r\n"


async def _ask(port, key):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    try:
        return await _exchange(reader, writer, _request(key))
    finally:
        writer.close()


def ask(port, key, deadline=20.0):
    """One request, retried while the server is still starting."""
    started = time.monotonic()
    while True:
        try:
            return asyncio.run(_ask(port, key))
        except OSError:
            if time.monotonic() - started > deadline:
                raise
            time.sleep(0.05)


async def _measure(port, key, seconds):
    request = _request(key)
    connections = [await asyncio.open_connection("127.0.0.1", port) for _ in range(CONNECTIONS)]
    done, failures = 0, 0
    started = time.perf_counter()
    deadline = started + seconds

    async def keep_asking(reader, writer):
        nonlocal done, failures
        while time.perf_counter() < deadline:
            status, _ = await _exchange(reader, writer, request)
            done += 1
            failures += status != 200

    try:
        await asyncio.gather(*(keep_asking(r, w) for r, w in connections))
    finally:
        for _, writer in connections:
            writer.close()
    return done, time.perf_counter() - started, failures


def measure(port, key, seconds):
    """Requests per second over CONNECTIONS keep-alive connections, and the
    share of that time the client itself was busy."""
    cpu = time.process_time()
    done, elapsed, failures = asyncio.run(_measure(port, key, seconds))
    if failures:
        raise AssertionError(f"{failures} of {done} requests to port {port} failed")
    return done / elapsed, (time.process_time() - cpu) / elapsed


def run(us, registry, root, sizes, rounds, seconds, log=print):
    """Rows of requests per second at each size, without and with the middleware."""
    servers = {}
    try:
        expected = {}
        for size in sizes:
            reg = registry.build(root / f"http-{size}", size)
            servers[size] = Server(reg.base_dir, reg.keys[-1], middleware=True)
            user = us.MCPUserStore(reg.base_dir).verify_api_key(reg.keys[-1])
            expected[size] = (200, user.user_id.encode())
        # The same request bytes, to an application that looks at nothing.
        servers["without"] = Server(root, servers[sizes[-1]].key, middleware=False)
        expected["without"] = (200, b"-")
        for name, server in servers.items():
            answer = ask(server.port, server.key)
            if answer != expected[name]:
                raise AssertionError(f"server {name!r} answered {answer}, not {expected[name]}")
            if server.middleware and ask(server.port, "vardun-mcp-wrong")[0] != 401:
                raise AssertionError(f"server {name!r} let a wrong key through")
        log(f"  {len(servers)} uvicorn servers up and checked")

        order = list(servers)
        samples = {name: [] for name in order}
        client_cpu = {name: [] for name in order}
        for name in order:
            measure(servers[name].port, servers[name].key, seconds / 2)  # warm-up
        for round_index in range(rounds):
            for name in order if round_index % 2 == 0 else order[::-1]:
                rate, cpu = measure(servers[name].port, servers[name].key, seconds)
                samples[name].append(rate)
                client_cpu[name].append(cpu)
    finally:
        for server in servers.values():
            server.stop()

    without = statistics.median(samples["without"])
    rows = []
    for size in sizes:
        with_mw = statistics.median(samples[size])
        rows.append({
            "operation": HTTP_OPERATION,
            "users": size,
            "without_rps": without,
            "with_rps": with_mw,
            "ratio": with_mw / without,
            "paired_ratio": statistics.median(w / b for w, b in zip(samples[size], samples["without"])),
            "added_per_request_s": 1 / with_mw - 1 / without,
            "samples_rps": {"without": samples["without"], "with": samples[size]},
            "client_cpu_share": {"without": statistics.median(client_cpu["without"]),
                                 "with": statistics.median(client_cpu[size])},
        })
    return rows


def print_rows(rows, uvicorn, verify, fmt_time, out=sys.stdout):
    """`verify`: seconds per verify_api_key (last user) by size, from the main table."""
    print(f"\n{HTTP_OPERATION} ({uvicorn['http']} on {uvicorn['loop']}, {CONNECTIONS} keep-alive "
          "connections, the last user's key), requests per second:", file=out)
    header = ("users", "without", "with middleware", "ratio", "added per request",
              "verify_api_key alone", "client CPU")
    lines = [(f"{r['users']:,}", f"{r['without_rps']:,.0f}", f"{r['with_rps']:,.0f}",
              f"{r['ratio']:.2f}", fmt_time(r["added_per_request_s"]),
              fmt_time(verify.get(r["users"])),
              f"{r['client_cpu_share']['without']:.0%} / {r['client_cpu_share']['with']:.0%}")
             for r in rows]
    widths = [max(len(h), *(len(line[i]) for line in lines)) for i, h in enumerate(header)]
    for cells in (header, *lines):
        print("  " + "  ".join(c.rjust(w) for c, w in zip(cells, widths)), file=out)


def main(argv):
    fd, base_dir = int(argv[0]), argv[1]
    serve(fd, base_dir, "--middleware" in argv[2:])


if __name__ == "__main__":
    main(sys.argv[1:])
