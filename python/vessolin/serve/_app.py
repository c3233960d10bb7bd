"""The ASGI application of the resolution service (Starlette)."""

from __future__ import annotations

import asyncio
import hashlib
import hmac
import json
import os
from collections.abc import Sequence
from contextlib import asynccontextmanager
from dataclasses import asdict, dataclass, field
from importlib import resources
from typing import Any

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import ClientDisconnect, Request
from starlette.responses import HTMLResponse, JSONResponse, Response
from starlette.routing import Route

from vessolin.index import Index, IndexStoreError

from . import _matching as matching
from ._openapi import document

# A GET query longer than this is refused with 414: the longest legitimate
# one, a MinHash value (1,024 bytes, 1,368 base64 characters) percent-encoded,
# stays well below it.
MAX_QUERY_BYTES = 8192
MAX_BODY_BYTES = 4 << 20
# A client gets this long to send a whole request body.
BODY_TIMEOUT = 30.0
# maxResults above this is answered with this many matches at most.
RESULTS_CAP = 100
MAX_MANIFEST_ID_BYTES = 1024
CONFIG_VARIABLE = "VESSOLIN_SERVE_CONFIG"


@dataclass(frozen=True)
class Config:
    index: str
    token_hashes: tuple[str, ...] | None = None
    """Hex SHA-256 digests of the accepted bearer tokens; None: an open service."""
    watermark_keys: tuple[str, ...] = ()
    max_body: int = MAX_BODY_BYTES
    body_timeout: float = BODY_TIMEOUT

    def to_environment(self) -> str:
        return json.dumps(asdict(self))

    @classmethod
    def from_environment(cls) -> Config:
        values = json.loads(os.environ[CONFIG_VARIABLE])
        for name in ("token_hashes", "watermark_keys"):
            if values.get(name) is not None:
                values[name] = tuple(values[name])
        return cls(**values)


def read_token_file(path: str) -> tuple[str, ...]:
    """The token hashes of a --tokens file: one hex SHA-256 digest of an
    accepted token a line; blank lines and lines starting with # are skipped."""
    hashes = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            try:
                if len(bytes.fromhex(line)) != 32:
                    raise ValueError
            except ValueError:
                raise ValueError(f"{path}, line {number}: not the SHA-256 digest of a token "
                                 "(64 hexadecimal digits)") from None
            hashes.append(line.lower())
    if not hashes:
        raise ValueError(f"{path} holds no token hash: the service would refuse every request")
    return tuple(hashes)


def hash_token(token: str) -> str:
    """What a --tokens file holds for `token`."""
    return hashlib.sha256(token.encode("utf-8")).hexdigest()


class ApiError(HTTPException):
    pass


def _error_response(status: int, message: str, headers: dict[str, str] | None = None) -> JSONResponse:
    return JSONResponse({"error": message, "status": status}, status_code=status, headers=headers)


@dataclass
class Service:
    config: Config
    _index: Index | None = field(default=None, init=False)
    _digests: tuple[bytes, ...] = field(default=(), init=False)

    def __post_init__(self) -> None:
        if self.config.token_hashes is not None:
            self._digests = tuple(bytes.fromhex(h) for h in self.config.token_hashes)

    @property
    def index(self) -> Index:
        # One index per process, opened on first use: every request of a
        # worker runs on its one event-loop thread, which the index needs.
        if self._index is None:
            self._index = Index(self.config.index, create=False)
        return self._index

    def close(self) -> None:
        if self._index is not None:
            self._index.close()
            self._index = None

    # -- checks shared by the routes ----------------------------------------

    def authorise(self, request: Request) -> None:
        if self.config.token_hashes is None:
            return
        scheme, _, token = request.headers.get("authorization", "").partition(" ")
        offered = hashlib.sha256(token.strip().encode("utf-8", "surrogateescape")).digest()
        accepted = False
        for digest in self._digests:  # every digest compared, in constant time
            accepted |= hmac.compare_digest(offered, digest)
        if scheme.lower() != "bearer" or not token.strip() or not accepted:
            raise ApiError(401, "a valid bearer token is required", headers={"WWW-Authenticate": "Bearer"})

    @staticmethod
    def max_results(request: Request) -> int:
        raw = request.query_params.get("maxResults")
        if raw is None:
            return 10
        digits = raw.lstrip("0")
        if not raw.isascii() or not raw.isdigit() or not digits:
            raise ApiError(400, f"maxResults must be an integer of 1 or more, not {raw[:20]!r}")
        # A long number is simply above the cap (and Python refuses to
        # convert one of thousands of digits).
        return RESULTS_CAP if len(digits) > 6 else min(int(digits), RESULTS_CAP)

    async def body(self, request: Request) -> bytes:
        limit = self.config.max_body
        declared = request.headers.get("content-length")
        if declared is not None and declared.isdigit() and int(declared) > limit:
            raise ApiError(413, f"the body is larger than {limit} bytes")
        chunks = []
        size = 0
        try:
            async with asyncio.timeout(self.config.body_timeout):
                async for chunk in request.stream():
                    size += len(chunk)
                    if size > limit:
                        raise ApiError(413, f"the body is larger than {limit} bytes")
                    chunks.append(chunk)
        except TimeoutError:
            raise ApiError(408, f"the body did not arrive within {self.config.body_timeout:g} s") from None
        except ClientDisconnect:  # nobody is left to read the answer
            raise ApiError(400, "the client closed the connection before sending the whole body") from None
        return b"".join(chunks)

    def answer(self, found: Sequence[matching.Scored], limit: int) -> JSONResponse:
        matches = []
        for s in matching.ranked(found, limit):
            match: dict[str, Any] = {"manifestId": s.manifest_id}
            if not s.manifest_stored and s.manifest is not None:
                match["endpoint"] = s.manifest
            match["similarityScore"] = s.score
            matches.append(match)
        return JSONResponse({"matches": matches})

    # -- the routes ---------------------------------------------------------

    async def page(self, request: Request) -> Response:
        return HTMLResponse(PAGE, headers={"Content-Security-Policy": _PAGE_POLICY})

    async def openapi(self, request: Request) -> Response:
        return JSONResponse(document(self.config.token_hashes is not None))

    async def algorithms(self, request: Request) -> Response:
        return JSONResponse({
            "watermarks": [{"alg": matching.WATERMARK}],
            "fingerprints": [{"alg": a} for a in (matching.FINGERPRINT, matching.STRUCTURE, matching.MINHASH)],
        })

    async def by_binding_get(self, request: Request) -> Response:
        self.authorise(request)
        limit = self.max_results(request)
        alg = request.query_params.get("alg")
        value = request.query_params.get("value")
        if alg is None or value is None:
            raise ApiError(400, "alg and value are required")
        return self._by_binding(alg, value, limit)

    async def by_binding_post(self, request: Request) -> Response:
        self.authorise(request)
        limit = self.max_results(request)
        raw = await self.body(request)
        try:
            query = json.loads(raw)
        except (ValueError, RecursionError):  # UnicodeDecodeError is a ValueError
            raise ApiError(400, "the body is not JSON") from None
        if not isinstance(query, dict):
            raise ApiError(400, "the body must be a JSON object with alg and value")
        if "alg" not in query or "value" not in query:
            raise ApiError(400, "the body must hold alg and value")
        return self._by_binding(query["alg"], query["value"], limit)

    def _by_binding(self, alg: object, value: object, limit: int) -> Response:
        try:
            raw = matching.decode_value(alg, value)
        except matching.BadValue as exc:
            raise ApiError(400, str(exc)) from None
        assert isinstance(alg, str)
        return self.answer(matching.by_binding(self.index, alg, raw, limit=RESULTS_CAP), limit)

    async def by_content(self, request: Request) -> Response:
        self.authorise(request)
        limit = self.max_results(request)
        params = request.query_params
        alg = params.get("alg")
        if alg is not None and alg not in matching.ALGORITHMS:
            raise ApiError(400, f"unknown algorithm {alg!r}")
        hint = None
        if ("hintAlg" in params) != ("hintValue" in params):
            raise ApiError(400, "hintAlg and hintValue go together")
        if "hintAlg" in params:
            try:
                hint = (params["hintAlg"], matching.decode_value(params["hintAlg"], params["hintValue"]))
            except matching.BadValue as exc:
                raise ApiError(400, f"hint: {exc}") from None
        media, _, options = request.headers.get("content-type", "").partition(";")
        if not media.strip().lower().startswith("text/"):
            raise ApiError(415, "the asset must be text (a text/* media type, UTF-8)")
        charset = next((v.strip().strip('"').lower() for k, _, v in
                        (o.partition("=") for o in options.split(";")) if k.strip().lower() == "charset"), "utf-8")
        if charset not in ("utf-8", "utf8", "us-ascii"):
            raise ApiError(415, f"the text must be UTF-8, not {charset}")
        try:
            text = (await self.body(request)).decode("utf-8")
        except UnicodeDecodeError:
            raise ApiError(400, "the text is not valid UTF-8") from None
        algs = matching.ALGORITHMS if alg is None else (alg,)
        found = matching.by_content(self.index, text, algs, self.config.watermark_keys, hint, RESULTS_CAP)
        return self.answer(found, limit)

    async def manifest(self, request: Request) -> Response:
        self.authorise(request)
        manifest_id = request.path_params["manifestId"]
        if (not manifest_id or len(manifest_id.encode("utf-8", "surrogatepass")) > MAX_MANIFEST_ID_BYTES
                or any(c in manifest_id for c in "/\\") or manifest_id in (".", "..")
                or any(ord(c) < 0x20 or ord(c) == 0x7F or 0xD800 <= ord(c) < 0xE000 for c in manifest_id)):
            raise ApiError(400, "invalid manifest id")
        active = request.query_params.get("returnActiveManifest", "false").lower()
        if active not in ("true", "false"):
            raise ApiError(400, "returnActiveManifest must be true or false")
        store = self.index.manifest_store(manifest_id)
        if store is None:
            raise ApiError(404, "no manifest is registered under this id")
        return Response(store, media_type="application/c2pa")


PAGE = resources.files(__package__).joinpath("page.html").read_text(encoding="utf-8")
# The page runs its own script and talks to this service only.
_PAGE_POLICY = ("default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                "connect-src 'self'; img-src 'self' data:; form-action 'none'; base-uri 'none'")


async def _api_error(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, HTTPException)
    return _error_response(exc.status_code, exc.detail, exc.headers)


async def _store_error(request: Request, exc: Exception) -> Response:
    return _error_response(500, f"the index failed: {type(exc).__name__}")


async def _internal_error(request: Request, exc: Exception) -> Response:
    return _error_response(500, "internal error")


class _QueryLimit:
    """Refuses a GET whose query is longer than MAX_QUERY_BYTES with 414,
    before any routing or parsing."""

    def __init__(self, app: Any) -> None:
        self.app = app

    async def __call__(self, scope: Any, receive: Any, send: Any) -> None:
        if scope["type"] == "http" and len(scope.get("query_string", b"")) > MAX_QUERY_BYTES:
            response = _error_response(414, f"the query is longer than {MAX_QUERY_BYTES} bytes; "
                                            "use POST /matches/byBinding")
            await response(scope, receive, send)
            return
        await self.app(scope, receive, send)


def create_app(config: Config) -> Any:
    service = Service(config)

    @asynccontextmanager
    async def lifespan(app: Starlette):  # type: ignore[no-untyped-def]
        service.index  # open it now, so that a bad location fails at start-up
        yield
        service.close()

    routes = [
        Route("/", service.page, methods=["GET"]),
        Route("/openapi.json", service.openapi, methods=["GET"]),
        Route("/services/supportedAlgorithms", service.algorithms, methods=["GET"]),
        Route("/matches/byBinding", service.by_binding_get, methods=["GET"]),
        Route("/matches/byBinding", service.by_binding_post, methods=["POST"]),
        Route("/matches/byContent", service.by_content, methods=["POST"]),
        Route("/manifests/{manifestId:path}", service.manifest, methods=["GET"]),
    ]
    app = Starlette(routes=routes, lifespan=lifespan, exception_handlers={
        HTTPException: _api_error, IndexStoreError: _store_error, Exception: _internal_error})
    app.state.service = service
    return _QueryLimit(app)


def create_from_environment() -> Any:
    """The application of a worker process, configured by `serve`."""
    return create_app(Config.from_environment())
