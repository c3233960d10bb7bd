#!/usr/bin/env python3
"""Benchmark of vessolin.index on 100,000 records built from the corpus.

    python bench/index_bench.py                      # everything, 100,000 records
    python bench/index_bench.py --records 20000 --queries 300
    python bench/index_bench.py --no-postgres --no-datasketch --json out.json

Records are 2-5 KB texts made of sentences drawn at random from the prose in
bench/data (English, German, Greek, Turkish, Persian, Hindi, and eight lipsum
scripts); a tenth of the sentences is held back for unrelated query texts.
Queries are edited copies of random records: one sentence removed, then 3%,
5% or 10% of the words replaced by random words of the corpus.

Reported: add_many throughput with 2 worker processes (SQLite and
PostgreSQL, fingerprints included), the in-process CPU cost of the values per
record, query latency percentiles (without the query text's own fingerprint
time, which is reported apart), storage per record, recall, the highest
share returned for unrelated texts, and datasketch's in-memory MinHashLSH
(128 permutations, threshold 0.5) on the same records side by side.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import random
import re
import resource
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Callable

HERE = Path(__file__).resolve().parent
DATA = HERE / "data"
sys.path.insert(0, str(HERE.parent / "tests"))  # the throwaway PostgreSQL server of the tests

import vessolin
from vessolin import _records
from vessolin.index import Fingerprints, Index, fingerprints

SOURCES = [
    "gutenberg/11-0.txt", "gutenberg/22367-0.txt",
    "wikipedia_mars/german.utf8.txt", "wikipedia_mars/greek.utf8.txt", "wikipedia_mars/turkish.utf8.txt",
    "wikipedia_mars/persan.utf8.txt", "wikipedia_mars/hindi.utf8.txt",
    *[f"lipsum/{name}-Lipsum.utf8.txt" for name in
      ("Latin", "Russian", "Chinese", "Arabic", "Hebrew", "Japanese", "Korean", "Hindi")],
]
_SPLIT = re.compile(r"(?<=[.!?;。！？])\s+|(?<=[。！？])|\n+")
RATES = (0.03, 0.05, 0.10)


# -- data -----------------------------------------------------------------


def sentences() -> list[str]:
    """The sentences of the prose files: pieces of at least 5 words (20
    characters for scripts without spaces), without URLs or table rows."""
    out = []
    for rel in SOURCES:
        for piece in _SPLIT.split((DATA / rel).read_text(encoding="utf-8")):
            piece = piece.strip()
            if ("http" in piece or "|" in piece or "](" in piece
                    or len(piece) < 20 or (len(piece.split()) < 5 and piece.isascii())):
                continue
            out.append(piece)
    return list(dict.fromkeys(out))


def make_record(pool: list[str], rng: random.Random) -> list[str]:
    """Random sentences up to 2-5 KB in UTF-8; returned as its sentence list."""
    target = rng.randint(2000, 5000)
    out: list[str] = []
    size = 0
    while size < target:
        s = rng.choice(pool)
        out.append(s)
        size += len(s.encode("utf-8")) + 1
    return out


def join(record: list[str]) -> str:
    # Paragraphs of five sentences, so the structural fingerprint sees some.
    return "\n\n".join(" ".join(record[i:i + 5]) for i in range(0, len(record), 5))


def edit(record: list[str], rate: float, rng: random.Random, vocabulary: list[str]) -> str:
    kept = list(record)
    if len(kept) > 1:
        del kept[rng.randrange(len(kept))]
    words = " ".join(kept).split()
    for i in rng.sample(range(len(words)), round(rate * len(words))):
        words[i] = rng.choice(vocabulary)
    return " ".join(words)


# -- measuring ------------------------------------------------------------


def rss_kb() -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def percentiles(ns: list[int]) -> dict[str, float]:
    ordered = sorted(ns)

    def at(q: float) -> float:
        return ordered[min(len(ordered) - 1, int(q * len(ordered)))] / 1e6

    return {"p50_ms": at(0.50), "p90_ms": at(0.90), "p99_ms": at(0.99), "max_ms": ordered[-1] / 1e6}


def values_cost(sample: list[str], rounds: int = 3) -> dict[str, float]:
    """CPU microseconds per record of the index's values, three ways."""
    def public(text: str) -> None:
        vessolin.content_hash(text)
        vessolin.text_fingerprint(text)
        vessolin.text_structure(text)
        vessolin.minhash_signature(text)
        vessolin.minhash_bands(text)

    ways = {
        "values_cpu_us": lambda: _records.values_many(sample),
        "public_cpu_us": lambda: [public(t) for t in sample],
        "fingerprints_cpu_us": lambda: [fingerprints(t) for t in sample],
    }
    best = dict.fromkeys(ways, float("inf"))
    for _ in range(rounds):
        for name, run in ways.items():
            t0 = time.process_time()
            run()
            best[name] = min(best[name], (time.process_time() - t0) / len(sample) * 1e6)
    return best


def server_cpu_s(postmaster: int) -> float:
    """CPU seconds of a PostgreSQL server so far: the postmaster with the
    backends it has reaped, and its live processes (the backends of open
    connections among them)."""
    tick = os.sysconf("SC_CLK_TCK")

    def fields(pid: int | str) -> list[str]:
        stat = Path(f"/proc/{pid}/stat").read_text()
        return stat[stat.rindex(")") + 2:].split()  # from the state field on

    total = sum(int(x) for x in fields(postmaster)[11:15])  # utime, stime, cutime, cstime
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                f = fields(entry.name)
            except (OSError, ValueError):
                continue
            if int(f[1]) == postmaster:
                total += int(f[11]) + int(f[12])
    return total / tick


def build(location: str, texts: list[str], jobs: int,
          server_cpu: Callable[[], float] | None = None) -> dict[str, float]:
    """Records per second, and the CPU time per record of this process (the
    writer) and of the worker processes, which a loaded machine inflates
    less than the elapsed time; with `server_cpu`, also that of the database
    server, read while the connection's backend is still alive."""
    with Index(location) as index:
        children = resource.getrusage(resource.RUSAGE_CHILDREN)
        server = server_cpu() if server_cpu else 0.0
        cpu = time.process_time()
        start = time.perf_counter()
        index.add_many(((f"rec-{i:06d}", t) for i, t in enumerate(texts)), jobs=jobs, batch_size=1000)
        elapsed = time.perf_counter() - start
        writer = time.process_time() - cpu
        after = resource.getrusage(resource.RUSAGE_CHILDREN)  # the workers have been joined
        server = server_cpu() - server if server_cpu else 0.0
        assert len(index) == len(texts)
    workers = (after.ru_utime + after.ru_stime) - (children.ru_utime + children.ru_stime)
    n = len(texts)
    out = {"per_s": n / elapsed, "writer_cpu_us": writer / n * 1e6, "workers_cpu_us": workers / n * 1e6}
    if server_cpu:
        out["server_cpu_us"] = server / n * 1e6
    return out


def run_queries(index: Index, queries: list[tuple[int, Fingerprints]]) -> dict[str, Any]:
    times: list[int] = []
    first = found = banded = 0
    for source, fp in queries:
        t0 = time.perf_counter_ns()
        matches = index.query(fp)
        times.append(time.perf_counter_ns() - t0)
        ids = [m.record_id for m in matches]
        want = f"rec-{source:06d}"
        first += bool(ids) and ids[0] == want
        found += want in ids
        banded += any(m.record_id == want and m.shared_bands > 0 for m in matches)
    n = len(queries)
    return {**percentiles(times), "recall_first": first / n, "recall_any": found / n, "band_hit": banded / n}


def unrelated(index: Index, queries: list[Fingerprints]) -> dict[str, Any]:
    times: list[int] = []
    best: list[float] = []
    for fp in queries:
        t0 = time.perf_counter_ns()
        matches = index.query(fp)
        times.append(time.perf_counter_ns() - t0)
        best.append(max((m.share for m in matches), default=0.0))
    return {**percentiles(times), "max_share": max(best), "above_0_3": sum(b > 0.3 for b in best),
            "with_candidates": sum(b > 0 for b in best)}


def sqlite_size(path: Path) -> int:
    with Index(str(path)):
        pass  # the last connection to close checkpoints the WAL into the file
    return sum(p.stat().st_size for p in path.parent.glob(path.name + "*"))


def datasketch_side(signatures: list[list[int]], queries: dict[float, list[tuple[int, list[int]]]],
                    sample_texts: list[str]) -> dict[str, Any]:
    from datasketch import MinHash, MinHashLSH

    from bench import datasketch_minhash, py_word_shingles

    out: dict[str, Any] = {}
    # datasketch's own MinHash per record (Python canonical stream and shingles included).
    run = datasketch_minhash()
    t0 = time.perf_counter()
    for text in sample_texts:
        run(py_word_shingles(text))
    out["minhash_us_per_record"] = (time.perf_counter() - t0) / len(sample_texts) * 1e6

    # The LSH index itself, fed with vessolin's signatures (any 128 values serve).
    gc.collect()
    before = rss_kb()
    lsh = MinHashLSH(threshold=0.5, num_perm=128)
    t0 = time.perf_counter()
    for i, sig in enumerate(signatures):
        lsh.insert(f"rec-{i:06d}", MinHash(num_perm=128, hashvalues=sig, scheme="affine64"),
                   check_duplication=False)
    out["insert_per_s"] = len(signatures) / (time.perf_counter() - t0)
    gc.collect()
    out["memory_bytes_per_record"] = (rss_kb() - before) * 1024 / len(signatures)
    out["bands_rows"] = [lsh.b, lsh.r]
    for rate, items in queries.items():
        times, found = [], 0
        for source, sig in items:
            m = MinHash(num_perm=128, hashvalues=sig, scheme="affine64")
            t0 = time.perf_counter_ns()
            result = lsh.query(m)
            times.append(time.perf_counter_ns() - t0)
            found += f"rec-{source:06d}" in result
        out[f"query_{rate}"] = {**percentiles(times), "recall_any": found / len(items)}
    return out


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--records", type=int, default=100_000)
    ap.add_argument("--queries", type=int, default=1000, help="queries per edit rate")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--builds", type=int, default=2, help="SQLite builds to time (spread)")
    ap.add_argument("--no-postgres", action="store_true")
    ap.add_argument("--no-datasketch", action="store_true")
    ap.add_argument("--json", type=Path)
    args = ap.parse_args(argv)

    rng = random.Random(20251210)
    pool = sentences()
    rng.shuffle(pool)
    held_out = len(pool) // 10
    unrelated_pool, pool = pool[:held_out], pool[held_out:]
    vocabulary = " ".join(pool).split()
    records = [make_record(pool, rng) for _ in range(args.records)]
    texts = [join(r) for r in records]
    total_bytes = sum(len(t.encode("utf-8")) for t in texts)
    result: dict[str, Any] = {
        "records": len(texts), "mean_record_bytes": total_bytes / len(texts), "sentences": len(pool),
        "cpus": os.cpu_count(), "jobs": args.jobs,
    }
    print(f"{len(texts):,} records, {total_bytes / len(texts):,.0f} bytes on average, "
          f"from {len(pool):,} sentences ({held_out:,} held back)")

    # The values of one record, computed in this process: the floor of
    # add_many. Process CPU time, the least of three interleaved rounds: the
    # package's one-pass helper (what the workers run), the five public
    # functions it replaces, and `fingerprints` (the helper plus the checked
    # Python record that `add` and `query` accept).
    sample = texts[:2000]
    costs = values_cost(sample)
    result.update(costs)
    print(f"values of one record in-process, CPU: {costs['values_cpu_us']:.0f} us in one pass "
          f"(five public calls: {costs['public_cpu_us']:.0f} us, {costs['public_cpu_us'] / costs['values_cpu_us']:.2f}x; "
          f"fingerprints(): {costs['fingerprints_cpu_us']:.0f} us), so {args.jobs} busy cores compute at most "
          f"{args.jobs * 1e6 / costs['values_cpu_us']:,.0f} records/s")

    queries: dict[float, list[tuple[int, str]]] = {
        rate: [(i, edit(records[i], rate, rng, vocabulary)) for i in rng.sample(range(len(records)), args.queries)]
        for rate in RATES}
    t0 = time.perf_counter_ns()
    query_values = {rate: [(i, fingerprints(q)) for i, q in items] for rate, items in queries.items()}
    n_queries = sum(len(v) for v in queries.values())
    result["query_fingerprint_ms"] = (time.perf_counter_ns() - t0) / n_queries / 1e6
    unrelated_values = [fingerprints(join(make_record(unrelated_pool, rng))) for _ in range(args.queries)]

    folder = Path(tempfile.mkdtemp(prefix="vessolin-index-bench-"))
    builds = []
    for b in range(args.builds):
        path = folder / f"build{b}.db"
        builds.append(r := build(str(path), texts, args.jobs))
        print(f"SQLite add_many, {args.jobs} workers: {r['per_s']:,.0f} records/s; CPU per record: writer "
              f"{r['writer_cpu_us']:.0f} us, workers {r['workers_cpu_us']:.0f} us, so "
              f"{args.jobs * 1e6 / (r['writer_cpu_us'] + r['workers_cpu_us']):,.0f} records/s on {args.jobs} "
              "idle cores")
    result["sqlite_add"] = builds
    path = folder / f"build{args.builds - 1}.db"
    size = sqlite_size(path)
    result["sqlite_bytes_per_record"] = size / len(texts)
    print(f"SQLite file: {size / 2**20:,.1f} MiB, {size / len(texts):,.0f} bytes per record")

    with Index(str(path)) as index:
        for fp in unrelated_values[:50]:  # warm the page cache and the statement cache
            index.query(fp)
        for rate, items in query_values.items():
            result[f"sqlite_query_{rate}"] = r = run_queries(index, items)
            print(f"SQLite query, {rate:.0%} edits: p50 {r['p50_ms']:.2f} ms, p99 {r['p99_ms']:.2f} ms; "
                  f"source first {r['recall_first']:.2%}, among results {r['recall_any']:.2%}, "
                  f"sharing a band {r['band_hit']:.2%}")
        result["sqlite_unrelated"] = r = unrelated(index, unrelated_values)
        print(f"SQLite query, unrelated texts: p50 {r['p50_ms']:.2f} ms; highest share {r['max_share']:.3f}, "
              f"{r['above_0_3']} above 0.3, {r['with_candidates']} with any candidate")
    print(f"query text's own fingerprints: {result['query_fingerprint_ms']:.2f} ms per query")
    for p in folder.iterdir():
        p.unlink()
    folder.rmdir()

    if not args.no_postgres:
        from index_support import PostgresServer, postgres_bindir

        bindir = postgres_bindir()
        if bindir is None:
            print("PostgreSQL: skipped, initdb/pg_ctl not found")
        else:
            server = PostgresServer(bindir).start(durable=True)
            try:
                url = server.new_database()
                postmaster = int((server.data / "postmaster.pid").read_text().split()[0])
                result["postgres_add"] = r = build(url, texts, args.jobs, lambda: server_cpu_s(postmaster))
                print(f"PostgreSQL add_many, {args.jobs} workers: {r['per_s']:,.0f} records/s; CPU per record: "
                      f"writer {r['writer_cpu_us']:.0f} us, workers {r['workers_cpu_us']:.0f} us, server "
                      f"{r['server_cpu_us']:.0f} us, so {args.jobs * 1e6 / (r['writer_cpu_us'] + r['workers_cpu_us'] + r['server_cpu_us']):,.0f} "
                      f"records/s on {args.jobs} idle cores")
                import psycopg

                with psycopg.connect(url) as conn:
                    (size,) = conn.execute(
                        "SELECT sum(pg_total_relation_size(c)) FROM unnest(ARRAY['vessolin_records', "
                        "'vessolin_bands', 'vessolin_meta']::regclass[]) AS c").fetchone()
                result["postgres_bytes_per_record"] = int(size) / len(texts)
                with Index(url) as index:
                    for fp in unrelated_values[:50]:
                        index.query(fp)
                    result["postgres_query_0.03"] = r = run_queries(index, query_values[0.03])
                print(f"PostgreSQL: {int(size) / len(texts):,.0f} bytes per record; query, 3% edits: "
                      f"p50 {r['p50_ms']:.2f} ms, p99 {r['p99_ms']:.2f} ms, source first {r['recall_first']:.2%}")
            finally:
                server.stop()

    if not args.no_datasketch:
        try:
            import datasketch  # noqa: F401
        except ImportError:
            print("datasketch: skipped, not installed (pip install '.[bench]')")
        else:
            signatures = [vessolin.minhash_signature(t) for t in texts]
            ds_queries = {rate: [(i, list(fp.signature)) for i, fp in items] for rate, items in query_values.items()}
            result["datasketch"] = d = datasketch_side(signatures, ds_queries, texts[:500])
            print(f"datasketch MinHashLSH (b={d['bands_rows'][0]}, r={d['bands_rows'][1]}): insert "
                  f"{d['insert_per_s']:,.0f} records/s given the signatures; its own MinHash "
                  f"{d['minhash_us_per_record']:,.0f} us per record; {d['memory_bytes_per_record']:,.0f} bytes "
                  "of memory per record")
            for rate in RATES:
                q = d[f"query_{rate}"]
                print(f"datasketch query, {rate:.0%} edits: p50 {q['p50_ms']:.3f} ms, p99 {q['p99_ms']:.3f} ms, "
                      f"source among candidates {q['recall_any']:.2%}")

    if args.json:
        args.json.write_text(json.dumps(result, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
