"""Exceptions of the discovery index."""

from __future__ import annotations


class IndexStoreError(Exception):
    """A failure of the database behind an index (the base of the index's own errors)."""


class IncompatibleIndexError(IndexStoreError):
    """The file or database is not an index this version can open: not a
    database at all, a corrupt one, one of another application, or an index
    whose layout this version does not know."""


class NewerSchemaError(IncompatibleIndexError):
    """The index was made by a newer version of vessolin; upgrade to open it."""


class IndexBusyError(IndexStoreError):
    """Another connection held the lock the operation needed for longer than
    the index's timeout. Nothing was written; the operation can be retried."""


class IndexUnavailableError(IndexStoreError):
    """The database could not be opened or reached (a missing folder, a file
    that cannot be created, a PostgreSQL server that does not answer)."""


class IndexReadOnlyError(IndexStoreError):
    """A write to an index this process may only read (a file or folder it
    cannot write, a database role without the right to write). Reading it
    works; nothing was written."""


class DuplicateRecordError(IndexStoreError, ValueError):
    """A record id that is already in the index, or twice in one batch, was
    added without ``replace=True``."""
