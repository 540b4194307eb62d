"""Type stubs for vardun.mcp.log_redaction."""

import logging

__all__ = ["REDACTED", "KeyRedactingFilter", "install", "redact"]

REDACTED: str
UVICORN_LOGGERS: tuple[str, ...]

def redact(text: str) -> str: ...

class KeyRedactingFilter(logging.Filter):
    def filter(self, record: logging.LogRecord) -> bool: ...

def install(*logger_names: str) -> None: ...
