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
import stat
import sys
import tempfile
from typing import Any, Callable, NoReturn, Sequence

import vessolin

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


# Key files hold one key as hexadecimal text: a few hundred bytes at most.
KEY_FILE_LIMIT = 4096


class _StandardInput:
    """Standard input can be read once: a second "-" would silently get ""."""

    used = False


def reset_standard_input() -> None:
    _StandardInput.used = False


def _warn_if_shared(path: str, st: os.stat_result) -> None:
    if stat.S_ISREG(st.st_mode) and st.st_mode & 0o077:
        report(f"{path}: warning: the key file can be read by group or others "
               f"(mode {stat.S_IMODE(st.st_mode):04o}); make it private with chmod 600")


def read_bytes(path: str, *, limit: int | None = None, secret: bool = False) -> bytes:
    """The bytes of a file, or of standard input for "-". With `limit`, a
    file longer than that is refused (read no further than that); a
    `secret` file that others can read draws a warning."""
    name = display_name(path)
    size = -1 if limit is None else limit + 1
    if path == "-":
        if _StandardInput.used:
            raise Failure("<stdin>: standard input can be read only once")
        _StandardInput.used = True
        data = sys.stdin.buffer.read(size)
    else:
        try:
            with open(path, "rb") as f:
                if secret:
                    _warn_if_shared(path, os.fstat(f.fileno()))
                data = f.read(size)
        except FileNotFoundError:
            raise Failure(f"{path}: no such file") from None
        except IsADirectoryError:
            raise Failure(f"{path}: is a directory") from None
        except PermissionError:
            raise Failure(f"{path}: permission denied") from None
        except OSError as e:
            raise Failure(f"{path}: {e.strerror or e}") from None
    if limit is not None and len(data) > limit:
        raise Failure(f"{name}: bad key file: longer than {limit} bytes")
    return data


def decode_utf8(data: bytes, name: str) -> str:
    """The text exactly as stored: a byte-order mark and line endings stay."""
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as e:
        if data.startswith((b"\xff\xfe", b"\xfe\xff")):
            raise Failure(f"{name}: UTF-16 text (it starts with a UTF-16 byte-order mark); "
                          "convert it to UTF-8 first") from None
        raise Failure(f"{name}: not valid UTF-8 at byte offset {e.start} ({e.reason})") from None


def read_text(path: str) -> str:
    return decode_utf8(read_bytes(path), display_name(path))


def read_key(path: str, *, secret: bool = True, empty_warning: str | None = None) -> str:
    """A key file holds hexadecimal text; white space around it is ignored.
    `empty_warning`, if given, is said when the file holds no key at all."""
    data = read_bytes(path, limit=KEY_FILE_LIMIT, secret=secret)
    name = display_name(path)
    try:
        text = data.decode("ascii")
    except UnicodeDecodeError:
        raise Failure(f"{name}: bad key file: expected hexadecimal text") from None
    if empty_warning is not None and not text.strip():
        report(f"{name}: warning: {empty_warning}")
    return text


_HEX_DIGITS = frozenset(b"0123456789abcdefABCDEF")
_ASCII_SPACE = frozenset(b" \t\n\r\v\f")


def read_cbor_hex(path: str) -> str:
    """CBOR from a file holding either the raw bytes or their hexadecimal
    text, white space allowed anywhere in it (line-wrapped hex dumps).

    An assertion or envelope starts with a map, array or tag head, none of
    which is an ASCII hexadecimal digit or white space, so the two forms
    cannot be confused.
    """
    return cbor_hex_of(read_bytes(path))


def cbor_hex_of(data: bytes) -> str:
    digits = bytes(c for c in data if c not in _ASCII_SPACE)
    if digits and all(c in _HEX_DIGITS for c in digits):
        return digits.decode("ascii")
    return data.hex()


def write_atomically(path: str, data: bytes, *, force: bool, mode: int | None = None,
                     owner: tuple[int, int] | None = None, shown: str | None = None) -> None:
    """Writes `data` to `path` through a temporary file in the same folder.

    The target appears complete or not at all: a failure or an interruption
    leaves no partial file behind and an existing file untouched. Without
    `force`, an existing file is never replaced, not even one that appears
    while the data is written. `owner` (uid, gid) and `mode` are given to
    the new file; messages name `shown` (default: `path`).
    """
    name = shown or path
    directory = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise Failure(f"{name}: is a directory")
    if not force and os.path.lexists(path):
        raise Failure(f"{name}: already exists (use --force to overwrite)")
    try:
        fd, temporary = tempfile.mkstemp(dir=directory, prefix=f".{os.path.basename(path)}.", suffix=".tmp")
    except OSError as e:
        raise Failure(f"{name}: cannot write: {e.strerror or e}") from None
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        if owner is not None:
            # Before the mode: changing the owner clears set-id bits.
            try:
                os.chown(temporary, *owner)
            except PermissionError:
                raise Failure(f"{name}: cannot keep its owner and group (write to -o FILE instead)") from None
        if mode is None:
            umask = os.umask(0)
            os.umask(umask)
            mode = 0o666 & ~umask
        os.chmod(temporary, mode)
        if force:
            os.replace(temporary, path)
        else:
            try:
                os.link(temporary, path)  # fails if the name exists: no-clobber at the last moment too
            except FileExistsError:
                raise Failure(f"{name}: already exists (use --force to overwrite)") from None
            os.unlink(temporary)
    except BaseException as e:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        if isinstance(e, OSError):
            raise Failure(f"{name}: cannot write: {e.strerror or e}") from None
        raise


def write_in_place(path: str, data: bytes) -> None:
    """Replaces the content of the file `path` names, atomically, keeping its
    owner, group and mode. A symbolic link stays a link and its target gets
    the new content. A file with several hard links is refused: replacing
    it would cut it off from its other names."""
    target = os.path.realpath(path)
    try:
        st = os.stat(target)
    except OSError as e:
        raise Failure(f"{path}: {e.strerror or e}") from None
    if st.st_nlink > 1:
        raise Failure(f"{path}: has {st.st_nlink} hard links, which --in-place would break "
                      "(write to -o FILE instead)")
    owner = None if (st.st_uid, st.st_gid) == (os.geteuid(), os.getegid()) else (st.st_uid, st.st_gid)
    write_atomically(target, data, force=True, mode=stat.S_IMODE(st.st_mode), owner=owner, shown=path)


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
    """One line on standard error, whatever the message holds."""
    line = " ".join(part.strip() for part in line.splitlines() if part.strip())
    print(f"{PROG}: {line}", file=sys.stderr)


# The pointer field a watermark carries.
POINTER_BYTES = 16


def pointer_hex(value: str) -> str:
    """A routing pointer as the watermark carries it: hexadecimal text of at
    most 16 bytes (white space around it ignored), zero-filled on the right
    to 16 bytes, in lowercase. The module would silently cut a longer one."""
    call("--pointer", vessolin.soft_binding_watermark, value)  # the module's own hexadecimal rule and messages
    raw = bytes.fromhex(value.strip())
    if len(raw) > POINTER_BYTES:
        raise Failure(f"--pointer: {len(raw)} bytes, more than the {POINTER_BYTES} a watermark carries")
    return raw.ljust(POINTER_BYTES, b"\0").hex()


def worker_count(requested: int, files: int) -> int:
    """The processes worth starting for `files` files: no more than one per
    file and two per processor (the work is computation, so more would only
    compete for the same processors)."""
    if requested < 1:
        raise Failure("--jobs must be at least 1")
    try:
        processors = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        processors = os.cpu_count() or 1
    return max(1, min(requested, files, 2 * processors))


JOBS_HELP = "work in N processes (default 1; at most one per file and two per processor)"


class Progress:
    """A running count of files on standard error, shown only when it is a
    terminal (and not asked to be quiet), redrawn at most ten times a second
    and erased at the end."""

    def __init__(self, total: int, what: str, *, quiet: bool) -> None:
        self.total, self.what = total, what
        self.shown = False
        self.active = not quiet and total > 1 and sys.stderr.isatty()
        self.last = 0.0

    def update(self, done: int) -> None:
        if not self.active:
            return
        import time

        now = time.monotonic()
        if now - self.last >= 0.1 or done == self.total:
            self.last = now
            sys.stderr.write(f"\r{PROG}: {done}/{self.total} {self.what}")
            sys.stderr.flush()
            self.shown = True

    def close(self) -> None:
        if self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
            self.shown = False


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
