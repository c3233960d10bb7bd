"""The `vessolin` console script, run as a user runs it: in a subprocess."""

import json
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import vessolin
from conftest import DATA
from vessolin import cli

NOVEL = DATA / "corpus" / "gutenberg" / "11-0.txt"
POINTER = "00112233445566778899aabbccddeeff"
ALPHABET = dict.fromkeys(map(ord, "\u200b\u200c\u200d\u2060"))


def script() -> str:
    path = Path(sysconfig.get_path("scripts")) / "vessolin"
    return str(path) if path.exists() else shutil.which("vessolin") or pytest.fail("the vessolin script is not installed")


def run(*args, stdin=None, cwd=None):
    """Runs the console script; returns (exit status, stdout bytes, stderr text)."""
    done = subprocess.run([script(), *map(str, args)], input=stdin, capture_output=True, cwd=cwd, timeout=120)
    return done.returncode, done.stdout, done.stderr.decode()


def ok(*args, **kw) -> bytes:
    status, out, err = run(*args, **kw)
    assert status == 0, err
    return out


@pytest.fixture(scope="module")
def chapter(tmp_path_factory):
    """Chapter I of the English novel, as a file of its own."""
    novel = NOVEL.read_text(encoding="utf-8")
    path = tmp_path_factory.mktemp("corpus") / "chapter1.txt"
    path.write_text(novel[novel.index("CHAPTER I.\n"):novel.index("CHAPTER II.\n")], encoding="utf-8")
    return path


@pytest.fixture
def work(tmp_path):
    (tmp_path / "wm.key").write_text("0f1e2d3c4b5a69788796a5b4c3d2e1f0\n")
    return tmp_path


def test_the_whole_road_of_one_text(work, chapter):
    public = ok("keygen", "--out", work / "signing.key").decode().strip()
    assert os.stat(work / "signing.key").st_mode & 0o777 == 0o600
    secret = (work / "signing.key").read_text().strip()
    assert public == vessolin.public_key(secret)

    ok("embed", "--key-file", work / "wm.key", "--pointer", POINTER, chapter, "-o", work / "marked.txt")
    marked = (work / "marked.txt").read_text(encoding="utf-8")
    assert marked.translate(ALPHABET) == chapter.read_text(encoding="utf-8")
    found = json.loads(ok("extract", "--json", "--key-file", work / "wm.key", work / "marked.txt"))
    assert (found["pointer"], found["tag_verified"], found["shards_recovered"]) == (POINTER, True, 0)

    ok("assert", "fingerprint", work / "marked.txt", "--hex", "-o", work / "a.hex")
    assertion = (work / "a.hex").read_text().strip()
    assert assertion == vessolin.soft_binding_fingerprint(marked)
    assert ok("assert", "fingerprint", work / "marked.txt", "-o", "-") == bytes.fromhex(assertion)

    ok("sign", "--key-file", work / "signing.key", work / "a.hex", "-o", work / "a.cose")
    assert ok("verify", "--public-key", public, work / "a.cose") == (work / "a.hex").read_bytes()
    assert ok("tier", work / "a.hex", chapter, "--crosscheck-ok") == b"BOUND\n"
    assert ok("tier", work / "a.hex", chapter) == b"LIKELY\n"

    assert ok("hash", "-", stdin=chapter.read_bytes()).decode() == vessolin.content_hash(marked) + "  <stdin>\n"
    verdict = json.loads(ok("compare", "--json", chapter, work / "marked.txt"))
    assert verdict["verdict"] == "same" and verdict["surface_distance"] == 0


def test_negative_answers_exit_with_status_1(work, chapter):
    ok("embed", "--key-file", work / "wm.key", "--pointer", POINTER, chapter, "-o", work / "marked.txt")
    (work / "other.key").write_text("ff" * 16)
    status, _, err = run("extract", "--key-file", work / "other.key", work / "marked.txt")
    assert status == 1 and err.count("\n") == 1

    secret = "11" * 32
    (work / "k").write_text(secret)
    ok("sign", "--key-file", work / "k", chapter, "--hex", "-o", work / "c.hex")
    status, out, err = run("verify", "--public-key", vessolin.public_key("22" * 32), work / "c.hex")
    assert (status, out) == (1, b"") and "does not verify" in err

    (work / "a.cbor").write_bytes(bytes.fromhex(vessolin.soft_binding_watermark(POINTER)))
    assert run("tier", work / "a.cbor", chapter, "--fail-on", "review")[:2] == (1, b"REVIEW\n")
    assert run("tier", work / "a.cbor", chapter, "--watermark-verified", "--fail-on", "review")[0] == 0


@pytest.mark.parametrize(
    "args, message",
    [
        (["hash", "missing.txt"], "vessolin: missing.txt: no such file"),
        (["hash", "."], "vessolin: .: is a directory"),
        (["hash", "latin1.txt"], "vessolin: latin1.txt: not valid UTF-8 at byte offset 3 (invalid continuation byte)"),
        (["extract", "--key-file", "bad.key", "short.txt"], "vessolin: bad.key: bad key file: invalid key: Invalid character 'z' at position 0"),
        (["extract", "--key-file", "wm.key", "short.txt"], "vessolin: short.txt: text content too short for this soft-binding algorithm"),
        (["embed", "--key-file", "wm.key", "--pointer", "abc", "short.txt"], "vessolin: --pointer: invalid pointer: Odd number of digits"),
        (["sign", "--key-file", "wm.key", "short.txt"], "vessolin: wm.key: bad key file: expected a 32-byte (64 hex char) key"),
        (["verify", "--public-key", "00", "short.txt"], "vessolin: short.txt: expected a 32-byte (64 hex char) key"),
        (["tier", "odd.hex", "short.txt"], "vessolin: odd.hex: invalid assertion: Odd number of digits"),
        (["tier", "empty.txt", "short.txt"], "vessolin: empty.txt: invalid input: soft-binding CBOR decode: Io(EndOfFile)"),
        (["fingerprint", "--jobs", "0", "short.txt"], "vessolin: --jobs must be at least 1"),
        (["frobnicate"], "vessolin: vessolin: argument COMMAND: invalid choice: 'frobnicate'"),
        (["assert", "watermark"], "vessolin: assert watermark needs --pointer HEX"),
    ],
)
def test_bad_input_is_one_line_and_status_2(work, args, message):
    (work / "latin1.txt").write_bytes("caf\u00e9 na\u00efve".encode("latin-1") + "s\u00e9".encode("latin-1"))
    (work / "bad.key").write_text("zz")
    (work / "short.txt").write_text("three short words")
    (work / "empty.txt").write_text("")
    (work / "odd.hex").write_text("abc\n")
    status, out, err = run(*args, cwd=work)
    assert status == 2 and out == b""
    assert err.startswith(message) and err.count("\n") == 1, err
    assert "Traceback" not in err


def test_jobs_keep_the_input_order_and_report_bad_files(work, chapter):
    files = []
    text = chapter.read_text(encoding="utf-8")
    for i in range(12):
        path = work / f"part{i:02}.txt"
        path.write_text(text[i * 900:(i + 1) * 900 + 50], encoding="utf-8")
        files.append(path)
    files.insert(5, work / "missing.txt")
    one = run("fingerprint", "--jobs", "1", *files)
    two = run("fingerprint", "--jobs", "2", *files)
    assert one == two
    status, out, err = two
    assert status == 2 and err == f"vessolin: {work / 'missing.txt'}: no such file\n"
    lines = [json.loads(line) for line in out.splitlines()]
    assert [line["file"] for line in lines] == [str(f) for f in files if f.name != "missing.txt"]
    first = lines[0]
    assert first["text_fingerprint"] == vessolin.text_fingerprint(files[0].read_text(encoding="utf-8"))
    assert first["minhash_bands"] == vessolin.minhash_bands(files[0].read_text(encoding="utf-8"))


def test_outputs_are_never_clobbered_or_left_half_written(work, chapter, monkeypatch):
    target = work / "out.txt"
    target.write_text("keep me")
    status, _, err = run("embed", "--key-file", work / "wm.key", "--pointer", POINTER, chapter, "-o", target)
    assert status == 2 and "already exists (use --force to overwrite)" in err
    assert run("keygen", "--out", target)[0] == 2
    assert target.read_text() == "keep me"

    # A failing embed with --in-place leaves its input as it was.
    short = work / "short.txt"
    short.write_text("too short to carry a watermark\r\n")
    assert run("embed", "--key-file", work / "wm.key", "--pointer", POINTER, "--in-place", short)[0] == 2
    assert short.read_bytes() == b"too short to carry a watermark\r\n"

    # A write that fails half way (the disk fills up at fsync) changes nothing
    # and leaves no temporary file behind.
    def full_disk(fd):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "fsync", full_disk)
    assert cli.main(["embed", "--key-file", str(work / "wm.key"), "--pointer", POINTER, str(chapter),
                     "-o", str(target), "--force"]) == 2
    assert target.read_text() == "keep me"
    assert sorted(p.name for p in work.iterdir()) == ["out.txt", "short.txt", "wm.key"]


def test_in_place_keeps_bom_line_endings_and_mode(work, chapter):
    text = "\ufeff" + chapter.read_text(encoding="utf-8").replace("\n", "\r\n")
    path = work / "bom.txt"
    path.write_bytes(text.encode("utf-8"))
    os.chmod(path, 0o640)
    ok("embed", "--key-file", work / "wm.key", "--pointer", "0a0b", "--in-place", path)
    marked = path.read_bytes().decode("utf-8")
    assert marked.translate(ALPHABET) == text
    assert os.stat(path).st_mode & 0o777 == 0o640
    found = json.loads(ok("extract", "--json", "--key-file", work / "wm.key", path))
    assert found["pointer"] == "0a0b" + "0" * 28 and found["tag_verified"]


def test_python_dash_m_and_version():
    done = subprocess.run([sys.executable, "-m", "vessolin", "--version"], capture_output=True, text=True)
    assert done.returncode == 0 and done.stdout.startswith("vessolin ")


def test_index_commands(work, chapter):
    db = work / "published.db"
    text = chapter.read_text(encoding="utf-8")
    (work / "edited.txt").write_text(text.replace("Alice", "Alicia", 3), encoding="utf-8")
    (work / "other.txt").write_text("An unrelated text about something else entirely. " * 40)
    added = json.loads(ok("index", "add", "--json", "--jobs", "2", "--manifest", "urn:m", db, chapter,
                          work / "other.txt"))
    assert (added["added"], added["records"]) == (2, 2)

    found = json.loads(ok("index", "query", "--json", db, work / "edited.txt"))["matches"]
    assert found[0]["record_id"] == str(chapter) and found[0]["manifest"] == "urn:m"
    assert found[0]["share"] > 0.9 and len(found) == 1
    record = json.loads(ok("index", "get", "--json", db, chapter))
    assert record["content_hash"] == vessolin.content_hash(text)

    (work / "latin.txt").write_text("Lorem ipsum dolor sit amet, consectetur adipiscing elit. " * 20)
    assert run("index", "query", db, work / "latin.txt")[0] == 1
    assert run("index", "remove", db, chapter, "nope")[0] == 1
    assert ok("index", "count", db) == b"1\n"
    (work / "garbage.db").write_text("not a database")
    status, _, err = run("index", "count", work / "garbage.db")
    assert status == 2 and err.count("\n") == 1 and "not an SQLite database" in err


def test_structure_of_texts_without_function_words_counts_for_nothing(work, chapter):
    bench = Path(__file__).parent.parent / "bench" / "data"
    german, hindi = bench / "gutenberg" / "22367-0.txt", bench / "wikipedia_mars" / "hindi.utf8.txt"
    russian = bench / "lipsum" / "Russian-Lipsum.utf8.txt"
    ok("assert", "structure", german, "--hex", "-o", work / "novel.struct")
    assert ok("tier", work / "novel.struct", russian) == b"REVIEW\n"
    assert ok("tier", work / "novel.struct", german) == b"REVIEW\n"

    verdict = json.loads(ok("compare", "--json", german, hindi))
    assert (verdict["structure_distance"], verdict["structure_informative"], verdict["verdict"]) == (0, False, "different")
    assert b"0 bits of 256 (uninformative)" in ok("compare", german, hindi)

    text = chapter.read_text(encoding="utf-8")
    (work / "edited.txt").write_text(text.upper().replace("ALICE", "ALICIA"), encoding="utf-8")
    ok("assert", "structure", chapter, "--hex", "-o", work / "chapter.struct")
    assert ok("tier", work / "chapter.struct", work / "edited.txt") == b"LIKELY\n"
    verdict = json.loads(ok("compare", "--json", chapter, work / "edited.txt"))
    assert verdict["structure_informative"] is True
