"""The index in one SQLite file (the standard library's sqlite3, WAL mode)."""

from __future__ import annotations

import os
import sqlite3
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from urllib.parse import quote

from ._backend import (
    FORMAT,
    SCHEMA_VERSION,
    Backend,
    NewRecord,
    StoredRecord,
    check_meta,
    pointer_key,
    pointer_keys,
)
from ._errors import (
    DuplicateRecordError,
    IncompatibleIndexError,
    IndexBusyError,
    IndexReadOnlyError,
    IndexStoreError,
    IndexUnavailableError,
)

# Well below SQLite's limit on bound parameters in one statement.
_CHUNK = 500

# Band keys are random, so a batch of new band rows lands on nearly every
# leaf of a key-ordered b-tree, and SQLite's WAL writes every page a
# transaction touched: in one big table, each committed batch would rewrite
# the whole band index. New rows therefore go into a small table of recent
# bands first, which is merged into the main one (one sequential pass over
# it) once it holds this many rows. Lookups read both tables.
RECENT_BAND_ROWS = 1 << 18

# Page cache per connection (KiB): room for the recent bands and the upper
# levels of the main band index.
_CACHE_KIB = 65536

# What version 2 added to version 1: the manifest id and the pointer's lookup
# key of each record, and the manifest stores. The migration adds the two
# columns before these.
_VERSION_2 = (
    "CREATE INDEX vessolin_records_manifest_id ON vessolin_records (manifest_id) WHERE manifest_id IS NOT NULL",
    "CREATE INDEX vessolin_records_pointer_key ON vessolin_records (pointer_key) WHERE pointer_key IS NOT NULL",
    "CREATE TABLE vessolin_manifests (manifest_id TEXT PRIMARY KEY, store BLOB NOT NULL) WITHOUT ROWID",
)

_SCHEMA = (
    "CREATE TABLE vessolin_meta (name TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID",
    """CREATE TABLE vessolin_records (
        rid INTEGER PRIMARY KEY,
        record_id TEXT NOT NULL UNIQUE,
        content_hash BLOB NOT NULL,
        surface BLOB NOT NULL,
        structure BLOB NOT NULL,
        signature BLOB NOT NULL,
        pointer TEXT,
        manifest TEXT,
        manifest_id TEXT,
        pointer_key BLOB)""",
    "CREATE INDEX vessolin_records_content_hash ON vessolin_records (content_hash)",
    *_VERSION_2,
    # Rowid-free: the (key, rid) pair is the whole row and its own key, so
    # each band costs one b-tree entry of about 15 bytes.
    """CREATE TABLE vessolin_bands (
        key INTEGER NOT NULL,
        rid INTEGER NOT NULL,
        PRIMARY KEY (key, rid)) WITHOUT ROWID""",
    """CREATE TABLE vessolin_bands_recent (
        key INTEGER NOT NULL,
        rid INTEGER NOT NULL,
        PRIMARY KEY (key, rid)) WITHOUT ROWID""",
)
_TABLES = {"vessolin_meta", "vessolin_records", "vessolin_bands", "vessolin_bands_recent", "vessolin_manifests"}
_COLUMNS = ("rid, record_id, content_hash, surface, structure, signature, pointer, manifest, manifest_id, "
            "EXISTS (SELECT 1 FROM vessolin_manifests m WHERE m.manifest_id = vessolin_records.manifest_id)")
_NEW_COLUMNS = "rid, record_id, content_hash, surface, structure, signature, pointer, manifest, manifest_id, pointer_key"


def _placeholders(n: int) -> str:
    return ",".join("?" * n)


class SQLiteBackend(Backend):
    kind = "sqlite"

    def __init__(self, path: str, timeout: float, create: bool = True) -> None:
        self.where = path
        self._timeout = timeout
        # A private database ("" or ":memory:") is always new.
        self._private = path in ("", ":memory:")
        self._create_missing = create or self._private
        self.conn = self._connect("rwc" if self._create_missing else "rw")
        try:
            with self.errors():
                self._open()
        except BaseException:
            self.conn.close()
            raise

    # -- opening ----------------------------------------------------------

    def _connect(self, mode: str) -> sqlite3.Connection:
        """A connection in autocommit mode: every transaction below is begun
        and ended explicitly, so that writes take the lock up front (BEGIN
        IMMEDIATE) and readers never hold a transaction open. `mode` is
        SQLite's open mode ("rwc", "rw", "ro") or "immutable"."""
        path = self.where
        try:
            if self._private:
                return sqlite3.connect(path, timeout=self._timeout, isolation_level=None)
            query = "immutable=1" if mode == "immutable" else f"mode={mode}"
            return sqlite3.connect(f"file:{quote(path)}?{query}", uri=True, timeout=self._timeout,
                                   isolation_level=None)
        except sqlite3.Error as exc:
            if mode == "rw" and not os.path.lexists(path):
                raise IndexUnavailableError(f"{path}: no such index") from None
            raise IndexUnavailableError(f"cannot open {path}: {exc}") from exc

    def _tables(self) -> set[str]:
        rows = self.conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'").fetchall()
        return {name for (name,) in rows if not name.startswith("sqlite_")}

    def _read_only_tables(self) -> set[str]:
        """The tables, read through a read-only connection: for a file or
        folder this process may not write. Even a read-only connection to a
        WAL database needs its shared-memory file, which a folder it cannot
        write does not let it create; when no writer has the database open
        (there is no WAL file), the file is read as immutable instead, which
        does not see what a writer that comes later changes: such a reader
        should be short-lived, as the command line's are."""
        self.conn.close()
        self.conn = self._connect("ro")
        try:
            return self._tables()
        except sqlite3.DatabaseError as exc:
            if not exc.sqlite_errorname.startswith("SQLITE_READONLY") or os.path.exists(self.where + "-wal"):
                raise
        self.conn.close()
        self.conn = self._connect("immutable")
        return self._tables()

    def _open(self) -> None:
        try:
            try:
                tables = self._tables()
            except sqlite3.DatabaseError as exc:
                if not exc.sqlite_errorname.startswith("SQLITE_READONLY"):
                    raise
                tables = self._read_only_tables()
        except sqlite3.DatabaseError as exc:
            if exc.sqlite_errorname.startswith(("SQLITE_BUSY", "SQLITE_LOCKED", "SQLITE_READONLY")):
                raise
            raise IncompatibleIndexError(f"{self.where} is not an SQLite database, or a corrupt one ({exc})") from exc
        if not tables:
            if not self._create_missing:
                raise IncompatibleIndexError(f"{self.where} is an empty database, not a vessolin index")
            self._create()
            tables = self._tables()
        if "vessolin_meta" not in tables:
            listed = ", ".join(sorted(tables))
            raise IncompatibleIndexError(
                f"{self.where} is an SQLite database of another application (tables: {listed}), not a vessolin index")
        version = check_meta(dict(self.conn.execute("SELECT name, value FROM vessolin_meta").fetchall()), self.where)
        if version < SCHEMA_VERSION:
            self._migrate()
            tables = self._tables()
        missing = _TABLES - tables
        if missing:
            raise IncompatibleIndexError(f"{self.where} is a damaged vessolin index: missing {', '.join(sorted(missing))}")
        self.conn.execute(f"PRAGMA cache_size = -{_CACHE_KIB}")

    def _create(self) -> None:
        # The journal mode outlives the connection and needs no transaction;
        # an in-memory database answers "memory" and stays so.
        self.conn.execute("PRAGMA journal_mode = WAL")
        with self.write():
            if self._tables():  # another process created it meanwhile
                return
            for statement in _SCHEMA:
                self.conn.execute(statement)
            self.conn.executemany(
                "INSERT INTO vessolin_meta (name, value) VALUES (?, ?)",
                [("format", FORMAT), ("schema_version", str(SCHEMA_VERSION)), ("recent_band_rows", "0"),
                 ("deletions", "0")])

    def _migrate(self) -> None:
        """Bring an index of version 1 to version 2 in one transaction."""
        try:
            self._migrate_now()
        except sqlite3.OperationalError as exc:
            if not exc.sqlite_errorname.startswith("SQLITE_READONLY"):
                raise
            raise IncompatibleIndexError(
                f"{self.where} is an index of schema version 1, which is brought to version {SCHEMA_VERSION} "
                "when it is first opened with write access; this process can only read it") from None

    def _migrate_now(self) -> None:
        with self.write():
            version = check_meta(dict(self.conn.execute("SELECT name, value FROM vessolin_meta").fetchall()),
                                 self.where)
            if version == SCHEMA_VERSION:  # another process migrated it meanwhile
                return
            self.conn.execute("ALTER TABLE vessolin_records ADD COLUMN manifest_id TEXT")
            self.conn.execute("ALTER TABLE vessolin_records ADD COLUMN pointer_key BLOB")
            for statement in _VERSION_2:
                self.conn.execute(statement)
            rows = self.conn.execute("SELECT rid, pointer FROM vessolin_records WHERE pointer IS NOT NULL").fetchall()
            self.conn.executemany("UPDATE vessolin_records SET pointer_key = ? WHERE rid = ?", pointer_keys(rows))
            self.conn.execute("INSERT INTO vessolin_meta (name, value) VALUES ('deletions', '0')")
            self.conn.execute("UPDATE vessolin_meta SET value = ? WHERE name = 'schema_version'",
                              (str(SCHEMA_VERSION),))

    # -- the interface ----------------------------------------------------

    @contextmanager
    def errors(self) -> Iterator[None]:
        try:
            yield
        except sqlite3.Error as exc:
            name = getattr(exc, "sqlite_errorname", "")
            if name.startswith(("SQLITE_BUSY", "SQLITE_LOCKED")):
                raise IndexBusyError(
                    f"{self.where} is locked by another connection (waited {self._timeout:g} s): {exc}") from exc
            if name.startswith("SQLITE_READONLY"):
                raise IndexReadOnlyError(f"{self.where} is read-only for this process: {exc}") from exc
            if name.startswith("SQLITE_CONSTRAINT"):
                raise DuplicateRecordError(f"{self.where}: {exc}") from exc
            if name.startswith(("SQLITE_CORRUPT", "SQLITE_NOTADB")):
                raise IncompatibleIndexError(f"{self.where} is corrupt: {exc}") from exc
            raise IndexStoreError(f"{self.where}: {exc}") from exc

    @contextmanager
    def write(self) -> Iterator[None]:
        self.conn.execute("BEGIN IMMEDIATE")
        try:
            yield
            self.conn.execute("COMMIT")
        except BaseException:
            # Some failures (a full disk, an interrupted statement) end the
            # transaction inside SQLite already.
            if self.conn.in_transaction:
                self.conn.execute("ROLLBACK")
            raise

    def find(self, record_ids: Sequence[str]) -> list[tuple[int, str, bytes]]:
        out: list[tuple[int, str, bytes]] = []
        for i in range(0, len(record_ids), _CHUNK):
            chunk = record_ids[i:i + _CHUNK]
            out += self.conn.execute(
                f"SELECT rid, record_id, signature FROM vessolin_records WHERE record_id IN ({_placeholders(len(chunk))})",
                chunk).fetchall()
        return out

    def delete(self, rows: Sequence[tuple[int, Sequence[int]]]) -> None:
        pairs = [(key, rid) for rid, keys in rows for key in keys]
        rids = [(rid,) for rid, _ in rows]
        self.conn.executemany("DELETE FROM vessolin_bands WHERE key = ? AND rid = ?", pairs)
        self.conn.executemany("DELETE FROM vessolin_bands_recent WHERE key = ? AND rid = ?", pairs)
        named = {mid for (rid,) in rids for (mid,) in self.conn.execute(
            "SELECT manifest_id FROM vessolin_records WHERE rid = ? AND manifest_id IS NOT NULL", (rid,))}
        self.conn.executemany("DELETE FROM vessolin_records WHERE rid = ?", rids)
        # A manifest store goes with the last record that names it.
        self.conn.executemany(
            "DELETE FROM vessolin_manifests WHERE manifest_id = ? AND NOT EXISTS "
            "(SELECT 1 FROM vessolin_records WHERE manifest_id = ?)", [(mid, mid) for mid in named])
        self.conn.execute(
            "UPDATE vessolin_meta SET value = CAST(value AS INTEGER) + ? WHERE name = 'deletions'", (len(rids),))

    def insert(self, records: Sequence[NewRecord]) -> None:
        # The write lock is held (BEGIN IMMEDIATE), so nobody else can take
        # these rids before the commit.
        (top,) = self.conn.execute("SELECT coalesce(max(rid), 0) FROM vessolin_records").fetchone()
        rows = []
        bands = []
        for rid, (record_id, (digest, surface, structure, signature, keys), pointer, manifest, manifest_id) in \
                enumerate(records, top + 1):
            rows.append((rid, record_id, digest, surface, structure, signature, pointer, manifest, manifest_id,
                         pointer_key(pointer)))
            bands += [(key, rid) for key in keys]
        self.conn.executemany(
            f"INSERT INTO vessolin_records ({_NEW_COLUMNS}) VALUES ({_placeholders(10)})", rows)
        self.conn.executemany("INSERT INTO vessolin_bands_recent (key, rid) VALUES (?, ?)", bands)
        # The count only decides when to merge, so rows deleted from the
        # recent table meanwhile need not be subtracted.
        self.conn.execute(
            "UPDATE vessolin_meta SET value = CAST(value AS INTEGER) + ? WHERE name = 'recent_band_rows'",
            (len(bands),))
        (recent,) = self.conn.execute(
            "SELECT CAST(value AS INTEGER) FROM vessolin_meta WHERE name = 'recent_band_rows'").fetchone()
        if recent >= RECENT_BAND_ROWS:
            self._merge_recent_bands()

    def _merge_recent_bands(self) -> None:
        # The recent table is read in key order, so the main b-tree is
        # extended in one sequential pass.
        self.conn.execute("INSERT INTO vessolin_bands (key, rid) SELECT key, rid FROM vessolin_bands_recent")
        self.conn.execute("DELETE FROM vessolin_bands_recent")
        self.conn.execute("UPDATE vessolin_meta SET value = '0' WHERE name = 'recent_band_rows'")

    def band_candidates(self, keys: Sequence[int], limit: int) -> list[tuple[int, int]]:
        marks = _placeholders(len(keys))
        return self.conn.execute(
            f"SELECT rid, count(*) AS n FROM (SELECT rid FROM vessolin_bands WHERE key IN ({marks}) "
            f"UNION ALL SELECT rid FROM vessolin_bands_recent WHERE key IN ({marks})) "
            "GROUP BY rid ORDER BY n DESC, rid LIMIT ?",
            (*keys, *keys, limit)).fetchall()

    def exact(self, content_hash: bytes, limit: int) -> list[int]:
        rows = self.conn.execute(
            "SELECT rid FROM vessolin_records WHERE content_hash = ? LIMIT ?", (content_hash, limit)).fetchall()
        return [rid for (rid,) in rows]

    def fetch(self, rids: Sequence[int]) -> list[StoredRecord]:
        out: list[StoredRecord] = []
        for i in range(0, len(rids), _CHUNK):
            chunk = rids[i:i + _CHUNK]
            out += self.conn.execute(
                f"SELECT {_COLUMNS} FROM vessolin_records WHERE rid IN ({_placeholders(len(chunk))})",
                chunk).fetchall()
        return out

    def get(self, record_id: str) -> StoredRecord | None:
        row: StoredRecord | None = self.conn.execute(
            f"SELECT {_COLUMNS} FROM vessolin_records WHERE record_id = ?", (record_id,)).fetchone()
        return row

    def count(self) -> int:
        (n,) = self.conn.execute("SELECT count(*) FROM vessolin_records").fetchone()
        return int(n)

    def by_pointer(self, key: bytes, limit: int) -> list[StoredRecord]:
        return self.conn.execute(
            f"SELECT {_COLUMNS} FROM vessolin_records WHERE pointer_key = ? ORDER BY rid LIMIT ?",
            (key, limit)).fetchall()

    def by_manifest_id(self, manifest_id: str, limit: int) -> list[StoredRecord]:
        return self.conn.execute(
            f"SELECT {_COLUMNS} FROM vessolin_records WHERE manifest_id = ? ORDER BY rid LIMIT ?",
            (manifest_id, limit)).fetchall()

    def put_manifests(self, stores: Sequence[tuple[str, bytes]]) -> None:
        self.conn.executemany(
            "INSERT INTO vessolin_manifests (manifest_id, store) VALUES (?, ?) "
            "ON CONFLICT (manifest_id) DO UPDATE SET store = excluded.store", stores)

    def manifest_store(self, manifest_id: str) -> bytes | None:
        row = self.conn.execute(
            "SELECT store FROM vessolin_manifests WHERE manifest_id = ?", (manifest_id,)).fetchone()
        return None if row is None else bytes(row[0])

    def prints_after(self, rid: int) -> list[tuple[int, bytes, bytes]]:
        return self.conn.execute(
            "SELECT rid, surface, structure FROM vessolin_records WHERE rid > ? ORDER BY rid", (rid,)).fetchall()

    def generation(self) -> tuple[int, int]:
        row = self.conn.execute(
            "SELECT (SELECT CAST(value AS INTEGER) FROM vessolin_meta WHERE name = 'deletions'), "
            "(SELECT coalesce(max(rid), 0) FROM vessolin_records)").fetchone()
        return int(row[0]), int(row[1])

    def close(self) -> None:
        self.conn.close()
