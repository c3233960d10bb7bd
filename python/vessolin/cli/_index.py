"""The discovery index: index add, query, get, remove, count."""

from __future__ import annotations

import argparse
import os
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from ._common import (EXIT_BAD, EXIT_NEGATIVE, EXIT_OK, JOBS_HELP, RAW, Commands, Failure, Handler, Parser,
                      Progress, display_name, pointer_hex, print_json, read_bytes, read_text, report, worker_count)


class Location:
    """An index location as messages show it: a PostgreSQL URL without its
    password, and any text scrubbed of every form of that password."""

    def __init__(self, location: str) -> None:
        from vessolin.index._postgres import passwords, redact  # no driver import: these are plain text

        self.location = location
        self.shown = redact(location)
        self._passwords = passwords(location) if self.shown != location else []

    def say(self, message: str) -> str:
        for password in self._passwords:
            message = message.replace(password, "***")
        return message if message.startswith(self.shown) else f"{self.shown}: {message}"


def open_index(where: Location, *, create: bool = False) -> Any:
    """The index at `where`; only `index add` may create one."""
    from vessolin.index import Index, IndexStoreError  # imported here: only these commands need it

    try:
        return Index(where.location, create=create)
    except IndexStoreError as e:
        raise Failure(where.say(str(e))) from None
    except ImportError as e:
        # The driver of a PostgreSQL index is an optional dependency.
        raise Failure(where.say(str(e))) from None


@contextmanager
def index_errors(where: Location) -> Iterator[None]:
    """Turns the index's own errors into one-line failures naming the database."""
    from vessolin.index import DuplicateRecordError, IndexStoreError

    try:
        yield
    except DuplicateRecordError as e:
        raise Failure(where.say(str(e).replace("pass replace=True", "use --replace"))) from None
    except (IndexStoreError, ValueError) as e:
        raise Failure(where.say(str(e))) from None


ID_FROM = {
    "path": os.path.normpath,
    "name": os.path.basename,
    "stem": lambda path: os.path.splitext(os.path.basename(path))[0],
}


def record_ids(args: argparse.Namespace) -> list[str]:
    """One record id per file: --id for a single file, else derived from
    the path by --id-from (by default the path itself, normalised, so that
    ./a.txt and a.txt are one record)."""
    if args.id is not None:
        if len(args.files) != 1:
            raise Failure("--id names one record: give exactly one FILE (or use --id-from)")
        return [args.id]
    if "-" in args.files:
        raise Failure("standard input has no name: give its record id with --id")
    ids = [ID_FROM[args.id_from](path) for path in args.files]
    first: dict[str, str] = {}
    for path, record_id in zip(args.files, ids):
        if record_id in first:
            raise Failure(f"{first[record_id]} and {path} both give the record id {record_id!r} "
                          f"(--id-from {args.id_from})")
        first[record_id] = path
    return ids


def cmd_index_add(args: argparse.Namespace) -> int:
    where = Location(args.db)
    ids = record_ids(args)
    pointer = None if args.pointer is None else pointer_hex(args.pointer)
    jobs = worker_count(args.jobs, len(args.files))
    if args.manifest_store is not None and args.manifest_id is None:
        raise Failure("--manifest-store needs --manifest-id, the id it is served under")
    store = read_bytes(args.manifest_store) if args.manifest_store is not None else None
    failed = []
    progress = Progress(len(args.files), "files read", quiet=args.quiet)

    def items() -> Iterator[tuple[str, str, str | None, str | None, str | None, bytes | None]]:
        # A file that cannot be read is reported and left out; the others go on.
        for done, (path, record_id) in enumerate(zip(args.files, ids), 1):
            progress.update(done)
            try:
                text = read_text(path)
            except Failure as e:
                progress.close()
                report(str(e))
                failed.append(display_name(path))
                continue
            yield record_id, text, pointer, args.manifest, args.manifest_id, store

    try:
        with open_index(where, create=True) as index, index_errors(where):
            stored = index.add_many(items(), jobs=jobs, replace=args.replace)
            total = len(index)
    finally:
        progress.close()
    if args.json:
        print_json({"index": where.shown, "added": stored, "failed": failed, "records": total})
    else:
        print(f"added {stored} records to {where.shown} ({total} in all)")
    return EXIT_BAD if failed else EXIT_OK


def cmd_index_query(args: argparse.Namespace) -> int:
    where = Location(args.db)
    text = read_text(args.file)
    with open_index(where) as index, index_errors(where):
        matches = index.query(text, limit=args.limit, min_share=args.min_share)
    if args.json:
        print_json({"file": display_name(args.file), "index": where.shown, "matches": [
            {"record_id": m.record_id, "share": m.share, "surface_distance": m.surface_distance,
             "structure_distance": m.structure_distance, "shared_bands": m.shared_bands, "exact": m.exact,
             "pointer": m.pointer, "manifest": m.manifest} for m in matches]})
    elif matches:
        print(f"{'share':>6} {'surface':>7} {'struct':>6} {'bands':>5}  record")
        for m in matches:
            mark = " (same content)" if m.exact else ""
            print(f"{m.share:6.3f} {m.surface_distance:7} {m.structure_distance:6} {m.shared_bands:5}  "
                  f"{m.record_id}{mark}")
    if not matches:
        report(f"{display_name(args.file)}: no candidate in {where.shown}")
    return EXIT_OK if matches else EXIT_NEGATIVE


def cmd_index_get(args: argparse.Namespace) -> int:
    where = Location(args.db)
    with open_index(where) as index, index_errors(where):
        record = index.get(args.record_id)
    if record is None:
        raise Failure(f"{where.shown}: no record {args.record_id!r}", EXIT_NEGATIVE)
    value = {"record_id": record.record_id, "content_hash": record.content_hash,
             "text_fingerprint": record.fingerprint, "text_structure": record.structure,
             "pointer": record.pointer, "manifest": record.manifest, "manifest_id": record.manifest_id,
             "manifest_stored": record.manifest_stored}
    if args.json:
        print_json(value | {"minhash_signature": list(record.signature), "minhash_bands": list(record.bands)})
    else:
        for key, item in value.items():
            print(f"{key:<17} {item if item is not None else '-'}")
    return EXIT_OK


def cmd_index_remove(args: argparse.Namespace) -> int:
    where = Location(args.db)
    missing = []
    with open_index(where) as index, index_errors(where):
        for record_id in args.record_ids:
            if not index.remove(record_id):
                missing.append(record_id)
    for record_id in missing:
        report(f"{where.shown}: no record {record_id!r}")
    if args.json:
        print_json({"index": where.shown, "removed": len(args.record_ids) - len(missing), "missing": missing})
    return EXIT_NEGATIVE if missing else EXIT_OK


def cmd_index_count(args: argparse.Namespace) -> int:
    where = Location(args.db)
    with open_index(where) as index, index_errors(where):
        count = len(index)
    if args.json:
        print_json({"index": where.shown, "records": count})
    else:
        print(count)
    return EXIT_OK


def register(commands: Commands) -> None:
    p = commands.group.add_parser("index", help="Keep published texts in a discovery index and look texts up in it.",
                            description="A discovery index of published texts: an SQLite file, or a PostgreSQL\n"
                                        "database given as postgresql://... (needs: pip install 'vessolin[postgres]').\n"
                                        "Only 'index add' creates an index. A match is a lead; the final word on it\n"
                                        "is 'vessolin tier' against the record's signed assertion.",
                            epilog="example:\n  vessolin index add published.db --jobs 2 articles/*.txt\n"
                                   "  vessolin index query published.db received.txt",
                            formatter_class=RAW)
    index_commands = p.add_subparsers(dest="index_command", metavar="INDEX_COMMAND", parser_class=Parser)
    index_commands.required = True
    group = Commands(index_commands)

    def index_command(name: str, handler: Handler, summary: str, example: str,
                      db: str = "an SQLite file or a postgresql:// URL") -> argparse.ArgumentParser:
        q = group.add(name, handler, summary, example)
        q.add_argument("db", metavar="DB", help=db)
        return q

    q = index_command("add", cmd_index_add, "Add files to the index, each under a record id (by default its normalised path).",
                      "vessolin index add published.db --jobs 2 --manifest https://example.org/m/1 article.txt",
                      "an SQLite file (created if missing) or a postgresql:// URL")
    q.add_argument("files", nargs="+", metavar="FILE")
    q.add_argument("-j", "--jobs", type=int, default=1, metavar="N", help=JOBS_HELP)
    ids = q.add_mutually_exclusive_group()
    ids.add_argument("--id", metavar="ID", help="the record id of the one FILE (needed for standard input)")
    ids.add_argument("--id-from", choices=tuple(ID_FROM), default="path",
                     help="derive record ids from the normalised path (default), the file name, or the file "
                          "name without its extension")
    q.add_argument("--pointer", metavar="HEX",
                   help="watermark pointer stored with every record added (up to 16 bytes of hex, zero-filled to 16)")
    q.add_argument("--manifest", metavar="REF", help="manifest reference stored with every record added")
    q.add_argument("--manifest-id", metavar="ID", help="C2PA manifest id stored with every record added")
    q.add_argument("--manifest-store", metavar="FILE",
                   help="C2PA manifest store (its bytes) kept under --manifest-id and served by 'vessolin serve'")
    q.add_argument("--replace", action="store_true", help="replace records whose id is already stored")
    q.add_argument("-q", "--quiet", action="store_true", help="show no progress")

    q = index_command("query", cmd_index_query, "The stored records a text may have come from, best first "
                      "(exit status 1 when there is none).", "vessolin index query published.db received.txt")
    q.add_argument("file", metavar="FILE")
    q.add_argument("--limit", type=int, default=10, metavar="N", help="at most N matches (default 10)")
    q.add_argument("--min-share", type=float, default=0.0, metavar="X",
                   help="leave out matches with fewer than X equal MinHash values (0 to 1)")

    q = index_command("get", cmd_index_get, "Show one stored record.", "vessolin index get published.db article.txt")
    q.add_argument("record_id", metavar="ID")

    q = index_command("remove", cmd_index_remove, "Remove records (exit status 1 if one was not there).",
                      "vessolin index remove published.db article.txt")
    q.add_argument("record_ids", nargs="+", metavar="ID")

    index_command("count", cmd_index_count, "Print the number of records.", "vessolin index count published.db")
