"""The resolution service: the C2PA Soft Binding Resolution API for text.

An ASGI application (Starlette, run by uvicorn; ``pip install
'vessolin[serve]'``) in front of a discovery index. A publisher registers its
texts with a manifest id and, optionally, the manifest store
(``vessolin index add --manifest-id ID --manifest-store FILE``); anyone who
finds a copy without its manifest asks the service where it came from::

    vessolin serve published.db --port 8080 --watermark-key-file key.hex

Routes: ``GET|POST /matches/byBinding``, ``POST /matches/byContent``,
``GET /manifests/{manifestId}``, ``GET /services/supportedAlgorithms``,
``GET /openapi.json`` and a page for people at ``GET /``.
"""

from __future__ import annotations

from ._app import MAX_BODY_BYTES, Config, create_app, hash_token, read_token_file
from ._run import serve

__all__ = ["MAX_BODY_BYTES", "Config", "create_app", "hash_token", "read_token_file", "serve"]
