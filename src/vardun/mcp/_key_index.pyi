from os import PathLike
from typing import Any

class KeyEngine:
    # The store the answers are for; read at every call.
    store: Any
    def verify_api_key(self, api_key: Any, /) -> Any: ...
    def answer_without_parsing(self, api_key: Any, /) -> Any: ...
    def _configure(self, store_class: type, steps: tuple[tuple[str, object], ...],
                   namespaces: tuple[tuple[object, tuple[tuple[str, object], ...]], ...],
                   types: tuple[type, ...], user_type: type, needs_thread: object,
                   ask_store: object, /) -> None: ...
    def _state(self) -> dict[str, Any]: ...

# The native registry reader, for tests and the benchmark: None when it declines.
def _read_table(path: str | bytes | PathLike[str] | PathLike[bytes],
                chunk_size: int = 1048576) -> None | tuple[bool, list[tuple[str, int, int]]]: ...
def _table_summary(path: str | bytes | PathLike[str] | PathLike[bytes],
                   chunk_size: int = 1048576) -> None | tuple[bool, int, int]: ...
def _read_record(data: bytes, key_hash: str) -> None | tuple[str, str, str]: ...
# The read of path after previous_path (or after each of a list of paths in turn), reusing
# what they share: (the table as _read_table gives it, bytes parsed), and its timing.
def _reread_table(path: str | bytes | PathLike[str] | PathLike[bytes],
                  previous_path: str | bytes | PathLike[str] | PathLike[bytes]
                  | list[str | bytes | PathLike[str] | PathLike[bytes]]
                  | tuple[str | bytes | PathLike[str] | PathLike[bytes], ...],
                  chunk_size: int = 1048576, min_size: int = 4096,
                  reuse: bool = True) -> tuple[None | tuple[bool, list[tuple[str, int, int]]], int]: ...
def _reread_summary(path: str | bytes | PathLike[str] | PathLike[bytes],
                    previous_path: str | bytes | PathLike[str] | PathLike[bytes]
                    | list[str | bytes | PathLike[str] | PathLike[bytes]]
                    | tuple[str | bytes | PathLike[str] | PathLike[bytes], ...],
                    chunk_size: int = 1048576, min_size: int = 4096,
                    reuse: bool = True) -> None | dict[str, Any]: ...
