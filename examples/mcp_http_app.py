"""A small Starlette application behind BearerAuthMiddleware.

    VARDUN_CONFIG_DIR=/srv/vardun PYTHONPATH=build/release/lib /usr/bin/python3 -P \\
        -m uvicorn --app-dir examples --factory mcp_http_app:create_app

GET /health needs no key. GET /whoami shows the caller; GET /notes lists the
caller's notes and POST /notes (the body, UTF-8 text) adds one. Notes live in
notes.jsonl inside the caller's credential directory, so users never see each
other's. `make demo-server` runs a session against it (examples/demo_server.py).
"""

from __future__ import annotations

import json
import os
from datetime import datetime, timezone
from pathlib import Path

from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.requests import Request
from starlette.responses import JSONResponse
from starlette.routing import Route

from vardun.mcp import log_redaction
from vardun.mcp.auth import BearerAuthMiddleware, KeyVerifier

NOTES_FILE = "notes.jsonl"
MAX_NOTE_BYTES = 4096


async def health(request: Request) -> JSONResponse:
    return JSONResponse({"status": "ok"})


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


def create_app(store: KeyVerifier | None = None) -> BearerAuthMiddleware:
    """The application; `store` None means MCPUserStore() over the configured directory."""
    # uvicorn logs a request it refuses as it came, key included.
    log_redaction.install()
    app = Starlette(routes=[
        Route("/health", health),
        Route("/whoami", whoami),
        Route("/notes", notes, methods=["GET", "POST"]),
    ])
    return BearerAuthMiddleware(app, store, exempt_paths=("/health",))
