"""The resolution service, started for real (`vessolin serve` under uvicorn on
a loopback port) and spoken to over HTTP, on SQLite and PostgreSQL."""

from __future__ import annotations

import base64
import hashlib
import random
import socket
import struct
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import httpx
import pytest
import vessolin
from index_support import chunks, edited
from serve_support import Server
from vessolin.index import Index
from vessolin.index._values import band_keys_of_signature

CORPUS = Path(__file__).parent / "data" / "corpus"
FINGERPRINT = "com.tessaline.text-fingerprint.1"
WATERMARK = "com.tessaline.zwc-watermark.2"
STRUCTURE = "com.tessaline.text-structure.1"
MINHASH = "com.tessaline.text-minhash.1"
KEY = "5a" * 32
POINTER = "c0ffee" + "00" * 13  # embedded as 3 bytes of pointer, read back as 16


@pytest.fixture(scope="module")
def texts() -> dict[str, str]:
    english = chunks((CORPUS / "gutenberg" / "11-0.txt").read_text(encoding="utf-8"), random.Random(11))
    german = chunks((CORPUS / "gutenberg" / "22367-0.txt").read_text(encoding="utf-8"), random.Random(3))
    return {f"alice-{i}": english[i] for i in range(12)} | {"german-0": german[0], "german-1": german[1]}


def b64(data: bytes) -> str:
    return base64.b64encode(data).decode()


def minhash_value(text: str) -> bytes:
    return b"".join(v.to_bytes(8, "big") for v in vessolin.minhash_signature(text))


def fill(location: str, texts: dict[str, str]) -> None:
    """alice-0..11 each with its manifest id and store; alice-4 carries a
    watermark of a 3-byte pointer; alice-5's manifest is served elsewhere;
    alice-6 has no manifest id; twin-a and twin-b are the same text as
    alice-7 under other manifests; the German texts have manifests too."""
    with Index(location) as index:
        for record_id, text in texts.items():
            options = {"manifest_id": f"urn:m:{record_id}", "manifest_store": f"store of {record_id}".encode()}
            if record_id == "alice-4":
                text = vessolin.embed_watermark(text, "c0ffee", KEY)
                options["pointer"] = "C0FFEE"
            elif record_id == "alice-5":
                options = {"manifest_id": "urn:m:alice-5", "manifest": "https://manifests.example/alice-5"}
            elif record_id == "alice-6":
                options = {}
            index.add(record_id, text, **options)
        index.add("twin-b", texts["alice-7"], manifest_id="urn:m:twin-b", manifest_store=b"b")
        index.add("twin-a", texts["alice-7"], manifest_id="urn:m:twin-z", manifest_store=b"z")


@pytest.fixture(scope="module", params=["sqlite", "postgresql"])
def location(request, tmp_path_factory, texts) -> str:
    if request.param == "sqlite":
        location = str(tmp_path_factory.mktemp("serve") / "index.db")
    else:
        location = request.getfixturevalue("postgres").new_database()
    fill(location, texts)
    return location


@pytest.fixture(scope="module")
def server(location, tmp_path_factory):
    key_file = tmp_path_factory.mktemp("keys") / "key.hex"
    key_file.write_text(KEY + "\n")
    key_file.chmod(0o600)
    # Two workers: each keeps its own connection and copy of the prints.
    with Server(location, "--watermark-key-file", str(key_file), "--max-body", "100000", "--workers", "2") as running:
        yield running


@pytest.fixture(scope="module")
def client(server):
    with httpx.Client(base_url=server.url, timeout=30) as c:
        yield c


def matches_of(response: httpx.Response) -> list[tuple[str, int]]:
    """(manifestId, similarityScore) of a 200 answer, after checking its shape."""
    assert response.status_code == 200, response.text
    assert response.headers["content-type"] == "application/json"
    body = response.json()
    assert list(body) == ["matches"]
    for match in body["matches"]:
        assert set(match) <= {"manifestId", "endpoint", "similarityScore"} and isinstance(match["manifestId"], str)
        assert type(match["similarityScore"]) is int and 0 <= match["similarityScore"] <= 100
    scores = [m["similarityScore"] for m in body["matches"]]
    assert scores == sorted(scores, reverse=True)
    return [(m["manifestId"], m["similarityScore"]) for m in body["matches"]]


def by_content(client: httpx.Client, text: str | bytes, **params) -> httpx.Response:
    body = text.encode() if isinstance(text, str) else text
    return client.post("/matches/byContent", params=params, content=body,
                       headers={"content-type": "text/plain; charset=utf-8"})


def test_fixed_routes(client, server):
    assert "OPEN" in server.output().splitlines()[0]
    assert client.get("/services/supportedAlgorithms").json() == {
        "watermarks": [{"alg": WATERMARK}],
        "fingerprints": [{"alg": FINGERPRINT}, {"alg": STRUCTURE}, {"alg": MINHASH}]}
    doc = client.get("/openapi.json").json()
    assert (doc["openapi"], doc["info"]["version"]) == ("3.0.3", "1.0.0")
    assert {path: sorted(ops) for path, ops in doc["paths"].items()} == {
        "/matches/byBinding": ["get", "post"], "/matches/byContent": ["post"],
        "/manifests/{manifestId}": ["get"], "/services/supportedAlgorithms": ["get"]}
    page = client.get("/")
    assert page.status_code == 200 and page.headers["content-type"].startswith("text/html")
    # Offline: the page names no other host and loads nothing from elsewhere.
    assert "http://" not in page.text and "https://" not in page.text and " src=" not in page.text


def test_by_content(client, texts):
    source = texts["alice-3"]
    copy = edited(source, 0.05, random.Random(3), texts["alice-0"].split())
    found = matches_of(by_content(client, copy))
    assert found[0][0] == "urn:m:alice-3" and found[0][1] < 100
    for alg in (MINHASH, FINGERPRINT, STRUCTURE):
        assert matches_of(by_content(client, copy, alg=alg))[0][0] == "urn:m:alice-3", alg
    # The same text scores 100; its twins tie and follow the index's ranking (record id).
    assert matches_of(by_content(client, texts["alice-7"], alg=MINHASH)) == [
        ("urn:m:alice-7", 100), ("urn:m:twin-z", 100), ("urn:m:twin-b", 100)]
    assert len(matches_of(by_content(client, texts["alice-7"], maxResults=2))) == 2
    # A watermark read with the service's key finds its record even in a
    # text that shares no words with it.
    marked = vessolin.embed_watermark(texts["alice-4"], "c0ffee", KEY)
    assert matches_of(by_content(client, marked, alg=WATERMARK)) == [("urn:m:alice-4", 100)]
    assert matches_of(by_content(client, texts["alice-4"], alg=WATERMARK)) == []
    # A record without a manifest id resolves to nothing; one whose manifest
    # lives elsewhere says where.
    assert "urn:m:alice-6" not in dict(matches_of(by_content(client, texts["alice-6"])))
    answer = by_content(client, texts["alice-5"]).json()["matches"][0]
    assert answer == {"manifestId": "urn:m:alice-5", "endpoint": "https://manifests.example/alice-5",
                      "similarityScore": 100}
    assert "endpoint" not in by_content(client, texts["alice-3"]).json()["matches"][0]
    # A hint adds the matches of a value the client already holds.
    hinted = by_content(client, "nothing like any record", hintAlg=WATERMARK, hintValue=b64(b"\xc0\xff\xee"))
    assert matches_of(hinted) == [("urn:m:alice-4", 100)]


def test_by_binding(client, texts):
    source = texts["alice-9"]
    values = {
        FINGERPRINT: bytes.fromhex(vessolin.text_fingerprint(source)),
        STRUCTURE: bytes.fromhex(vessolin.text_structure(source)),
        MINHASH: minhash_value(source),
        WATERMARK: bytes.fromhex(POINTER),
    }
    # The band keys the index derives from a big-endian value are the text's own.
    signature = struct.unpack(">128Q", values[MINHASH])
    assert band_keys_of_signature(struct.pack("<128Q", *signature)) == vessolin.minhash_bands(source)
    for alg, value in values.items():
        expected = "urn:m:alice-4" if alg == WATERMARK else "urn:m:alice-9"
        got = matches_of(client.get("/matches/byBinding", params={"alg": alg, "value": b64(value)}))
        posted = matches_of(client.post("/matches/byBinding", json={"alg": alg, "value": b64(value)}))
        assert got == posted and got[0] == (expected, 100), alg
    # maxResults far above the cap answers as many as there are.
    many = client.get("/matches/byBinding", params={"alg": WATERMARK, "value": b64(values[WATERMARK]),
                                                    "maxResults": "9" * 5000})
    assert matches_of(many) == [("urn:m:alice-4", 100)]
    # A short pointer is the 16 bytes a watermark gives back.
    assert matches_of(client.post("/matches/byBinding", json={"alg": WATERMARK, "value": b64(b"\xc0\xff\xee")}))[
        0][0] == "urn:m:alice-4"
    # The structural print of German text carries no information: it matches nothing.
    german = bytes.fromhex(vessolin.text_structure(texts["german-0"]))
    assert german == bytes.fromhex(vessolin.text_structure(texts["german-1"]))
    assert matches_of(client.post("/matches/byBinding", json={"alg": STRUCTURE, "value": b64(german)})) == []
    assert "urn:m:german-1" not in dict(matches_of(by_content(client, texts["german-0"], alg=STRUCTURE)))
    # Unrelated values find nothing.
    far = bytes(b ^ 0x5A for b in values[FINGERPRINT])
    assert matches_of(client.post("/matches/byBinding", json={"alg": FINGERPRINT, "value": b64(far)})) == []


def test_manifests(client):
    response = client.get("/manifests/urn:m:alice-3", params={"returnActiveManifest": "false"})
    assert response.status_code == 200 and response.content == b"store of alice-3"
    assert response.headers["content-type"] == "application/c2pa"
    assert client.get("/manifests/urn:m:missing").status_code == 404
    assert client.get("/manifests/urn:m:alice-5").status_code == 404  # served elsewhere


BAD = [
    # (method, path, params, body, content type, status)
    ("GET", "/matches/byBinding", {"alg": MINHASH, "value": "not base64!"}, None, None, 400),
    ("GET", "/matches/byBinding", {"alg": "com.example.unknown", "value": "AAAA"}, None, None, 400),
    ("GET", "/matches/byBinding", {"alg": FINGERPRINT, "value": b64(bytes(31))}, None, None, 400),
    ("GET", "/matches/byBinding", {"alg": MINHASH, "value": b64(bytes(1016))}, None, None, 400),
    ("GET", "/matches/byBinding", {"alg": MINHASH, "value": b64(b"\xff" * 1024)}, None, None, 400),
    ("GET", "/matches/byBinding", {"alg": WATERMARK, "value": b64(bytes(17))}, None, None, 400),
    ("GET", "/matches/byBinding", {"alg": WATERMARK, "value": ""}, None, None, 400),
    ("GET", "/matches/byBinding", {"alg": WATERMARK}, None, None, 400),
    ("GET", "/matches/byBinding", {"alg": WATERMARK, "value": "AAAA", "maxResults": "0"}, None, None, 400),
    ("GET", "/matches/byBinding", {"alg": WATERMARK, "value": "AAAA", "maxResults": "x"}, None, None, 400),
    ("GET", "/matches/byBinding", {"alg": WATERMARK, "value": "AAAA", "maxResults": "-1"}, None, None, 400),
    ("GET", "/matches/byBinding", {"alg": WATERMARK, "value": "AAAA", "maxResults": "00"}, None, None, 400),
    ("GET", "/matches/byBinding", {"alg": WATERMARK, "value": "A" * 9000}, None, None, 414),
    ("POST", "/matches/byBinding", {}, b"[1, 2]", "application/json", 400),
    ("POST", "/matches/byBinding", {}, b'"text"', "application/json", 400),
    ("POST", "/matches/byBinding", {}, b"{not json", "application/json", 400),
    ("POST", "/matches/byBinding", {}, b'{"alg": "' + MINHASH.encode() + b'"}', "application/json", 400),
    ("POST", "/matches/byBinding", {}, b'{"alg": 5, "value": "AAAA"}', "application/json", 400),
    ("POST", "/matches/byBinding", {}, b"\xff\xfe", "application/json", 400),
    ("POST", "/matches/byBinding", {}, b"[" * 50_000, "application/json", 400),
    ("POST", "/matches/byBinding", {}, b"{}" + b" " * 100_000, "application/json", 413),
    ("POST", "/matches/byContent", {}, b"x" * 100_001, "text/plain", 413),
    ("POST", "/matches/byContent", {}, b"\x89PNG\r\n", "image/png", 415),
    ("POST", "/matches/byContent", {}, b"text", None, 415),
    ("POST", "/matches/byContent", {}, b"text", "text/plain; charset=latin-1", 415),
    ("POST", "/matches/byContent", {}, b"caf\xe9", "text/plain", 400),
    ("POST", "/matches/byContent", {"alg": "com.example.unknown"}, b"text", "text/plain", 400),
    ("POST", "/matches/byContent", {"maxResults": "0"}, b"text", "text/plain", 400),
    ("POST", "/matches/byContent", {"hintAlg": WATERMARK}, b"text", "text/plain", 400),
    ("POST", "/matches/byContent", {"hintAlg": WATERMARK, "hintValue": "!!"}, b"text", "text/plain", 400),
    ("GET", "/manifests/" + "m" * 10_000, {}, None, None, 400),
    ("GET", "/manifests/a%2Fb", {}, None, None, 400),
    ("GET", "/manifests/..%5Cwin.ini", {}, None, None, 400),
    ("GET", "/manifests/%2E%2E", {}, None, None, 400),
    ("GET", "/manifests/urn:m:alice-3", {"returnActiveManifest": "maybe"}, None, None, 400),
    ("DELETE", "/matches/byBinding", {}, None, None, 405),
    ("GET", "/matches/nothing", {}, None, None, 404),
]


@pytest.mark.parametrize("method, path, params, body, content_type, status", BAD,
                         ids=[f"{i}-{b[-1]}" for i, b in enumerate(BAD)])
def test_bad_input(client, method, path, params, body, content_type, status):
    headers = {"content-type": content_type} if content_type else {}
    response = client.request(method, path, params=params, content=body, headers=headers)
    assert response.status_code == status, response.text
    assert response.headers["content-type"] == "application/json"
    assert response.json()["status"] == status and response.json()["error"]


def _raw(port: int, request: bytes) -> bytes:
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(request)
        out = b""
        while chunk := s.recv(65536):
            out += chunk
    return out


def test_no_file_outside_the_index_is_readable(server, client):
    """Raw request targets that a client library would normalise away."""
    secret = "root:"
    for target in (b"/../../../../etc/passwd", b"/manifests/../../../../etc/passwd",
                   b"/manifests/..%2f..%2f..%2f..%2fetc%2fpasswd", b"/manifests/%2fetc%2fpasswd",
                   b"/manifests/....//....//etc/passwd", b"//etc/passwd", b"/manifests/%00",
                   b"/%2e%2e/%2e%2e/etc/passwd", b"/openapi.json/../../etc/passwd"):
        answer = _raw(server.port, b"GET " + target + b" HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        status = int(answer.split(b" ", 2)[1])
        assert status in (400, 404), (target, answer[:200])
        assert secret.encode() not in answer and b"application/json" in answer
    # A request target longer than the HTTP parser's own limits gets 414 as
    # soon as it is too long, before the request line ends.
    with socket.create_connection(("127.0.0.1", server.port), timeout=10) as s:
        s.sendall(b"GET /matches/byBinding?value=" + b"A" * 40_000)
        answer = s.recv(65536)
    assert answer.startswith(b"HTTP/1.1 414") and b'"status": 414' in answer
    assert client.get("/services/supportedAlgorithms").status_code == 200


def test_concurrent_slow_and_abandoned_clients(server, texts):
    """64 clients at once, while others trickle their body, stop half way
    through or never send a byte: every answer is right and on time."""
    copies = {f"urn:m:alice-{i}": edited(texts[f"alice-{i}"], 0.03, random.Random(i), texts["alice-0"].split())
              for i in (1, 2, 3, 8, 9, 10)}
    stalled = []
    for request in (b"", b"POST /matches/byContent HTTP/1.1\r\nHost: x\r\nContent-Type: text/plain\r\n"
                         b"Content-Length: 5000\r\n\r\nsome text",
                    b"GET /services/supp"):
        s = socket.create_connection(("127.0.0.1", server.port))
        s.sendall(request)
        stalled.append(s)
    stop = threading.Event()

    def trickle() -> None:
        with socket.create_connection(("127.0.0.1", server.port)) as s:
            s.sendall(b"POST /matches/byContent HTTP/1.1\r\nHost: x\r\nContent-Type: text/plain\r\n"
                      b"Content-Length: 1000\r\n\r\n")
            while not stop.wait(0.05):
                s.sendall(b"a")

    slow = threading.Thread(target=trickle)
    slow.start()
    try:
        def one(n: int) -> tuple[str, str | None]:
            manifest_id = list(copies)[n % len(copies)]
            with httpx.Client(base_url=server.url, timeout=60) as c:
                if n % 2:
                    found = matches_of(by_content(c, copies[manifest_id]))
                else:
                    record = manifest_id.removeprefix("urn:m:")
                    value = b64(minhash_value(texts[record]))
                    found = matches_of(c.get("/matches/byBinding", params={"alg": MINHASH, "value": value}))
            return manifest_id, found[0][0] if found else None

        started = time.monotonic()
        with ThreadPoolExecutor(64) as pool:
            results = list(pool.map(one, range(128)))
        assert all(expected == got for expected, got in results), results
        assert time.monotonic() - started < 60
        # Abandoned connections, closed half way through a request.
        for s in stalled:
            s.close()
    finally:
        stop.set()
        slow.join()
    with httpx.Client(base_url=server.url, timeout=10) as c:
        assert matches_of(by_content(c, texts["alice-2"]))[0] == ("urn:m:alice-2", 100)
    assert server.alive()
    assert "Traceback" not in server.output()


def test_bearer_tokens(tmp_path, texts):
    location = str(tmp_path / "tokens.db")
    with Index(location) as index:
        index.add("doc", texts["alice-1"], manifest_id="urn:doc", manifest_store=b"store")
    tokens = tmp_path / "tokens.txt"
    tokens.write_text("# accepted tokens, as SHA-256\n" + hashlib.sha256(b"first secret").hexdigest() + "\n\n"
                      + hashlib.sha256(b"second secret").hexdigest().upper() + "\n")
    value = b64(minhash_value(texts["alice-1"]))
    with Server(location, "--tokens", str(tokens)) as server:
        assert "bearer tokens required" in server.output().splitlines()[0]
        with httpx.Client(base_url=server.url, timeout=30) as c:
            requests = [("GET", "/matches/byBinding", {"params": {"alg": MINHASH, "value": value}}),
                        ("POST", "/matches/byBinding", {"json": {"alg": MINHASH, "value": value}}),
                        ("POST", "/matches/byContent", {"content": texts["alice-1"],
                                                         "headers": {"content-type": "text/plain"}}),
                        ("GET", "/manifests/urn:doc", {})]
            for method, path, options in requests:
                headers = options.pop("headers", {})
                for wrong in ({}, {"authorization": "Bearer wrong"}, {"authorization": "Basic Zmlyc3Qgc2VjcmV0"},
                              {"authorization": "Bearer"}, {"authorization": "first secret"}):
                    refused = c.request(method, path, headers=headers | wrong, **options)
                    assert refused.status_code == 401 and refused.headers["www-authenticate"] == "Bearer"
                    assert refused.json()["status"] == 401
                for token in ("first secret", "second secret"):
                    answer = c.request(method, path, headers=headers | {"authorization": f"Bearer {token}"},
                                       **options)
                    assert answer.status_code == 200, (path, answer.text)
            assert c.get("/services/supportedAlgorithms").status_code == 200
            assert "bearerAuth" in c.get("/openapi.json").json()["components"]["securitySchemes"]


def test_start_up_failures(tmp_path, texts):
    import subprocess
    import sys

    bad_tokens = tmp_path / "tokens.txt"
    bad_tokens.write_text("not a digest\n")
    index = tmp_path / "ok.db"
    Index(index).close()
    for args, message in [([str(tmp_path / "missing.db")], "no such index"),
                          ([str(index), "--tokens", str(bad_tokens)], "line 1"),
                          ([str(index), "--watermark-key-file", str(bad_tokens)], "bad key file"),
                          ([str(index), "--workers", "0"], "--workers")]:
        done = subprocess.run([sys.executable, "-m", "vessolin", "serve", *args], capture_output=True, text=True,
                              timeout=60)
        assert done.returncode == 2 and message in done.stderr, (args, done.stderr)
    assert not (tmp_path / "missing.db").exists()


def test_index_add_with_manifest_from_the_command_line(tmp_path, texts):
    import subprocess
    import sys

    text, store = tmp_path / "chapter.txt", tmp_path / "chapter.c2pa"
    text.write_text(texts["alice-1"], encoding="utf-8")
    store.write_bytes(b"\x00\x01manifest store\xff")
    db = str(tmp_path / "cli.db")

    def vessolin_cli(*args: str) -> subprocess.CompletedProcess:
        return subprocess.run([sys.executable, "-m", "vessolin", *args], capture_output=True, text=True, timeout=60)

    done = vessolin_cli("index", "add", db, str(text), "--manifest-id", "urn:c2pa:1", "--manifest-store", str(store))
    assert done.returncode == 0, done.stderr
    with Index(db) as index:
        assert index.manifest_store("urn:c2pa:1") == store.read_bytes()
        assert index.get(str(text)).manifest_id == "urn:c2pa:1"
    assert '"manifest_id": "urn:c2pa:1"' in vessolin_cli("index", "get", db, str(text), "--json").stdout
    done = vessolin_cli("index", "add", db, str(text), "--manifest-store", str(store), "--replace")
    assert done.returncode == 2 and "--manifest-store needs --manifest-id" in done.stderr


def test_a_failing_index_gives_500_and_the_service_goes_on(tmp_path, texts):
    import sqlite3

    location = str(tmp_path / "failing.db")
    with Index(location) as index:
        index.add("doc", texts["alice-1"], manifest_id="urn:doc", manifest_store=b"store")
    with Server(location) as server, httpx.Client(base_url=server.url, timeout=30) as c:
        assert c.get("/manifests/urn:doc").status_code == 200
        conn = sqlite3.connect(location)
        conn.execute("DROP TABLE vessolin_manifests")
        conn.commit()
        conn.close()
        failed = c.get("/manifests/urn:doc")
        assert failed.status_code == 500 and failed.json() == {"error": "the index failed: IndexStoreError",
                                                                "status": 500}
        assert c.get("/services/supportedAlgorithms").status_code == 200
        assert server.alive()
