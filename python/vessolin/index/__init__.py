"""Discovery index: find the published records a text came from.

A provenance service keeps, for every text it publishes, the values the
module computes (content hash, surface and structural fingerprints, MinHash
signature and band keys) together with the text's watermark pointer and a
reference to its manifest. When a text turns up without its manifest, a look
up finds the records it may have come from::

    from vessolin.index import Index

    with Index("published.db") as index:          # or "postgresql://..."
        index.add("doc-1", text, pointer=pointer_hex, manifest="https://...")
        for match in index.query(found_text):
            print(match.record_id, match.share, match.manifest)

A candidate is a lead, not a verdict: the final word on it belongs to
``vessolin.verify_tier`` applied to the text and the record's signed
soft-binding assertion, which the service holds.

Band keys are unsigned 64-bit integers; both databases store them in signed
64-bit columns through `to_signed64` (the same 64 bits read as two's
complement), and `to_unsigned64` reads them back.
"""

from __future__ import annotations

import os
from collections import deque
from collections.abc import Callable, Generator, Iterable, Iterator, Sequence
from dataclasses import dataclass
from types import TracebackType
from typing import Any

from .._workers import OrderedPool
from ._backend import SCHEMA_VERSION, Backend, NewRecord, StoredRecord, pointer_key
from ._scan import PrintScan
from ._errors import (
    DuplicateRecordError,
    IncompatibleIndexError,
    IndexBusyError,
    IndexReadOnlyError,
    IndexStoreError,
    IndexUnavailableError,
    NewerSchemaError,
)
from ._values import (
    _MINHASH_PRIME,
    SIGNATURE_LENGTH,
    Fingerprints,
    Packed,
    _check_hex,
    _check_ints,
    band_keys_of_signature,
    equal_values,
    fingerprints,
    pack_text,
    pack_signature,
    pack_texts,
    to_signed64,
    to_unsigned64,
    unpack_signature,
)

__all__ = [
    "SCHEMA_VERSION",
    "DuplicateRecordError",
    "Fingerprints",
    "IncompatibleIndexError",
    "Index",
    "IndexBusyError",
    "IndexReadOnlyError",
    "IndexStoreError",
    "IndexUnavailableError",
    "Match",
    "NewerSchemaError",
    "Record",
    "fingerprints",
    "to_signed64",
    "to_unsigned64",
]

# Record ids are keys of a unique index; PostgreSQL cannot index much more
# than 2,700 bytes in one b-tree entry, so both databases take at most this.
MAX_RECORD_ID_BYTES = 1024


@dataclass(frozen=True, slots=True)
class Match:
    """One candidate record for a queried text."""

    record_id: str
    share: float
    """Share of the 128 MinHash values the two texts have in common (0 to 1):
    an estimate of the share of 5-word phrases they have in common."""
    surface_distance: int
    """Hamming distance of the surface fingerprints (0 to 256)."""
    structure_distance: int
    """Hamming distance of the structural fingerprints (0 to 256). It carries
    information only between texts rich in English function words (see
    ``vessolin.verify_tier``); for other languages it is near 0 for any pair."""
    shared_bands: int
    """How many distinct band keys the two texts have in common (0 to 32)."""
    exact: bool
    """True when the content hashes are equal (the same canonical stream)."""
    pointer: str | None
    manifest: str | None
    manifest_id: str | None = None
    manifest_stored: bool = False
    """True when the index holds the manifest store of `manifest_id`."""


@dataclass(frozen=True, slots=True)
class Record:
    """A stored record, as `Index.get` returns it."""

    record_id: str
    content_hash: str
    fingerprint: str
    structure: str
    signature: tuple[int, ...]
    pointer: str | None
    manifest: str | None
    manifest_id: str | None = None
    manifest_stored: bool = False
    """True when the index holds the manifest store of `manifest_id`."""

    @property
    def bands(self) -> tuple[int, ...]:
        """The distinct band keys, unsigned, in band order (derived from the
        signature when asked for: it costs a third of a millisecond)."""
        return tuple(dict.fromkeys(band_keys_of_signature(pack_signature(self.signature))))


def _check_record_id(record_id: object) -> str:
    if not isinstance(record_id, str):
        raise TypeError(f"record_id must be str, not {type(record_id).__name__}")
    if not record_id:
        raise ValueError("record_id must not be empty")
    if "\0" in record_id:
        raise ValueError("record_id must not contain NUL characters")
    if len(record_id.encode("utf-8")) > MAX_RECORD_ID_BYTES:  # a lone surrogate raises UnicodeEncodeError
        raise ValueError(f"record_id is longer than {MAX_RECORD_ID_BYTES} bytes in UTF-8")
    return record_id


def _check_reference(name: str, value: object) -> str | None:
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"{name} must be str or None, not {type(value).__name__}")
    if "\0" in value:
        raise ValueError(f"{name} must not contain NUL characters")
    value.encode("utf-8")
    return value


def _check_manifest_id(value: object) -> str | None:
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"manifest_id must be str or None, not {type(value).__name__}")
    if not value:
        raise ValueError("manifest_id must not be empty")
    if "\0" in value:
        raise ValueError("manifest_id must not contain NUL characters")
    if len(value.encode("utf-8")) > MAX_RECORD_ID_BYTES:
        raise ValueError(f"manifest_id is longer than {MAX_RECORD_ID_BYTES} bytes in UTF-8")
    return value


def _check_store(value: object, manifest_id: str | None) -> bytes | None:
    if value is None:
        return None
    if not isinstance(value, (bytes, bytearray, memoryview)):
        raise TypeError(f"manifest_store must be bytes or None, not {type(value).__name__}")
    if manifest_id is None:
        raise ValueError("a manifest_store needs the manifest_id it is stored under")
    return bytes(value)


def _check_text(text: object) -> str | Fingerprints:
    if not isinstance(text, (str, Fingerprints)):
        raise TypeError(f"text must be str or Fingerprints, not {type(text).__name__}")
    return text


def _packed(text: str | Fingerprints) -> Packed:
    return text.packed() if isinstance(text, Fingerprints) else pack_text(text)


def _packed_for_storage(text: str | Fingerprints) -> Packed:
    if isinstance(text, str):
        return pack_text(text)
    # Stored band rows are found again through the signature (remove,
    # replace), so values made elsewhere must agree with it.
    packed = text.packed()
    if band_keys_of_signature(packed[3]) != list(text.bands):
        raise ValueError("Fingerprints.bands are not the band keys of Fingerprints.signature")
    return packed


def _hamming(a: bytes, b: bytes) -> int:
    return (int.from_bytes(a, "big") ^ int.from_bytes(b, "big")).bit_count()


def _is_postgres_url(location: str) -> bool:
    return location.startswith(("postgresql://", "postgres://"))


# One validated add_many item: record id, text or values, pointer, manifest,
# manifest id, manifest store.
_Item = tuple[str, "str | Fingerprints", "str | None", "str | None", "str | None", "bytes | None"]


def _checked(record_id: object, text: object, pointer: object, manifest: object, manifest_id: object,
             manifest_store: object) -> _Item:
    manifest_id = _check_manifest_id(manifest_id)
    return (_check_record_id(record_id), _check_text(text), _check_reference("pointer", pointer),
            _check_reference("manifest", manifest), manifest_id, _check_store(manifest_store, manifest_id))


def _check_item(position: int, item: object) -> _Item:
    if isinstance(item, (str, bytes)) or not isinstance(item, Sequence) or not 2 <= len(item) <= 6:
        raise TypeError(
            f"add_many item {position}: expected (record_id, text[, pointer[, manifest[, manifest_id"
            f"[, manifest_store]]]]), got {type(item).__name__}")
    try:
        return _checked(*(*item, None, None, None, None)[:6])
    except UnicodeError as exc:  # its constructor wants the failing position, not a message
        exc.add_note(f"in add_many item {position}")
        raise
    except (TypeError, ValueError) as exc:
        raise type(exc)(f"add_many item {position}: {exc}") from None


def _batches(items: Iterable[object], size: int) -> Iterator[list[_Item]]:
    batch: list[_Item] = []
    for position, item in enumerate(items):
        batch.append(_check_item(position, item))
        if len(batch) == size:
            yield batch
            batch = []
    if batch:
        yield batch


def _split(values: list[str], parts: int) -> list[list[str]]:
    step = -(-len(values) // parts) or 1
    return [values[i:i + step] for i in range(0, len(values), step)]


def _computed_batches(items: Iterable[object], jobs: int,
                      batch_size: int) -> Generator[tuple[list[_Item], list[Packed]], None, None]:
    """Validated batches with their packed values, computed in `jobs` processes."""
    batches = _batches(items, batch_size)
    if jobs == 1:
        for batch in batches:
            yield batch, [_packed_for_storage(item[1]) for item in batch]
        return
    # The workers leave with the writer (killed or interrupted) and leave
    # interrupts to it; a batch that fails stops them at once.
    pool = OrderedPool(jobs, pack_texts)
    finished = False
    try:
        # Each batch's texts go out in `jobs` chunks. The pool sends the next
        # chunk as soon as a result is read, so the workers compute the next
        # batch while the caller writes this one: the database and the
        # workers overlap.
        sent: deque[tuple[list[_Item], int]] = deque()

        def chunks() -> Iterator[list[str]]:
            for batch in batches:
                # At least one chunk per batch, empty when it holds only
                # precomputed values, so that every batch has a result.
                parts = _split([item[1] for item in batch if isinstance(item[1], str)], jobs) or [[]]
                sent.append((batch, len(parts)))
                yield from parts

        results = pool.map(chunks())
        for first in results:
            # Results come in the order of the chunks, so this is the first
            # chunk of the oldest batch sent.
            batch, parts = sent.popleft()
            computed = iter([values for part in [first, *(next(results) for _ in range(parts - 1))]
                             for values in part])
            yield batch, [next(computed) if isinstance(item[1], str) else _packed_for_storage(item[1])
                          for item in batch]
        finished = True
    finally:
        pool.close(abandon=not finished)


class Index:
    """A discovery index of published texts, in SQLite or PostgreSQL.

    ``Index(path)`` opens (and on first use creates) an SQLite file in WAL
    mode; ``":memory:"`` gives a private in-memory index. ``Index(url)`` with
    a ``postgresql://`` URL opens the same tables in a PostgreSQL database
    (needs ``vessolin[postgres]``). With ``create=False`` a missing index is
    an `IndexUnavailableError` instead: what only reads should not leave an
    empty index behind a mistyped name. An index this process may not write
    (a file or folder of another user) opens for reading, and a write to it
    raises `IndexReadOnlyError`. Several processes may read an SQLite index
    while one writes; a writer that waits for another longer than `timeout`
    seconds gets `IndexBusyError`. An index object belongs to one thread.

    `query` returns candidates, not verdicts: the final word on a candidate
    belongs to ``vessolin.verify_tier`` applied to the text and the record's
    signed soft-binding assertion, which the service holds.
    """

    def __init__(self, location: str | os.PathLike[str], *, timeout: float = 5.0, create: bool = True) -> None:
        if isinstance(location, os.PathLike):
            location = os.fspath(location)
        if not isinstance(location, str):
            raise TypeError(f"location must be a path or a postgresql:// URL, not {type(location).__name__}")
        if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not timeout >= 0:
            raise ValueError(f"timeout must be a non-negative number of seconds, not {timeout!r}")
        self._backend: Backend | None = None
        self._prints: PrintScan | None = None
        if _is_postgres_url(location):
            from ._postgres import PostgresBackend
            self._backend = PostgresBackend(location, float(timeout), bool(create))
        else:
            from ._sqlite import SQLiteBackend
            self._backend = SQLiteBackend(location, float(timeout), bool(create))

    # -- housekeeping -----------------------------------------------------

    @property
    def _db(self) -> Backend:
        if self._backend is None:
            raise IndexStoreError("the index is closed")
        return self._backend

    @property
    def backend(self) -> str:
        """``"sqlite"`` or ``"postgresql"``."""
        return self._db.kind

    def close(self) -> None:
        """Close the database connection; closing twice is harmless."""
        if self._backend is not None:
            backend, self._backend = self._backend, None
            backend.close()

    def __enter__(self) -> Index:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()

    def __repr__(self) -> str:
        if self._backend is None:
            return "<vessolin.index.Index closed>"
        return f"<vessolin.index.Index {self._backend.kind} {self._backend.where!r}>"

    def __len__(self) -> int:
        db = self._db
        with db.errors():
            return db.count()

    def __contains__(self, record_id: object) -> bool:
        if not isinstance(record_id, str):
            return False
        db = self._db
        with db.errors():
            return bool(db.find([record_id]))

    # -- writing ----------------------------------------------------------

    def add(self, record_id: str, text: str | Fingerprints, *, pointer: str | None = None,
            manifest: str | None = None, manifest_id: str | None = None, manifest_store: bytes | None = None,
            replace: bool = False) -> None:
        """Store a published text's values under `record_id`.

        `pointer` (the watermark's routing pointer, usually hexadecimal),
        `manifest` (a reference such as a URL) and `manifest_id` (the id of
        the text's C2PA manifest) are kept as given and returned with every
        match. `manifest_store`, the bytes of the C2PA manifest store, is kept
        under `manifest_id` (replacing any store already kept under it) for
        as long as a record names that id. An id that is already stored
        raises `DuplicateRecordError` unless `replace` is true.
        """
        item = _checked(record_id, text, pointer, manifest, manifest_id, manifest_store)
        self._write_batch([item], [_packed_for_storage(item[1])], replace)

    def add_many(self, items: Iterable[Sequence[Any]], *, jobs: int = 1, batch_size: int = 1000,
                 replace: bool = False, progress: Callable[[int], None] | None = None) -> int:
        """Store many texts; returns how many were stored.

        Each item is ``(record_id, text)`` followed by up to four of
        ``pointer, manifest, manifest_id, manifest_store`` in that order, as
        `add` takes them. Items are written in
        batches of `batch_size`, one transaction each: a batch that fails (a
        bad item, a duplicate id without `replace`, a worker that dies) is
        rolled back whole and the error propagates, with a note of how many
        records earlier batches committed; a process killed meanwhile leaves
        the index at the last committed batch. With `jobs` above 1 the values
        are computed in that many worker processes while the previous batch
        is written (as with any multiprocessing code, a script that calls
        this must guard its entry point with ``if __name__ == "__main__"``).
        `progress`, if given, is called with the running total after every
        committed batch.
        """
        if isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1:
            raise ValueError(f"jobs must be a positive int, not {jobs!r}")
        if isinstance(batch_size, bool) or not isinstance(batch_size, int) or batch_size < 1:
            raise ValueError(f"batch_size must be a positive int, not {batch_size!r}")
        _ = self._db  # fail before any work on a closed index
        stored = 0
        computed = _computed_batches(items, jobs, batch_size)
        try:
            for batch, packed in computed:
                stored += self._write_batch(batch, packed, replace)
                if progress is not None:
                    progress(stored)
        except BaseException as exc:
            exc.add_note(f"add_many stopped after committing {stored} records; "
                         "the batch in progress, if any, was rolled back")
            raise
        finally:
            computed.close()
        return stored

    def _write_batch(self, batch: Sequence[_Item], packed: Sequence[Packed], replace: bool) -> int:
        records: list[NewRecord] = [
            (record_id, values, pointer, manifest, manifest_id)
            for (record_id, _, pointer, manifest, manifest_id, _), values in zip(batch, packed, strict=True)]
        stores = {item[4]: item[5] for item in batch if item[5] is not None}
        if replace:
            # The last occurrence of an id in a batch wins, as in a dict.
            records = list({r[0]: r for r in records}.values())
        else:
            seen: set[str] = set()
            for record_id, *_ in records:
                if record_id in seen:
                    raise DuplicateRecordError(f"record {record_id!r} appears twice in one batch")
                seen.add(record_id)
        db = self._db
        with db.errors(), db.write():
            existing = db.find([r[0] for r in records])
            if existing and not replace:
                raise DuplicateRecordError(
                    f"record {existing[0][1]!r} is already in the index (pass replace=True to overwrite it)")
            if existing:
                db.delete([(rid, [to_signed64(k) for k in set(band_keys_of_signature(sig))])
                           for rid, _, sig in existing])
            db.insert(records)
            if stores:
                db.put_manifests(list(stores.items()))
        return len(records)

    def remove(self, record_id: str) -> bool:
        """Remove a record; returns False when there was none with this id."""
        _check_record_id(record_id)
        db = self._db
        with db.errors(), db.write():
            existing = db.find([record_id])
            if existing:
                ((rid, _, sig),) = existing
                db.delete([(rid, [to_signed64(k) for k in set(band_keys_of_signature(sig))])])
        return bool(existing)

    # -- reading ----------------------------------------------------------

    def get(self, record_id: str) -> Record | None:
        """The stored record with this id, or None."""
        _check_record_id(record_id)
        db = self._db
        with db.errors():
            row = db.get(record_id)
        return None if row is None else _record(row)

    def query(self, text: str | Fingerprints, *, limit: int = 10, min_share: float = 0.0,
              max_candidates: int = 1000) -> list[Match]:
        """The stored records `text` may have come from, best first.

        Candidates are the records with the same content hash or at least
        one band key in common (at any band position). They are ranked by
        the share of equal MinHash values, then by the surface Hamming
        distance, then by record id; at most `limit` are
        returned, and none whose share is below `min_share`. When more than
        `max_candidates` records share band keys with the text, only those
        sharing the most keys are scored.

        A match is a lead: the final word belongs to ``vessolin.verify_tier``
        applied to the text and the record's signed soft-binding assertion.
        """
        _check_text(text)
        if isinstance(limit, bool) or not isinstance(limit, int) or limit < 1:
            raise ValueError(f"limit must be a positive int, not {limit!r}")
        if isinstance(max_candidates, bool) or not isinstance(max_candidates, int) or max_candidates < 1:
            raise ValueError(f"max_candidates must be a positive int, not {max_candidates!r}")
        if isinstance(min_share, bool) or not isinstance(min_share, (int, float)) or not 0 <= min_share <= 1:
            raise ValueError(f"min_share must be a number from 0 to 1, not {min_share!r}")
        digest, surface, structure, signature_blob, keys = _packed(text)
        db = self._db
        with db.errors():
            shared = dict(db.band_candidates(keys, max_candidates))
            exact = db.exact(digest, max_candidates)
            rows = db.fetch(list(shared.keys() | exact)) if shared or exact else []
        return self._rank(rows, shared, digest, surface, structure, unpack_signature(signature_blob), len(keys),
                          limit, min_share)

    @staticmethod
    def _rank(rows: list[StoredRecord], shared: dict[int, int], digest: bytes, surface: bytes, structure: bytes,
              signature: tuple[int, ...], key_count: int, limit: int, min_share: float) -> list[Match]:
        needed = min_share * SIGNATURE_LENGTH
        scored = []
        for rid, record_id, r_digest, r_surface, r_structure, r_signature, pointer, manifest, mid, stored in rows:
            equal = equal_values(signature, unpack_signature(r_signature))
            if equal < needed:
                continue
            is_exact = r_digest == digest
            # A record found only by its content hash has the same canonical
            # stream, hence the same band keys.
            bands = shared.get(rid, key_count if is_exact else 0)
            scored.append((-equal, _hamming(surface, r_surface), record_id, _hamming(structure, r_structure),
                           bands, is_exact, pointer, manifest, mid, bool(stored)))
        # The structural distance does not rank: it tells anything only
        # between texts rich in English function words (the rule of
        # verify_tier), and a query given as Fingerprints has no text to
        # apply that rule to.
        scored.sort(key=lambda s: s[:3])
        return [Match(record_id, -neg / SIGNATURE_LENGTH, surface_d, structure_d, *rest)
                for neg, surface_d, record_id, structure_d, *rest in scored[:limit]]



    # -- the lookups of a resolution service ------------------------------

    def by_pointer(self, pointer: str | bytes, *, limit: int = 100) -> list[Record]:
        """The records whose watermark pointer is `pointer`, oldest first.

        Both sides are compared as the 16 bytes a watermark carries: a
        hexadecimal text or bytes of up to 16 bytes, padded with zero bytes.
        A pointer that no watermark can carry (not hexadecimal, empty, longer
        than 16 bytes) finds nothing.
        """
        if not isinstance(pointer, (str, bytes)):
            raise TypeError(f"pointer must be str or bytes, not {type(pointer).__name__}")
        _check_limit(limit)
        key = pointer_key(pointer)
        if key is None:
            return []
        db = self._db
        with db.errors():
            return [_record(row) for row in db.by_pointer(key, limit)]

    def by_manifest_id(self, manifest_id: str, *, limit: int = 100) -> list[Record]:
        """The records that name `manifest_id`, oldest first."""
        _check_limit(limit)
        manifest_id = _check_manifest_id(manifest_id)
        if manifest_id is None:
            raise TypeError("manifest_id must be str, not None")
        db = self._db
        with db.errors():
            return [_record(row) for row in db.by_manifest_id(manifest_id, limit)]

    def manifest_store(self, manifest_id: str) -> bytes | None:
        """The manifest store kept under `manifest_id`, or None."""
        manifest_id = _check_manifest_id(manifest_id)
        if manifest_id is None:
            raise TypeError("manifest_id must be str, not None")
        db = self._db
        with db.errors():
            return db.manifest_store(manifest_id)

    def by_signature(self, signature: Sequence[int], *, max_candidates: int = 1000) -> list[Record]:
        """The records that have a band key in common with a MinHash
        `signature` (128 values, as `minhash_signature` gives them), those
        sharing the most keys first (at most `max_candidates`)."""
        values = _check_signature(signature)
        _check_limit(max_candidates)
        blob = pack_signature(values)
        keys = tuple(dict.fromkeys(to_signed64(k) for k in band_keys_of_signature(blob)))
        db = self._db
        with db.errors():
            shared = db.band_candidates(keys, max_candidates)
            rows = {row[0]: row for row in db.fetch([rid for rid, _ in shared])} if shared else {}
        return [_record(rows[rid]) for rid, _ in shared if rid in rows]

    def near(self, *, fingerprint: str | None = None, structure: str | None = None,
             surface_limit: int = 32, structure_limit: int = 24, max_candidates: int = 1000) -> list[Record]:
        """The records whose surface fingerprint lies within `surface_limit`
        bits of `fingerprint`, or whose structural fingerprint lies within
        `structure_limit` bits of `structure` (64 hexadecimal digits each;
        give one or both), nearest first (at most `max_candidates`).

        The stored fingerprints are scanned in memory: a copy of them (64
        bytes a record) is read once and then kept up to date with the
        records added since; each scan compares every record (1 to 3 ms for
        100,000 records). See the README for how this scales.
        """
        if fingerprint is None and structure is None:
            raise TypeError("near() needs a fingerprint, a structure or both")
        surface = bytes.fromhex(_check_hex("fingerprint", fingerprint)) if fingerprint is not None else None
        struct_ = bytes.fromhex(_check_hex("structure", structure)) if structure is not None else None
        for name, value in (("surface_limit", surface_limit), ("structure_limit", structure_limit)):
            if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= 256:
                raise ValueError(f"{name} must be an int from 0 to 256, not {value!r}")
        _check_limit(max_candidates)
        db = self._db
        with db.errors():
            if self._prints is None:
                self._prints = PrintScan()
            found = self._prints.scan(db, surface, surface_limit, struct_, structure_limit, max_candidates)
            rows = {row[0]: row for row in db.fetch(list(found))} if found else {}
        # The scan's copy may hold records removed since; their rows are gone.
        return [_record(rows[rid]) for rid in found if rid in rows]


def _check_limit(limit: object) -> None:
    if isinstance(limit, bool) or not isinstance(limit, int) or limit < 1:
        raise ValueError(f"limit must be a positive int, not {limit!r}")


def _check_signature(signature: object) -> tuple[int, ...]:
    return _check_ints("signature", signature, SIGNATURE_LENGTH, _MINHASH_PRIME)


def _record(row: StoredRecord) -> Record:
    _, stored_id, digest, surface, structure, signature, pointer, manifest, manifest_id, stored = row
    return Record(stored_id, digest.hex(), surface.hex(), structure.hex(), unpack_signature(signature), pointer,
                  manifest, manifest_id, bool(stored))
