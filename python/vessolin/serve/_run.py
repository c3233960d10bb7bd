"""Running the service under uvicorn, in one process or several workers."""

from __future__ import annotations

import os
import sys
from typing import TextIO

from ._app import CONFIG_VARIABLE, Config, create_app


def startup_line(config: Config, host: str, port: int, workers: int) -> str:
    from vessolin.index._postgres import redact  # plain text: no driver import

    shown = f"[{host}]" if ":" in host else host
    index = redact(config.index) if "://" in config.index else config.index
    access = ("bearer tokens required on /matches and /manifests"
              if config.token_hashes is not None else
              "OPEN: no --tokens file, so anyone who can reach it may query it and fetch its manifests")
    return (f"vessolin serve: {index} on http://{shown}:{port}/ with {workers} worker"
            f"{'s' if workers != 1 else ''}, {len(config.watermark_keys)} watermark key"
            f"{'s' if len(config.watermark_keys) != 1 else ''}; {access}")


def serve(config: Config, *, host: str = "127.0.0.1", port: int = 8080, workers: int = 1,
          out: TextIO | None = None, log_level: str = "warning") -> None:
    """Run the service until it is stopped (SIGINT or SIGTERM)."""
    import uvicorn

    # Fail here, with a clear message, rather than in every worker.
    create_app(config)
    from vessolin.index import Index
    Index(config.index, create=False).close()

    print(startup_line(config, host, port, workers), file=out or sys.stderr, flush=True)
    options = dict(host=host, port=port, log_level=log_level, access_log=False, server_header=False,
                   timeout_keep_alive=5, timeout_graceful_shutdown=5, http="vessolin.serve._protocol:Protocol", loop="auto")
    if workers == 1:
        uvicorn.run(create_app(config), **options)  # type: ignore[arg-type]
    else:
        os.environ[CONFIG_VARIABLE] = config.to_environment()
        uvicorn.run("vessolin.serve._app:create_from_environment", factory=True, workers=workers,
                    **options)  # type: ignore[arg-type]


