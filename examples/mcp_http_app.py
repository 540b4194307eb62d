"""A small Starlette application, guarded by the user store in either of two ways.

    VARDUN_CONFIG_DIR=/srv/vardun PYTHONPATH=build/release/lib /usr/bin/python3 -P \\
        -m uvicorn --app-dir examples --factory mcp_http_app:create_app  # or :create_per_route_app

`create_app` puts BearerAuthMiddleware in front of everything but /health;
`create_per_route_app` uses Starlette's AuthenticationMiddleware with
StoreAuthBackend instead, where each route decides: /health is public, the
others are guarded with `@requires("authenticated")` (which also works behind
the middleware). GET /health needs no key. GET /whoami shows the caller; GET
/notes lists the caller's notes and POST /notes (the body, UTF-8 text) adds
one. Notes live in notes.jsonl inside the caller's credential directory, so
users never see each other's. `make demo-server` runs a session against both
(examples/demo_server.py).
"""

from __future__ import annotations

import json
import os
from datetime import datetime, timezone
from pathlib import Path

from starlette.applications import Starlette
from starlette.authentication import requires
from starlette.concurrency import run_in_threadpool
from starlette.middleware import Middleware
from starlette.middleware.authentication import AuthenticationMiddleware
from starlette.requests import Request
from starlette.responses import JSONResponse
from starlette.routing import Route

from vardun.mcp import log_redaction
from vardun.mcp.auth import BearerAuthMiddleware, KeyVerifier, StoreAuthBackend, on_auth_error

NOTES_FILE = "notes.jsonl"
MAX_NOTE_BYTES = 4096


async def health(request: Request) -> JSONResponse:
    return JSONResponse({"status": "ok"})


@requires("authenticated")
async def whoami(request: Request) -> JSONResponse:
    return JSONResponse(request.user.to_dict())


def _append_note(path: Path, text: str) -> dict[str, str]:
    note = {"at": datetime.now(timezone.utc).isoformat(), "text": text}
    # One JSON line per note: any text, newlines included, reads back as written.
    fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o600)
    with open(fd, "a", encoding="utf-8") as notes:
        notes.write(json.dumps(note, ensure_ascii=False) + "\n")
    return note


def _read_notes(path: Path) -> list[dict[str, str]]:
    try:
        lines = path.read_text(encoding="utf-8").splitlines()
    except FileNotFoundError:
        return []
    return [json.loads(line) for line in lines if line]


@requires("authenticated")
async def notes(request: Request) -> JSONResponse:
    path = request.user.credential_dir / NOTES_FILE
    if request.method == "GET":
        return JSONResponse({"notes": await run_in_threadpool(_read_notes, path)})
    body = await request.body()
    if len(body) > MAX_NOTE_BYTES:
        return JSONResponse({"error": f"a note holds at most {MAX_NOTE_BYTES} bytes"}, 413)
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError:
        return JSONResponse({"error": "a note must be UTF-8 text"}, 400)
    return JSONResponse(await run_in_threadpool(_append_note, path, text), 201)


ROUTES = [
    Route("/health", health),
    Route("/whoami", whoami),
    Route("/notes", notes, methods=["GET", "POST"]),
]


def create_app(store: KeyVerifier | None = None) -> BearerAuthMiddleware:
    """The application behind a gate: every request but /health needs a key.
    `store` None means MCPUserStore() over the configured directory."""
    # uvicorn logs a request it refuses as it came, key included.
    log_redaction.install()
    app = Starlette(routes=ROUTES)
    return BearerAuthMiddleware(app, store, exempt_paths=("/health",))


def create_per_route_app(store: KeyVerifier | None = None) -> Starlette:
    """The same application, where each route decides: requests without a key
    are anonymous, and `@requires` refuses them on the routes it guards."""
    log_redaction.install()
    backend = StoreAuthBackend(store)
    return Starlette(routes=ROUTES, middleware=[
        Middleware(AuthenticationMiddleware, backend=backend, on_error=on_auth_error)])
