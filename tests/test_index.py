"""vessolin.index on SQLite and on a throwaway PostgreSQL server."""

from __future__ import annotations

import os
import random
import signal
import sqlite3
import subprocess
import sys
import time
from concurrent.futures.process import BrokenProcessPool
from pathlib import Path

import pytest
import vessolin
from index_support import chunks, edited
from vessolin.index import (
    DuplicateRecordError,
    Fingerprints,
    IncompatibleIndexError,
    Index,
    IndexBusyError,
    IndexUnavailableError,
    NewerSchemaError,
    fingerprints,
    to_signed64,
    to_unsigned64,
)

CORPUS = Path(__file__).parent / "data" / "corpus" / "gutenberg"


@pytest.fixture(scope="session")
def english() -> str:
    return (CORPUS / "11-0.txt").read_text(encoding="utf-8")


@pytest.fixture(scope="session")
def english_chunks(english) -> list[str]:
    return chunks(english, random.Random(11))


@pytest.fixture(params=["sqlite", "postgresql"])
def location(request, tmp_path) -> str:
    if request.param == "sqlite":
        return str(tmp_path / "index.db")
    return request.getfixturevalue("postgres").new_database()


def raw(location: str, *statements: str) -> list[list[tuple]]:
    """Run SQL on the index's database behind its back; the rows of each statement."""
    out = []
    if location.startswith("postgresql://"):
        import psycopg

        with psycopg.connect(location, autocommit=True) as conn:
            for statement in statements:
                cur = conn.execute(statement)
                out.append(cur.fetchall() if cur.description else [])
    else:
        conn = sqlite3.connect(location, isolation_level=None)
        try:
            for statement in statements:
                out.append(conn.execute(statement).fetchall())
        finally:
            conn.close()
    return out


def band_rows(location: str) -> str:
    """All band rows of the index, as an SQL table expression."""
    if location.startswith("postgresql://"):
        return "vessolin_bands"
    return "(SELECT * FROM vessolin_bands UNION ALL SELECT * FROM vessolin_bands_recent)"


def assert_consistent(location: str) -> None:
    """Every band row belongs to a record, and every record has exactly its
    distinct band keys as band rows."""
    bands = band_rows(location)
    orphans, records = raw(
        location,
        f"SELECT count(*) FROM {bands} b WHERE NOT EXISTS "
        "(SELECT 1 FROM vessolin_records r WHERE r.rid = b.rid)",
        "SELECT record_id FROM vessolin_records")
    assert orphans == [(0,)]
    (rows,) = raw(location, f"SELECT count(*) FROM {bands} b")
    with Index(location) as index:
        expected = sum(len(index.get(record_id).bands) for (record_id,) in records)
    assert rows == [(expected,)]
    if not location.startswith("postgresql://"):
        assert raw(location, "PRAGMA integrity_check")[0] == [("ok",)]


# -- the main paths --------------------------------------------------------


def test_round_trip(location, english_chunks):
    source, other, third = english_chunks[3], english_chunks[10], english_chunks[20]
    with Index(location) as index:
        index.add("doc-1", source, pointer="ab" * 16, manifest="https://example.org/m/1")
        assert index.add_many([("doc-2", other, None, "urn:2"), ("doc-3", third)]) == 2
        assert len(index) == 3 and "doc-2" in index and "doc-9" not in index

        record = index.get("doc-1")
        assert record.content_hash == vessolin.content_hash(source)
        assert record.fingerprint == vessolin.text_fingerprint(source)
        assert record.structure == vessolin.text_structure(source)
        assert list(record.signature) == vessolin.minhash_signature(source)
        assert list(record.bands) == list(dict.fromkeys(vessolin.minhash_bands(source)))
        assert (record.pointer, record.manifest) == ("ab" * 16, "https://example.org/m/1")
        assert index.get("doc-9") is None

        # The same text with zero-width marks is an exact match; an edited
        # copy finds its source first with every field filled in.
        (exact, *_) = index.query(source.replace(" ", " \u200b", 5))
        assert (exact.record_id, exact.exact, exact.share, exact.shared_bands) == ("doc-1", True, 1.0, 32)
        assert (exact.surface_distance, exact.structure_distance) == (0, 0)
        copy = edited(source, 0.03, random.Random(1), english_chunks[0].split())
        best = index.query(copy)[0]
        assert best.record_id == "doc-1" and not best.exact
        assert best.share == sum(
            a == b for a, b in zip(vessolin.minhash_signature(copy), record.signature)) / 128
        assert best.surface_distance == vessolin.hamming_hex(vessolin.text_fingerprint(copy), record.fingerprint)
        assert best.structure_distance == vessolin.hamming_hex(vessolin.text_structure(copy), record.structure)
        assert 0 < best.shared_bands < 32 and best.manifest == "https://example.org/m/1"
        assert index.query(fingerprints(copy)) == index.query(copy)
        assert index.query(copy, min_share=0.99) == []

        with pytest.raises(DuplicateRecordError, match="doc-1"):
            index.add("doc-1", other)
        index.add("doc-1", other, pointer="cd" * 16, replace=True)
        assert index.get("doc-1").content_hash == vessolin.content_hash(other)
        assert [m.record_id for m in index.query(source)] == []
        assert {m.record_id for m in index.query(other)} == {"doc-1", "doc-2"}

        assert index.remove("doc-2") is True and index.remove("doc-2") is False
        assert [m.record_id for m in index.query(other)] == ["doc-1"]
        assert len(index) == 2
    assert_consistent(location)

    with Index(location) as reopened:
        assert len(reopened) == 2 and reopened.get("doc-1").pointer == "cd" * 16
    with pytest.raises(Exception, match="closed"):
        len(reopened)


def test_worker_processes_store_what_one_process_stores(tmp_path, english_chunks):
    # Texts and precomputed values mixed, batches that do not divide evenly
    # among the workers, and one text too short for more than one shingle.
    texts = [*english_chunks[30:37], "", "too short"]
    items = [(f"r{i}", fingerprints(t) if i % 3 == 0 else t) for i, t in enumerate(texts)]
    stored = {}
    for jobs in (1, 2):
        with Index(str(tmp_path / f"jobs{jobs}.db")) as index:
            assert index.add_many(items, jobs=jobs, batch_size=4) == len(items)
            stored[jobs] = [index.get(record_id) for record_id, _ in items]
    assert stored[1] == stored[2]
    for record, text in zip(stored[2], texts):
        assert (record.content_hash, record.fingerprint, record.structure, list(record.signature)) == (
            vessolin.content_hash(text), vessolin.text_fingerprint(text), vessolin.text_structure(text),
            vessolin.minhash_signature(text))
        assert list(record.bands) == list(dict.fromkeys(vessolin.minhash_bands(text)))


def test_ranking_and_limits(english_chunks):
    base = english_chunks[5]
    rng = random.Random(5)
    vocabulary = english_chunks[1].split()
    with Index(":memory:") as index:
        # Ever heavier edits of one text: the lighter the edit, the higher the rank.
        index.add_many((f"edit-{rate}", edited(base, rate, rng, vocabulary)) for rate in (0.2, 0.0, 0.05, 0.1))
        index.add("twin-b", base)
        index.add("twin-a", base)
        matches = index.query(base, limit=4)
        assert [m.record_id for m in matches][:2] == ["twin-a", "twin-b"]  # ties broken by id
        assert [m.share for m in matches] == sorted((m.share for m in matches), reverse=True)
        assert len(matches) == 4
        assert {m.record_id for m in index.query(base, max_candidates=1)} <= {"twin-a", "twin-b"}


def test_band_key_mapping(tmp_path, english_chunks):
    table = [(0, 0), (2**63 - 1, 2**63 - 1), (2**63, -(2**63)), (2**64 - 1, -1)]
    for unsigned, signed in table:
        assert to_signed64(unsigned) == signed and to_unsigned64(signed) == unsigned
    for bad in (-1, 2**64):
        with pytest.raises(ValueError):
            to_signed64(bad)
    with pytest.raises(ValueError):
        to_unsigned64(2**63)

    # The stored column holds exactly the mapped keys, and keys at both ends
    # of the range go through a lookup.
    path = str(tmp_path / "keys.db")
    text = english_chunks[7]
    with Index(path) as index:
        index.add("doc", text)
        probe = fingerprints(text)
        extremes = Fingerprints(probe.content_hash, probe.fingerprint, probe.structure, probe.signature,
                                (0, 2**63 - 1, 2**63, 2**64 - 1, *probe.bands[4:]))
        assert index.query(extremes)[0].shared_bands == 28
    (stored,) = raw(path, f"SELECT key FROM {band_rows(path)} b")
    keys = vessolin.minhash_bands(text)
    assert sorted(k for (k,) in stored) == sorted(to_signed64(k) for k in set(keys))
    assert any(k >= 2**63 for k in keys) and any(k < 2**63 for k in keys)


def test_sqlite_recent_bands_merge(tmp_path, english_chunks, monkeypatch):
    """New band rows go to a small table that is merged into the main one;
    lookups, removal and replacement see both."""
    import vessolin.index._sqlite as store

    monkeypatch.setattr(store, "RECENT_BAND_ROWS", 100)  # a merge every fourth record
    path = str(tmp_path / "merge.db")
    with Index(path) as index:
        index.add_many(((f"r{i}", english_chunks[i]) for i in range(10)), batch_size=1)
        (main,), (recent,) = raw(path, "SELECT count(*) FROM vessolin_bands",
                                 "SELECT count(*) FROM vessolin_bands_recent")
        assert main[0] >= 256 and 0 < recent[0] < 100
        index.remove("r0")  # its bands are in the main table
        index.add("r9", english_chunks[20], replace=True)  # its old bands are in the recent table
        for i in range(1, 9):
            assert index.query(english_chunks[i])[0].record_id == f"r{i}"
        assert [m.record_id for m in index.query(english_chunks[9])] == []
        assert index.query(english_chunks[20])[0].record_id == "r9"
    assert_consistent(path)


# -- what users rely on ----------------------------------------------------


class _KillsItsWorker(str):
    """A text that ends the worker process that unpickles it."""

    def __reduce__(self):
        return (os._exit, (3,))


@pytest.mark.parametrize("failure", ["bad text", "duplicate id", "worker dies"])
def test_failing_batch_is_rolled_back(location, english_chunks, failure):
    items = [(f"r{i}", english_chunks[i]) for i in range(12)]
    jobs = 1
    if failure == "bad text":
        items[7] = ("r7", 7)
        expected = TypeError
    elif failure == "duplicate id":
        items[8] = ("r2", english_chunks[30])
        expected = DuplicateRecordError
    else:
        items[7] = ("r7", _KillsItsWorker("boom"))
        expected, jobs = BrokenProcessPool, 2
    with Index(location) as index:
        with pytest.raises(expected) as caught:
            index.add_many(items, batch_size=3, jobs=jobs)
        stored = len(index)
        # Whole batches only, and nothing of the failing one (r6 to r8).
        assert stored % 3 == 0 and stored <= 6
        assert all(f"r{i}" not in index for i in range(6, 12))
        assert f"after committing {stored} records" in "".join(caught.value.__notes__)
        index.add("after", english_chunks[40])
    assert_consistent(location)


_WRITER = """
import itertools, sys
from vessolin.index import Index
text = open(sys.argv[2], encoding="utf-8").read()
items = ((f"r{i}", text[i * 41 % 100000:][:3000]) for i in itertools.count())
with Index(sys.argv[1]) as index:
    index.add_many(items, batch_size=25, jobs=int(sys.argv[3]), progress=lambda n: print(n, flush=True))
"""


def _group_alive(pgid: int) -> bool:
    try:
        os.killpg(pgid, 0)
    except ProcessLookupError:
        return False
    return True


@pytest.mark.parametrize("jobs", [1, 2])
def test_killed_writer_leaves_last_committed_batch(location, english_chunks, jobs):
    rng = random.Random(jobs)
    child = subprocess.Popen(
        [sys.executable, "-c", _WRITER, location, str(CORPUS / "11-0.txt"), str(jobs)],
        stdout=subprocess.PIPE, text=True, start_new_session=True)
    try:
        reported = 0
        while reported < 75:
            line = child.stdout.readline()
            assert line, "the writer stopped before committing three batches"
            reported = int(line)
        time.sleep(rng.uniform(0, 0.05))  # usually in the middle of a batch
        child.kill()
        child.wait()
        # Its worker processes (in the same new session) leave by themselves.
        deadline = time.monotonic() + 10
        while _group_alive(child.pid) and time.monotonic() < deadline:
            time.sleep(0.1)
        assert not _group_alive(child.pid), "add_many workers outlived their killed writer"
    finally:
        if _group_alive(child.pid):
            os.killpg(child.pid, signal.SIGKILL)
        child.wait()
        child.stdout.close()

    assert_consistent(location)
    with Index(location) as index:
        stored = len(index)
        assert stored % 25 == 0 and stored >= 75
        assert "r0" in index and f"r{stored}" not in index
        index.add("after", english_chunks[2])
        assert index.query(english_chunks[2])[0].record_id == "after"


@pytest.mark.parametrize("backend", ["sqlite", "postgresql"])
def test_busy_writer_gets_clear_error(backend, request, tmp_path, english_chunks):
    if backend == "sqlite":
        location = str(tmp_path / "busy.db")
        Index(location).close()
        holder = sqlite3.connect(location, isolation_level=None)
        holder.execute("BEGIN IMMEDIATE")
    else:
        import psycopg

        location = request.getfixturevalue("postgres").new_database()
        Index(location).close()
        holder = psycopg.connect(location)
        holder.execute("LOCK TABLE vessolin_records IN EXCLUSIVE MODE")
    try:
        with Index(location, timeout=0.3) as index:
            with pytest.raises(IndexBusyError):
                index.add("doc", english_chunks[0])
            # Readers are not held up by the writer.
            assert len(index) == 0 and index.query(english_chunks[0]) == []
            holder.rollback()
            index.add("doc", english_chunks[0])
            assert len(index) == 1
    finally:
        holder.close()


def test_newer_schema_is_refused(location):
    Index(location).close()
    raw(location, "UPDATE vessolin_meta SET value = '3' WHERE name = 'schema_version'")
    with pytest.raises(NewerSchemaError, match="schema version 3, newer than the version 2"):
        Index(location)


@pytest.mark.parametrize("content", ["garbage", "foreign"])
def test_foreign_or_corrupt_file_is_refused(tmp_path, content):
    path = tmp_path / "other.db"
    if content == "garbage":
        path.write_bytes(bytes(range(256)) * 64)
        message = "not an SQLite database"
    else:
        raw(str(path), "CREATE TABLE notes (body TEXT)")
        message = "another application .tables: notes"
    before = path.read_bytes()
    with pytest.raises(IncompatibleIndexError, match=message):
        Index(path)
    assert path.read_bytes() == before  # nothing written into someone else's file


def test_unreachable_database(tmp_path, psycopg_available):
    with pytest.raises(IndexUnavailableError, match="cannot connect"):
        Index(f"postgresql://postgres@/x?host={tmp_path}", timeout=1)
    with pytest.raises(IndexUnavailableError, match="cannot open"):
        Index(tmp_path / "no" / "such" / "folder.db")


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda ix: ix.add(1, "text"), TypeError),
        (lambda ix: ix.add("id", b"text"), TypeError),
        (lambda ix: ix.add("id", None), TypeError),
        (lambda ix: ix.add("", "text"), ValueError),
        (lambda ix: ix.add("a\0b", "text"), ValueError),
        (lambda ix: ix.add("x" * 1025, "text"), ValueError),
        (lambda ix: ix.add("id", "text", pointer=b"\x00" * 16), TypeError),
        (lambda ix: ix.add("id", "\ud800"), UnicodeEncodeError),
        (lambda ix: ix.add("\ud800", "text"), UnicodeEncodeError),
        (lambda ix: ix.add_many([("id",)]), TypeError),
        (lambda ix: ix.add_many(["id"]), TypeError),
        (lambda ix: ix.add_many([("ok", "text"), ("\udc80", "text")]), UnicodeEncodeError),
        (lambda ix: ix.add_many([("ok", "text"), ("bad", "\udc80")], jobs=2), UnicodeEncodeError),
        (lambda ix: ix.add_many([("id", "t")], jobs=0), ValueError),
        (lambda ix: ix.query(b"text"), TypeError),
        (lambda ix: ix.query("text", limit=0), ValueError),
        (lambda ix: ix.query("text", min_share=2), ValueError),
        (lambda ix: ix.get(7), TypeError),
        # Values made by hand are checked: lengths, ranges, agreement of bands and signature.
        (lambda ix: ix.query(Fingerprints("00" * 32, "00" * 32, "00" * 31, (0,) * 128, (0,) * 32)), ValueError),
        (lambda ix: ix.query(Fingerprints("00" * 32, "00" * 32, "00" * 32, (2**61,) * 128, (0,) * 32)), ValueError),
        (lambda ix: ix.add("id", Fingerprints("00" * 32, "00" * 32, "00" * 32, (0,) * 128, (0,) * 32)), ValueError),
    ],
)
def test_bad_input_is_refused(call, error):
    with Index(":memory:") as index:
        with pytest.raises(error):
            call(index)
        assert len(index) == 0


def test_recall_on_edited_copies(english, english_chunks):
    """Edited copies (3% of words changed, a sentence removed) find their
    source first; unrelated text finds nothing similar."""
    rng = random.Random(2024)
    vocabulary = english.split()
    with Index(":memory:") as index:
        index.add_many((f"alice-{i}", chunk) for i, chunk in enumerate(english_chunks))
        sample = rng.sample(range(len(english_chunks)), 40)
        found = sum(index.query(edited(english_chunks[i], 0.03, rng, vocabulary), limit=1)[0].record_id
                    == f"alice-{i}" for i in sample)
        assert found == len(sample)
        german = chunks((CORPUS / "22367-0.txt").read_text(encoding="utf-8"), random.Random(3))
        for text in german[:10]:
            assert all(m.share <= 0.3 for m in index.query(text))


# -- the lookups of the resolution service ----------------------------------


def test_manifests_pointers_and_nearby_prints(location, english_chunks):
    a, b, c = english_chunks[3], english_chunks[10], english_chunks[20]
    copy = edited(a, 0.03, random.Random(4), english_chunks[0].split())
    with Index(location) as index:
        index.add("a", a, pointer=" ABCD ", manifest_id="urn:m:a", manifest_store=b"\x00store-a")
        index.add_many([("b", b, "00" * 15 + "01", None, "urn:m:shared", b"store-b"),
                        ("c", c, None, "https://example.org/c", "urn:m:shared")])
        assert index.get("a").manifest_id == "urn:m:a" and index.get("a").manifest_stored
        assert index.manifest_store("urn:m:a") == b"\x00store-a"
        assert index.manifest_store("urn:m:none") is None
        assert [r.record_id for r in index.by_manifest_id("urn:m:shared")] == ["b", "c"]
        assert all(r.manifest_stored for r in index.by_manifest_id("urn:m:shared"))

        # Pointers are compared as the 16 bytes a watermark gives back.
        for probe in ("abcd" + "00" * 14, "AbCd", bytes.fromhex("abcd").ljust(16, b"\0"), b"\xab\xcd"):
            assert [r.record_id for r in index.by_pointer(probe)] == ["a"], probe
        for probe in ("abcd01", "zz", "", "00" * 17, b""):
            assert index.by_pointer(probe) == [], probe
        assert [r.record_id for r in index.by_pointer("00" * 15 + "01")] == ["b"]

        # Prints within the radii, nearest first; the scan's copy follows
        # records added and removed after its first use.
        fp, st = vessolin.text_fingerprint(copy), vessolin.text_structure(copy)
        assert vessolin.hamming_hex(fp, index.get("a").fingerprint) <= 32
        assert [r.record_id for r in index.near(fingerprint=fp)] == ["a"]
        assert [r.record_id for r in index.near(structure=vessolin.text_structure(b))][0] == "b"
        assert index.near(fingerprint=fp, surface_limit=0) == []
        index.add("a-copy", copy)
        assert [r.record_id for r in index.near(fingerprint=fp)] == ["a-copy", "a"]
        index.remove("a-copy")
        assert [r.record_id for r in index.near(fingerprint=fp)] == ["a"]
        from vessolin.index._scan import PrintScan
        plain = Index.__new__(Index)
        plain._backend, plain._prints = index._backend, PrintScan(vectorised=False)
        for kwargs in ({"fingerprint": fp}, {"structure": st}, {"fingerprint": fp, "structure": st}):
            assert plain.near(**kwargs) == index.near(**kwargs)

        # MinHash candidates by band keys of a bare signature.
        assert index.by_signature(vessolin.minhash_signature(copy))[0].record_id == "a"

        # A store lives as long as a record names its id.
        index.remove("b")
        assert index.manifest_store("urn:m:shared") == b"store-b"
        index.add("c", c, manifest_id="urn:m:c", replace=True)
        assert index.manifest_store("urn:m:shared") is None
        assert not index.get("c").manifest_stored

        for call, error in [(lambda: index.add("x", a, manifest_store=b"s"), ValueError),
                            (lambda: index.add("x", a, manifest_id="m", manifest_store="s"), TypeError),
                            (lambda: index.add("x", a, manifest_id=""), ValueError),
                            (lambda: index.near(), TypeError),
                            (lambda: index.near(fingerprint="00"), ValueError),
                            (lambda: index.by_signature([2**61] * 128), ValueError),
                            (lambda: index.by_pointer(16), TypeError)]:
            with pytest.raises(error):
                call()
    assert_consistent(location)


# The tables of schema version 1 in PostgreSQL, as the first release made them.
_PG_VERSION_1 = (
    "CREATE TABLE vessolin_meta (name text PRIMARY KEY, value text NOT NULL)",
    "CREATE SEQUENCE vessolin_records_rid_seq",
    """CREATE TABLE vessolin_records (rid bigint PRIMARY KEY, record_id text NOT NULL UNIQUE,
        content_hash bytea NOT NULL, surface bytea NOT NULL, structure bytea NOT NULL,
        signature bytea NOT NULL, pointer text, manifest text)""",
    "CREATE INDEX vessolin_records_content_hash ON vessolin_records (content_hash)",
    "CREATE TABLE vessolin_bands (key bigint NOT NULL, rid bigint NOT NULL, PRIMARY KEY (key, rid))",
)


def test_index_of_version_1_is_migrated(location, tmp_path, english_chunks):
    """tests/data/index/v1.db was written by the first release: alice-3 with
    pointer " ABCD0102 ", alice-10 with 0f * 16, alice-20 without one."""
    old = Path(__file__).parent / "data" / "index" / "v1.db"
    if location.startswith("postgresql://"):
        import psycopg

        source = sqlite3.connect(old)
        with psycopg.connect(location, autocommit=True) as conn:
            for statement in _PG_VERSION_1:
                conn.execute(statement)
            for table, width in (("vessolin_meta", 2), ("vessolin_records", 8), ("vessolin_bands", 2)):
                rows = source.execute(f"SELECT * FROM {table}").fetchall()
                if table == "vessolin_bands":
                    rows += source.execute("SELECT * FROM vessolin_bands_recent").fetchall()
                marks = ", ".join(["%s"] * width)
                conn.cursor().executemany(f"INSERT INTO {table} VALUES ({marks})", rows)
            conn.execute("SELECT setval('vessolin_records_rid_seq', 3)")
            conn.execute("DELETE FROM vessolin_meta WHERE name = 'recent_band_rows'")
        source.close()
    else:
        Path(location).write_bytes(old.read_bytes())
    with Index(location) as index:
        assert len(index) == 3
        assert [r.record_id for r in index.by_pointer("abcd0102")] == ["alice-3"]
        assert [r.record_id for r in index.by_pointer("0f" * 16)] == ["alice-10"]
        assert index.get("alice-20").manifest == "urn:m:20" and index.get("alice-20").manifest_id is None
        assert index.query(english_chunks[10])[0].record_id == "alice-10"
        index.add("new", english_chunks[30], manifest_id="urn:new", manifest_store=b"s")
        assert index.manifest_store("urn:new") == b"s"
        assert [r.record_id for r in index.near(fingerprint=vessolin.text_fingerprint(english_chunks[3]))] == [
            "alice-3"]
    (version,) = raw(location, "SELECT value FROM vessolin_meta WHERE name = 'schema_version'")
    assert version == [("2",)]
    with Index(location) as again:  # opening a migrated index changes nothing
        assert len(again) == 4
    assert_consistent(location)


def test_print_scan_agrees_with_plain_python(english_chunks):
    """The vectorised scan (both of its paths: few records left in reach
    after the first half of the words, or many) finds what a plain loop
    over every record finds, in the same order."""
    from vessolin.index._scan import PrintScan

    rng = random.Random(8)
    vocabulary = english_chunks[0].split()
    with Index(":memory:") as index:
        index.add_many((f"r{i}", text) for i, text in enumerate(english_chunks[:40]))
        index.add_many((f"e{i}", edited(english_chunks[i], 0.05, rng, vocabulary)) for i in range(0, 40, 6))
        plain = Index.__new__(Index)
        plain._backend, plain._prints = index._backend, PrintScan(vectorised=False)
        for i in range(0, 40, 4):
            copy = edited(english_chunks[i], 0.03, rng, vocabulary)
            fp, st = vessolin.text_fingerprint(copy), vessolin.text_structure(copy)
            for kwargs in ({"fingerprint": fp}, {"structure": st}, {"fingerprint": fp, "structure": st},
                           {"fingerprint": fp, "structure": st, "surface_limit": 256, "structure_limit": 60}):
                found = [r.record_id for r in index.near(**kwargs)]
                assert found == [r.record_id for r in plain.near(**kwargs)], kwargs
            assert f"r{i}" in [r.record_id for r in index.near(fingerprint=fp)]


def test_structure_distance_does_not_rank(english_chunks):
    # Two records equal in everything the ranking reads, the second with the
    # query's own structural fingerprint: the record id decides.
    probe = fingerprints(english_chunks[3])
    far = "%064x" % (int(probe.structure, 16) ^ (2**256 - 1))
    with Index(":memory:") as index:
        for record_id, structure in (("a", far), ("b", probe.structure)):
            index.add(record_id, Fingerprints(probe.content_hash, probe.fingerprint, structure, probe.signature,
                                              probe.bands))
        assert [(m.record_id, m.structure_distance) for m in index.query(probe)] == [("a", 256), ("b", 0)]
