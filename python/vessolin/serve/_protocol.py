"""uvicorn's httptools protocol, answering what it cannot parse with a JSON
error body, and an over-long request target with 414. Imported by uvicorn in
each worker by name (`serve` passes "vessolin.serve._protocol:Protocol")."""

from __future__ import annotations

import json

from uvicorn.protocols.http.httptools_impl import HttpToolsProtocol

from ._app import MAX_QUERY_BYTES

# A request line whose target is longer than this is refused with 414 while it
# is still being read: the application refuses long queries (and invalid
# manifest ids) itself, but the HTTP parser would refuse a target of some 80 KB
# before the application sees it, with a bare 400 in plain text.
MAX_TARGET_BYTES = 4 * MAX_QUERY_BYTES


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
