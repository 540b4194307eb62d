"""Key checks at a cost that does not grow with the number of users.

    from vardun.mcp.key_index import KeyIndex

    index = KeyIndex(store)
    user = index.verify_api_key(presented)    # what store.verify_api_key says

``store.verify_api_key`` reads and parses the whole registry at every call.
The index reads it only when it changed, natively and without the
interpreter lock (the extension vardun.mcp._key_index), into a compact table
of the stored key hashes, and answers from that, with exactly the store's
result, exceptions and side effects. A user's ``MCPUser`` is made when its
key is first answered, and kept for that version of the registry.

Deciding "unchanged". The store replaces the registry only by renaming a new
file over it. The index keeps the file it read open, so that its inode
cannot be handed to another file, and looks at the path (opens it, looks at
what it names, closes it: NFS's close-to-open consistency applies) before
answering: the same device, inode, size, times, owner, mode and link count
as the file read means the same content.

Once a look has found everything current, the kernel reports changes
(inotify: the registry file under any name, users/ and every entry in it,
every directory on the way, the mount table), and while it reports none one
poll() stands in for the look. The rule that fast answer stands on: an
answer without a look is given only when no change that could alter it can
have happened since a look that began after the watches covering it were
armed. The kernel is asked only for absolute paths with no link on the way,
the registry itself a regular file at its name, on local file systems; on
NFS, FUSE and the like every check looks at the path. Even while the kernel
reports nothing, the path is looked at once a second, which bounds what it
cannot report (a write through a shared mapping, an overlay's layer changed
from outside, a changed root or mount namespace, a descriptor closed by
other code).

Whenever an answer from the table could differ from the store's, the index
asks the store itself (``store.verify_api_key``): a registry the native
reader cannot prove it reads as ``json.loads`` does, a record the store's
scan would stumble on before the match, a matching record with odd fields, a
store whose class or instance replaces a step of the check, or a module
whose ``json``, ``hmac``, ``hashlib``, ``stat`` or ``MCPUser`` is not the
original.
"""

from __future__ import annotations

import hashlib
import hmac
import json
import stat
from typing import Any

from vardun.mcp import user_store as _user_store
from vardun.mcp._key_index import KeyEngine
from vardun.mcp.user_store import MCPUser, MCPUserStore

__all__ = ["NEEDS_THREAD", "KeyIndex"]

# The steps of a key check the engine stands in for; a store whose class or
# instance replaces one of them is asked directly.
_STEPS = tuple((name, MCPUserStore.__dict__[name])
               for name in ("_load", "verify_api_key", "normalize_api_key", "hash_api_key",
                            "_ensure_credential_dir", "credential_dir"))
# json.loads's own decoder, which it reads at every call without arguments.
_DECODER: Any = getattr(json, "_default_decoder")
# Every name the store's check reads at its call, with what it was at
# import: the engine tracks these namespaces' versions and asks the store
# once anything in them moved.
_NAMESPACES = (
    (_user_store, (("hmac", hmac), ("hashlib", hashlib), ("json", json), ("stat", stat),
                   ("MCPUser", MCPUser))),
    (hmac, (("compare_digest", hmac.compare_digest),)),
    (hashlib, (("sha256", hashlib.sha256),)),
    (json, (("loads", json.loads), ("_default_decoder", _DECODER))),
    (_DECODER, (("scan_once", _DECODER.scan_once),)),
    (stat, (("S_IRUSR", stat.S_IRUSR), ("S_IWUSR", stat.S_IWUSR), ("S_IXUSR", stat.S_IXUSR))),
)
_TYPES = (MCPUser, type(_DECODER))


class _NeedsThread:
    def __repr__(self) -> str:
        return "NEEDS_THREAD"


# What `answer_without_parsing` says when only `verify_api_key` can answer.
NEEDS_THREAD = _NeedsThread()
# What the engine says when only the store itself can answer (it then asks).
_ASK_STORE: Any = object()


class KeyIndex(KeyEngine):
    """Answers ``verify_api_key`` for `store` as the store would, reading
    the registry only when it has changed. Safe to share between threads.

    ``verify_api_key(api_key)`` is the user `api_key` belongs to, or None:
    ``store.verify_api_key``'s answer. ``answer_without_parsing(api_key)`` is
    the same answer when it takes a few local system calls and no read of
    the registry (the index is current, and the credential directory needs
    no change); otherwise ``NEEDS_THREAD``, having changed nothing: meant for
    an event loop. Both are native; `store` is read at every call.
    """

    store: MCPUserStore

    def __init__(self, store: MCPUserStore) -> None:
        if not isinstance(store, MCPUserStore):
            raise TypeError(f"store must be an MCPUserStore, not {type(store).__name__}")
        self.store = store
        self._configure(MCPUserStore, _STEPS, _NAMESPACES, _TYPES, MCPUser, NEEDS_THREAD,
                        _ASK_STORE)
