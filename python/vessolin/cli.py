"""The `vessolin` command line: one text's whole road from a shell.

Every command is a thin layer over the module's public functions: it reads
files, calls them, and writes or prints what they return. Exit status: 0 on
success, 1 for a negative answer (a tag or signature that does not verify, a
tier at or below `--fail-on`), 2 for bad usage or bad input. Errors are one
line on standard error that names the file and the problem.
"""

from __future__ import annotations

import argparse
import json
import os
import secrets
import sys
import tempfile
from typing import IO, Any, Callable, Iterable, NoReturn, Sequence

import vessolin
from vessolin._structure_rule import FUNCTION_WORD_SHARE, STRUCTURE_LIMIT, structure_informative

PROG = "vessolin"

# Thresholds of `compare`, stated once for the verdict and its help text. The
# surface and MinHash limits are the ones at which verify_tier counts a
# fingerprint match; a structural match is its structural match, with the
# same rule on function words applied to both texts.
SURFACE_NEAR = 32
MINHASH_NEAR = 0.7
MINHASH_RELATED = 0.3

# Messages of the module that answer "no" rather than "bad input".
TAG_MISMATCH = "watermark content-binding tag did not verify (transferred or modified content)"
UNRECOVERABLE = "watermark could not be recovered from remaining positions"

EXIT_OK, EXIT_NEGATIVE, EXIT_BAD = 0, 1, 2


class Failure(Exception):
    """A failure reported as one line on standard error, with an exit status."""

    def __init__(self, message: str, status: int = EXIT_BAD) -> None:
        super().__init__(message)
        self.status = status


# ---------------------------------------------------------------------------
# Reading and writing


def display_name(path: str) -> str:
    return "<stdin>" if path == "-" else path


def read_bytes(path: str) -> bytes:
    if path == "-":
        return sys.stdin.buffer.read()
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        raise Failure(f"{path}: no such file") from None
    except IsADirectoryError:
        raise Failure(f"{path}: is a directory") from None
    except PermissionError:
        raise Failure(f"{path}: permission denied") from None
    except OSError as e:
        raise Failure(f"{path}: {e.strerror or e}") from None


def decode_utf8(data: bytes, name: str) -> str:
    """The text exactly as stored: a byte-order mark and line endings stay."""
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise Failure(f"{name}: not valid UTF-8 at byte offset {e.start} ({e.reason})") from None


def read_text(path: str) -> str:
    return decode_utf8(read_bytes(path), display_name(path))


def read_key(path: str) -> str:
    """A key file holds hexadecimal text; white space around it is ignored."""
    data = read_bytes(path)
    try:
        text = data.decode("ascii")
    except UnicodeDecodeError:
        raise Failure(f"{path}: bad key file: expected hexadecimal text") from None
    return text


def read_cbor_hex(path: str) -> str:
    """CBOR from a file holding either the raw bytes or their hexadecimal text.

    An assertion or envelope starts with a map, array or tag head, none of
    which is an ASCII hexadecimal digit, so the two forms cannot be confused.
    """
    data = read_bytes(path)
    stripped = data.strip()
    if stripped and all(c in b"0123456789abcdefABCDEF" for c in stripped):
        return stripped.decode("ascii")
    return data.hex()


def write_atomically(path: str, data: bytes, *, force: bool, mode: int | None = None,
                     keep_mode_of: str | None = None) -> None:
    """Writes `data` to `path` through a temporary file in the same folder.

    The target appears complete or not at all: a failure or an interruption
    leaves no partial file behind and an existing file untouched. Without
    `force`, an existing file is never replaced, not even one that appears
    while the data is written.
    """
    directory = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise Failure(f"{path}: is a directory")
    if not force and os.path.lexists(path):
        raise Failure(f"{path}: already exists (use --force to overwrite)")
    try:
        fd, temporary = tempfile.mkstemp(dir=directory, prefix=f".{os.path.basename(path)}.", suffix=".tmp")
    except OSError as e:
        raise Failure(f"{path}: cannot write: {e.strerror or e}") from None
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        if keep_mode_of is not None:
            os.chmod(temporary, os.stat(keep_mode_of).st_mode & 0o7777)
        elif mode is not None:
            os.chmod(temporary, mode)
        else:
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(temporary, 0o666 & ~umask)
        if force:
            os.replace(temporary, path)
        else:
            try:
                os.link(temporary, path)  # fails if the name exists: no-clobber at the last moment too
            except FileExistsError:
                raise Failure(f"{path}: already exists (use --force to overwrite)") from None
            os.unlink(temporary)
    except BaseException as e:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        if isinstance(e, OSError):
            raise Failure(f"{path}: cannot write: {e.strerror or e}") from None
        raise


def emit(data: bytes, out: str | None, *, force: bool, binary: bool) -> None:
    """Writes a result to `out`, or to standard output when it is None or "-"."""
    if out is not None and out != "-":
        write_atomically(out, data, force=force)
        return
    if binary and sys.stdout.isatty():
        raise Failure("refusing to write binary CBOR to a terminal (use --hex or -o FILE)")
    sys.stdout.buffer.write(data)
    sys.stdout.buffer.flush()


def print_json(value: Any) -> None:
    print(json.dumps(value, ensure_ascii=False))


# ---------------------------------------------------------------------------
# Calling the module


KEY_MESSAGES = ("invalid key: ", "invalid hex: ", "expected a 32-byte")


def call(name: str, fn: Callable[..., Any], *args: Any, key_file: str | None = None,
         negative: Sequence[str] = ()) -> Any:
    """Calls a module function; its ValueError becomes a one-line failure
    naming `name` (or `key_file` when the key was at fault), with status 1 for
    the messages listed in `negative`."""
    try:
        return fn(*args)
    except ValueError as e:
        message = str(e)
        if key_file is not None and message.startswith(KEY_MESSAGES):
            raise Failure(f"{key_file}: bad key file: {message}") from None
        if message.startswith("invalid pointer: "):
            name = "--pointer"
        raise Failure(f"{name}: {message}", EXIT_NEGATIVE if message in negative else EXIT_BAD) from None


def fingerprint_record(path: str, text: str) -> dict[str, Any]:
    return {
        "file": display_name(path),
        "content_hash": vessolin.content_hash(text),
        "text_fingerprint": vessolin.text_fingerprint(text),
        "text_structure": vessolin.text_structure(text),
        "minhash_bands": vessolin.minhash_bands(text),
    }


def fingerprint_file(path: str) -> tuple[dict[str, Any] | None, str | None]:
    """One file's record, or the failure line; runs in worker processes."""
    try:
        return fingerprint_record(path, read_text(path)), None
    except Failure as e:
        return None, str(e)


# ---------------------------------------------------------------------------
# Commands


def cmd_hash(args: argparse.Namespace) -> int:
    status = EXIT_OK
    for path in args.files:
        try:
            digest = vessolin.content_hash(read_text(path))
        except Failure as e:
            report(str(e))
            status = EXIT_BAD
            continue
        if args.json:
            print_json({"file": display_name(path), "content_hash": digest})
        else:
            print(f"{digest}  {display_name(path)}")
    return status


def fingerprint_results(files: list[str], jobs: int) -> Iterable[tuple[dict[str, Any] | None, str | None]]:
    if jobs <= 1 or len(files) < 2:
        for path in files:
            yield fingerprint_file(path)
        return
    # The module holds the interpreter lock through each call, so the speed-up
    # comes from processes. Files are read in the workers; results come back
    # in input order.
    import concurrent.futures  # only here: every command pays for what it imports at start-up

    with concurrent.futures.ProcessPoolExecutor(max_workers=jobs) as pool:
        chunk = max(1, min(64, len(files) // (jobs * 8)))
        yield from pool.map(fingerprint_file, files, chunksize=chunk)


def cmd_fingerprint(args: argparse.Namespace) -> int:
    if args.jobs < 1:
        raise Failure("--jobs must be at least 1")
    files = args.files
    status = EXIT_OK
    if files.count("-") > 1:
        raise Failure("standard input can be read only once")
    if "-" in files:
        # Standard input belongs to this process: read it here and fingerprint
        # it here, the other files in the workers.
        stdin_record, stdin_error = fingerprint_file("-")
    results = fingerprint_results([f for f in files if f != "-"], args.jobs)
    for path in files:
        record, error = (stdin_record, stdin_error) if path == "-" else next(results)
        if error is not None:
            report(error)
            status = EXIT_BAD
            continue
        print(json.dumps(record, ensure_ascii=False), flush=False)
    sys.stdout.flush()
    return status


def cmd_compare(args: argparse.Namespace) -> int:
    a, b = read_text(args.a), read_text(args.b)
    surface = vessolin.hamming_hex(vessolin.text_fingerprint(a), vessolin.text_fingerprint(b))
    structure = vessolin.hamming_hex(vessolin.text_structure(a), vessolin.text_structure(b))
    sig_a, sig_b = vessolin.minhash_signature(a), vessolin.minhash_signature(b)
    share = sum(x == y for x, y in zip(sig_a, sig_b)) / len(sig_a)
    shared_bands = len(set(vessolin.minhash_bands(a)) & set(vessolin.minhash_bands(b)))
    same = vessolin.content_hash(a) == vessolin.content_hash(b)
    informative = structure_informative(a) and structure_informative(b)
    if same:
        verdict = "same"
    elif surface <= SURFACE_NEAR or share >= MINHASH_NEAR:
        verdict = "near"
    elif (informative and structure <= STRUCTURE_LIMIT) or shared_bands > 0 or share >= MINHASH_RELATED:
        verdict = "related"
    else:
        verdict = "different"
    if args.json:
        print_json({
            "a": display_name(args.a), "b": display_name(args.b), "same_content_hash": same,
            "surface_distance": surface, "structure_distance": structure, "structure_informative": informative,
            "minhash_share": share, "shared_band_keys": shared_bands, "verdict": verdict,
        })
    else:
        print(f"surface distance    {surface} bits of 256")
        print(f"structure distance  {structure} bits of 256" + ("" if informative else " (uninformative)"))
        print(f"equal MinHash       {share:.3f} ({round(share * 128)} of 128)")
        print(f"shared band keys    {shared_bands} of 32")
        print(f"verdict             {verdict}")
    return EXIT_OK


def cmd_keygen(args: argparse.Namespace) -> int:
    secret = secrets.token_hex(32)
    public = vessolin.public_key(secret)
    write_atomically(args.out, (secret + "\n").encode("ascii"), force=False, mode=0o600)
    if args.json:
        print_json({"secret_key_file": args.out, "public_key": public})
    else:
        print(public)
    return EXIT_OK


def cmd_embed(args: argparse.Namespace) -> int:
    if args.in_place and args.output is not None:
        raise Failure("--in-place and -o exclude each other")
    if args.in_place and args.file == "-":
        raise Failure("--in-place needs a file, not standard input")
    key = read_key(args.key_file)
    text = read_text(args.file)
    marked = call(display_name(args.file), vessolin.embed_watermark, text, args.pointer, key,
                  key_file=args.key_file)
    data = marked.encode("utf-8")
    # The result is complete before anything is written, so a failure above
    # leaves every file as it was.
    if args.in_place:
        write_atomically(args.file, data, force=True, keep_mode_of=args.file)
        target = args.file
    else:
        target = args.output
        if args.json and target in (None, "-"):
            print_json({"file": display_name(args.file), "text": marked})
            return EXIT_OK
        emit(data, target, force=args.force, binary=False)
    if args.json:
        print_json({"file": display_name(args.file), "output": target})
    return EXIT_OK


def cmd_extract(args: argparse.Namespace) -> int:
    key = read_key(args.key_file)
    text = read_text(args.file)
    name = display_name(args.file)
    pointer, verified, recovered = call(name, vessolin.extract_watermark, text, key, key_file=args.key_file,
                                        negative=(UNRECOVERABLE,))
    if args.json:
        print_json({"file": name, "pointer": pointer, "tag_verified": verified, "shards_recovered": recovered})
    else:
        print(f"pointer           {pointer}")
        print(f"tag verified      {'yes' if verified else 'no'}")
        print(f"shards recovered  {recovered} of 48")
    if not verified:
        report(f"{name}: the watermark's content-binding tag did not verify")
        return EXIT_NEGATIVE
    return EXIT_OK


def assertion_hex(args: argparse.Namespace) -> tuple[str, str]:
    if args.kind == "watermark":
        if args.pointer is None:
            raise Failure("assert watermark needs --pointer HEX")
        return "--pointer", call("--pointer", vessolin.soft_binding_watermark, args.pointer)
    if args.file is None:
        raise Failure(f"assert {args.kind} needs a FILE")
    builder = {
        "fingerprint": vessolin.soft_binding_fingerprint,
        "structure": vessolin.soft_binding_structure,
        "minhash": vessolin.soft_binding_minhash,
    }[args.kind]
    return display_name(args.file), builder(read_text(args.file))


def cmd_assert(args: argparse.Namespace) -> int:
    if args.kind == "watermark" and args.file is not None:
        raise Failure("assert watermark takes no FILE, only --pointer HEX")
    source, hexed = assertion_hex(args)
    if args.json and args.output in (None, "-"):
        print_json({"source": source, "algorithm": args.kind, "assertion_hex": hexed})
        return EXIT_OK
    data = (hexed + "\n").encode("ascii") if args.hex else bytes.fromhex(hexed)
    emit(data, args.output, force=args.force, binary=not args.hex)
    if args.json:
        print_json({"source": source, "algorithm": args.kind, "output": args.output})
    return EXIT_OK


FAIL_LEVELS = {"review": ("REVIEW",), "likely": ("REVIEW", "LIKELY")}


def cmd_tier(args: argparse.Namespace) -> int:
    assertion = read_cbor_hex(args.assertion)
    text = read_text(args.file)
    tier = call(display_name(args.assertion), vessolin.verify_tier, text, assertion,
                args.watermark_verified, args.crosscheck_ok)
    if args.json:
        print_json({"file": display_name(args.file), "assertion": display_name(args.assertion), "tier": tier})
    else:
        print(tier)
    if args.fail_on and tier in FAIL_LEVELS[args.fail_on]:
        return EXIT_NEGATIVE
    return EXIT_OK


def cmd_sign(args: argparse.Namespace) -> int:
    key = read_key(args.key_file)
    payload = read_text(args.file)
    envelope = call(display_name(args.file), vessolin.sign, payload, key, key_file=args.key_file)
    if args.json and args.output in (None, "-"):
        print_json({"file": display_name(args.file), "envelope_hex": envelope})
        return EXIT_OK
    data = (envelope + "\n").encode("ascii") if args.hex else bytes.fromhex(envelope)
    emit(data, args.output, force=args.force, binary=not args.hex)
    if args.json:
        print_json({"file": display_name(args.file), "output": args.output})
    return EXIT_OK


def cmd_verify(args: argparse.Namespace) -> int:
    envelope = read_cbor_hex(args.envelope)
    name = display_name(args.envelope)
    try:
        payload = vessolin.verify(envelope, args.public_key)
    except ValueError as e:
        message = str(e)
        if message == TAG_MISMATCH:
            raise Failure(f"{name}: the signature does not verify", EXIT_NEGATIVE) from None
        raise Failure(f"{name}: {message}") from None
    if args.json and args.output in (None, "-"):
        print_json({"envelope": name, "verified": True, "payload": payload})
        return EXIT_OK
    emit(payload.encode("utf-8"), args.output, force=args.force, binary=False)
    if args.json:
        print_json({"envelope": name, "verified": True, "output": args.output})
    return EXIT_OK


# ---------------------------------------------------------------------------
# The discovery index


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
    failed = []

    def items() -> Iterable[tuple[str, str, str | None, str | None]]:
        # A file that cannot be read is reported and left out; the others go on.
        for path in args.files:
            try:
                text = read_text(path)
            except Failure as e:
                report(str(e))
                failed.append(path)
                continue
            yield display_name(path), text, args.pointer, args.manifest

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
             "pointer": record.pointer, "manifest": record.manifest}
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


# ---------------------------------------------------------------------------
# The parser


class Parser(argparse.ArgumentParser):
    """argparse with usage errors as one line and exit status 2."""

    def error(self, message: str) -> NoReturn:
        raise Failure(f"{self.prog}: {message}")


class VersionAction(argparse.Action):
    """--version, looking the version up only when asked (the lookup costs
    more start-up time than the rest of the parser)."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, help="show the version and exit", **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> NoReturn:
        import importlib.metadata

        try:
            version = importlib.metadata.version("vessolin")
        except importlib.metadata.PackageNotFoundError:
            version = "unknown"
        print(f"{PROG} {version}")
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    raw = argparse.RawDescriptionHelpFormatter
    top = Parser(
        prog=PROG,
        formatter_class=raw,
        description="Provenance soft bindings for plain text: content hash, similarity fingerprints, "
                    "zero-width watermark, C2PA soft-binding assertions and COSE signatures.",
        epilog="Exit status: 0 success, 1 a negative answer, 2 bad usage or bad input.\n"
               "FILE may be - for standard input. Run 'vessolin COMMAND --help' for a command's options.",
    )
    top.add_argument("--version", action=VersionAction)
    commands = top.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)
    commands.required = True

    def command(name: str, handler: Callable[[argparse.Namespace], int], summary: str, example: str,
                details: str = "") -> argparse.ArgumentParser:
        p = commands.add_parser(name, help=summary, description=summary + ("\n\n" + details if details else ""),
                                epilog=f"example:\n  {example}", formatter_class=raw)
        p.set_defaults(handler=handler)
        p.add_argument("--json", action="store_true", help="print machine-readable JSON")
        return p

    def output_options(p: argparse.ArgumentParser, what: str) -> None:
        p.add_argument("-o", "--output", metavar="FILE", help=f"write {what} to FILE (default: standard output)")
        p.add_argument("--force", action="store_true", help="overwrite FILE if it exists")

    p = command("hash", cmd_hash, "Print the content hash of each file.", "vessolin hash chapter1.txt chapter2.txt",
                "The content hash is the SHA-256 of the text's canonical stream: NFC, zero-width characters\n"
                "removed, lowercased, words joined by single spaces.")
    p.add_argument("files", nargs="+", metavar="FILE")

    p = command("fingerprint", cmd_fingerprint,
                "Print content hash, surface and structural fingerprints and band keys, one JSON object per line.",
                "vessolin fingerprint --jobs 2 texts/*.txt > fingerprints.jsonl",
                "Lines come in the order of the files. Output is always JSON Lines (--json is accepted).")
    p.add_argument("files", nargs="+", metavar="FILE")
    p.add_argument("-j", "--jobs", type=int, default=1, metavar="N", help="work in N processes (default 1)")

    p = command("compare", cmd_compare, "Compare two texts and give a one-word verdict.",
                "vessolin compare draft.txt published.txt",
                "Verdicts, first that applies:\n"
                "  same       equal content hashes (identical canonical streams)\n"
                f"  near       surface distance <= {SURFACE_NEAR} bits, or at least {MINHASH_NEAR:.0%} equal MinHash values\n"
                f"  related    structural distance <= {STRUCTURE_LIMIT} bits, a shared band key, or at least "
                f"{MINHASH_RELATED:.0%} equal MinHash values\n"
                "  different  none of these\n"
                f"The structural distance counts only when at least {FUNCTION_WORD_SHARE:.0%} of the words of each\n"
                "text are English function words (verify_tier's rule); otherwise it is marked uninformative.")
    p.add_argument("a", metavar="A")
    p.add_argument("b", metavar="B")

    p = command("keygen", cmd_keygen, "Create a 32-byte Ed25519 secret key file and print its public key.",
                "vessolin keygen --out signing.key",
                "The key is written as hexadecimal text to a new file readable by its owner only (mode 0600);\n"
                "an existing file is never overwritten.")
    p.add_argument("--out", required=True, metavar="FILE", help="the new key file")

    p = command("embed", cmd_embed, "Embed a zero-width watermark carrying a routing pointer.",
                "vessolin embed --key-file wm.key --pointer 00112233445566778899aabbccddeeff article.txt -o marked.txt",
                "The key file holds the watermark key as hexadecimal text. The input is never overwritten\n"
                "unless --in-place is given, and then only once the marked text is complete.")
    p.add_argument("--key-file", required=True, metavar="K", help="file holding the watermark key as hex")
    p.add_argument("--pointer", required=True, metavar="HEX", help="the routing pointer, up to 16 bytes of hex")
    p.add_argument("file", metavar="FILE")
    output_options(p, "the marked text")
    p.add_argument("--in-place", action="store_true", help="replace FILE with the marked text")

    p = command("extract", cmd_extract, "Read a zero-width watermark back and check its content-binding tag.",
                "vessolin extract --key-file wm.key received.txt",
                "Exit status 1 when the tag does not verify or no watermark can be recovered.")
    p.add_argument("--key-file", required=True, metavar="K", help="file holding the watermark key as hex")
    p.add_argument("file", metavar="FILE")

    p = command("assert", cmd_assert, "Build a c2pa.soft-binding assertion as CBOR.",
                "vessolin assert fingerprint article.txt --hex -o article.assertion",
                "Kinds: fingerprint, structure and minhash take a FILE; watermark takes --pointer HEX.\n"
                "The raw CBOR bytes are written unless --hex asks for hexadecimal text (the form to sign).")
    p.add_argument("kind", choices=("fingerprint", "structure", "minhash", "watermark"))
    p.add_argument("file", nargs="?", metavar="FILE")
    p.add_argument("--pointer", metavar="HEX", help="the routing pointer (watermark only)")
    p.add_argument("--hex", action="store_true", help="write hexadecimal text instead of raw CBOR")
    output_options(p, "the assertion")

    p = command("tier", cmd_tier, "Classify a text against an assertion: BOUND, LIKELY or REVIEW.",
                "vessolin tier article.assertion received.txt --crosscheck-ok",
                "ASSERTION may hold raw CBOR or its hexadecimal text.")
    p.add_argument("assertion", metavar="ASSERTION")
    p.add_argument("file", metavar="FILE")
    p.add_argument("--watermark-verified", action="store_true", help="the text's watermark tag verified")
    p.add_argument("--crosscheck-ok", action="store_true", help="the anti-transfer cross-check passed")
    p.add_argument("--fail-on", choices=tuple(FAIL_LEVELS), metavar="{review,likely}",
                   help="exit with status 1 at this tier or below")

    p = command("sign", cmd_sign, "Sign a file's text as a COSE_Sign1 envelope (Ed25519).",
                "vessolin sign --key-file signing.key article.assertion -o article.cose",
                "The payload is the file's text exactly as stored, typically an assertion's hex text.\n"
                "The raw envelope bytes are written unless --hex asks for hexadecimal text.")
    p.add_argument("--key-file", required=True, metavar="K", help="file holding the 32-byte secret key as hex")
    p.add_argument("file", metavar="FILE")
    p.add_argument("--hex", action="store_true", help="write hexadecimal text instead of raw CBOR")
    output_options(p, "the envelope")

    p = command("verify", cmd_verify, "Verify a COSE_Sign1 envelope and print its payload.",
                "vessolin verify --public-key 3d40...660c article.cose",
                "ENVELOPE may hold raw CBOR or its hexadecimal text. Exit status 1 when the signature\n"
                "does not verify.")
    p.add_argument("--public-key", required=True, metavar="HEX", help="the signer's public key, 64 hex digits")
    p.add_argument("envelope", metavar="ENVELOPE")
    output_options(p, "the payload")

    p = commands.add_parser("index", help="Keep published texts in a discovery index and look texts up in it.",
                            description="A discovery index of published texts: an SQLite file, or a PostgreSQL\n"
                                        "database given as postgresql://... A match is a lead; the final word on it\n"
                                        "is 'vessolin tier' against the record's signed assertion.",
                            epilog="example:\n  vessolin index add published.db --jobs 2 articles/*.txt\n"
                                   "  vessolin index query published.db received.txt",
                            formatter_class=raw)
    index_commands = p.add_subparsers(dest="index_command", metavar="INDEX_COMMAND", parser_class=Parser)
    index_commands.required = True

    def index_command(name: str, handler: Callable[[argparse.Namespace], int], summary: str,
                      example: str) -> argparse.ArgumentParser:
        q = index_commands.add_parser(name, help=summary, description=summary, epilog=f"example:\n  {example}",
                                      formatter_class=raw)
        q.set_defaults(handler=handler)
        q.add_argument("--json", action="store_true", help="print machine-readable JSON")
        q.add_argument("db", metavar="DB", help="an SQLite file (created if missing) or a postgresql:// URL")
        return q

    q = index_command("add", cmd_index_add, "Add files to the index, each under its path as record id.",
                      "vessolin index add published.db --jobs 2 --manifest https://example.org/m/1 article.txt")
    q.add_argument("files", nargs="+", metavar="FILE")
    q.add_argument("-j", "--jobs", type=int, default=1, metavar="N", help="compute in N processes (default 1)")
    q.add_argument("--pointer", metavar="HEX", help="watermark pointer stored with every record added")
    q.add_argument("--manifest", metavar="REF", help="manifest reference stored with every record added")
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
    return top


def report(line: str) -> None:
    print(f"{PROG}: {line}", file=sys.stderr)


def main(argv: Sequence[str] | None = None) -> int:
    try:
        args = build_parser().parse_args(argv)
        return args.handler(args)
    except Failure as e:
        report(str(e))
        return e.status
    except KeyboardInterrupt:
        report("interrupted")
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly, as other tools do.
        try:
            sys.stdout = open(os.devnull, "w")
        except OSError:
            pass
        return EXIT_OK
    except (SystemExit, GeneratorExit):
        raise
    except BaseException as e:  # noqa: BLE001 - a user sees one line, never a traceback
        # Only a fault of the tool itself lands here (the module's internal
        # fault derives from BaseException): name it so that it can be reported.
        report(f"internal error: {type(e).__name__}: {e}")
        return EXIT_BAD


if __name__ == "__main__":
    sys.exit(main())
