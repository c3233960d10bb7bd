"""Running the service under uvicorn, in one process or several workers."""

from __future__ import annotations

import os
import sys
from collections.abc import Sequence
from typing import TextIO

from ._app import CONFIG_VARIABLE, MAX_QUERY_BYTES, Config, create_app

# A request line whose target is longer than this is refused with 414 while it
# is still being read: the application refuses long queries itself, but the
# HTTP parser would refuse a target of some 80 KB before the application sees
# it, with a bare 400 in plain text.
MAX_TARGET_BYTES = MAX_QUERY_BYTES + 1024


def _protocol() -> type:
    """uvicorn's httptools protocol, answering what it cannot parse with a
    JSON error body, and an over-long request target with 414."""
    import json

    from uvicorn.protocols.http.httptools_impl import HttpToolsProtocol

    class Protocol(HttpToolsProtocol):  # type: ignore[misc]
        _too_long = False

        def on_url(self, url: bytes) -> None:
            super().on_url(url)
            if len(self.url) > MAX_TARGET_BYTES:
                self._too_long = True
                raise ValueError("request target too long")  # ends parsing: send_400_response follows

        def send_400_response(self, msg: str) -> None:
            status, reason = (414, b"URI Too Long") if self._too_long else (400, b"Bad Request")
            text = (f"the request target is longer than {MAX_TARGET_BYTES} bytes; use POST /matches/byBinding"
                    if self._too_long else "invalid HTTP request")
            body = json.dumps({"error": text, "status": status}).encode()
            self.transport.write(b"HTTP/1.1 %d %s\r\ncontent-type: application/json\r\n"
                                 b"content-length: %d\r\nconnection: close\r\n\r\n%s"
                                 % (status, reason, len(body), body))
            self.transport.close()

    return Protocol


def read_watermark_key(path: str) -> str:
    """The key of a --watermark-key-file: hexadecimal text (white space around it ignored)."""
    with open(path, encoding="utf-8") as f:
        key = f.read().strip()
    try:
        if not bytes.fromhex(key):
            raise ValueError
    except ValueError:
        raise ValueError(f"{path} does not hold a watermark key in hexadecimal") from None
    return key.lower()


def startup_line(config: Config, host: str, port: int, workers: int) -> str:
    shown = f"[{host}]" if ":" in host else host
    access = ("bearer tokens required (every route but /services/supportedAlgorithms)"
              if config.token_hashes is not None else
              "OPEN: no --tokens file, so anyone who can reach it may query it and fetch its manifests")
    return (f"vessolin serve: {config.index} on http://{shown}:{port}/ with {workers} worker"
            f"{'s' if workers != 1 else ''}, {len(config.watermark_keys)} watermark key"
            f"{'s' if len(config.watermark_keys) != 1 else ''}; {access}")


def serve(config: Config, *, host: str = "127.0.0.1", port: int = 8080, workers: int = 1,
          out: TextIO | None = None, log_level: str = "warning") -> None:
    """Run the service until it is stopped (SIGINT or SIGTERM)."""
    import uvicorn

    # Fail here, with a clear message, rather than in every worker.
    create_app(config)
    from vessolin.index import Index
    Index(config.index).close()

    print(startup_line(config, host, port, workers), file=out or sys.stderr, flush=True)
    options = dict(host=host, port=port, log_level=log_level, access_log=False, server_header=False,
                   timeout_keep_alive=5, timeout_graceful_shutdown=5, http=_protocol(), loop="auto")
    if workers == 1:
        uvicorn.run(create_app(config), **options)  # type: ignore[arg-type]
    else:
        os.environ[CONFIG_VARIABLE] = config.to_environment()
        uvicorn.run("vessolin.serve._app:create_from_environment", factory=True, workers=workers,
                    **options)  # type: ignore[arg-type]


