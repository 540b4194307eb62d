"""Server CPU per request of BearerAuthMiddleware next to a peer that looks
keys up in an in-memory dict (bench/peer_middleware.py).

bench/at_scale.py drives this. Three uvicorn servers on uvloop and
httptools over one small registry: without a middleware, with ours and with
the peer, taking turns in every round, the order flipping each round; each
busy with CONNECTIONS keep-alive connections sending the last user's key.
What decides is the server's own CPU time per request (bench/server_cpu.py),
which the machine's other load does not change the way it changes the rate.
"""

import asyncio
import statistics

import http_rps
import server_cpu

PEER_OPERATION = "middleware CPU against a peer"
STACK = ("uvloop", "httptools")
# Server CPU per request of the peer / of ours.
PEER_LIMIT = 0.95
SERVERS = ("without", "ours", "peer")


def measure(server, seconds):
    cpu = server_cpu.cpu_seconds(server.process.pid)
    done, elapsed, failures = asyncio.run(http_rps._measure(server.port, server.key, seconds))
    after = server_cpu.cpu_seconds(server.process.pid)
    if failures:
        raise AssertionError(f"{failures} of {done} requests to port {server.port} failed")
    if cpu is None or after is None:
        raise AssertionError(f"no CPU time of the server on port {server.port} in /proc")
    return done / elapsed, (after - cpu) / done


def run(reg, rounds, seconds, log=print):
    if not http_rps.available(*STACK):
        return {"operation": PEER_OPERATION, "skipped": http_rps.stack_name(*STACK)}
    key, user = reg.keys[-1], reg.user_ids[-1].encode()
    servers = {}
    try:
        servers["without"] = http_rps.Server(reg.base_dir, key, STACK, False)
        servers["ours"] = http_rps.Server(reg.base_dir, key, STACK, True)
        servers["peer"] = http_rps.Server(reg.base_dir, key, STACK, False, peer=True)
        for name, server in servers.items():
            expected = (200, b"-" if name == "without" else user)
            answer = http_rps.ask(server.port, key)
            if answer != expected:
                raise AssertionError(f"server {name!r} answered {answer}, not {expected}")
            if name != "without" and http_rps.ask(server.port, "vardun-mcp-wrong")[0] != 401:
                raise AssertionError(f"server {name!r} let a wrong key through")
        log(f"  {http_rps.stack_name(*STACK)}: {len(servers)} uvicorn servers up and checked")
        for server in servers.values():
            measure(server, seconds / 2)  # warm-up
        rps = {name: [] for name in SERVERS}
        cpu = {name: [] for name in SERVERS}
        for round_index in range(rounds):
            for name in SERVERS if round_index % 2 == 0 else SERVERS[::-1]:
                rate, per_request = measure(servers[name], seconds)
                rps[name].append(rate)
                cpu[name].append(per_request)
    finally:
        http_rps.stop_all(servers.values())
    per_request = {name: statistics.median(cpu[name]) for name in SERVERS}
    return {
        "operation": PEER_OPERATION,
        "stack": http_rps.stack_name(*STACK),
        "users": len(reg.keys),
        "rps": {name: statistics.median(rps[name]) for name in SERVERS},
        "server_cpu_per_request_s": per_request,
        "ratio": per_request["peer"] / per_request["ours"],
        "paired_ratio": statistics.median(p / o for p, o in zip(cpu["peer"], cpu["ours"])),
        "samples": {"rps": rps, "server_cpu_per_request_s": cpu},
    }
