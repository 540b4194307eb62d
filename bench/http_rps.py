"""Requests per second through uvicorn, with and without BearerAuthMiddleware.

bench/run.py drives this. For each server stack (uvicorn's event loop and
HTTP parser), one server without the middleware and one with it per
registry size, plus ones whose middleware keeps every check in the worker
thread: each a child process on 127.0.0.1 serving the same small ASGI
application, measured in interleaved rounds by an asyncio client in the
benchmark's process. The server side runs as

    python3 -P bench/http_rps.py FD BASE_DIR LOOP HTTP [--middleware] [--in-thread] [--peer]

(--peer: bench/peer_middleware.py's in-memory dict middleware instead.)
"""

import asyncio
import importlib.util
import os
import signal
import socket
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import server_cpu  # noqa: E402

HTTP_OPERATION = "requests through uvicorn"
CONNECTIONS = 8
# The pure-Python stack, and the one production deployments run.
STACKS = (("asyncio", "h11"), ("uvloop", "httptools"))

# What the middleware must keep of the throughput in one run.
GROWTH_LIMIT = 0.80  # with the middleware at the largest size / at the smallest
BARE_LIMIT = 0.80  # with the middleware at the smallest size / without it


async def hello(scope, receive, send):
    """Answers with the user's id; no work of its own, so the middleware's shows."""
    user = scope.get("user")
    body = user.user_id.encode() if user is not None else b"-"
    await send({"type": "http.response.start", "status": 200,
                "headers": [(b"content-type", b"text/plain"), (b"content-length", b"%d" % len(body))]})
    await send({"type": "http.response.body", "body": body})


def serve(fd, base_dir, loop, http, middleware, in_thread, peer=False):
    import uvicorn

    app = hello
    if peer:
        from peer_middleware import DictAuthMiddleware
        from vardun.mcp.user_store import MCPUserStore

        app = DictAuthMiddleware.from_registry(hello, MCPUserStore(base_dir))
    elif middleware:
        from vardun.mcp.auth import BearerAuthMiddleware
        from vardun.mcp.user_store import MCPUserStore

        app = BearerAuthMiddleware(hello, MCPUserStore(base_dir), check_in_thread=in_thread)
    # uvicorn's own fd= takes every descriptor for a Unix socket and so leaves
    # Nagle's algorithm on; a socket object made from it knows it is TCP.
    listener = socket.socket(fileno=fd)
    config = uvicorn.Config(app, loop=loop, http=http, lifespan="off", access_log=False,
                            log_level="warning")
    uvicorn.Server(config).run(sockets=[listener])


def stack_name(loop, http):
    return f"{http} on {loop}"


def available(loop, http):
    """Whether this interpreter can import both; asyncio and h11 come with uvicorn."""
    return all(name == "asyncio" or importlib.util.find_spec(name) is not None
               for name in (loop, http))


def implementations():
    """The versions behind each stack, for the results' metadata."""
    from importlib.metadata import PackageNotFoundError, version

    found = {}
    for name in ("uvicorn", "h11", "uvloop", "httptools"):
        try:
            found[name] = version(name)
        except PackageNotFoundError:
            found[name] = None
    return found


class Server:
    """A child process serving `hello` on a free port of 127.0.0.1; `key` is
    what its requests present."""

    def __init__(self, base_dir, key, stack, middleware, in_thread=False, peer=False):
        self.key, self.middleware = key, middleware
        flags = [*(["--middleware"] if middleware else []), *(["--in-thread"] if in_thread else []),
                 *(["--peer"] if peer else [])]
        with socket.socket() as listener:
            listener.bind(("127.0.0.1", 0))
            self.port = listener.getsockname()[1]
            self.process = subprocess.Popen(
                [sys.executable, "-P", str(Path(__file__).resolve()), str(listener.fileno()),
                 str(base_dir), *stack, *flags],
                pass_fds=[listener.fileno()], stdin=subprocess.DEVNULL)

    def cpu_seconds(self):
        """User and system CPU time of the server process so far, all its
        threads: on a loaded machine, a measure of its work that leaves out
        the time other processes had the core."""
        return server_cpu.cpu_seconds(self.process.pid)

    def stop(self):
        self.process.send_signal(signal.SIGINT)

    def wait(self):
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def stop_all(servers):
    # All at once: each takes a moment to shut down.
    for server in servers:
        server.stop()
    for server in servers:
        server.wait()


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


def measure(server, seconds):
    """Requests per second over CONNECTIONS keep-alive connections, the
    share of that time the client itself was busy, and the server's CPU
    seconds per request (None where /proc cannot tell)."""
    cpu, server_cpu = time.process_time(), server.cpu_seconds()
    done, elapsed, failures = asyncio.run(_measure(server.port, server.key, seconds))
    if failures:
        raise AssertionError(f"{failures} of {done} requests to port {server.port} failed")
    client = (time.process_time() - cpu) / elapsed
    after = server.cpu_seconds()
    per_request = None if server_cpu is None or after is None else (after - server_cpu) / done
    return done / elapsed, client, per_request


def _median(values):
    return None if not values or None in values else statistics.median(values)


def _ratio(stack, what, limit, numerator, denominator, samples, server_cpu):
    value = statistics.median(samples[numerator]) / statistics.median(samples[denominator])
    paired = statistics.median(a / b for a, b in zip(samples[numerator], samples[denominator]))
    # The same ratio from the server's CPU time per request, as if each
    # server had a core to itself.
    mine, theirs = _median(server_cpu[numerator]), _median(server_cpu[denominator])
    cpu = None if not mine or theirs is None else theirs / mine
    return {"stack": stack, "ratio": what, "limit": limit, "value": value, "paired": paired,
            "cpu": cpu, "ok": value >= limit}


def run_stack(stack, registries, sizes, thread_sizes, rounds, seconds, log=print):
    """Rows of requests per second on one stack, and the ratios its figures must reach."""
    servers = {}
    try:
        expected = {}
        for in_thread, group in ((False, sizes), (True, thread_sizes)):
            for size in group:
                reg = registries[size]
                servers[size, in_thread] = Server(reg.base_dir, reg.keys[-1], stack, True, in_thread)
                expected[size, in_thread] = (200, reg.user_ids[-1].encode())
        # The same request bytes, to an application that looks at nothing.
        servers["without"] = Server(registries[sizes[-1]].base_dir, servers[sizes[-1], False].key,
                                    stack, False)
        expected["without"] = (200, b"-")
        for name, server in servers.items():
            answer = ask(server.port, server.key)
            if answer != expected[name]:
                raise AssertionError(f"server {name!r} answered {answer}, not {expected[name]}")
            if server.middleware and ask(server.port, "vardun-mcp-wrong")[0] != 401:
                raise AssertionError(f"server {name!r} let a wrong key through")
        log(f"  {stack_name(*stack)}: {len(servers)} uvicorn servers up and checked")

        order = list(servers)
        samples = {name: [] for name in order}
        client_cpu = {name: [] for name in order}
        server_cpu = {name: [] for name in order}
        for name in order:
            measure(servers[name], seconds / 2)  # warm-up
        for round_index in range(rounds):
            for name in order if round_index % 2 == 0 else order[::-1]:
                rate, cpu, per_request = measure(servers[name], seconds)
                samples[name].append(rate)
                client_cpu[name].append(cpu)
                server_cpu[name].append(per_request)
    finally:
        stop_all(servers.values())

    name = stack_name(*stack)
    without = statistics.median(samples["without"])
    rows = []
    for size, in_thread in (n for n in order if n != "without"):
        runs = samples[size, in_thread]
        with_mw = statistics.median(runs)
        rows.append({
            "operation": HTTP_OPERATION,
            "stack": name,
            "loop": stack[0],
            "http": stack[1],
            "users": size,
            "check_in_thread": in_thread,
            "without_rps": without,
            "with_rps": with_mw,
            "ratio": with_mw / without,
            "paired_ratio": statistics.median(w / b for w, b in zip(runs, samples["without"])),
            "added_per_request_s": 1 / with_mw - 1 / without,
            "samples_rps": {"without": samples["without"], "with": runs},
            "client_cpu_share": {"without": statistics.median(client_cpu["without"]),
                                 "with": statistics.median(client_cpu[size, in_thread])},
            "server_cpu_per_request_s": {"without": _median(server_cpu["without"]),
                                         "with": _median(server_cpu[size, in_thread])},
            "server_cpu_samples_s": {"without": server_cpu["without"],
                                     "with": server_cpu[size, in_thread]},
        })
    small, large = sizes[0], sizes[-1]
    ratios = []
    if large != small:
        ratios.append(_ratio(name, f"rps at {large:,} / rps at {small:,}", GROWTH_LIMIT,
                             (large, False), (small, False), samples, server_cpu))
    ratios.append(_ratio(name, f"rps at {small:,} / rps without", BARE_LIMIT,
                         (small, False), "without", samples, server_cpu))
    return rows, ratios


def run(registry_of, sizes, thread_sizes, rounds, seconds, log=print):
    """Requests per second on every stack this interpreter has: rows, ratios,
    and the stacks that were skipped. `registry_of(size)` is a registry of
    `size` users that nothing changes meanwhile."""
    sizes = sorted(sizes)
    registries = {size: registry_of(size) for size in sorted({*sizes, *thread_sizes})}
    result = {"rows": [], "ratios": [], "skipped": []}
    for stack in STACKS:
        if not available(*stack):
            log(f"  {stack_name(*stack)}: not installed, skipped")
            result["skipped"].append(stack_name(*stack))
            continue
        rows, ratios = run_stack(stack, registries, sizes, thread_sizes, rounds, seconds, log)
        result["rows"] += rows
        result["ratios"] += ratios
    return result


def print_result(result, versions, checks, fmt_time, out=sys.stdout):
    """`checks`: seconds per check by size, from the key-check table, as
    {size: (index, store)}."""
    print(f"\n{HTTP_OPERATION} ({CONNECTIONS} keep-alive connections, the last user's key), "
          "requests per second:", file=out)
    print("  " + ", ".join(f"{name} {v}" for name, v in versions.items() if v), file=out)
    header = ("stack", "users", "check", "without", "with middleware", "ratio", "added per request",
              "server CPU per request", "index alone", "store alone", "client CPU")
    lines = []
    for r in result["rows"]:
        index, store = checks.get(r["users"], (None, None))
        server = r["server_cpu_per_request_s"]
        lines.append((r["stack"], f"{r['users']:,}", "in thread" if r["check_in_thread"] else "default",
                      f"{r['without_rps']:,.0f}", f"{r['with_rps']:,.0f}", f"{r['ratio']:.2f}",
                      fmt_time(r["added_per_request_s"]),
                      f"{fmt_time(server['without'])} / {fmt_time(server['with'])}",
                      fmt_time(index), fmt_time(store),
                      f"{r['client_cpu_share']['without']:.0%} / {r['client_cpu_share']['with']:.0%}"))
    if lines:
        widths = [max(len(h), *(len(line[i]) for line in lines)) for i, h in enumerate(header)]
        for cells in (header, *lines):
            print("  " + "  ".join(c.ljust(w) if i in (0, 2) else c.rjust(w)
                                   for i, (c, w) in enumerate(zip(cells, widths))).rstrip(), file=out)
    for entry in result["ratios"]:
        mark = "  " if entry["ok"] else " !"
        cpu = "-" if entry["cpu"] is None else f"{entry['cpu']:.2f}"
        print(f"  {entry['stack']}: {entry['ratio']}: {entry['value']:.2f}{mark} "
              f"(paired {entry['paired']:.2f}, by server CPU per request {cpu}; "
              f"limit >= {entry['limit']:.2f})", file=out)
    for name in result["skipped"]:
        print(f"  {name}: not installed, not measured", file=out)


def main(argv):
    fd, base_dir, loop, http = int(argv[0]), argv[1], argv[2], argv[3]
    serve(fd, base_dir, loop, http, "--middleware" in argv[4:], "--in-thread" in argv[4:],
          "--peer" in argv[4:])


if __name__ == "__main__":
    main(sys.argv[1:])
