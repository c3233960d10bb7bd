"""The `vessolin` command line: one text's whole road from a shell.

Every command is a thin layer over the module's public functions: it reads
files, calls them, and writes or prints what they return. Each group of
commands lives in a module of its own, with its parser options beside its
code; `_common` holds what they share (file handling, output, failures).
Exit status: 0 on success, 1 for a negative answer, 2 for bad usage or bad
input. Errors are one line on standard error that names the file and the
problem.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, NoReturn, Sequence

from . import _assertion, _index, _serve, _signature, _text, _watermark
from ._common import (EXIT_BAD, EXIT_OK, PROG, RAW, Commands, Failure, Parser, print_json, report,
                      reset_standard_input)

__all__ = ["build_parser", "main"]


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
    top = Parser(
        prog=PROG,
        formatter_class=RAW,
        description="Provenance soft bindings for plain text: content hash, similarity fingerprints, "
                    "zero-width watermark, C2PA soft-binding assertions and COSE signatures.",
        epilog="Exit status: 0 success, 1 a negative answer, 2 bad usage or bad input.\n"
               "FILE may be - for standard input. Run 'vessolin COMMAND --help' for a command's options.",
    )
    top.add_argument("--version", action=VersionAction)
    commands = Commands(top.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser))
    commands.group.required = True
    for group in (_text, _signature, _watermark, _assertion, _index, _serve):
        group.register(commands)
    return top


def fail(message: str, status: int, json_mode: bool) -> int:
    """Reports a failure: one line on standard error and, in JSON mode, an
    error object on standard output, so that every outcome prints one."""
    report(message)
    if json_mode:
        print_json({"error": {"message": message, "status": status}})
    return status


def main(argv: Sequence[str] | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    reset_standard_input()
    # Until the command line is parsed, a usage error is answered in JSON
    # when the switch is there at all.
    json_mode = "--json" in argv
    try:
        args = build_parser().parse_args(argv)
        json_mode = bool(getattr(args, "json", False))
        return args.handler(args)
    except Failure as e:
        return fail(str(e), e.status, json_mode)
    except KeyboardInterrupt:
        return fail("interrupted", 130, json_mode)
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
        return fail(f"internal error: {type(e).__name__}: {e}", EXIT_BAD, json_mode)


if __name__ == "__main__":
    sys.exit(main())
