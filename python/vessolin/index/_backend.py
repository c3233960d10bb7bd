"""The small interface every index database implements.

`Index` holds the logic (validation, batching, scoring); a backend only moves
rows in and out of three tables, which both databases lay out alike:

- ``vessolin_meta (name, value)``: ``format`` = ``vessolin.index`` and
  ``schema_version``;
- ``vessolin_records``: one row per record, keyed by an integer ``rid``,
  with the record id, content hash, both fingerprints, the packed signature,
  the pointer, the manifest reference, the manifest id and the pointer's
  lookup key (`pointer_key`);
- ``vessolin_manifests (manifest_id, store)``: the manifest stores held for
  the records' manifest ids (a store is kept while a record names it);
- ``vessolin_bands (key, rid)``: one row per distinct band key of a record,
  its primary key leading with the key so that a lookup is an index seek
  (SQLite adds ``vessolin_bands_recent`` of the same form in front of it,
  see `_sqlite.RECENT_BAND_ROWS`).
"""

from __future__ import annotations

from abc import ABC, abstractmethod
from collections.abc import Sequence
from contextlib import AbstractContextManager

from ._errors import IncompatibleIndexError, NewerSchemaError
from ._values import Packed

FORMAT = "vessolin.index"
SCHEMA_VERSION = 2

# One record to insert: record id, its packed values, pointer, manifest,
# manifest id.
NewRecord = tuple[str, Packed, "str | None", "str | None", "str | None"]
# One stored record: rid, record id, content hash, surface, structure,
# packed signature, pointer, manifest, manifest id, and whether the index
# holds the manifest store of that id.
StoredRecord = tuple[int, str, bytes, bytes, bytes, bytes, "str | None", "str | None", "str | None", bool]

# The watermark carries a 16-byte pointer field; a pointer embedded from
# fewer bytes comes back padded with zero bytes.
POINTER_BYTES = 16


def pointer_key(pointer: str | bytes | None) -> bytes | None:
    """The 16 bytes a watermark read back from a text gives for `pointer`.

    A stored pointer is text, usually hexadecimal: white space around it is
    ignored, digits of either case are accepted, and up to 16 bytes are padded
    with zero bytes to 16. A pointer that is not hexadecimal, or longer than
    16 bytes, cannot come out of a watermark and has no key.
    """
    if pointer is None:
        return None
    if isinstance(pointer, str):
        try:
            pointer = bytes.fromhex(pointer.strip())
        except ValueError:
            return None
    if not 0 < len(pointer) <= POINTER_BYTES:
        return None
    return bytes(pointer).ljust(POINTER_BYTES, b"\0")


def check_meta(meta: dict[str, str], where: str) -> int:
    """Refuse what is not an index of a schema this version knows; its version."""
    if meta.get("format") != FORMAT:
        raise IncompatibleIndexError(f"{where} is not a vessolin index (its vessolin_meta table has no format entry)")
    try:
        version = int(meta.get("schema_version", ""))
    except ValueError:
        raise IncompatibleIndexError(f"{where} has an unreadable schema version {meta.get('schema_version')!r}") from None
    if version > SCHEMA_VERSION:
        raise NewerSchemaError(
            f"{where} has index schema version {version}, newer than the version {SCHEMA_VERSION} "
            "this vessolin supports; upgrade vessolin to open it")
    if version < 1:
        raise IncompatibleIndexError(f"{where} has an invalid schema version {version}")
    return version


def pointer_keys(rows: list[tuple[int, str]]) -> list[tuple[bytes, int]]:
    """(pointer key, rid) of the stored (rid, pointer) rows that have a key:
    what the migration from version 1 fills in."""
    return [(key, rid) for rid, pointer in rows if (key := pointer_key(pointer)) is not None]


class Backend(ABC):
    kind: str
    where: str  # the location as shown in messages (no password)

    @abstractmethod
    def errors(self) -> AbstractContextManager[None]:
        """Translate the driver's exceptions into the index's own."""

    @abstractmethod
    def write(self) -> AbstractContextManager[None]:
        """One transaction that holds the write lock; rolled back on any exception."""

    @abstractmethod
    def find(self, record_ids: Sequence[str]) -> list[tuple[int, str, bytes]]:
        """(rid, record id, packed signature) of those ids that are stored."""

    @abstractmethod
    def delete(self, rows: Sequence[tuple[int, Sequence[int]]]) -> None:
        """Delete records given as (rid, their signed band keys)."""

    @abstractmethod
    def insert(self, records: Sequence[NewRecord]) -> None:
        """Insert new records with their band rows (ids known to be free)."""

    @abstractmethod
    def band_candidates(self, keys: Sequence[int], limit: int) -> list[tuple[int, int]]:
        """(rid, number of the keys it has), most keys first, at most `limit`."""

    @abstractmethod
    def exact(self, content_hash: bytes, limit: int) -> list[int]:
        """rids of records with this content hash, at most `limit`."""

    @abstractmethod
    def fetch(self, rids: Sequence[int]) -> list[StoredRecord]:
        """The stored records with these rids (those that still exist)."""

    @abstractmethod
    def get(self, record_id: str) -> StoredRecord | None: ...

    @abstractmethod
    def by_pointer(self, key: bytes, limit: int) -> list[StoredRecord]:
        """Records whose pointer key is `key`, at most `limit`, by rid."""

    @abstractmethod
    def by_manifest_id(self, manifest_id: str, limit: int) -> list[StoredRecord]:
        """Records that name this manifest id, at most `limit`, by rid."""

    @abstractmethod
    def put_manifests(self, stores: Sequence[tuple[str, bytes]]) -> None:
        """Store (or replace) manifest stores by manifest id."""

    @abstractmethod
    def manifest_store(self, manifest_id: str) -> bytes | None: ...

    @abstractmethod
    def prints_after(self, rid: int) -> list[tuple[int, bytes, bytes]]:
        """(rid, surface, structure) of the records with a higher rid, by rid."""

    @abstractmethod
    def generation(self) -> tuple[int, int]:
        """(deletions so far, highest rid): what a cache of stored values
        compares to see whether records were removed or added since."""

    @abstractmethod
    def count(self) -> int: ...

    @abstractmethod
    def close(self) -> None: ...
