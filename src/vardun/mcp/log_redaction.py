"""A logging filter that keeps API keys out of log records.

The middleware never logs a key, but the server in front of it may: uvicorn
logs a request it refuses (a header line with a NUL byte, say) on
``uvicorn.error`` with the parser's error, which quotes the line, key
included. :func:`install` puts :class:`KeyRedactingFilter` on uvicorn's
loggers; the filter rewrites a record's message, arguments, traceback and
stack so that neither an API key nor the value of an ``Authorization``
header or a ``Bearer`` token reaches any handler.
"""

from __future__ import annotations

import logging
import re
from collections.abc import Mapping

__all__ = ["REDACTED", "KeyRedactingFilter", "install", "redact"]

REDACTED = "[redacted]"
UVICORN_LOGGERS = ("uvicorn.error", "uvicorn.access")


def _either(char: str) -> str:
    """`char` as itself or percent-encoded, in either case of hex."""
    code = "".join(f"[{d.lower()}{d.upper()}]" if d.isalpha() else d for d in f"{ord(char):02x}")
    return f"(?:{re.escape(char)}|%{code})"


# A key as a URL or a header may carry it: any character of it may be
# percent-encoded (vardun%2Dmcp%2D... in a query string).
_KEY_PREFIX = "".join(_either(char) for char in "vardun-mcp-")
_KEY_CHARACTER = r"(?:[A-Za-z0-9]|%(?:3[0-9]|[46][1-9A-Fa-f]|[57][0-9Aa]))"

_HIDDEN = (
    # The value of an Authorization header, as text, in a repr of bytes or
    # a header tuple, or in JSON: up to the end of the quoted string or line.
    (re.compile(r"(?i)(\bauthorization\b['\"]?\s*[:=,]\s*(?:b?['\"])?)[^'\"\r\n]+"),
     rf"\g<1>{REDACTED}"),
    (re.compile(r"(?i)(\bbearer\s+)[^\s'\"]+"), rf"\g<1>{REDACTED}"),
    # A key anywhere else (a query string, a wrong header); "vardun-mcp-users" stays.
    (re.compile(f"{_KEY_PREFIX}{_KEY_CHARACTER}{{8,}}"), f"vardun-mcp-{REDACTED}"),
)


def redact(text: str) -> str:
    """`text` with every API key and Authorization or Bearer value replaced."""
    for pattern, replacement in _HIDDEN:
        text = pattern.sub(replacement, text)
    return text


def _redacted(value: object) -> object:
    # Arguments keep their type unless they hold something to hide:
    # formatters such as uvicorn's access one unpack them.
    if isinstance(value, (bytes, bytearray)):
        text = bytes(value).decode("latin-1")
        hidden = redact(text)
        return value if hidden == text else type(value)(hidden.encode("latin-1"))
    if isinstance(value, (int, float)) or value is None:
        return value
    text = value if isinstance(value, str) else str(value)
    hidden = redact(text)
    return value if hidden == text else hidden


class KeyRedactingFilter(logging.Filter):
    """Rewrites each record it sees, in place; it never drops one. The
    record's exception is formatted here, redacted and kept as its text."""

    def filter(self, record: logging.LogRecord) -> bool:
        message: object = record.msg  # any object: the handler takes its str()
        if (hidden := _redacted(message)) is not message:
            record.msg = str(hidden)
        if isinstance(record.args, tuple):
            record.args = tuple(_redacted(value) for value in record.args)
        elif isinstance(record.args, Mapping):  # log.info("%(name)s", {...})
            record.args = {key: _redacted(value) for key, value in record.args.items()}
        if record.exc_info:
            if not record.exc_text:
                record.exc_text = logging.Formatter().formatException(record.exc_info)
            record.exc_info = None
        # Formatted already, by a handler before this one or in the process
        # that sent the record: hidden all the same.
        if record.exc_text:
            record.exc_text = redact(record.exc_text)
        if record.stack_info:
            record.stack_info = redact(record.stack_info)
        return True


_FILTER = KeyRedactingFilter()


def install(*logger_names: str) -> None:
    """Adds the filter to each named logger (default: uvicorn's
    ``uvicorn.error`` and ``uvicorn.access``), once. A logger's filter sees
    only what is logged on that very logger; for any other, add a
    KeyRedactingFilter to the handlers."""
    for name in logger_names or UVICORN_LOGGERS:
        logger = logging.getLogger(name)
        if not any(isinstance(present, KeyRedactingFilter) for present in logger.filters):
            logger.addFilter(_FILTER)
