"""Keys kept out of the logs: a real uvicorn serving the example application
logs a header line it refuses without the key in it; and the filter itself on
the forms a key or an Authorization value takes in log records."""

import io
import logging
import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

from vardun.mcp.log_redaction import KeyRedactingFilter, install, redact

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
KEY = "vardun-mcp-" + "K3y" * 10 + "xy"
# The key as a client may put it in a query string.
ENCODED = KEY.replace("-", "%2D", 1).replace("-", "%2d")


def refused_request_log(tmp_path, http, app):
    """What uvicorn logs when it refuses a header line holding a key and a NUL."""
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p),
           "VARDUN_CONFIG_DIR": str(tmp_path / "base")}
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        port = listener.getsockname()[1]
        server = subprocess.Popen(
            [sys.executable, "-P", "-m", "uvicorn", "--fd", str(listener.fileno()), "--http", http,
             "--app-dir", str(EXAMPLES if app == "example" else tmp_path), *(
                 ["--factory", "mcp_http_app:create_app"] if app == "example" else ["bare:app"])],
            env=env, pass_fds=[listener.fileno()], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            text=True)
    try:
        deadline = time.monotonic() + 30
        while True:
            assert server.poll() is None and time.monotonic() < deadline, "uvicorn did not start"
            try:
                connection = socket.create_connection(("127.0.0.1", port), timeout=10)
                break
            except ConnectionRefusedError:
                time.sleep(0.05)
        with connection:  # one request uvicorn takes, so that the access log runs too
            connection.sendall(f"GET /health?key={ENCODED} HTTP/1.1\r\nHost: x\r\n"
                               "Connection: close\r\n\r\n".encode())
            connection.recv(4096)
        with socket.create_connection(("127.0.0.1", port), timeout=10) as connection:
            connection.sendall(b"GET /whoami HTTP/1.1\r\nHost: x\r\n"
                               b"Authorization: Bearer " + KEY.encode() + b"\x00\r\n\r\n")
            assert connection.recv(4096).startswith(b"HTTP/1.1 400 ")
    finally:
        server.send_signal(signal.SIGINT)
        log, _ = server.communicate(timeout=30)
    assert "Invalid HTTP request received." in log and "Logging error" not in log
    return log


@pytest.mark.parametrize("http", ["h11", "httptools"])
def test_uvicorn_logs_a_refused_header_line_without_the_key(tmp_path, http):
    log = refused_request_log(tmp_path, http, "example")
    assert "K3y" not in log and "Traceback" in log  # the traceback stays, the key goes
    assert '"GET /health?key=vardun-mcp-[redacted] HTTP/1.1" 200' in log


def test_without_the_filter_uvicorn_logs_the_key(tmp_path):
    # What the filter is for: h11's error quotes the whole line.
    (tmp_path / "bare.py").write_text("async def app(scope, receive, send):\n    pass\n")
    assert KEY in refused_request_log(tmp_path, "h11", "bare")


@pytest.mark.parametrize("text, kept", [
    (f"illegal header line: bytearray(b'Authorization: Bearer {KEY}\\x00')",
     "illegal header line: bytearray(b'Authorization: [redacted]')"),
    ("(b'authorization', b'Basic dXNlcjpwYXNz')", "(b'authorization', b'[redacted]')"),
    ('{"Authorization": "opaque token"}', '{"Authorization": "[redacted]"}'),
    ("token=bEaReR abc.def", "token=bEaReR [redacted]"),
    (f"GET /mcp?key={KEY}&x=1", "GET /mcp?key=vardun-mcp-[redacted]&x=1"),
    (f"GET /mcp?key={ENCODED}&x=1", "GET /mcp?key=vardun-mcp-[redacted]&x=1"),
    ("?k=%76%61rdun%2dmcp%2D%4b3y%4B3yK3y", "?k=vardun-mcp-[redacted]"),
    ("vardun%2Dmcp%2Dusers%20check", "vardun%2Dmcp%2Dusers%20check"),
    ("run vardun-mcp-users check", "run vardun-mcp-users check"),
])
def test_redact(text, kept):
    assert redact(text) == kept == redact(kept)


def test_the_filter_rewrites_arguments_traceback_and_stack():
    logger = logging.getLogger("vardun.tests.redaction")
    stream = io.StringIO()
    handler = logging.StreamHandler(stream)
    logger.addHandler(handler)
    logger.propagate = False
    install(logger.name)
    install(logger.name)
    assert sum(isinstance(f, KeyRedactingFilter) for f in logger.filters) == 1
    try:
        try:
            raise ValueError(f"bad header {KEY}")
        except ValueError:
            logger.exception("refused %s", KEY, stack_info=True)
        logger.warning("%s from %s:%d", KEY.encode(), "host", 80)
    finally:
        logger.removeHandler(handler)
    assert "K3y" not in stream.getvalue()
    assert "ValueError: bad header vardun-mcp-[redacted]" in stream.getvalue()
    assert "b'vardun-mcp-[redacted]' from host:80" in stream.getvalue()


def test_keys_in_mapping_arguments_and_in_tracebacks_formatted_before_the_filter():
    logger = logging.getLogger("vardun.tests.redaction.handlers")
    logger.propagate = False
    # The filter on the second handler only: the first formats the
    # traceback, which the record then carries as text.
    first, second = logging.StreamHandler(io.StringIO()), logging.StreamHandler(io.StringIO())
    second.addFilter(KeyRedactingFilter())
    for handler in (first, second):
        logger.addHandler(handler)
    try:
        try:
            raise ValueError(f"bad header {KEY}")
        except ValueError:
            logger.exception("refused %(client)s", {"client": KEY})
        # A record formatted in the process that sent it (SocketHandler).
        second.handle(logging.makeLogRecord({"msg": "received", "exc_text": f"Error: {KEY}"}))
    finally:
        for handler in (first, second):
            logger.removeHandler(handler)
    assert KEY in first.stream.getvalue()
    written = second.stream.getvalue()
    assert "K3y" not in written
    assert "refused vardun-mcp-[redacted]" in written and "Error: vardun-mcp-[redacted]" in written
