"""What every command shares: reading files, writing results, one-line
failures with their exit status, and the pieces of the parser.

Exit status: 0 on success, 1 for a negative answer (a tag or signature that
does not verify, a tier at or below `--fail-on`), 2 for bad usage or bad
input. Errors are one line on standard error that names the file and the
problem.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
from typing import Any, Callable, NoReturn, Sequence

PROG = "vessolin"

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


def report(line: str) -> None:
    print(f"{PROG}: {line}", file=sys.stderr)


# ---------------------------------------------------------------------------
# The parser's pieces


class Parser(argparse.ArgumentParser):
    """argparse with usage errors as one line and exit status 2."""

    def error(self, message: str) -> NoReturn:
        raise Failure(f"{self.prog}: {message}")



Handler = Callable[[argparse.Namespace], int]
RAW = argparse.RawDescriptionHelpFormatter


class Commands:
    """Adds commands to a group of subcommands, each with its summary, example
    and the --json switch every command takes."""

    def __init__(self, group: Any) -> None:
        self.group = group

    def add(self, name: str, handler: Handler, summary: str, example: str, details: str = "") -> argparse.ArgumentParser:
        p = self.group.add_parser(name, help=summary, description=summary + ("\n\n" + details if details else ""),
                                  epilog=f"example:\n  {example}", formatter_class=RAW)
        p.set_defaults(handler=handler)
        p.add_argument("--json", action="store_true", help="print machine-readable JSON")
        return p


def output_options(p: argparse.ArgumentParser, what: str) -> None:
    p.add_argument("-o", "--output", metavar="FILE", help=f"write {what} to FILE (default: standard output)")
    p.add_argument("--force", action="store_true", help="overwrite FILE if it exists")
