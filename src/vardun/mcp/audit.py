"""Audit of a registry's directory: what the store leaves behind, records
that break it, modes and owners; and the repairs that leave every record as
it is.

:func:`scan` only reads: it never creates, re-modes or removes anything, so
it does not construct a store (construction re-modes ``users/``).
:func:`repair` takes the store's write lock, scans again and repairs what the
new scan marks fixable.
"""

from __future__ import annotations

import errno
import fcntl
import json
import os
import pwd
import re
import stat
from collections.abc import Iterable
from dataclasses import dataclass, field
from datetime import datetime, timezone
from pathlib import Path
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from vardun.mcp.user_store import MCPUserStore

REGISTRY_NAME = "mcp_users.json"
LOCK_NAME = ".mcp_users.lock"
USERS_DIR_NAME = "users"
TEMP_FILE = re.compile(r"mcp_users\.tmp-[0-9]+")
KEY_HASH = re.compile(r"sha256:[0-9a-f]{64}")

FILE_MODE = 0o600
DIR_MODE = 0o700

# Every kind, in report order, with its group. INFO kinds are notes, never
# something wrong.
GROUPS = {
    "registry_missing": "registry",
    "registry_unreadable": "registry",
    "registry_not_json": "registry",
    "registry_not_array": "registry",
    "record_not_object": "records",
    "record_without_user_id": "records",
    "bad_user_id": "records",
    "duplicate_user_id": "records",
    "bad_key_hash": "records",
    "shared_key_hash": "records",
    "field_not_text": "records",
    "writable_by_others": "files",
    "foreign_owner": "files",
    "users_dir_not_dir": "files",
    "registry_mode": "files",
    "users_dir_mode": "files",
    "credential_dir_mode": "files",
    "credential_path_not_dir": "files",
    "lock_missing": "files",
    "lock_not_file": "files",
    "lock_mode": "files",
    "temp_file": "leftovers",
    "orphan_credential_dir": "leftovers",
    "credential_dir_missing": "leftovers",
}
_ORDER = {kind: position for position, kind in enumerate(GROUPS)}
INFO = frozenset({"registry_missing", "lock_missing", "credential_dir_missing"})

# Findings after which nothing is repaired: someone else could write here,
# so the registry itself may have been replaced.
HANDS_OFF = frozenset({"writable_by_others", "foreign_owner", "users_dir_not_dir"})


@dataclass
class Finding:
    kind: str
    path: str
    detail: str
    user_id: str | None = None
    record: int | None = None
    # What --fix does about it; None when it does nothing.
    fix: str | None = None
    fixed: bool = False

    @property
    def info(self) -> bool:
        return self.kind in INFO

    @property
    def group(self) -> str:
        return GROUPS[self.kind]

    def to_dict(self) -> dict[str, Any]:
        return {
            "kind": self.kind,
            "path": self.path,
            "user_id": self.user_id,
            "detail": self.detail,
            "fixable": self.fix is not None,
            "fixed": self.fixed,
            "severity": "info" if self.info else "problem",
            "record": self.record,
            "fix": self.fix,
        }


@dataclass
class Report:
    base_dir: Path
    findings: list[Finding] = field(default_factory=list)
    # Records in the registry; None when it could not be read.
    records: int | None = None

    def add(self, kind: str, path: Path | str, detail: str, **extra: Any) -> Finding:
        finding = Finding(kind, str(path), detail, **extra)
        self.findings.append(finding)
        return finding

    def sort(self) -> None:
        """Report order: by group; records by index; otherwise by kind, in
        the scan's order within a kind."""
        groups = list(dict.fromkeys(GROUPS.values()))
        self.findings.sort(
            key=lambda finding: (
                groups.index(finding.group),
                -1 if finding.record is None else finding.record,
                _ORDER[finding.kind],
            )
        )

    def of_kind(self, *kinds: str) -> list[Finding]:
        return [finding for finding in self.findings if finding.kind in kinds]

    @property
    def fixable(self) -> list[Finding]:
        return [finding for finding in self.findings if finding.fix is not None and not finding.fixed]

    @property
    def problems(self) -> list[Finding]:
        """What is wrong and was not fixed."""
        return [finding for finding in self.findings if not finding.info and not finding.fixed]


# ---------------------------------------------------------------------------
# Small readers


def _json_type(value: object) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, (int, float)):
        return "number"
    if isinstance(value, str):
        return "string"
    return "array" if isinstance(value, list) else "object"


def _lstat(path: Path) -> os.stat_result | None:
    try:
        return os.lstat(path)
    except FileNotFoundError:
        return None


def _file_type(mode: int) -> str:
    for test, name in (
        (stat.S_ISLNK, "a symbolic link"),
        (stat.S_ISDIR, "a directory"),
        (stat.S_ISREG, "a regular file"),
        (stat.S_ISFIFO, "a named pipe"),
        (stat.S_ISSOCK, "a socket"),
    ):
        if test(mode):
            return name
    return "a device"


def _what_it_is(path: Path, mode: int) -> str:
    if not stat.S_ISLNK(mode):
        return _file_type(mode)
    try:
        return f"a symbolic link to {os.readlink(path)}"
    except OSError:
        return "a symbolic link"


def _mode(st: os.stat_result) -> int:
    return stat.S_IMODE(st.st_mode)


def user_name(uid: int) -> str | None:
    """The account name of `uid`, or None when it has none."""
    try:
        return pwd.getpwuid(uid).pw_name
    except KeyError:
        return None


def _account(uid: int) -> str:
    name = user_name(uid)
    return f"uid {uid}" if name is None else f"{name} (uid {uid})"


def _stamp(seconds: float) -> str:
    return datetime.fromtimestamp(seconds, timezone.utc).isoformat(timespec="seconds")


def _size(count: int) -> str:
    if count < 1024:
        return "1 byte" if count == 1 else f"{count} bytes"
    value = float(count)
    for unit in ("KiB", "MiB", "GiB"):
        value /= 1024
        if value < 1024:
            break
    return f"{value:.1f} {unit}"


def _tree_extent(path: Path, top: os.stat_result) -> str:
    """Bytes in the regular files under `path` and the newest modification
    time of anything there, walked without following links."""
    total, newest, held = top.st_size, top.st_mtime, ""
    if stat.S_ISDIR(top.st_mode):
        total, held = 0, " in files"
        for root, dirs, files in os.walk(path, followlinks=False):
            for name in (*dirs, *files):
                try:
                    st = os.lstat(os.path.join(root, name))
                except OSError:
                    continue
                if stat.S_ISREG(st.st_mode):
                    total += st.st_size
                newest = max(newest, st.st_mtime)
    return f"{_size(total)}{held}, last modified {_stamp(newest)}"


def _id_problem(user_id: object) -> str | None:
    """Why `user_id` cannot name a credential directory, or None."""
    if not isinstance(user_id, str):
        return f"user_id is not text but a JSON {_json_type(user_id)}"
    if user_id in ("", ".", ".."):
        return f"user_id {user_id!r} is not a directory name"
    if "/" in user_id or "\0" in user_id:
        return "user_id contains '/' or NUL, so it is not one plain directory name"
    try:
        os.fsencode(user_id)
    except UnicodeEncodeError:
        return "user_id holds an unpaired surrogate, so it cannot be a file name"
    return None


def _records_label(indexes: Iterable[int], ids: dict[int, str | None]) -> str:
    shown = []
    for index in indexes:
        user_id = ids.get(index)
        shown.append(f"[{index}] ({user_id})" if user_id is not None else f"[{index}]")
    return ", ".join(shown)


# ---------------------------------------------------------------------------
# The scan


class _Scan:
    def __init__(self, base_dir: Path) -> None:
        self.base = base_dir
        self.registry = base_dir / REGISTRY_NAME
        self.users_dir = base_dir / USERS_DIR_NAME
        self.report = Report(base_dir)
        self.owner = -1
        # None: no record could be read. Otherwise the identifiers that can
        # name a directory; `unidentified` lists the records with none.
        self.user_ids: list[str] | None = None
        self.unidentified: list[int] = []
        self.registry_missing = False

    def add(self, kind: str, path: Path | str, detail: str, **extra: Any) -> Finding:
        return self.report.add(kind, path, detail, **extra)

    def owned(self, path: Path, st: os.stat_result) -> None:
        if st.st_uid != self.owner:
            self.add(
                "foreign_owner",
                path,
                f"owned by {_account(st.st_uid)}, not by the base directory's owner "
                f"{_account(self.owner)}: check what it holds, then chown it",
            )

    def run(self) -> Report:
        try:
            st = os.stat(self.base)  # a base directory reached through a link is fine
        except FileNotFoundError:
            self.add("registry_missing", self.registry, "no base directory yet: there are no users")
            self.report.records = 0
            return self.report
        if not stat.S_ISDIR(st.st_mode):
            raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR), str(self.base))
        self.owner = st.st_uid
        if _mode(st) & 0o022:
            self.add(
                "writable_by_others",
                self.base,
                f"mode {_mode(st):04o}: others can write here and could have replaced the "
                "registry; check it, then chmod go-w",
            )
        self.read_registry()
        self.scan_users_dir()
        self.scan_lock()
        self.scan_temp_files()
        self.settle()
        self.report.sort()
        return self.report

    # The registry ----------------------------------------------------------

    def read_registry(self) -> None:
        path = self.registry
        st = _lstat(path)
        if st is None:
            self.registry_missing = True
            self.user_ids = []
            self.report.records = 0
            self.add("registry_missing", path, "no registry yet: there are no users")
            return
        if not stat.S_ISREG(st.st_mode):
            # Never opened: a named pipe would hang the reader, a link leads elsewhere.
            self.add(
                "registry_unreadable",
                path,
                f"{_what_it_is(path, st.st_mode)}, not a regular file; not read",
            )
            return
        self.owned(path, st)
        if _mode(st) != FILE_MODE:
            self.add("registry_mode", path, f"mode {_mode(st):04o}, not 0600",
                     fix=f"chmod {FILE_MODE:04o}")
        try:
            fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
            with open(fd, "rb") as file:
                data = file.read()
        except OSError as error:
            self.add("registry_unreadable", path, error.strerror or str(error))
            return
        try:
            records = json.loads(data.decode("utf-8"))
        except UnicodeDecodeError:
            self.add("registry_not_json", path, "not UTF-8 text")
            return
        except (ValueError, RecursionError) as error:
            self.add("registry_not_json", path, f"not valid JSON ({error})")
            return
        if not isinstance(records, list):
            self.add("registry_not_array", path,
                     f"the top level is a JSON {_json_type(records)}, not an array")
            return
        self.report.records = len(records)
        self.check_records(records)

    def check_records(self, records: list[Any]) -> None:
        path = self.registry
        by_id: dict[str, list[int]] = {}
        by_hash: dict[str, list[int]] = {}
        labels: dict[int, str | None] = {}
        for index, record in enumerate(records):
            if not isinstance(record, dict):
                self.unidentified.append(index)
                self.add("record_not_object", path,
                         f"a JSON {_json_type(record)}, not an object: list fails, and so does "
                         "every key check that reaches it",
                         record=index)
                continue
            user_id = record.get("user_id")
            label = user_id if isinstance(user_id, str) else None
            labels[index] = label
            where = {"record": index, "user_id": label}
            if "user_id" not in record:
                self.unidentified.append(index)
                self.add("record_without_user_id", path, "no user_id: list fails for everyone",
                         **where)
            elif (problem := _id_problem(user_id)) is not None:
                self.unidentified.append(index)
                self.add("bad_user_id", path, f"{problem}: list fails for everyone", **where)
            else:
                by_id.setdefault(str(user_id), []).append(index)  # text, as checked
            key_hash = record.get("api_key_hash")
            if isinstance(key_hash, str) and KEY_HASH.fullmatch(key_hash):
                by_hash.setdefault(key_hash, []).append(index)
            else:
                found = "missing" if "api_key_hash" not in record else f"a JSON {_json_type(key_hash)}"
                if isinstance(key_hash, str):
                    found = f"text of {len(key_hash)} characters"
                self.add("bad_key_hash", path,
                         f"api_key_hash is {found}, not sha256: followed by "
                         "64 lower-case hexadecimal digits; no key can log in as this user",
                         **where)
            for name in ("description", "created_at"):
                if name in record and not isinstance(record[name], str):
                    self.add("field_not_text", path,
                             f"{name} is a JSON {_json_type(record[name])}, "
                             "not text", **where)
        for user_id, indexes in by_id.items():
            if len(indexes) > 1:
                self.add("duplicate_user_id", path,
                         f"records {_records_label(indexes, {})} carry the same user_id: rotate "
                         "refuses it, a key check finds only the first record",
                         user_id=user_id, record=indexes[0])
        for indexes in by_hash.values():
            if len(indexes) > 1:
                self.add("shared_key_hash", path,
                         f"records {_records_label(indexes, labels)} have the same key hash: "
                         "their key logs in as the first of them only; rotate the others",
                         user_id=labels.get(indexes[0]), record=indexes[0])
        self.user_ids = list(by_id)

    # Files and leftovers ----------------------------------------------------

    def scan_users_dir(self) -> None:
        path = self.users_dir
        st = _lstat(path)
        if st is None:
            entries: set[str] = set()  # construction creates it
        elif not stat.S_ISDIR(st.st_mode):
            self.add("users_dir_not_dir", path,
                     f"{_what_it_is(path, st.st_mode)}, not a directory; nothing under it is "
                     "looked at")
            return
        else:
            self.owned(path, st)
            if _mode(st) & 0o022:
                self.add("writable_by_others", path,
                         f"mode {_mode(st):04o}: others can write here and could have planted "
                         "directories or links; check it, then chmod 0700")
            elif _mode(st) != DIR_MODE:
                self.add("users_dir_mode", path, f"mode {_mode(st):04o}, not 0700",
                         fix=f"chmod {DIR_MODE:04o}")
            entries = set(os.listdir(path))
        if self.user_ids is None:
            return  # which directory belongs to whom is unknown
        for user_id in self.user_ids:
            self.scan_credential_dir(user_id, user_id in entries)
        for name in sorted(entries - set(self.user_ids)):
            self.scan_orphan(name)

    def scan_credential_dir(self, user_id: str, present: bool) -> None:
        path = self.users_dir / user_id
        st = _lstat(path) if present else None
        if st is None:
            self.add("credential_dir_missing", path,
                     "no credential directory: the next key check creates it", user_id=user_id)
        elif not stat.S_ISDIR(st.st_mode):
            self.add("credential_path_not_dir", path,
                     f"{_what_it_is(path, st.st_mode)}, not a directory", user_id=user_id)
        else:
            self.owned(path, st)
            if _mode(st) != DIR_MODE:
                self.add("credential_dir_mode", path, f"mode {_mode(st):04o}, not 0700",
                         user_id=user_id, fix=f"chmod {DIR_MODE:04o}")

    def scan_orphan(self, name: str) -> None:
        path = self.users_dir / name
        st = _lstat(path)
        if st is None:
            return  # gone since the listing
        kind = stat.S_IFMT(st.st_mode)
        if kind not in (stat.S_IFDIR, stat.S_IFLNK):
            self.add("credential_path_not_dir", path,
                     f"{_file_type(st.st_mode)} that no record names", user_id=name)
            return
        self.owned(path, st)
        if kind == stat.S_IFDIR:
            what, fix = _tree_extent(path, st), "remove it as the store removes a user's directory"
        else:
            what, fix = _what_it_is(path, st.st_mode), "remove the link alone"
        self.add("orphan_credential_dir", path, f"no record carries this name ({what})",
                 user_id=name, fix=fix)

    def scan_lock(self) -> None:
        path = self.base / LOCK_NAME
        st = _lstat(path)
        if st is None:
            self.add("lock_missing", path, "no lock file yet: the next change creates it")
        elif not stat.S_ISREG(st.st_mode):
            self.add("lock_not_file", path,
                     f"{_what_it_is(path, st.st_mode)}, not a regular file: changes fail or "
                     "reach elsewhere; remove it")
        else:
            self.owned(path, st)
            if _mode(st) != FILE_MODE:
                # Whoever can open it can hold the write lock forever.
                self.add("lock_mode", path,
                         f"mode {_mode(st):04o}, not 0600: others can open it and hold the lock",
                         fix=f"chmod {FILE_MODE:04o}")

    def scan_temp_files(self) -> None:
        for name in sorted(os.listdir(self.base)):
            if not TEMP_FILE.fullmatch(name):
                continue
            path = self.base / name
            st = _lstat(path)
            if st is None:
                continue  # a save has just finished with it
            if stat.S_ISDIR(st.st_mode):
                self.add("temp_file", path, "a directory under a temporary file's name")
                continue
            self.owned(path, st)
            what = _tree_extent(path, st)
            if not stat.S_ISREG(st.st_mode):
                what = f"{_what_it_is(path, st.st_mode)} under its name"
            self.add("temp_file", path, f"temporary file of a failed save ({what})",
                     fix="delete it")

    # What --fix may do -------------------------------------------------------

    def settle(self) -> None:
        blockers = self.report.of_kind(*HANDS_OFF)
        for finding in self.report.fixable:
            reason = None
            if blockers:
                reason = f"nothing is repaired while there is a {blockers[0].kind} finding"
            elif finding.kind == "temp_file" and self.user_ids is None:
                reason = "the registry cannot be read, and this may be its last good copy"
            elif finding.kind == "temp_file" and self.registry_missing:
                reason = "there is no registry, and this may be its only copy"
            elif finding.kind == "orphan_credential_dir" and self.registry_missing:
                reason = "there is no registry, so any directory may belong to a lost user"
            elif finding.kind == "orphan_credential_dir" and self.unidentified:
                reason = (f"record [{self.unidentified[0]}] has no usable user_id and may "
                          "own it")
            if reason is not None:
                finding.fix = None
                finding.detail += f"; --fix leaves it: {reason}"


def scan(base_dir: Path) -> Report:
    """What is wrong under `base_dir`, read without changing anything."""
    return _Scan(base_dir).run()


# ---------------------------------------------------------------------------
# Repairs


def _chmod(path: Path, mode: int, directory: bool) -> None:
    # Only what the scan saw is re-moded: a link put in its place meanwhile
    # is not followed.
    st = os.lstat(path)
    if stat.S_ISDIR(st.st_mode) != directory or stat.S_ISLNK(st.st_mode):
        raise OSError(errno.ESTALE, "changed since the scan", str(path))
    os.chmod(path, mode)


def _delete_temp_file(path: Path) -> None:
    if stat.S_ISDIR(os.lstat(path).st_mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), str(path))
    os.unlink(path)  # a link goes alone


def _apply(store: MCPUserStore, finding: Finding) -> None:
    path = Path(finding.path)
    if finding.kind in ("registry_mode", "lock_mode"):
        _chmod(path, FILE_MODE, directory=False)
    elif finding.kind in ("users_dir_mode", "credential_dir_mode"):
        _chmod(path, DIR_MODE, directory=True)
    elif finding.kind == "temp_file":
        _delete_temp_file(path)
    elif finding.kind == "orphan_credential_dir" and finding.user_id is not None:
        store._remove_credential_dir(finding.user_id)
    else:
        raise AssertionError(f"no repair for {finding.kind}")


def lock_is_held(lock_path: Path) -> bool:
    """True when a writer holds the store's lock right now."""
    try:
        fd = os.open(lock_path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return False
    try:
        fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
    except BlockingIOError:
        return True
    except OSError:
        return False
    finally:
        os.close(fd)  # closing drops a lock taken here
    return False


def repair(store: MCPUserStore, before: Report) -> Report:
    """Scans again under the store's write lock, so that no save runs and no
    user is added meanwhile, and repairs what that scan marks fixable. The
    registry itself is never written."""
    with store._locked():
        report = scan(before.base_dir)
        for finding in report.fixable:
            try:
                _apply(store, finding)
            except OSError as error:
                text = error.strerror or str(error)
                finding.detail += f"; --fix failed: {text}"
            else:
                finding.fixed = True
    # Constructing the store re-modes users/, and taking the lock makes the
    # lock file private, before the scan under the lock.
    for kind in ("users_dir_mode", "lock_mode"):
        if not report.of_kind(kind):
            for finding in before.of_kind(kind):
                if finding.fix is not None:
                    finding.fixed = True
                    report.findings.append(finding)
    report.sort()
    return report
