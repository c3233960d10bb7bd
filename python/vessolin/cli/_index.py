"""The discovery index: index add, query, get, remove, count."""

from __future__ import annotations

import argparse
from typing import Any, Iterable

from ._common import (EXIT_BAD, EXIT_NEGATIVE, EXIT_OK, RAW, Commands, Failure, Handler, Parser, display_name,
                      print_json, read_bytes, read_text, report)


def open_index(location: str) -> Any:
    from vessolin.index import Index, IndexStoreError  # imported here: only these commands need it

    try:
        return Index(location)
    except IndexStoreError as e:
        raise Failure(f"{location}: {e}") from None


def index_errors(location: str) -> Any:
    """Turns the index's own errors into one-line failures naming the database."""
    from contextlib import contextmanager

    from vessolin.index import IndexStoreError

    @contextmanager
    def guard() -> Any:
        try:
            yield
        except IndexStoreError as e:
            raise Failure(f"{location}: {e}") from None

    return guard()


def cmd_index_add(args: argparse.Namespace) -> int:
    if args.jobs < 1:
        raise Failure("--jobs must be at least 1")
    if args.files.count("-") > 1:
        raise Failure("standard input can be read only once")
    if args.manifest_store is not None and args.manifest_id is None:
        raise Failure("--manifest-store needs --manifest-id, the id it is served under")
    store = read_bytes(args.manifest_store) if args.manifest_store is not None else None
    failed = []

    def items() -> Iterable[tuple[str, str, str | None, str | None, str | None, bytes | None]]:
        # A file that cannot be read is reported and left out; the others go on.
        for path in args.files:
            try:
                text = read_text(path)
            except Failure as e:
                report(str(e))
                failed.append(path)
                continue
            yield display_name(path), text, args.pointer, args.manifest, args.manifest_id, store

    with open_index(args.db) as index, index_errors(args.db):
        try:
            stored = index.add_many(items(), jobs=args.jobs, replace=args.replace)
        except ValueError as e:
            raise Failure(f"{args.db}: {e}") from None
        total = len(index)
    if args.json:
        print_json({"index": args.db, "added": stored, "failed": failed, "records": total})
    else:
        print(f"added {stored} records to {args.db} ({total} in all)")
    return EXIT_BAD if failed else EXIT_OK


def cmd_index_query(args: argparse.Namespace) -> int:
    text = read_text(args.file)
    with open_index(args.db) as index, index_errors(args.db):
        try:
            matches = index.query(text, limit=args.limit, min_share=args.min_share)
        except ValueError as e:
            raise Failure(str(e)) from None
    if args.json:
        print_json({"file": display_name(args.file), "matches": [
            {"record_id": m.record_id, "share": m.share, "surface_distance": m.surface_distance,
             "structure_distance": m.structure_distance, "shared_bands": m.shared_bands, "exact": m.exact,
             "pointer": m.pointer, "manifest": m.manifest} for m in matches]})
    elif matches:
        print(f"{'share':>6} {'surface':>7} {'struct':>6} {'bands':>5}  record")
        for m in matches:
            mark = " (same content)" if m.exact else ""
            print(f"{m.share:6.3f} {m.surface_distance:7} {m.structure_distance:6} {m.shared_bands:5}  "
                  f"{m.record_id}{mark}")
    else:
        report(f"{display_name(args.file)}: no candidate in {args.db}")
    return EXIT_OK if matches else EXIT_NEGATIVE


def cmd_index_get(args: argparse.Namespace) -> int:
    with open_index(args.db) as index, index_errors(args.db):
        record = index.get(args.record_id)
    if record is None:
        raise Failure(f"{args.db}: no record {args.record_id!r}", EXIT_NEGATIVE)
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
    missing = []
    with open_index(args.db) as index, index_errors(args.db):
        for record_id in args.record_ids:
            if not index.remove(record_id):
                missing.append(record_id)
    for record_id in missing:
        report(f"{args.db}: no record {record_id!r}")
    if args.json:
        print_json({"index": args.db, "removed": len(args.record_ids) - len(missing), "missing": missing})
    return EXIT_NEGATIVE if missing else EXIT_OK


def cmd_index_count(args: argparse.Namespace) -> int:
    with open_index(args.db) as index, index_errors(args.db):
        count = len(index)
    print_json({"index": args.db, "records": count}) if args.json else print(count)
    return EXIT_OK


def register(commands: Commands) -> None:
    p = commands.group.add_parser("index", help="Keep published texts in a discovery index and look texts up in it.",
                            description="A discovery index of published texts: an SQLite file, or a PostgreSQL\n"
                                        "database given as postgresql://... A match is a lead; the final word on it\n"
                                        "is 'vessolin tier' against the record's signed assertion.",
                            epilog="example:\n  vessolin index add published.db --jobs 2 articles/*.txt\n"
                                   "  vessolin index query published.db received.txt",
                            formatter_class=RAW)
    index_commands = p.add_subparsers(dest="index_command", metavar="INDEX_COMMAND", parser_class=Parser)
    index_commands.required = True
    group = Commands(index_commands)

    def index_command(name: str, handler: Handler, summary: str, example: str) -> argparse.ArgumentParser:
        q = group.add(name, handler, summary, example)
        q.add_argument("db", metavar="DB", help="an SQLite file (created if missing) or a postgresql:// URL")
        return q

    q = index_command("add", cmd_index_add, "Add files to the index, each under its path as record id.",
                      "vessolin index add published.db --jobs 2 --manifest https://example.org/m/1 article.txt")
    q.add_argument("files", nargs="+", metavar="FILE")
    q.add_argument("-j", "--jobs", type=int, default=1, metavar="N", help="compute in N processes (default 1)")
    q.add_argument("--pointer", metavar="HEX", help="watermark pointer stored with every record added")
    q.add_argument("--manifest", metavar="REF", help="manifest reference stored with every record added")
    q.add_argument("--manifest-id", metavar="ID", help="C2PA manifest id stored with every record added")
    q.add_argument("--manifest-store", metavar="FILE",
                   help="C2PA manifest store (its bytes) kept under --manifest-id and served by 'vessolin serve'")
    q.add_argument("--replace", action="store_true", help="replace records whose id is already stored")

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
