"""vessolin serve: the resolution service over a discovery index."""

from __future__ import annotations

import argparse

from ._common import EXIT_OK, Commands, Failure, read_key
from ._index import Location


def cmd_serve(args: argparse.Namespace) -> int:
    try:
        from vessolin.serve import Config, read_token_file, serve
    except ImportError as e:  # the serve extra is not installed
        raise Failure(f"serve needs the service's packages: pip install 'vessolin[serve]' ({e})") from None
    from vessolin.index import IndexStoreError

    where = Location(args.index)
    if args.workers < 1:
        raise Failure("--workers must be at least 1")
    if args.max_body < 1:
        raise Failure("--max-body must be at least 1 byte")
    if not 0 <= args.port <= 65535:
        raise Failure("--port must be from 0 to 65535")
    tokens = None
    if args.tokens is not None:
        try:
            tokens = read_token_file(args.tokens)
        except (OSError, ValueError) as e:
            raise Failure(f"{args.tokens}: {e}" if isinstance(e, OSError) else str(e)) from None
    keys = []
    for path in args.watermark_key_file:
        key = read_key(path).strip()
        try:
            if not bytes.fromhex(key):
                raise ValueError
        except ValueError:
            raise Failure(f"{path}: bad key file: expected hexadecimal text") from None
        keys.append(key.lower())
    config = Config(args.index, tokens, tuple(keys), args.max_body)
    try:
        serve(config, host=args.host, port=args.port, workers=args.workers)
    except IndexStoreError as e:
        raise Failure(where.say(str(e))) from None
    except OSError as e:  # the address is taken, or not ours to bind
        raise Failure(f"cannot listen on {args.host}:{args.port}: {e.strerror or e}") from None
    return EXIT_OK


def register(commands: Commands) -> None:
    q = commands.add(
        "serve", cmd_serve,
        "Serve the C2PA Soft Binding Resolution API and a page for people over a discovery index.",
        "vessolin serve published.db --port 8080 --tokens tokens.txt --watermark-key-file key.hex",
        "Routes: GET /matches/byBinding, POST /matches/byBinding, POST /matches/byContent,\n"
        "GET /manifests/{manifestId}, GET /services/supportedAlgorithms, GET /openapi.json,\n"
        "and GET / (a page to check a text). Without --tokens the service is open to anyone\n"
        "who can reach it. Needs: pip install 'vessolin[serve]'.")
    q.add_argument("index", metavar="INDEX", help="an SQLite index file or a postgresql:// URL")
    q.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    q.add_argument("--port", type=int, default=8080, help="port to listen on (default 8080)")
    q.add_argument("--workers", type=int, default=1, metavar="N",
                   help="worker processes (default 1); they share one SQLite index in WAL mode or one PostgreSQL")
    q.add_argument("--tokens", metavar="FILE",
                   help="accepted bearer tokens, as the hex SHA-256 of each token, one a line "
                        "(printf %%s TOKEN | sha256sum)")
    q.add_argument("--watermark-key-file", action="append", default=[], metavar="FILE",
                   help="a watermark key (hex) to read texts' watermarks with in byContent; repeatable")
    q.add_argument("--max-body", type=int, default=4 << 20, metavar="BYTES",
                   help="largest request body accepted (default 4 MiB); larger ones get 413")
