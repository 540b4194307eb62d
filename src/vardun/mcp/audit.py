"""Audit of a registry's directory: what the store leaves behind, records
that break it, modes and owners; and the repairs that leave every record as
it is.

:func:`scan` only reads: it never creates, re-modes or removes anything, so
it does not construct a store (construction re-modes ``users/``). It also
looks at every directory above the base directory, since whoever can write
to one of them can put another base directory in its place.
:func:`repair` takes the store's write lock, scans again and repairs what the
new scan marks fixable, each change made through a descriptor of the very
file the scan saw.
"""

from __future__ import annotations

import errno
import grp
import json
import os
import pwd
import re
import stat
from collections.abc import Callable, Iterable
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

# A registry beyond this is reported, not read: a real one holds a few
# hundred bytes per user.
MAX_REGISTRY_BYTES = 256 * 1024 * 1024
# How far the size of an orphan directory is measured.
TREE_MAX_DEPTH = 256
TREE_MAX_ENTRIES = 100_000
# As many links as the kernel follows in one path.
MAX_LINKS = 40

# Every kind, in report order, with its group. INFO kinds are notes, never
# something wrong.
GROUPS = {
    "registry_missing": "registry",
    "registry_unreadable": "registry",
    "registry_too_large": "registry",
    "registry_not_json": "registry",
    "registry_not_array": "registry",
    "shared_file_system": "registry",
    "record_not_object": "records",
    "record_without_user_id": "records",
    "bad_user_id": "records",
    "duplicate_user_id": "records",
    "bad_key_hash": "records",
    "shared_key_hash": "records",
    "field_not_text": "records",
    "path_writable_by_others": "files",
    "writable_by_others": "files",
    "foreign_owner": "files",
    "registry_linked": "files",
    "users_dir_not_dir": "files",
    "path_unreadable": "files",
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
INFO = frozenset({"registry_missing", "lock_missing", "credential_dir_missing",
                  "shared_file_system"})

# File systems whose content other hosts change, besides FUSE ones: a change
# made elsewhere reaches this host through their caches.
NETWORK_FILE_SYSTEMS = frozenset({
    "nfs", "nfs4", "cifs", "smb3", "smbfs", "ncpfs", "ceph", "9p", "afs", "coda", "lustre",
    "gpfs", "ocfs2", "gfs2", "beegfs", "orangefs", "glusterfs", "virtiofs",
})

# Findings after which nothing is repaired: someone else could write here,
# so the registry itself may have been replaced.
HANDS_OFF = frozenset(
    {"path_writable_by_others", "writable_by_others", "foreign_owner", "registry_linked",
     "users_dir_not_dir"}
)

# What a repair compares with the scan: device, inode and file type.
Identity = tuple[int, int, int]


def _identity(st: os.stat_result) -> Identity:
    return (st.st_dev, st.st_ino, stat.S_IFMT(st.st_mode))


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
    # The file the scan saw, so that a repair changes that file and no other.
    seen: Identity | None = field(default=None, compare=False, repr=False)

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
    # The account the store's files should belong to.
    owner: int = field(default_factory=os.geteuid)
    # The base directory and users/ as the scan saw them.
    base_seen: Identity | None = None
    users_seen: Identity | None = None

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


class _Extent:
    """Bytes in the regular files of a directory tree and the newest
    modification time in it, walked without following links, one directory
    descriptor per level and no recursion, within TREE_MAX_DEPTH levels and
    TREE_MAX_ENTRIES entries."""

    def __init__(self, top: os.stat_result) -> None:
        self.total, self.newest = 0, top.st_mtime
        self.entries = self.unreadable = 0
        self.bounded = False
        # One open directory per level, with the subdirectories still to enter.
        self.stack: list[tuple[int, list[str]]] = []

    def measure(self, path: Path) -> None:
        try:
            self.enter(str(path), None)
            while self.stack and not self.bounded:
                fd, pending = self.stack[-1]
                if not pending:
                    os.close(self.stack.pop()[0])
                elif len(self.stack) >= TREE_MAX_DEPTH:
                    self.bounded = True
                else:
                    self.enter(pending.pop(), fd)
        finally:
            for fd, _ in self.stack:
                os.close(fd)

    def enter(self, name: str, parent: int | None) -> None:
        try:
            fd = os.open(name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC,
                         dir_fd=parent)
        except OSError:
            self.unreadable += 1
            return
        subdirs: list[str] = []
        self.stack.append((fd, subdirs))
        try:
            with os.scandir(fd) as listing:
                for entry in listing:
                    self.entries += 1
                    if self.entries > TREE_MAX_ENTRIES:
                        self.bounded = True
                        return
                    try:
                        st = entry.stat(follow_symlinks=False)
                    except OSError:
                        self.unreadable += 1
                        continue
                    if stat.S_ISREG(st.st_mode):
                        self.total += st.st_size
                    elif stat.S_ISDIR(st.st_mode):
                        subdirs.append(entry.name)
                    self.newest = max(self.newest, st.st_mtime)
        except OSError:
            self.unreadable += 1


def _tree_extent(path: Path, top: os.stat_result) -> str:
    """Bytes in the regular files under `path` and the newest modification
    time of anything there, walked without following links."""
    if not stat.S_ISDIR(top.st_mode):
        return f"{_size(top.st_size)}, last modified {_stamp(top.st_mtime)}"
    extent = _Extent(top)
    extent.measure(path)
    if extent.bounded:
        return (f"too deep or too large to measure: over {TREE_MAX_DEPTH} levels or "
                f"{TREE_MAX_ENTRIES:,} entries")
    text = f"{_size(extent.total)} in files, last modified {_stamp(extent.newest)}"
    if extent.unreadable:
        text += f"; {_plural(extent.unreadable, 'entry', 'entries')} could not be read"
    return text


def _plural(count: int, one: str, many: str) -> str:
    return f"{count} {one if count == 1 else many}"


def _group(gid: int) -> str:
    try:
        return f"the group {grp.getgrgid(gid).gr_name}"
    except KeyError:
        return f"the group gid {gid}"


def _lookups(path: Path) -> list[tuple[str, str, os.stat_result]]:
    """Every name that reaching `path` looks up, as (directory, name, what
    the name holds), links followed as the kernel follows them; up to the
    first name that is missing or cannot be looked at. Directories are real
    paths, without links."""
    text = os.fsdecode(path)
    if not text.startswith("/"):
        text = os.path.join(os.getcwd(), text)
    pending = [part for part in reversed(text.split("/")) if part]
    current, links = "/", 0
    found: list[tuple[str, str, os.stat_result]] = []
    while pending:
        name = pending.pop()
        if name == ".":
            continue
        if name == "..":
            current = os.path.dirname(current)
            continue
        entry = os.path.join(current, name)
        try:
            st = os.lstat(entry)
        except OSError:
            break
        found.append((current, name, st))
        if not stat.S_ISLNK(st.st_mode):
            current = entry
            continue
        links += 1
        try:
            target = os.readlink(entry)
        except OSError:
            break
        if links > MAX_LINKS:
            break
        if target.startswith("/"):
            current = "/"
        pending.extend(part for part in reversed(target.split("/")) if part)
    return found


def _file_system(path: Path) -> tuple[str, str] | None:
    """The type and source of the file system holding `path`, as the mount
    table of /proc/self/mountinfo gives them, or None."""
    try:
        device = os.stat(path).st_dev
        table = Path("/proc/self/mountinfo").read_text(encoding="utf-8", errors="replace")
    except OSError:
        return None
    wanted = f"{os.major(device)}:{os.minor(device)}"
    for line in table.splitlines():
        # id, parent, major:minor, root, mount point, options, optional
        # fields up to "-", then type, source and the super block's options.
        fields = line.split()
        if len(fields) >= 10 and fields[2] == wanted and "-" in fields[6:]:
            separator = fields.index("-", 6)
            if separator + 2 < len(fields):
                return fields[separator + 1], fields[separator + 2]
    return None


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
    def __init__(self, base_dir: Path, owner: int | None) -> None:
        self.base = base_dir
        self.registry = base_dir / REGISTRY_NAME
        self.users_dir = base_dir / USERS_DIR_NAME
        self.owner = os.geteuid() if owner is None else owner
        self.owner_given = owner is not None
        self.report = Report(base_dir, owner=self.owner)
        # None: no record could be read. Otherwise the identifiers that can
        # name a directory; `unidentified` lists the records with none.
        self.user_ids: list[str] | None = None
        self.unidentified: list[int] = []
        self.registry_missing = False

    def add(self, kind: str, path: Path | str, detail: str, **extra: Any) -> Finding:
        return self.report.add(kind, path, detail, **extra)

    def owned(self, path: Path, st: os.stat_result, base: bool = False) -> None:
        if st.st_uid == self.owner:
            return
        whose = "given with --owner" if self.owner_given else "running check"
        detail = (f"owned by {_account(st.st_uid)}, not by {_account(self.owner)}, the account "
                  f"{whose}: check what it holds, then chown it")
        if base:
            account = user_name(st.st_uid) or str(st.st_uid)
            detail += (f"; if the store belongs to {account}, run check as {account} or with "
                       f"--owner {account}")
        self.add("foreign_owner", path, detail)

    def unreadable(self, path: Path | str, error: OSError, what: str) -> None:
        self.add("path_unreadable", path,
                 f"cannot be looked at ({error.strerror or error}): {what}")

    def run(self) -> Report:
        self.scan_parents()
        try:
            st = os.stat(self.base)  # a base directory reached through a link is fine
        except FileNotFoundError:
            self.add("registry_missing", self.registry, "no base directory yet: there are no users")
            self.report.records = 0
            self.report.sort()
            return self.report
        if not stat.S_ISDIR(st.st_mode):
            raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR), str(self.base))
        self.report.base_seen = _identity(st)
        self.owned(self.base, st, base=True)
        if _mode(st) & 0o022:
            self.add(
                "writable_by_others",
                self.base,
                f"mode {_mode(st):04o}: others can write here and could have replaced the "
                "registry; check it, then chmod go-w",
            )
        self.scan_file_system()
        self.read_registry()
        self.scan_users_dir()
        self.scan_lock()
        self.scan_temp_files()
        self.settle()
        self.report.sort()
        return self.report

    def scan_parents(self) -> None:
        """Every directory on the way to the base directory that someone
        other than root and the owner can write to: they could put another
        directory, with another registry, in place of the name below."""
        trusted = {0, self.owner}
        allowed = "root" if self.owner == 0 else f"root or {_account(self.owner)}"
        reported: set[str] = set()
        for directory, name, entry in _lookups(self.base):
            if directory in reported:
                continue
            try:
                st = os.lstat(directory)
            except OSError:
                continue
            if st.st_uid not in trusted:
                detail = (f"owned by {_account(st.st_uid)}, who can put another directory in "
                          f"place of {name}; only {allowed} may own the directories above the "
                          "store")
            else:
                writers = [who for bit, who in ((stat.S_IWGRP, _group(st.st_gid)),
                                                 (stat.S_IWOTH, "every user"))
                           if st.st_mode & bit]
                sticky = bool(st.st_mode & stat.S_ISVTX)
                # Like /tmp: a sticky directory lets only an entry's owner
                # (or the directory's, or root) rename or remove it.
                if not writers or (sticky and entry.st_uid in trusted):
                    continue
                detail = (f"mode {_mode(st):04o}: {' and '.join(writers)} can write here and so "
                          f"put another directory in place of {name}")
                if sticky:
                    detail += (f", which the sticky bit does not protect: it belongs to "
                               f"{_account(entry.st_uid)}; chown it to {allowed}, or chmod go-w "
                               "the directory")
                else:
                    detail += (f"; chmod go-w it, or make it sticky (chmod +t) with {name} "
                               f"owned by {allowed}")
            reported.add(directory)
            self.add("path_writable_by_others", directory, detail)

    def scan_file_system(self) -> None:
        found = _file_system(self.base)
        if found is None:
            return
        kind, source = found
        if kind.startswith("fuse"):
            what = "a FUSE file system"
        elif kind in NETWORK_FILE_SYSTEMS:
            what = "a network file system"
        else:
            return
        self.add("shared_file_system", self.base,
                 f"on {kind} ({source}), {what}: a key rotated or a user removed on another "
                 "host stops working here only once this host's caches of it see the change; "
                 "the README's deployment section names the options that make that immediate")

    # The registry ----------------------------------------------------------

    def read_registry(self) -> None:
        path = self.registry
        try:
            st = _lstat(path)
        except OSError as error:
            self.add("registry_unreadable", path, error.strerror or str(error))
            return
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
        if st.st_nlink > 1:
            self.add("registry_linked", path,
                     f"{st.st_nlink} links: the store refuses it (every key check fails), since "
                     "whoever holds another name can put this registry back after a change; "
                     f"find the others (find / -xdev -samefile {path}) and remove them")
        if _mode(st) != FILE_MODE:
            self.add("registry_mode", path, f"mode {_mode(st):04o}, not 0600",
                     fix=f"chmod {FILE_MODE:04o}", seen=_identity(st))
        if st.st_size > MAX_REGISTRY_BYTES:
            self.add_too_large(path, st.st_size)
            return
        try:
            fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
            with open(fd, "rb") as file:
                # It may have grown since it was looked at.
                data = file.read(MAX_REGISTRY_BYTES + 1)
        except OSError as error:
            self.add("registry_unreadable", path, error.strerror or str(error))
            return
        if len(data) > MAX_REGISTRY_BYTES:
            self.add_too_large(path, len(data))
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

    def add_too_large(self, path: Path, size: int) -> None:
        self.add("registry_too_large", path,
                 f"{_size(size)}{' or more' if size == MAX_REGISTRY_BYTES + 1 else ''}, over "
                 f"{_size(MAX_REGISTRY_BYTES)}: not read; a real registry holds a few hundred "
                 "bytes per user")

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
        try:
            st = _lstat(path)
        except OSError as error:
            self.unreadable(path, error, "no credential directory is looked at")
            return
        if st is None:
            entries: set[str] = set()  # construction creates it
        elif not stat.S_ISDIR(st.st_mode):
            self.add("users_dir_not_dir", path,
                     f"{_what_it_is(path, st.st_mode)}, not a directory; nothing under it is "
                     "looked at")
            return
        else:
            self.report.users_seen = _identity(st)
            self.owned(path, st)
            if _mode(st) & 0o022:
                self.add("writable_by_others", path,
                         f"mode {_mode(st):04o}: others can write here and could have planted "
                         "directories or links; check it, then chmod 0700")
            elif _mode(st) != DIR_MODE:
                self.add("users_dir_mode", path, f"mode {_mode(st):04o}, not 0700",
                         fix=f"chmod {DIR_MODE:04o}", seen=_identity(st))
            try:
                entries = set(os.listdir(path))
            except OSError as error:
                self.unreadable(path, error, "no credential directory is looked at")
                return
        if self.user_ids is None:
            return  # which directory belongs to whom is unknown
        for user_id in self.user_ids:
            self.guarded(self.users_dir / user_id, self.scan_credential_dir, user_id,
                         user_id in entries)
        for name in sorted(entries - set(self.user_ids)):
            self.guarded(self.users_dir / name, self.scan_orphan, name)

    def guarded(self, path: Path, step: Callable[..., None], *args: Any) -> None:
        # One entry that cannot be looked at says so and leaves the rest of the report.
        try:
            step(*args)
        except OSError as error:
            self.unreadable(path, error, "not checked")

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
                         user_id=user_id, fix=f"chmod {DIR_MODE:04o}", seen=_identity(st))

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
                 user_id=name, fix=fix, seen=_identity(st))

    def scan_lock(self) -> None:
        path = self.base / LOCK_NAME
        try:
            st = _lstat(path)
        except OSError as error:
            self.unreadable(path, error, "not checked")
            return
        if st is None:
            self.add("lock_missing", path, "no lock file yet: the next change creates it")
        elif not stat.S_ISREG(st.st_mode):
            self.add("lock_not_file", path,
                     f"{_what_it_is(path, st.st_mode)}, not a regular file: changes fail or "
                     "reach elsewhere; remove it")
        else:
            self.owned(path, st)
            if _mode(st) != FILE_MODE:
                # Whoever can open it can hold the write lock forever; the
                # store's lock replaces such a file, so that descriptors
                # opened on it earlier hold nothing.
                exposed = _mode(st) & 0o077
                self.add("lock_mode", path,
                         f"mode {_mode(st):04o}, not 0600: others can open it and hold the lock",
                         fix="replace it with a private file" if exposed
                         else f"chmod {FILE_MODE:04o}", seen=_identity(st))

    def scan_temp_files(self) -> None:
        try:
            names = os.listdir(self.base)
        except OSError as error:
            self.unreadable(self.base, error, "temporary files of failed saves are not looked for")
            return
        for name in sorted(names):
            if TEMP_FILE.fullmatch(name):
                self.guarded(self.base / name, self.scan_temp_file, name)

    def scan_temp_file(self, name: str) -> None:
        path = self.base / name
        st = _lstat(path)
        if st is None:
            return  # a save has just finished with it
        if stat.S_ISDIR(st.st_mode):
            self.add("temp_file", path, "a directory under a temporary file's name")
            return
        self.owned(path, st)
        what = _tree_extent(path, st)
        if not stat.S_ISREG(st.st_mode):
            what = f"{_what_it_is(path, st.st_mode)} under its name"
        self.add("temp_file", path, f"temporary file of a failed save ({what})",
                 fix="delete it", seen=_identity(st))

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


def scan(base_dir: Path, owner: int | None = None) -> Report:
    """What is wrong under `base_dir` and above it, read without changing
    anything. The store's files should belong to `owner` (default: the
    effective uid)."""
    return _Scan(base_dir, owner).run()


# ---------------------------------------------------------------------------
# Repairs: each opens what it changes relative to a descriptor of its
# directory without following a link, checks that it is the file the scan
# saw, and changes it through the new descriptor.


def _changed(path: str) -> OSError:
    return OSError(errno.ESTALE, "changed since the scan", path)


def _open_seen(dir_fd: int, name: str, seen: Identity | None, shown: str) -> tuple[int, bool]:
    """A descriptor of `name` in `dir_fd` if it is still the file the scan
    saw, and whether it is an O_PATH one."""
    if seen is None:
        raise _changed(shown)
    flags = os.O_NOFOLLOW | os.O_CLOEXEC | (os.O_DIRECTORY if seen[2] == stat.S_IFDIR else 0)
    try:
        try:
            fd, bare = os.open(name, flags | os.O_RDONLY | os.O_NONBLOCK, dir_fd=dir_fd), False
        except PermissionError:
            # Its owner cannot open a file without its read bit (root can):
            # an O_PATH descriptor needs no permission at all.
            fd, bare = os.open(name, flags | os.O_PATH, dir_fd=dir_fd), True
    except OSError as error:
        if error.errno in (errno.ELOOP, errno.ENOTDIR, errno.ENOENT):
            raise _changed(shown) from None  # a link, a file or nothing in its place
        raise
    if _identity(os.fstat(fd)) != seen:
        os.close(fd)
        raise _changed(shown)
    return fd, bare


def _chmod_seen(dir_fd: int, name: str, mode: int, seen: Identity | None, shown: str) -> None:
    fd, bare = _open_seen(dir_fd, name, seen, shown)
    try:
        if bare:
            # fchmod refuses an O_PATH descriptor; its /proc name leads to
            # exactly the opened file, whatever the directory holds by now.
            os.chmod(f"/proc/self/fd/{fd}", mode)
        else:
            os.fchmod(fd, mode)
    finally:
        os.close(fd)


def _check_seen(dir_fd: int, name: str, seen: Identity | None, shown: str) -> None:
    try:
        st = os.stat(name, dir_fd=dir_fd, follow_symlinks=False)
    except FileNotFoundError:
        raise _changed(shown) from None
    if seen is None or _identity(st) != seen:
        raise _changed(shown)


class _Repairs:
    def __init__(self, store: MCPUserStore, report: Report) -> None:
        self.store, self.report = store, report
        self.base_fd = -1
        self.users_fd = -1

    def __enter__(self) -> _Repairs:
        # Reached as the scan reaches it, links included; O_PATH needs no
        # permission and serves as the directory of every later call.
        self.base_fd = os.open(self.report.base_dir, os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC)
        if _identity(os.fstat(self.base_fd)) != self.report.base_seen:
            os.close(self.base_fd)
            raise _changed(str(self.report.base_dir))
        return self

    def __exit__(self, *_: object) -> None:
        for fd in (self.users_fd, self.base_fd):
            if fd >= 0:
                os.close(fd)

    def users(self) -> int:
        if self.users_fd < 0:
            shown = str(self.report.base_dir / USERS_DIR_NAME)
            self.users_fd, _ = _open_seen(self.base_fd, USERS_DIR_NAME, self.report.users_seen,
                                          shown)
        return self.users_fd

    def apply(self, finding: Finding) -> None:
        name, seen, shown = Path(finding.path).name, finding.seen, finding.path
        if finding.kind in ("registry_mode", "lock_mode"):
            _chmod_seen(self.base_fd, name, FILE_MODE, seen, shown)
        elif finding.kind == "users_dir_mode":
            _chmod_seen(self.base_fd, USERS_DIR_NAME, DIR_MODE, seen, shown)
        elif finding.kind == "credential_dir_mode" and finding.user_id is not None:
            _chmod_seen(self.users(), finding.user_id, DIR_MODE, seen, shown)
        elif finding.kind == "temp_file":
            _check_seen(self.base_fd, name, seen, shown)
            os.unlink(name, dir_fd=self.base_fd)  # a link goes alone
        elif finding.kind == "orphan_credential_dir" and finding.user_id is not None:
            users = self.users()
            _check_seen(users, finding.user_id, seen, shown)
            if seen is not None and seen[2] == stat.S_IFDIR:
                # The store's own removal, which follows no link: it opens
                # users/ again, which nobody else can write to (or nothing
                # would be repaired), and the lock keeps the store's writers out.
                self.store._remove_credential_dir(finding.user_id)
            else:
                os.unlink(finding.user_id, dir_fd=users)
        else:
            raise AssertionError(f"no repair for {finding.kind}")


def repair(store: MCPUserStore, before: Report) -> Report:
    """Scans again under the store's write lock, so that no save runs and no
    user is added meanwhile, and repairs what that scan marks fixable. The
    registry itself is never written."""
    with store._locked():
        report = scan(before.base_dir, before.owner)
        fixes = report.fixable
        if fixes:
            try:
                with _Repairs(store, report) as repairs:
                    for finding in fixes:
                        try:
                            repairs.apply(finding)
                        except OSError as error:
                            finding.detail += f"; --fix failed: {error.strerror or error}"
                        else:
                            finding.fixed = True
            except OSError as error:
                for finding in fixes:
                    if not finding.fixed:
                        finding.detail += f"; --fix failed: {error.strerror or error}"
    # Constructing the store re-modes users/, and taking the lock replaces a
    # lock file others could open: what the first scan saw is fixed.
    for kind in ("users_dir_mode", "lock_mode"):
        if not report.of_kind(kind):
            for finding in before.of_kind(kind):
                if finding.fix is not None:
                    finding.fixed = True
                    report.findings.append(finding)
    report.sort()
    return report
