#!/usr/bin/env python3
"""Benchmark of the resolution service (`vessolin serve`) on 100,000 records.

    python bench/service_bench.py                    # 100,000 records, SQLite, 2 workers
    python bench/service_bench.py --records 20000 --duration 5 --json out.json
    python bench/service_bench.py --postgres         # the same on a throwaway PostgreSQL

The records are the 2-5 KB texts of bench/index_bench.py (sentences of the
prose in bench/data, in many scripts), each with a random 16-byte watermark
pointer, a manifest id and a 256-byte manifest store. The index is built once
and kept (--index, default in the temporary folder) for later runs.

The service runs on 127.0.0.1 only, with `--workers 2` and one watermark
key. The load comes from Debian's `wrk` (installed here when missing), one
thread, a fixed set of prepared requests sent in turn by a small Lua script
(bench/service_bench.lua), for `--duration` seconds per row: every load is
bounded in time and stops by itself. wrk is a lean C client, so on a
two-core machine it takes far less of the CPU than the server it measures.

Workloads, each at 1, 8 and 32 connections:
- byContent: POST /matches/byContent with edited copies (one sentence
  removed, 5% of the words replaced) of records, cut to about 4 KB;
- watermark: GET /matches/byBinding with the pointer of a record;
- minhash: GET /matches/byBinding with the MinHash value of an edited copy;
- manifest: GET /manifests/{manifestId} of a record.

Before the load, a sample of each workload is checked for the right answer.
Also reported: the in-process time of the fingerprint scan (`Index.near`)
at this size, with numpy and with plain Python integers.
"""

from __future__ import annotations

import argparse
import base64
import json
import os
import platform
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.parse
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))

import httpx  # noqa: E402
import vessolin  # noqa: E402
from index_bench import edit, join, make_record, sentences  # noqa: E402
from serve_support import Server  # noqa: E402
from vessolin.index import Index  # noqa: E402

KEY = "6b" * 32
LEVELS = (1, 8, 32)
TARGETS = {  # workload: (connections, requests/s at least) ...
    "byContent": [(8, 300), (32, 300)],
    "watermark": [(32, 1500)],
}
P99_TARGET = ("byContent", 8, 50.0)
QUERY_TEXTS = 200


def record_text(pool: list[str], i: int) -> tuple[list[str], str]:
    sentences_ = make_record(pool, random.Random(i))
    return sentences_, join(sentences_)


def record_extras(i: int) -> tuple[str, str, bytes]:
    rng = random.Random(-1 - i)
    return rng.randbytes(16).hex(), f"urn:uuid:{rng.randbytes(16).hex()}", rng.randbytes(256)


def build(location: str, pool: list[str], records: int) -> float:
    def items():
        for i in range(records):
            pointer, manifest_id, store = record_extras(i)
            yield f"rec-{i:06d}", record_text(pool, i)[1], pointer, None, manifest_id, store

    start = time.perf_counter()
    with Index(location) as index:
        index.add_many(items(), jobs=2, batch_size=1000)
    return time.perf_counter() - start


def ensure_wrk() -> str:
    found = shutil.which("wrk")
    if found:
        return found
    print("wrk is missing: installing Debian's wrk", file=sys.stderr)
    subprocess.run(["apt-get", "update", "-qq"], check=True)
    subprocess.run(["apt-get", "install", "-y", "-qq", "--no-install-recommends", "wrk"], check=True,
                   env={**os.environ, "DEBIAN_FRONTEND": "noninteractive"})
    found = shutil.which("wrk")
    if not found:
        sys.exit("wrk could not be installed")
    return found


def request_file(folder: Path, name: str, entries: list[tuple[str, str, bytes]]) -> Path:
    """The prepared requests of one workload: method, path and body, each
    entry ended by a NUL byte and a newline (the Lua script splits on them)."""
    path = folder / f"{name}.requests"
    with path.open("wb") as f:
        for method, target, body in entries:
            assert b"\0" not in body
            f.write(method.encode() + b"\n" + target.encode() + b"\n" + body + b"\0\n")
    return path


_RESULT = re.compile(r"^RESULT (.*)$", re.M)


def run_wrk(wrk: str, url: str, requests: Path, content_type: str, connections: int,
            duration: float) -> dict[str, Any]:
    command = [wrk, "-t1", f"-c{connections}", f"-d{duration:g}s", "--timeout", "10s",
               "-s", str(HERE / "service_bench.lua"), url, "--", str(requests), content_type]
    done = subprocess.run(command, capture_output=True, text=True, timeout=duration + 60)
    found = _RESULT.search(done.stdout)
    if done.returncode != 0 or not found:
        raise RuntimeError(f"wrk failed ({done.returncode}):\n{done.stdout}\n{done.stderr}")
    n, micros, p50, p99, connect, read, write, status, timeout = (float(x) for x in found.group(1).split())
    return {"connections": connections, "requests": int(n), "per_s": n / (micros / 1e6),
            "p50_ms": p50 / 1000, "p99_ms": p99 / 1000,
            "errors": int(connect + read + write + status + timeout), "non_2xx": int(status)}


def check_answers(url: str, samples: dict[str, list[tuple[str, str, bytes, str]]]) -> dict[str, float]:
    """Share of sampled requests of each workload whose expected manifest id
    comes first (or whose manifest store is returned)."""
    out = {}
    with httpx.Client(base_url=url, timeout=30) as client:
        for name, entries in samples.items():
            right = 0
            for method, target, body, expected in entries:
                headers = {"content-type": "text/plain; charset=utf-8"} if method == "POST" else {}
                response = client.request(method, target, content=body or None, headers=headers)
                if name == "manifest":
                    right += response.status_code == 200 and response.content == expected.encode("latin-1")
                else:
                    matches = response.json()["matches"] if response.status_code == 200 else []
                    right += bool(matches) and matches[0]["manifestId"] == expected
            out[name] = right / len(entries)
    return out


def scan_times(location: str, pool: list[str], count: int) -> dict[str, float]:
    from vessolin.index._scan import PrintScan

    out = {}
    probes = [vessolin.text_fingerprint(record_text(pool, i)[1]) for i in range(count)]
    for name, vectorised in (("numpy", True), ("python", False)):
        with Index(location) as index:
            index._prints = PrintScan(vectorised=vectorised)
            start = time.perf_counter()
            index.near(fingerprint=probes[0])
            out[f"{name}_load_s"] = time.perf_counter() - start
            runs = probes if vectorised else probes[:10]
            start = time.perf_counter()
            for probe in runs:
                assert index.near(fingerprint=probe)
            out[f"{name}_ms_per_scan"] = (time.perf_counter() - start) / len(runs) * 1e3
    # The scan alone (no database) over a million random prints, for how it scales.
    import numpy as np

    big = PrintScan(vectorised=True)
    rng = np.random.default_rng(1)
    n = 1_000_000
    big.rids = np.arange(1, n + 1, dtype=np.int64)
    big.columns = {name: [rng.integers(0, 2**64, n, dtype=np.uint64) for _ in range(4)]
                   for name in ("surface", "structure")}
    queries = [rng.integers(0, 2**64, 4, dtype=np.uint64).tobytes() for _ in range(20)]
    for label, both in (("1m_surface", False), ("1m_both", True)):
        start = time.perf_counter()
        for q in queries:
            big._scan_vectorised([(q, 32, "surface")] + ([(q, 24, "structure")] if both else []), 100)
        out[f"{label}_ms_per_scan"] = (time.perf_counter() - start) / len(queries) * 1e3
    return out


def cpu_line() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--records", type=int, default=100_000)
    parser.add_argument("--index", help="SQLite index to build once and reuse")
    parser.add_argument("--postgres", action="store_true", help="serve a throwaway PostgreSQL index instead")
    parser.add_argument("--duration", type=float, default=10.0, help="seconds of load per row (at most 60)")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--json", help="write the results to this file as JSON")
    args = parser.parse_args()
    args.duration = min(max(args.duration, 1.0), 60.0)
    wrk = ensure_wrk()
    pool = sentences()
    vocabulary = " ".join(pool[:2000]).split()
    results: dict[str, Any] = {"records": args.records, "workers": args.workers, "cpu": cpu_line(),
                               "kernels": os.uname().release, "client": "wrk -t1 (Debian), bench/service_bench.lua"}
    pg = None
    if args.postgres:
        from index_support import PostgresServer, postgres_bindir

        bindir = postgres_bindir()
        if bindir is None:
            sys.exit("PostgreSQL's initdb and pg_ctl are not installed")
        pg = PostgresServer(bindir).start(durable=True)
        location = pg.new_database()
    else:
        location = args.index or str(Path(tempfile.gettempdir()) / f"vessolin-service-bench-{args.records}.db")
    try:
        fresh = not args.postgres and Path(location).exists()
        if fresh:
            with Index(location) as index:
                fresh = len(index) == args.records
        if not fresh:
            if not args.postgres and Path(location).exists():
                for p in Path(location).parent.glob(Path(location).name + "*"):
                    p.unlink()
            print(f"building an index of {args.records} records in {location} ...", file=sys.stderr)
            results["build_s"] = build(location, pool, args.records)

        rng = random.Random(17)
        sources = rng.sample(range(args.records), QUERY_TEXTS)
        content, watermark, minhash, manifest = [], [], [], []
        for i in sources:
            sentences_, text = record_text(pool, i)
            pointer, manifest_id, store = record_extras(i)
            copy = edit(sentences_, 0.05, rng, vocabulary)
            copy = copy.encode("utf-8")[:4096].decode("utf-8", "ignore")
            content.append(("POST", "/matches/byContent", copy.encode("utf-8"), manifest_id))
            value = base64.b64encode(bytes.fromhex(pointer)).decode()
            watermark.append(("GET", "/matches/byBinding?" + urllib.parse.urlencode(
                {"alg": "com.tessaline.zwc-watermark.2", "value": value}), b"", manifest_id))
            signature = b"".join(v.to_bytes(8, "big") for v in vessolin.minhash_signature(copy))
            minhash.append(("GET", "/matches/byBinding?" + urllib.parse.urlencode(
                {"alg": "com.tessaline.text-minhash.1", "value": base64.b64encode(signature).decode()}), b"",
                manifest_id))
            manifest.append(("GET", "/manifests/" + urllib.parse.quote(manifest_id, safe=""), b"",
                             store.decode("latin-1")))
        workloads = {"byContent": content, "watermark": watermark, "minhash": minhash, "manifest": manifest}
        results["query_bytes_mean"] = sum(len(e[2]) for e in content) / len(content)

        results["scan"] = scan_times(location, pool, 50)
        with tempfile.TemporaryDirectory() as folder:
            key_file = Path(folder) / "key.hex"
            key_file.write_text(KEY)
            key_file.chmod(0o600)
            with Server(location, "--workers", str(args.workers), "--watermark-key-file", str(key_file)) as server:
                results["right_first"] = check_answers(server.url, {k: v[:50] for k, v in workloads.items()})
                rows: dict[str, list[dict[str, Any]]] = {}
                for name, entries in workloads.items():
                    requests = request_file(Path(folder), name, [e[:3] for e in entries])
                    run_wrk(wrk, server.url, requests, "text/plain; charset=utf-8", 8, 2)  # warm the workers
                    rows[name] = [run_wrk(wrk, server.url, requests, "text/plain; charset=utf-8", c, args.duration)
                                  for c in LEVELS]
                    for row in rows[name]:
                        print(f"{name:10} {row['connections']:3} conns {row['per_s']:8.0f} req/s  "
                              f"p50 {row['p50_ms']:7.2f} ms  p99 {row['p99_ms']:7.2f} ms  errors {row['errors']}",
                              file=sys.stderr)
                results["load"] = rows
                assert server.alive()
    finally:
        if pg is not None:
            pg.stop()

    checks = []
    for name, targets in TARGETS.items():
        for connections, floor in targets:
            row = next(r for r in results["load"][name] if r["connections"] == connections)
            checks.append((f"{name} at {connections} conns >= {floor} req/s", row["per_s"] >= floor))
    name, connections, ceiling = P99_TARGET
    row = next(r for r in results["load"][name] if r["connections"] == connections)
    checks.append((f"{name} p99 at {connections} conns <= {ceiling:g} ms", row["p99_ms"] <= ceiling))
    checks.append(("no errors at any level", all(r["errors"] == 0 for rs in results["load"].values() for r in rs)))
    results["targets"] = dict(checks)

    print(f"\nresolution service, {args.records} records, {'PostgreSQL' if args.postgres else 'SQLite'}, "
          f"{args.workers} workers; {results['cpu']}; load: {results['client']}, {args.duration:g} s a row")
    print("| workload | conns | requests/s | p50 ms | p99 ms | errors |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, rows_ in results["load"].items():
        for r in rows_:
            print(f"| {name} | {r['connections']} | {r['per_s']:.0f} | {r['p50_ms']:.2f} | {r['p99_ms']:.2f} "
                  f"| {r['errors']} |")
    print("right answer first (sample of 50 each):",
          ", ".join(f"{k} {v:.0%}" for k, v in results["right_first"].items()))
    scan = results["scan"]
    print(f"fingerprint scan of {args.records} records: numpy {scan['numpy_ms_per_scan']:.2f} ms "
          f"(first load {scan['numpy_load_s']:.2f} s), plain Python {scan['python_ms_per_scan']:.1f} ms; "
          f"1,000,000 random prints, scan alone: {scan['1m_surface_ms_per_scan']:.2f} ms surface, "
          f"{scan['1m_both_ms_per_scan']:.2f} ms both")
    for label, ok in checks:
        print(f"target: {label}: {'met' if ok else 'NOT met'}")
    if args.json:
        Path(args.json).write_text(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
