"""Key checks at a cost that does not grow with the number of users.

    from vardun.mcp.key_index import KeyIndex

    index = KeyIndex(store)
    user = index.verify_api_key(presented)    # what store.verify_api_key says

``store.verify_api_key`` reads and parses the whole registry at every call.
The index parses it (through ``store._load()``) only when it changed, keeps
the first record of every stored key hash, and answers from that, with
exactly the store's result, exceptions and side effects.

Deciding "unchanged". The store replaces the registry only by renaming a new
file over it. The index keeps the file it parsed open, so that its inode
cannot be handed to another file, and before every answer opens the path,
looks at what it names and closes it again (opening rather than ``stat``,
so that NFS's close-to-open consistency applies): the same device and inode,
size, modification and change time as the parsed file means the same
content. The one change this cannot see is an in-place edit by hand that
keeps the size and lands within one tick of the change-time clock, on a
kernel without fine-grained change times; the store itself never writes in
place.

Once a look has found everything current, a RegistryWatch (the extension
vardun.mcp._key_index) has the kernel report changes to the registry
file, users/ and its entries, every directory on the way to them, and the
mount table; while it reports none, one poll() and one geteuid() stand in
for the look. It is armed only for absolute paths without links on local
file systems: on NFS and the like every answer looks at the path. The one
change it cannot see is a write through a shared mapping of the file (no
inotify event).

Whenever a fast answer could differ from the store's, the index answers
through ``store.verify_api_key`` instead: a key that is None or empty, a
registry with a record the store's scan would stumble on (not an object, no
usable ``api_key_hash`` or ``user_id``, a field that is not text) before the
matching one, a registry the index cannot keep in view, and a store whose
class or instance replaces a step of the check (``_load``,
``verify_api_key``, ``normalize_api_key``, ``hash_api_key``), or whose
module's ``hmac`` is not the standard one.
"""

from __future__ import annotations

import errno
import hmac
import os
import stat
import threading
import time
from typing import Any

from vardun.mcp import user_store as _user_store
from vardun.mcp._key_index import RegistryWatch
from vardun.mcp.user_store import MCPUser, MCPUserStore

__all__ = ["NEEDS_THREAD", "KeyIndex"]

# The steps of a key check that the fast answer stands in for (the last two
# it may skip when they would change nothing); a store whose class or
# instance replaces one of them is asked directly.
_STEPS = ("_load", "verify_api_key", "normalize_api_key", "hash_api_key",
          "_ensure_credential_dir", "credential_dir")
_STEP_NAMES = frozenset(_STEPS)
# A live view of the class's attributes, and what they were at import.
_STORE_ATTRIBUTES = MCPUserStore.__dict__
_ORIGINAL_ITEMS = tuple((name, _STORE_ATTRIBUTES[name]) for name in _STEPS)
_compare_digest = hmac.compare_digest
_DIRECTORY = stat.S_IFDIR

# What RegistryWatch.validated says when its watches were just armed.
_LOOK_AGAIN = 2

_OPEN_FLAGS = os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC
_DIRECTORY_FLAGS = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC


class _NeedsThread:
    def __repr__(self) -> str:
        return "NEEDS_THREAD"


# What `answer_without_parsing` says when only `verify_api_key` can answer.
NEEDS_THREAD = _NeedsThread()

_Signature = tuple[int, int, int, int, int, int]


def _signature(info: os.stat_result) -> _Signature:
    return (info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns, info.st_ctime_ns,
            info.st_uid)


def _raw_attribute(cls: type, name: str) -> object:
    for klass in cls.__mro__:
        if name in klass.__dict__:
            return klass.__dict__[name]
    return None


class _Snapshot:
    """One parsed registry: the open file, what it looked like, and the
    first record of each stored hash before `limit`, the position of the
    first record that only the store itself can answer for."""

    __slots__ = ("fd", "signature", "users", "limit", "complete", "answers")

    def __init__(self, fd: int, signature: _Signature, records: list[Any]) -> None:
        self.fd = fd
        self.signature = signature
        users: dict[str, tuple[str, str, str]] = {}
        limit = 0
        for record in records:
            entry = _usable(record)
            if entry is None:
                break
            users.setdefault(entry[0], entry[1:])
            limit += 1
        self.users = users
        self.limit = limit
        # No match means None only when the scan would have met nothing odd.
        self.complete = limit == len(records)
        # Users answered so far: (users_dir, MCPUser class, the names of
        # users/ and of the credential directory, the MCPUser).
        self.answers: dict[str, tuple[object, object, str, str, MCPUser]] = {}

    def __del__(self, _close: Any = os.close) -> None:
        try:
            _close(self.fd)
        except OSError:
            pass  # a file another host has replaced may say so only now


def _plain_store(store: MCPUserStore) -> bool:
    """Whether `store` runs the module's own steps and the module the
    standard hmac, so that the fast answer is the check's."""
    cls = type(store)
    if cls is MCPUserStore:
        for name, original in _ORIGINAL_ITEMS:
            if _STORE_ATTRIBUTES.get(name) is not original:
                return False
    else:
        for name, original in _ORIGINAL_ITEMS:
            if _raw_attribute(cls, name) is not original:
                return False
    if not _STEP_NAMES.isdisjoint(store.__dict__):
        return False
    module_hmac = _user_store.hmac
    return module_hmac is hmac and module_hmac.compare_digest is _compare_digest


def _directory_settled(users_dir: str, path: str, me: int) -> bool:
    """Whether the credential-directory step would change nothing: users/
    and the directory are both real directories of this account with the
    private mode already."""
    names = _user_store.stat
    if names is stat:
        private = 0o700
    else:
        private = names.S_IRUSR | names.S_IWUSR | names.S_IXUSR
    try:
        for info in (os.lstat(users_dir), os.lstat(path)):
            if not (info.st_uid == me and info.st_mode == _DIRECTORY | private):
                return False
    except (OSError, ValueError):
        return False
    return True


def _usable(record: object) -> tuple[str, str, str, str] | None:
    """(hash, user_id, description, created_at) of a record whose scan and
    match behave plainly, else None."""
    if type(record) is not dict:
        return None
    key_hash = record.get("api_key_hash")
    user_id = record.get("user_id")
    if type(key_hash) is not str or not key_hash.isascii() or type(user_id) is not str:
        return None
    description = record.get("description", "")
    created_at = record.get("created_at", "")
    if type(description) is not str or type(created_at) is not str:
        return None
    return key_hash, user_id, description, created_at


class KeyIndex:
    """Answers ``verify_api_key`` for `store` as the store would, parsing
    the registry only when it has changed. Safe to share between threads."""

    store: MCPUserStore

    def __init__(self, store: MCPUserStore) -> None:
        if not isinstance(store, MCPUserStore):
            raise TypeError(f"store must be an MCPUserStore, not {type(store).__name__}")
        self.store = store
        self._snapshot: _Snapshot | None = None
        # A registry the store's loader refused, as it looked then.
        self._refused: _Signature | None = None
        self._reload_lock = threading.Lock()
        # Answers without a look while the kernel reports no change to what
        # the last look found.
        self._watch = RegistryWatch(MCPUserStore, _ORIGINAL_ITEMS, _user_store, hmac,
                                    _compare_digest, stat, NEEDS_THREAD)

    # -- the check ------------------------------------------------------------

    def verify_api_key(self, api_key: str | None) -> MCPUser | None:
        """The user `api_key` belongs to, or None: ``store.verify_api_key``'s answer."""
        answer = self._answer(api_key, may_parse=True)
        if isinstance(answer, _NeedsThread):
            return self.store.verify_api_key(api_key)
        return answer

    def answer_without_parsing(self, api_key: str | None) -> MCPUser | None | _NeedsThread:
        """The same answer when it takes a few local system calls and no read
        of the registry (the index is current, and the credential directory
        needs no change); otherwise ``NEEDS_THREAD``, having changed
        nothing. Meant for an event loop."""
        return self._answer(api_key, may_parse=False)

    def _answer(self, api_key: str | None, may_parse: bool) -> MCPUser | None | _NeedsThread:
        """The answer, or NEEDS_THREAD where only the store can give it (or,
        unless `may_parse`, where it would take a parse or a change to the
        credential directory)."""
        store = self.store
        # While the watch reports no change, what the last look found.
        answer: MCPUser | None | _NeedsThread = self._watch.answer(store, api_key)
        if answer is not NEEDS_THREAD:
            return answer
        if type(api_key) is not str or not _plain_store(store):
            return NEEDS_THREAD
        if not api_key:
            return store.verify_api_key(api_key)  # reads nothing
        token = self._watch.begin(store)
        expected = store.hash_api_key(store.normalize_api_key(api_key))
        me = os.geteuid()
        snapshot = self._current(me)
        if snapshot is None and may_parse:
            snapshot = self._reload()
        if snapshot is None:
            return NEEDS_THREAD
        entry = snapshot.users.get(expected)
        if entry is None:
            if not snapshot.complete:
                return NEEDS_THREAD
            self._keep(token, snapshot, me, None, None)
            return None
        # The user and the names of its directories, made once per registry
        # and users/ path: the same values credential_dir and MCPUser give.
        users_dir, user_type = store.users_dir, _user_store.MCPUser
        made = snapshot.answers.get(expected)
        if made is None or made[0] is not users_dir or made[1] is not user_type:
            user_id, description, created_at = entry
            path = store.credential_dir(user_id)
            user = user_type(user_id=user_id, description=description, created_at=created_at,
                             credential_dir=path)
            made = (users_dir, user_type, os.fspath(path.parent), os.fspath(path), user)
            snapshot.answers[expected] = made
        user = made[4]
        if _directory_settled(made[2], made[3], me):
            self._keep(token, snapshot, me, expected, made)
            return user
        if not may_parse:
            return NEEDS_THREAD
        if not self._ensure(user.user_id, expected, user.credential_dir):
            return None
        return user

    def _keep(self, token: object, snapshot: _Snapshot, me: int, key_hash: str | None,
              made: tuple[object, object, str, str, MCPUser] | None) -> None:
        """Tells the watch what the look that began at `token` found: the
        registry current, and for a matched key its directories settled.
        The first time for a registry the watch only arms, and then a second
        look, begun after that, is what it keeps."""
        store = self.store
        users_dir = os.fspath(store.users_dir)
        # Only a directory right inside users/ has every change watched.
        if made is not None and made[2] != users_dir:
            return
        user = None if made is None else made[4]
        view = (os.fspath(store.path), users_dir, key_hash, user)
        if self._watch.validated(token, store, snapshot, me, *view) != _LOOK_AGAIN:
            return
        token = self._watch.begin(store)
        if self._current(me) is not snapshot:
            return
        if made is not None and not _directory_settled(made[2], made[3], me):
            return
        self._watch.validated(token, store, snapshot, me, *view)

    # -- the credential directory -------------------------------------------

    def _ensure(self, user_id: str, key_hash: str, path: os.PathLike[str]) -> bool:
        """store._ensure_credential_dir(user_id) for a matched record. A
        removal of the user can race it: when the step fails, or had to
        create the directory, the registry is looked at again, and if the
        record is gone the check answers None (False here), taking back
        the empty directory it made."""
        try:
            existed = os.path.lexists(path)
        except ValueError:
            existed = False
        try:
            self.store._ensure_credential_dir(user_id)
        except OSError:
            if self._still_there(user_id, key_hash):
                raise
        else:
            if existed or self._still_there(user_id, key_hash):
                return True
        if not existed:
            _remove_if_empty(path)
        return False

    def _still_there(self, user_id: str, key_hash: str) -> bool:
        snapshot = self._current(os.geteuid())
        if snapshot is not None and snapshot.users.get(key_hash, ("",))[0] == user_id:
            return True
        for record in self.store._load():
            if not isinstance(record, dict) and not hasattr(record, "get"):
                continue
            if (str(record.get("user_id")) == user_id
                    and str(record.get("api_key_hash", "")) == key_hash):
                return True
        return False

    # -- keeping the registry in view -----------------------------------------

    def _open(self, me: int) -> tuple[int, os.stat_result] | None:
        """The registry opened as the store opens it, and what it is, if it
        is a regular file the store would read; None otherwise (the store
        then answers). The caller closes the descriptor."""
        path = self.store.path
        retry = _StaleRetry(path)
        while True:
            try:
                fd = os.open(path, _OPEN_FLAGS)
            except OSError as error:
                if retry.again(error.errno):
                    continue
                return None
            except ValueError:
                return None
            try:
                info = os.fstat(fd)
                if stat.S_ISREG(info.st_mode) and self._owner_accepted(info.st_uid, me):
                    return fd, info
            except OSError as error:
                _close_quietly(fd)
                if retry.again(_stale_if_gone(error.errno)):
                    continue
                raise
            except BaseException:
                _close_quietly(fd)
                raise
            _close_quietly(fd)
            return None

    def _look(self, me: int) -> os.stat_result | None:
        """What the registry's path names now (see _open). A file that
        another host has replaced can show its old self until it is closed,
        which then fails: that look is made again afresh."""
        retry = _StaleRetry(self.store.path)
        while True:
            opened = self._open(me)
            if opened is None:
                return None
            try:
                os.close(opened[0])
            except OSError as error:
                if not retry.again(_stale_if_gone(error.errno)):
                    raise
                continue
            return opened[1]

    def _owner_accepted(self, owner: int, me: int) -> bool:
        # The store's own rule: its account's file, or for root also root's
        # or the base directory's owner's.
        if owner == me:
            return True
        if me != 0:
            return False
        if owner == 0:
            return True
        try:
            return os.stat(os.path.dirname(os.fspath(self.store.path)) or ".").st_uid == owner
        except OSError:
            return False

    def _current(self, me: int) -> _Snapshot | None:
        snapshot = self._snapshot
        if snapshot is None:
            return None
        info = self._look(me)
        if info is None or _signature(info) != snapshot.signature:
            return None
        return snapshot

    def _reload(self) -> _Snapshot | None:
        """Parses the registry through the store, once however many threads
        wait for it; None when it would not hold still or the store refuses
        it (the store itself then answers)."""
        me = os.geteuid()
        with self._reload_lock:
            current = self._current(me)
            if current is not None:
                return current
            self._snapshot = None
            for _ in range(3):
                opened = self._open(me)
                if opened is None:
                    return None
                fd, info = opened
                try:
                    before = _signature(info)
                    if before == self._refused:
                        return None
                    try:
                        records = self.store._load()
                    except Exception:
                        records = None
                    after = self._look(me)
                    if after is None or _signature(after) != before:
                        continue
                    if records is None:
                        self._refused = before
                        return None
                    self._snapshot = _Snapshot(fd, before, records)
                    fd = -1
                    return self._snapshot
                finally:
                    if fd >= 0:
                        _close_quietly(fd)
            return None


class _StaleRetry:
    """Whether to try a look at `path` again after a stale file handle, as
    the store does (posix::StaleRetry): where another host has replaced the
    file, the directory is listed, which makes FUSE look the name up
    afresh; at most three more times, none begun later than a quarter
    second after the first failure."""

    def __init__(self, path: os.PathLike[str]) -> None:
        self.path = path
        self.retries = 0
        self.started = 0.0

    def again(self, error: int | None) -> bool:
        now = time.monotonic()
        self.started = self.started or now
        if error != errno.ESTALE or self.retries == 3 or now - self.started > 0.25:
            return False
        self.retries += 1
        directory, name = os.path.split(os.fspath(self.path))
        try:
            with os.scandir(directory or ".") as listing:
                for entry in listing:
                    if entry.name == name:
                        break
        except OSError:
            pass
        return True


def _stale_if_gone(error: int | None) -> int | None:
    """An error of a call on an open descriptor: ENOENT there can only be a
    shared file system's server saying the file is gone, replaced since it
    was opened, which is a stale handle too."""
    return errno.ESTALE if error == errno.ENOENT else error


def _close_quietly(fd: int) -> None:
    """Closes a descriptor whose file is no longer looked at."""
    try:
        os.close(fd)
    except OSError:
        pass


def _remove_if_empty(path: os.PathLike[str]) -> None:
    """Removes the directory at `path` if it is there and empty, relative to
    its parent opened without following a link; nothing is raised."""
    try:
        parent = os.open(os.path.dirname(path), _DIRECTORY_FLAGS)
    except (OSError, ValueError):
        return
    try:
        os.rmdir(os.path.basename(path), dir_fd=parent)
    except OSError:
        pass
    finally:
        os.close(parent)
