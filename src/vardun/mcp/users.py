"""Command-line administration of the MCP server's users.

Run as ``python3 -m vardun.mcp.users`` or, once installed, ``vardun-mcp-users``.
It adds users and hands out their keys, lists users, rotates and removes them
and checks a presented key, all through :class:`MCPUserStore`; ``check``
audits the registry's files (:mod:`vardun.mcp.audit`).

Exit status: 0 on success; 1 when the operation failed (an unknown user, a
damaged registry, a file-system error), when ``verify`` finds the key invalid
and when ``check`` leaves something wrong; 2 for a malformed command line.
"""

from __future__ import annotations

import argparse
import contextlib
import getpass
import importlib
import json
import os
import pwd
import sys
import threading
import unicodedata
from collections.abc import Iterator, Sequence
from datetime import datetime
from pathlib import Path
from typing import TYPE_CHECKING, Any, NoReturn

from vardun.mcp import audit
from vardun.mcp.audit import Finding, Report

if TYPE_CHECKING:
    from vardun.mcp.user_store import MCPUser, MCPUserStore

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

# The store reports these failures as ValueError with a fixed text followed
# by the user id or the registry path; the CLI words them in English.
_NOT_FOUND = "未找到 MCP 用户: "
_CORRUPT_JSON = "MCP 用户注册表 JSON 损坏: "
_NOT_ARRAY = "MCP 用户注册表必须是数组: "
_INVALID_ID = "非法的 MCP 用户 ID: "

_KEY_NOTICE = "Store this API key now: it will not be shown again."
_ROTATE_NOTICE = (
    "Store this API key now: it will not be shown again. The previous key no longer works."
)
# Seconds of waiting for the write lock after which the command says so.
LOCK_NOTICE_AFTER = 1.0


class CommandError(Exception):
    """A failure reported as one line on stderr, with an exit status."""

    def __init__(self, message: str, status: int = EXIT_FAILURE) -> None:
        super().__init__(message)
        self.status = status


# ---------------------------------------------------------------------------
# Output helpers


def _escape(text: object) -> str:
    """Text safe to put on a terminal line: control and format characters,
    line separators and lone surrogates are shown as escapes, so that a
    description from the registry can neither break a line nor send escape
    sequences to the terminal."""
    out = []
    for char in str(text):
        if unicodedata.category(char) in ("Cc", "Cf", "Cs", "Zl", "Zp"):
            out.append(char.encode("unicode_escape", "backslashreplace").decode("ascii"))
        else:
            out.append(char)
    return "".join(out)


def _width(text: str) -> int:
    """Columns that `text` takes on a terminal (CJK characters take two)."""
    width = 0
    for char in text:
        if unicodedata.combining(char):
            continue
        width += 2 if unicodedata.east_asian_width(char) in ("W", "F") else 1
    return width


def _pad(text: str, width: int) -> str:
    return text + " " * (width - _width(text))


def _table(header: Sequence[str], rows: Sequence[Sequence[str]]) -> list[str]:
    cells = [[_escape(cell) for cell in row] for row in [header, *rows]]
    widths = [max(_width(row[column]) for row in cells) for column in range(len(header))]
    lines = []
    for row in cells:
        padded = [_pad(cell, widths[i]) for i, cell in enumerate(row[:-1])]
        lines.append("  ".join([*padded, row[-1]]))
    return lines


def _fields(pairs: Sequence[tuple[str, object]]) -> list[str]:
    width = max(len(name) for name, _ in pairs) + 1
    return [f"{name + ':':<{width}}  {_escape(value)}" for name, value in pairs]


def _short_time(stamp: object) -> str:
    """An ISO time stamp without its fraction of a second, for the table."""
    if not isinstance(stamp, str):
        return "" if stamp is None else str(stamp)
    try:
        parsed = datetime.fromisoformat(stamp)
    except ValueError:
        return stamp
    return parsed.replace(microsecond=0).isoformat()


def _json(value: Any) -> str:
    # ASCII-only output parses the same whatever the locale's encoding.
    return json.dumps(value, indent=2, default=str)


def _user_label(user_id: str) -> str:
    return _escape(user_id) if user_id else "''"


# ---------------------------------------------------------------------------
# Errors from the store


def _os_error_text(error: OSError) -> str:
    text = error.strerror or str(error)
    if error.filename is not None:
        text += f": {os.fsdecode(error.filename)}"
    if error.filename2 is not None:
        text += f" -> {os.fsdecode(error.filename2)}"
    return text


@contextlib.contextmanager
def _store_errors(store: MCPUserStore | None = None) -> Iterator[None]:
    """Turns what the store raises into one-line CommandErrors."""
    registry = str(store.path) if store is not None else "the registry"
    try:
        yield
    except (FileExistsError, NotADirectoryError) as error:
        # mkdir met a file where the store wants a directory.
        raise CommandError(f"not a directory: {os.fsdecode(error.filename)}") from error
    except OSError as error:
        raise CommandError(_os_error_text(error)) from error
    except UnicodeDecodeError as error:
        raise CommandError(f"damaged registry {registry}: not UTF-8 text") from error
    except ValueError as error:
        message = str(error)
        if message.startswith(_NOT_FOUND):
            raise CommandError(f"no such user: {_user_label(message[len(_NOT_FOUND):])}")
        if message.startswith(_CORRUPT_JSON):
            detail = f" ({error.__cause__})" if error.__cause__ is not None else ""
            raise CommandError(
                f"damaged registry {message[len(_CORRUPT_JSON):]}: not valid JSON{detail}"
            ) from error
        if message.startswith(_NOT_ARRAY):
            raise CommandError(
                f"damaged registry {message[len(_NOT_ARRAY):]}: the top level is not a JSON array"
            ) from error
        if message.startswith(_INVALID_ID):
            raise CommandError(
                f"damaged registry {registry}: "
                f"a user id is not a plain directory name: {message[len(_INVALID_ID):]!r}"
            ) from error
        raise CommandError(message) from error
    except KeyError as error:
        raise CommandError(
            f"damaged registry {registry}: a user record has no {error.args[0]!r}"
        ) from error
    except (TypeError, AttributeError) as error:
        # Only a record of the wrong shape gets here: the CLI passes exact strs.
        raise CommandError(f"damaged registry {registry}: malformed user record ({error})") from error


def _config_error(error: Exception) -> CommandError:
    return CommandError(f"cannot load the configuration module vardun.config: {error}")


def _open_store(base_dir: Path) -> MCPUserStore:
    try:
        from vardun.mcp.user_store import MCPUserStore
    except ImportError as error:
        raise CommandError(f"cannot load vardun.mcp.user_store: {error}") from error
    try:
        with _store_errors():
            store = MCPUserStore(base_dir)
    except ImportError as error:
        raise _config_error(error) from error
    _announce_lock_waits(store)
    return store


# ---------------------------------------------------------------------------
# Waiting for the write lock


def _flock_holders(waiter: int) -> list[int]:
    """The processes holding the flock that process `waiter` waits for, as
    /proc/locks tells (empty when it does not)."""
    try:
        with open("/proc/locks", encoding="ascii", errors="replace") as table:
            lines = table.read().splitlines()
    except OSError:
        return []
    held: dict[str, set[int]] = {}
    awaited: set[str] = set()
    for line in lines:
        # "1: FLOCK  ADVISORY  WRITE 4711 08:01:1234 0 EOF"; a waiter's
        # line has "->" after the number.
        fields = line.split()
        waiting = fields[1:2] == ["->"]
        fields = fields[2:] if waiting else fields[1:]
        if len(fields) < 5 or fields[0] != "FLOCK" or not fields[3].isdigit():
            continue
        if not waiting:
            held.setdefault(fields[4], set()).add(int(fields[3]))
        elif int(fields[3]) == waiter:
            awaited.add(fields[4])
    return sorted({pid for file in awaited for pid in held.get(file, ())})


def _process_label(pid: int) -> str:
    try:
        with open(f"/proc/{pid}/comm", encoding="utf-8", errors="replace") as comm:
            return f"process {pid} ({_escape(comm.read().strip())})"
    except OSError:
        return f"process {pid}"


class _LockWaitNotice:
    """Says once on stderr that the command is waiting for the write lock,
    and who holds it, if taking it lasts more than LOCK_NOTICE_AFTER."""

    def __init__(self, lock_path: Path) -> None:
        self.lock_path = lock_path
        self.timer = threading.Timer(LOCK_NOTICE_AFTER, self.say)
        self.timer.daemon = True

    def __enter__(self) -> None:
        self.timer.start()

    def __exit__(self, *_: object) -> None:
        self.timer.cancel()
        self.timer.join()

    def say(self) -> None:
        holders = [_process_label(pid) for pid in _flock_holders(os.getpid())]
        who = f"held by {', '.join(holders)}" if holders else "which another process holds"
        if sys.stderr is None:  # print would fall back to stdout
            return
        with contextlib.suppress(OSError, ValueError):
            print(f"{_program_name()}: waiting for the write lock {_escape(self.lock_path)}, "
                  f"{who}", file=sys.stderr, flush=True)


def _announce_lock_waits(store: MCPUserStore) -> None:
    # The store's operations take the lock through self._locked(), so an
    # instance attribute of that name stands in for it.
    plain = store._locked

    @contextlib.contextmanager
    def locked() -> Iterator[None]:
        with contextlib.ExitStack() as held:
            with _LockWaitNotice(store.lock_path):
                held.enter_context(plain())
            yield

    setattr(store, "_locked", locked)


def _base_dir(given: str | None) -> Path:
    """The directory the store would choose for `given`."""
    if given is not None:
        return Path(given)
    try:
        config_dir = importlib.import_module("vardun.config").CONFIG_DIR
    except (ImportError, AttributeError) as error:
        raise _config_error(error) from error
    return Path(config_dir)


def _account(uid: int) -> tuple[str, str]:
    """A user's name for messages, and how sudo -u names it."""
    name = audit.user_name(uid)
    return (f"uid {uid}", f"'#{uid}'") if name is None else (name, name)


def _refuse_foreign_base_dir(base_dir: Path) -> None:
    # What another user (root included) creates or re-modes here can leave
    # the MCP server, which runs as the owner, unable to read its own files.
    try:
        owner = os.stat(base_dir).st_uid
    except OSError:
        return  # not there yet (whoever runs this creates it), or the operation will say why
    me = os.geteuid()
    if owner == me:
        return
    owner_name, sudo_name = _account(owner)
    raise CommandError(
        f"{base_dir} belongs to {owner_name}, not to {_account(me)[0]}: run the command as its "
        f"owner (sudo -u {sudo_name} {_program_name()} ...), or give --force"
    )


def _require_utf8(value: str, what: str) -> None:
    # The shell can hand over bytes that are not UTF-8; the registry cannot
    # store them, and finding out only while saving would leave a stray file.
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise CommandError(f"{what} is not valid UTF-8 text", EXIT_USAGE) from None


# ---------------------------------------------------------------------------
# Subcommands


def _emit(lines: Sequence[str]) -> None:
    for line in lines:
        print(line)


def _show_new_key(result: dict[str, str], order: Sequence[str], notice: str, as_json: bool) -> None:
    if as_json:
        print(_json(result))
    else:
        _emit(_fields([(name, result.get(name, "")) for name in order]))
    sys.stdout.flush()
    print(notice, file=sys.stderr)


def _cmd_add(args: argparse.Namespace, store: MCPUserStore) -> int:
    _require_utf8(args.description, "DESCRIPTION")
    with _store_errors(store):
        result = store.add_user(args.description)
    order = ("user_id", "description", "created_at", "credential_dir", "api_key")
    _show_new_key(result, order, _KEY_NOTICE, args.json)
    return EXIT_OK


def _cmd_list(args: argparse.Namespace, store: MCPUserStore) -> int:
    with _store_errors(store):
        users = [user.to_dict() for user in store.list_users()]
    if args.json:
        print(_json(users))
    elif not users:
        print(f"No users in {_escape(store.path)}.")
    else:
        rows = [
            (
                str(user["user_id"]),
                str(user["description"] or "-"),
                _short_time(user["created_at"]),
                str(user["credential_dir"]),
            )
            for user in users
        ]
        _emit(_table(("USER ID", "DESCRIPTION", "CREATED", "CREDENTIAL DIR"), rows))
    return EXIT_OK


def _cmd_rotate(args: argparse.Namespace, store: MCPUserStore) -> int:
    _require_utf8(args.user_id, "USER_ID")
    with _store_errors(store):
        # The store rotates only the first record carrying the identifier, so
        # with several the old key would keep working.
        carriers = sum(
            1 for record in store._load()
            if isinstance(record, dict) and record.get("user_id") == args.user_id
        )
        if carriers > 1:
            raise CommandError(
                f"{carriers} records carry the user id {_user_label(args.user_id)}: "
                f"rotating would leave the old key working; run `{_program_name()} check` "
                "and fix the registry by hand"
            )
        result = store.rotate_api_key(args.user_id)
    order = ("user_id", "rotated_at", "credential_dir", "api_key")
    _show_new_key(result, order, _ROTATE_NOTICE, args.json)
    return EXIT_OK


def _cmd_remove(args: argparse.Namespace, store: MCPUserStore) -> int:
    _require_utf8(args.user_id, "USER_ID")
    with _store_errors(store):
        try:
            removed = store.remove_user(args.user_id, keep_credentials=args.keep_credentials)
        except OSError as error:
            if args.keep_credentials or not _left_behind(store, args.user_id, error):
                raise
            # The record is saved without the user; only the directory stayed.
            # Its entry's path can be thousands of characters long: name the
            # directory instead.
            raise CommandError(
                f"removed {_user_label(args.user_id)}, but its credential directory could not "
                f"be removed ({error.strerror or error}): "
                f"{_escape(store.credential_dir(args.user_id))}; "
                f"run `{_program_name()} check --fix` or remove it by hand"
            ) from error
        credential_dir = str(store.credential_dir(args.user_id)) if removed else ""
    if not removed:
        raise CommandError(f"no such user: {_user_label(args.user_id)}")
    if args.json:
        print(_json({
            "user_id": args.user_id,
            "removed": True,
            "credential_dir": credential_dir,
            "credentials_kept": args.keep_credentials,
        }))
    elif args.keep_credentials:
        print(f"Removed user {_user_label(args.user_id)}; "
              f"kept its credential directory {_escape(credential_dir)}.")
    else:
        print(f"Removed user {_user_label(args.user_id)} and its credential directory.")
    return EXIT_OK


def _left_behind(store: MCPUserStore, user_id: str, error: OSError) -> bool:
    """True when `error` came from removing the credential directory after the
    registry was saved without the user."""
    if error.filename is None:
        return False
    directory = store.credential_dir(user_id)
    failed_at = Path(os.fsdecode(error.filename))
    if failed_at != directory.parent and not failed_at.is_relative_to(directory):
        return False
    try:
        records = store._load()
    except (OSError, ValueError):
        return False
    return not any(isinstance(r, dict) and r.get("user_id") == user_id for r in records)


def _read_key(argument: str) -> str:
    if argument != "-":
        return argument
    # Reading the key from stdin keeps it out of the process list and history.
    if sys.stdin is None:
        raise CommandError("no standard input to read the key from", EXIT_USAGE)
    if sys.stdin.isatty():
        return getpass.getpass("API key: ")
    # Bytes that are not UTF-8 survive as surrogates and make the key invalid.
    line = sys.stdin.buffer.readline().decode("utf-8", "surrogateescape")
    return line.rstrip("\r\n")


def _cmd_verify(args: argparse.Namespace, store: MCPUserStore) -> int:
    if args.key not in ("-", ""):
        print(
            f"{_program_name()}: warning: a key given as an argument is visible to every local "
            "user in the process list; give '-' and pass the key on standard input",
            file=sys.stderr,
        )
    key = _read_key(args.key)
    user: MCPUser | None = None
    try:
        key.encode("utf-8")
    except UnicodeEncodeError:
        pass  # no stored key can match text that is not UTF-8
    else:
        with _store_errors(store):
            user = store.verify_api_key(key)
    if args.json:
        print(_json({"valid": user is not None, "user": user.to_dict() if user else None}))
    elif user is None:
        print("Invalid API key: it matches no user.")
    else:
        print(f"Valid API key of user {_user_label(user.user_id)}.")
        _emit(_fields(list(user.to_dict().items())))
    return EXIT_OK if user is not None else EXIT_FAILURE


_GROUP_TITLES = {
    "registry": "Registry",
    "records": "Records",
    "files": "Files and modes",
    "leftovers": "Leftovers",
}


def _plural(count: int, noun: str) -> str:
    return f"{count} {noun}{'' if count == 1 else 's'}"


def _finding_line(finding: Finding, fixing: bool) -> str:
    if finding.record is not None:
        where = f"record [{finding.record}]"
        if finding.user_id is not None:
            where += f" ({_user_label(finding.user_id)})"
    else:
        where = _escape(finding.path)
    if finding.info:
        status, action = "info", ""
    elif finding.fixed:
        status, action = "fixed", f" [done: {finding.fix}]"
    elif finding.fix is None:
        status, action = "problem", " [not fixable automatically]"
    else:
        status, action = "problem", " [--fix failed]" if fixing else f" [--fix: {finding.fix}]"
    return f"  {status:<7}  {finding.kind}: {where}: {_escape(finding.detail)}{action}"


def _check_summary(report: Report, fixing: bool) -> str:
    counted = (
        "the registry could not be read" if report.records is None
        else _plural(report.records, "user record")
    )
    problems = [finding for finding in report.findings if not finding.info]
    notes = len(report.findings) - len(problems)
    if not problems:
        verdict = "no problems"
    else:
        fixed = sum(finding.fixed for finding in problems)
        open_fixes = sum(finding.fix is not None for finding in report.problems)
        by_hand = len(report.problems) - open_fixes
        parts = [f"{fixed} fixed"] if fixing else []
        if open_fixes:
            parts.append(f"{open_fixes} {'left' if fixing else 'fixable with --fix'}")
        if by_hand:
            parts.append(f"{by_hand} not fixable automatically")
        verdict = f"{_plural(len(problems), 'problem')} ({', '.join(parts)})"
    if notes:
        verdict += f", {_plural(notes, 'note')}"
    return f"Checked {_escape(report.base_dir)}: {counted}; {verdict}."


def _cmd_check(args: argparse.Namespace, base_dir: Path) -> int:
    # A plain check only reads; the store is constructed only to repair,
    # since construction itself creates and re-modes directories.
    with _store_errors():
        report = audit.scan(base_dir, args.owner)
        if args.fix and report.fixable:
            report = audit.repair(_open_store(base_dir), report)
    if args.json:
        print(_json([finding.to_dict() for finding in report.findings]))
    else:
        for group, title in _GROUP_TITLES.items():
            lines = [_finding_line(f, args.fix) for f in report.findings if f.group == group]
            if lines:
                _emit([f"{title}:", *lines])
        print(_check_summary(report, args.fix))
    return EXIT_FAILURE if report.problems else EXIT_OK


# ---------------------------------------------------------------------------
# Command line


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, f"{self.prog}: error: {_escape(message)}\n")


def _add_common_options(parser: argparse.ArgumentParser, *, top_level: bool) -> None:
    # Accepted before and after the subcommand; a subcommand's copy only
    # overrides the top-level one when it is actually given.
    default: Any = argparse.SUPPRESS
    group = parser.add_argument_group("common options")
    group.add_argument(
        "--base-dir",
        metavar="DIR",
        default=None if top_level else default,
        help="directory holding the registry (default: vardun's configuration directory, "
        "$VARDUN_CONFIG_DIR or ~/.config/vardun)",
    )
    group.add_argument(
        "--json",
        action="store_true",
        default=False if top_level else default,
        help="print machine-readable JSON on stdout",
    )
    group.add_argument(
        "--force",
        action="store_true",
        default=False if top_level else default,
        help="work on a base directory that belongs to another user (what is created there "
        "then belongs to you)",
    )


def _owner(value: str) -> int:
    """An account name or a numeric uid."""
    if value.isascii() and value.isdigit():
        return int(value)
    try:
        return pwd.getpwnam(value).pw_uid
    except (KeyError, ValueError):
        raise argparse.ArgumentTypeError(f"no such account: {value}") from None


def _program_name() -> str:
    name = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    if name in ("", "-c", "users.py", "__main__.py"):
        return "python3 -m vardun.mcp.users"
    return name


DISTRIBUTION = "vardun-mcp-user-store"


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version(DISTRIBUTION)
    except metadata.PackageNotFoundError:
        return "(not installed: run from a build or a checkout)"


class _VersionAction(argparse.Action):
    # The version is looked up only when asked for: reading the installed
    # metadata costs more than everything else the command does at start.
    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> NoReturn:
        print(f"{parser.prog} {_version()}")
        parser.exit()


def build_parser(prog: str | None = None) -> argparse.ArgumentParser:
    parser = _Parser(
        prog=prog or _program_name(),
        description="Administer the users of vardun's team-shared MCP server: "
        "add users and hand out their API keys, list, rotate and remove them, "
        "check a presented key, and audit the registry's files.",
        epilog="Exit status: 0 on success, 1 when the operation fails, verify rejects "
        "the key or check leaves something wrong, 2 for a malformed command line.",
    )
    parser.add_argument(
        "--version", action=_VersionAction, help="print the installed version and exit"
    )
    _add_common_options(parser, top_level=True)
    commands = parser.add_subparsers(
        dest="command", metavar="COMMAND", required=True, parser_class=_Parser
    )
    parser.set_defaults(opens_store=True)

    add = commands.add_parser(
        "add",
        help="add a user and show its new API key once",
        description="Add a user and show its new API key. The key is shown only this once: "
        "the registry keeps nothing but its hash.",
    )
    add.add_argument("description", metavar="DESCRIPTION", nargs="?", default="",
                     help="free text saying who the user is (default: empty)")
    add.set_defaults(handler=_cmd_add)

    listing = commands.add_parser(
        "list",
        help="list the users (never any key material)",
        description="List the users: identifier, description, creation time and "
        "credential directory. No key or key hash is ever shown.",
    )
    listing.set_defaults(handler=_cmd_list)

    rotate = commands.add_parser(
        "rotate",
        help="replace a user's API key and show the new one once",
        description="Replace a user's API key. The old key stops working at once; "
        "the new one is shown only this once. The credential directory is kept.",
    )
    rotate.add_argument("user_id", metavar="USER_ID", help="the user's identifier (u_...)")
    rotate.set_defaults(handler=_cmd_rotate)

    remove = commands.add_parser(
        "remove",
        help="remove a user and, by default, its credential directory",
        description="Remove a user. Its key stops working at once and, unless "
        "--keep-credentials is given, its credential directory is deleted.",
    )
    remove.add_argument("user_id", metavar="USER_ID", help="the user's identifier (u_...)")
    remove.add_argument("--keep-credentials", action="store_true",
                        help="leave the user's credential directory on disk")
    remove.set_defaults(handler=_cmd_remove)

    verify = commands.add_parser(
        "verify",
        help="check an API key; exit 0 when it is valid, 1 otherwise",
        description="Check an API key, bare or as a Bearer header value, and show the user "
        "it belongs to. Exit status 0 when the key is valid, 1 otherwise.",
    )
    verify.add_argument(
        "key", metavar="KEY",
        help="the key, e.g. vardun-mcp-... or 'Bearer vardun-mcp-...'; "
        "'-' reads it from standard input (without echo on a terminal)",
    )
    verify.set_defaults(handler=_cmd_verify)

    check = commands.add_parser(
        "check",
        help="audit the registry's files; --fix repairs what needs no change to any record",
        description="Audit the registry and the files around it: damaged or inconsistent "
        "records, modes and owners, temporary files of failed saves, credential directories "
        "of no user, and directories above the base directory that others could write to. "
        "Only reads, unless --fix is given. Exit status 0 when nothing is wrong "
        "(notes allowed), 1 when something is wrong and was not fixed.",
    )
    check.add_argument(
        "--fix", action="store_true",
        help="under the store's write lock, chmod the registry and directories back to "
        "0600/0700, delete temporary files of failed saves and remove credential directories "
        "of no user; the registry itself is never rewritten",
    )
    check.add_argument(
        "--owner", metavar="NAME|UID", type=_owner,
        help="the account the store's files should belong to (default: the one running "
        "check), e.g. the MCP server's when root checks its store",
    )
    check.set_defaults(handler=_cmd_check, opens_store=False)

    for sub in (add, listing, rotate, remove, verify, check):
        _add_common_options(sub, top_level=False)
    return parser


def _run(argv: Sequence[str] | None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as stop:
        # --help and usage errors; keep main() usable from Python.
        return stop.code if isinstance(stop.code, int) else EXIT_USAGE
    if args.base_dir is not None:
        if args.base_dir == "":
            # The store would quietly fall back to the real configuration
            # directory, e.g. for --base-dir "$UNSET_VARIABLE".
            raise CommandError("--base-dir must not be empty", EXIT_USAGE)
        args.base_dir = os.path.expanduser(args.base_dir)
    base_dir = _base_dir(args.base_dir)
    if not args.force:
        _refuse_foreign_base_dir(base_dir)
    status: int = args.handler(args, _open_store(base_dir) if args.opens_store else base_dir)
    return status


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with `argv` (default: sys.argv[1:]) and returns the exit status."""
    for stream in (sys.stdout, sys.stderr):
        # A terminal that cannot show a character gets an escape, not a crash.
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    prog = _program_name()
    try:
        return _run(argv)
    except CommandError as error:
        print(f"{prog}: error: {_escape(error)}", file=sys.stderr)
        return error.status
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (e.g. `list | head`); say nothing more.
        with contextlib.suppress(OSError):
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILURE
    except Exception as error:
        # A fault of this program or of the store: still one line, no traceback.
        print(f"{prog}: error: unexpected {type(error).__name__}: {_escape(error)}", file=sys.stderr)
        return EXIT_FAILURE


if __name__ == "__main__":
    sys.exit(main())
