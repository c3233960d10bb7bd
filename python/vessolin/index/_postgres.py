"""The index in a PostgreSQL database, through psycopg 3 (``vessolin[postgres]``)."""

from __future__ import annotations

import math
import re
from urllib.parse import unquote
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, NoReturn

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

if TYPE_CHECKING:
    import psycopg

# Serialises schema creation between processes that open a fresh database at
# the same time (an arbitrary constant: "vessolin" in ASCII).
_SCHEMA_LOCK = 0x76657373_6F6C696E

# What version 2 added to version 1 (after the two new columns of
# vessolin_records): see _sqlite._VERSION_2.
_VERSION_2 = (
    "CREATE INDEX vessolin_records_manifest_id ON vessolin_records (manifest_id) WHERE manifest_id IS NOT NULL",
    "CREATE INDEX vessolin_records_pointer_key ON vessolin_records (pointer_key) WHERE pointer_key IS NOT NULL",
    "CREATE TABLE vessolin_manifests (manifest_id text PRIMARY KEY, store bytea NOT NULL)",
)

_SCHEMA = (
    "CREATE TABLE vessolin_meta (name text PRIMARY KEY, value text NOT NULL)",
    "CREATE SEQUENCE vessolin_records_rid_seq",
    """CREATE TABLE vessolin_records (
        rid bigint PRIMARY KEY,
        record_id text NOT NULL UNIQUE,
        content_hash bytea NOT NULL,
        surface bytea NOT NULL,
        structure bytea NOT NULL,
        signature bytea NOT NULL,
        pointer text,
        manifest text,
        manifest_id text,
        pointer_key bytea)""",
    "CREATE INDEX vessolin_records_content_hash ON vessolin_records (content_hash)",
    *_VERSION_2,
    """CREATE TABLE vessolin_bands (
        key bigint NOT NULL,
        rid bigint NOT NULL,
        PRIMARY KEY (key, rid))""",
)
_TABLES = ("vessolin_meta", "vessolin_records", "vessolin_bands", "vessolin_manifests")
_COLUMNS = ("rid, record_id, content_hash, surface, structure, signature, pointer, manifest, manifest_id, "
            "EXISTS (SELECT 1 FROM vessolin_manifests m WHERE m.manifest_id = vessolin_records.manifest_id)")
_NEW_COLUMNS = "rid, record_id, content_hash, surface, structure, signature, pointer, manifest, manifest_id, pointer_key"
_COLUMN_TYPES = ["int8", "text", "bytea", "bytea", "bytea", "bytea", "text", "text", "text", "bytea"]


def redact(url: str) -> str:
    """The URL without its password, for messages: the password of the user
    part (up to the last "@" before the query, so that a password holding an
    unescaped "@" or "/" is hidden whole) and any ``password=`` parameter."""
    scheme, sep, rest = url.partition("://")
    if not sep:
        return url
    authority, mark, query = rest.partition("?")
    at = authority.rfind("@")
    if at >= 0 and ":" in authority[:at]:
        authority = authority[:at].split(":", 1)[0] + ":***" + authority[at:]
    query = re.sub(r"((?:^|&)password=)[^&]*", r"\1***", query)
    return scheme + sep + authority + mark + query


def passwords(url: str) -> list[str]:
    """Every form in which the driver may quote the password of `url` back
    (as typed, percent-decoded, or cut where the driver's own parser stops
    at an "@" or "/"), longest first."""
    rest = url.partition("://")[2]
    authority, _, query = rest.partition("?")
    found = re.findall(r"(?:^|&)password=([^&]*)", query)
    at = authority.rfind("@")
    if at >= 0 and ":" in authority[:at]:
        found.append(authority[:at].split(":", 1)[1])
    forms = set()
    for password in found:
        for form in (password, unquote(password)):
            forms.add(form)
            forms.update(piece for piece in re.split(r"[@/]", form) if len(piece) >= 4)
    return sorted((f for f in forms if f), key=len, reverse=True)


def _driver() -> Any:
    try:
        import psycopg
    except ImportError as exc:
        raise ImportError(
            "a PostgreSQL index needs psycopg 3: pip install 'vessolin[postgres]'") from exc
    return psycopg


class PostgresBackend(Backend):
    kind = "postgresql"

    def __init__(self, url: str, timeout: float, create: bool = True) -> None:
        self._pg = pg = _driver()
        self.where = redact(url)
        self._passwords = passwords(url)
        self._timeout = timeout
        self._create_missing = create
        try:
            # libpq counts whole seconds and treats values below 2 as 2.
            self.conn: psycopg.Connection[Any] = pg.connect(
                url, autocommit=True, connect_timeout=max(2, math.ceil(timeout)))
        except (pg.OperationalError, pg.ProgrammingError) as exc:
            self._raise(IndexUnavailableError, f"cannot connect to {self.where}: ", exc)
        try:
            with self.errors():
                # Waiting for a row or table lock longer than the timeout is
                # reported as busy instead of blocking for ever.
                self.conn.execute(f"SET lock_timeout = {max(1, round(timeout * 1000))}")
                self._open()
        except BaseException:
            self.conn.close()
            raise

    def _raise(self, kind: type[IndexStoreError], prefix: str, exc: Exception) -> NoReturn:
        """Raises `kind` with the first line of the driver's message, with no
        password in it: the driver may quote the connection string back (a
        malformed percent escape, say), and the lines after the first only
        advise ("Is the server running..."). The driver's exception stays
        attached as the cause unless it quoted a password."""
        text = str(exc).strip()
        leaked = any(p in text for p in self._passwords)
        for password in self._passwords:
            text = text.replace(password, "***")
        error = kind(prefix + (text.splitlines() or [""])[0].strip())
        if leaked:
            raise error from None
        raise error from exc

    def _open(self) -> None:
        with self.conn.transaction():
            self.conn.execute("SELECT pg_advisory_xact_lock(%s)", (_SCHEMA_LOCK,))
            present = {name for name in _TABLES
                       if self.conn.execute("SELECT to_regclass(%s) IS NOT NULL", (name,)).fetchone() == (True,)}
            if not present:
                if not self._create_missing:
                    raise IndexUnavailableError(f"{self.where}: no such index (the database has no vessolin tables)")
                # A database is a shared namespace, unlike an SQLite file:
                # the index adds its tables beside whatever else is there.
                for statement in _SCHEMA:
                    self.conn.execute(statement)
                self.conn.execute(
                    "INSERT INTO vessolin_meta (name, value) VALUES ('format', %s), ('schema_version', %s), "
                    "('deletions', '0')", (FORMAT, str(SCHEMA_VERSION)))
                return
            if "vessolin_meta" not in present:
                raise IncompatibleIndexError(f"{self.where} has vessolin tables but no vessolin_meta table")
            version = check_meta(dict(self.conn.execute("SELECT name, value FROM vessolin_meta").fetchall()),
                                 self.where)
            if version < SCHEMA_VERSION:
                self._migrate()
                present.add("vessolin_manifests")
            missing = set(_TABLES) - present
            if missing:
                raise IncompatibleIndexError(
                    f"{self.where} is a damaged vessolin index: missing {', '.join(sorted(missing))}")

    def _migrate(self) -> None:
        """Bring an index of version 1 to version 2 (inside `_open`'s
        transaction, which holds the schema lock)."""
        self.conn.execute("ALTER TABLE vessolin_records ADD COLUMN manifest_id text, ADD COLUMN pointer_key bytea")
        for statement in _VERSION_2:
            self.conn.execute(statement)
        rows = self.conn.execute("SELECT rid, pointer FROM vessolin_records WHERE pointer IS NOT NULL").fetchall()
        keys = pointer_keys(rows)
        if keys:
            self.conn.cursor().executemany(
                "UPDATE vessolin_records SET pointer_key = %s WHERE rid = %s", keys)
        self.conn.execute("INSERT INTO vessolin_meta (name, value) VALUES ('deletions', '0')")
        self.conn.execute("UPDATE vessolin_meta SET value = %s WHERE name = 'schema_version'", (str(SCHEMA_VERSION),))

    @contextmanager
    def errors(self) -> Iterator[None]:
        pg = self._pg
        try:
            yield
        except pg.errors.UniqueViolation as exc:
            if exc.diag.message_detail:
                raise DuplicateRecordError(f"{self.where}: {exc.diag.message_detail}") from exc
            self._raise(DuplicateRecordError, f"{self.where}: ", exc)
        except (pg.errors.LockNotAvailable, pg.errors.DeadlockDetected) as exc:
            self._raise(IndexBusyError, f"{self.where}: a lock was held by another connection for more than "
                                        f"{self._timeout:g} s: ", exc)
        except (pg.errors.InsufficientPrivilege, pg.errors.ReadOnlySqlTransaction) as exc:
            self._raise(IndexReadOnlyError, f"{self.where} is read-only for this connection: ", exc)
        except pg.OperationalError as exc:
            self._raise(IndexUnavailableError, f"{self.where}: ", exc)
        except pg.Error as exc:
            self._raise(IndexStoreError, f"{self.where}: ", exc)

    @contextmanager
    def write(self) -> Iterator[None]:
        with self.conn.transaction():
            yield

    def find(self, record_ids: Sequence[str]) -> list[tuple[int, str, bytes]]:
        return self.conn.execute(
            "SELECT rid, record_id, signature FROM vessolin_records WHERE record_id = ANY(%s::text[])",
            (list(record_ids),)).fetchall()

    def delete(self, rows: Sequence[tuple[int, Sequence[int]]]) -> None:
        pairs = [(key, rid) for rid, keys in rows for key in keys]
        rids = [rid for rid, _ in rows]
        self.conn.execute(
            "DELETE FROM vessolin_bands WHERE (key, rid) IN "
            "(SELECT * FROM unnest(%s::bigint[], %s::bigint[]))",
            ([k for k, _ in pairs], [r for _, r in pairs]))
        named = [mid for (mid,) in self.conn.execute(
            "DELETE FROM vessolin_records WHERE rid = ANY(%s::bigint[]) RETURNING manifest_id", (rids,))
            if mid is not None]
        # A manifest store goes with the last record that names it.
        self.conn.execute(
            "DELETE FROM vessolin_manifests m WHERE m.manifest_id = ANY(%s::text[]) AND NOT EXISTS "
            "(SELECT 1 FROM vessolin_records r WHERE r.manifest_id = m.manifest_id)", (named,))
        self.conn.execute(
            "UPDATE vessolin_meta SET value = (value::bigint + %s)::text WHERE name = 'deletions'", (len(rids),))

    def insert(self, records: Sequence[NewRecord]) -> None:
        rids = [rid for (rid,) in self.conn.execute(
            "SELECT nextval('vessolin_records_rid_seq') FROM generate_series(1, %s)", (len(records),))]
        cur = self.conn.cursor()
        with cur.copy(f"COPY vessolin_records ({_NEW_COLUMNS}) FROM STDIN (FORMAT BINARY)") as copy:
            copy.set_types(_COLUMN_TYPES)
            for rid, (record_id, (digest, surface, structure, signature, _), pointer, manifest, manifest_id) in zip(
                    rids, records):
                copy.write_row((rid, record_id, digest, surface, structure, signature, pointer, manifest, manifest_id,
                                pointer_key(pointer)))
        bands = sorted((key, rid) for rid, (_, packed, *_) in zip(rids, records) for key in packed[4])
        with cur.copy("COPY vessolin_bands (key, rid) FROM STDIN (FORMAT BINARY)") as copy:
            copy.set_types(["int8", "int8"])
            for row in bands:
                copy.write_row(row)

    def band_candidates(self, keys: Sequence[int], limit: int) -> list[tuple[int, int]]:
        return self.conn.execute(
            "SELECT rid, count(*) AS n FROM vessolin_bands WHERE key = ANY(%s::bigint[]) "
            "GROUP BY rid ORDER BY n DESC, rid LIMIT %s",
            (list(keys), limit)).fetchall()

    def exact(self, content_hash: bytes, limit: int) -> list[int]:
        rows = self.conn.execute(
            "SELECT rid FROM vessolin_records WHERE content_hash = %s LIMIT %s", (content_hash, limit)).fetchall()
        return [rid for (rid,) in rows]

    def fetch(self, rids: Sequence[int]) -> list[StoredRecord]:
        return self._records(f"SELECT {_COLUMNS} FROM vessolin_records WHERE rid = ANY(%s::bigint[])", (list(rids),))

    def _records(self, query: str, params: tuple[Any, ...]) -> list[StoredRecord]:
        rows = self.conn.execute(query, params).fetchall()  # type: ignore[arg-type]
        return [(r[0], r[1], bytes(r[2]), bytes(r[3]), bytes(r[4]), bytes(r[5]), r[6], r[7], r[8], r[9])
                for r in rows]

    def get(self, record_id: str) -> StoredRecord | None:
        rows = self._records(f"SELECT {_COLUMNS} FROM vessolin_records WHERE record_id = %s", (record_id,))
        return rows[0] if rows else None

    def by_pointer(self, key: bytes, limit: int) -> list[StoredRecord]:
        return self._records(
            f"SELECT {_COLUMNS} FROM vessolin_records WHERE pointer_key = %s ORDER BY rid LIMIT %s", (key, limit))

    def by_manifest_id(self, manifest_id: str, limit: int) -> list[StoredRecord]:
        return self._records(
            f"SELECT {_COLUMNS} FROM vessolin_records WHERE manifest_id = %s ORDER BY rid LIMIT %s",
            (manifest_id, limit))

    def put_manifests(self, stores: Sequence[tuple[str, bytes]]) -> None:
        self.conn.cursor().executemany(
            "INSERT INTO vessolin_manifests (manifest_id, store) VALUES (%s, %s) "
            "ON CONFLICT (manifest_id) DO UPDATE SET store = excluded.store", stores)

    def manifest_store(self, manifest_id: str) -> bytes | None:
        row = self.conn.execute(
            "SELECT store FROM vessolin_manifests WHERE manifest_id = %s", (manifest_id,)).fetchone()
        return None if row is None else bytes(row[0])

    def prints_after(self, rid: int) -> list[tuple[int, bytes, bytes]]:
        rows = self.conn.execute(
            "SELECT rid, surface, structure FROM vessolin_records WHERE rid > %s ORDER BY rid", (rid,)).fetchall()
        return [(r[0], bytes(r[1]), bytes(r[2])) for r in rows]

    def generation(self) -> tuple[int, int]:
        row = self.conn.execute(
            "SELECT (SELECT value::bigint FROM vessolin_meta WHERE name = 'deletions'), "
            "(SELECT coalesce(max(rid), 0) FROM vessolin_records)").fetchone()
        assert row is not None
        return int(row[0]), int(row[1])

    def count(self) -> int:
        row = self.conn.execute("SELECT count(*) FROM vessolin_records").fetchone()
        return int(row[0]) if row else 0

    def close(self) -> None:
        self.conn.close()
