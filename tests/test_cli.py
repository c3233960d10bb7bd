"""The `vessolin` console script, run as a user runs it: in a subprocess."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import vessolin
from cli_support import ok, run
from cli_support import script as cli_script
from conftest import DATA
from vessolin import cli

NOVEL = DATA / "corpus" / "gutenberg" / "11-0.txt"
POINTER = "00112233445566778899aabbccddeeff"
ALPHABET = dict.fromkeys(map(ord, "\u200b\u200c\u200d\u2060"))


@pytest.fixture(scope="module")
def chapter(tmp_path_factory):
    """Chapter I of the English novel, as a file of its own."""
    novel = NOVEL.read_text(encoding="utf-8")
    path = tmp_path_factory.mktemp("corpus") / "chapter1.txt"
    path.write_text(novel[novel.index("CHAPTER I.\n"):novel.index("CHAPTER II.\n")], encoding="utf-8")
    return path


def secret(path, text):
    """A key file as it should be: readable by its owner only."""
    path.write_text(text)
    path.chmod(0o600)
    return path


@pytest.fixture
def work(tmp_path):
    secret(tmp_path / "wm.key", "0f1e2d3c4b5a69788796a5b4c3d2e1f0\n")
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
    secret(work / "other.key", "ff" * 16)
    status, _, err = run("extract", "--key-file", work / "other.key", work / "marked.txt")
    assert status == 1 and err.count("\n") == 1

    secret(work / "k", "11" * 32)
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
        (["verify", "--public-key", "00", "short.txt"], "vessolin: --public-key: expected a 32-byte (64 hex char) key"),
        (["tier", "odd.hex", "short.txt"], "vessolin: odd.hex: invalid assertion: Odd number of digits"),
        (["tier", "empty.txt", "short.txt"], "vessolin: empty.txt: invalid input: soft-binding CBOR decode: Io(EndOfFile)"),
        (["fingerprint", "--jobs", "0", "short.txt"], "vessolin: --jobs must be at least 1"),
        (["frobnicate"], "vessolin: vessolin: argument COMMAND: invalid choice: 'frobnicate'"),
        (["assert", "watermark"], "vessolin: assert watermark needs --pointer HEX"),
        # Standard input is read once; a second "-" would silently read "".
        (["hash", "-", "-"], "vessolin: standard input can be read only once"),
        (["compare", "-", "-"], "vessolin: <stdin>: standard input can be read only once"),
        (["hash", "utf16.txt"], "vessolin: utf16.txt: UTF-16 text (it starts with a UTF-16 byte-order mark)"),
        # A bad key is named as the key, not as the envelope.
        (["verify", "--public-key", "zz", "c.cose"], "vessolin: --public-key: invalid hex: Invalid character 'z'"),
        (["verify", "--public-key-file", "bad.key", "c.cose"], "vessolin: bad.key: bad key file: invalid hex: "),
        (["verify", "c.cose"], "vessolin: verify needs --public-key HEX or --public-key-file FILE"),
        # A pointer longer than the watermark carries is refused, not cut.
        (["embed", "--key-file", "wm.key", "--pointer", "00" * 18, "short.txt"],
         "vessolin: --pointer: 18 bytes, more than the 16 a watermark carries"),
        (["assert", "watermark", "--pointer", "zz"], "vessolin: --pointer: invalid pointer: Invalid character 'z'"),
        (["extract", "--key-file", "/dev/zero", "short.txt"], "vessolin: /dev/zero: bad key file: longer than 4096 bytes"),
        (["public-key", "--key-file", "wm.key"], "vessolin: wm.key: bad key file: expected a 32-byte (64 hex char) key"),
    ],
)
def test_bad_input_is_one_line_and_status_2(work, args, message):
    (work / "utf16.txt").write_bytes("a UTF-16 text".encode("utf-16"))
    (work / "c.cose").write_text(vessolin.sign("payload", "11" * 32))
    (work / "latin1.txt").write_bytes("caf\u00e9 na\u00efve".encode("latin-1") + "s\u00e9".encode("latin-1"))
    secret(work / "bad.key", "zz")
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
    for line, path in zip(lines, [f for f in files if f.name != "missing.txt"]):
        text = path.read_text(encoding="utf-8")
        assert line == {"file": str(path), "content_hash": vessolin.content_hash(text),
                        "text_fingerprint": vessolin.text_fingerprint(text),
                        "text_structure": vessolin.text_structure(text),
                        "minhash_bands": vessolin.minhash_bands(text)}


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


def test_json_mode_prints_one_object_for_every_outcome(work, chapter):
    """With --json, failures print an error object too, and the status stays."""
    (work / "short.txt").write_text("three short words")
    (work / "c.cose").write_text(vessolin.sign("payload", "11" * 32))
    other = vessolin.public_key("22" * 32)
    cases = [
        (["hash", "missing.txt"], 2),
        (["extract", "--key-file", "wm.key", "short.txt"], 2),
        (["extract", "--key-file", "wm.key", chapter], 1),  # no watermark to recover
        (["verify", "--public-key", other, "c.cose"], 1),
        (["embed", "--key-file", "wm.key", "--pointer", "zz", "short.txt"], 2),
        (["frobnicate"], 2),
    ]
    for args, status in cases:
        code, out, err = run(args[0], "--json", *args[1:], cwd=work)
        assert code == status and err.count("\n") == 1, (args, err)
        (line,) = out.decode().splitlines()
        failure = json.loads(line)["error"]
        assert failure == {"message": err.removeprefix("vessolin: ").rstrip("\n"), "status": status}


def test_keygen_force_and_standard_output(work):
    key = work / "signing.key"
    first = ok("keygen", "--out", key).decode().strip()
    status, _, err = run("keygen", "--out", key)
    assert status == 2 and "already exists (use --force to overwrite)" in err
    os.chmod(key, 0o644)
    second = ok("keygen", "--out", key, "--force").decode().strip()
    assert second != first and vessolin.public_key(key.read_text().strip()) == second
    assert os.stat(key).st_mode & 0o777 == 0o600

    # "-" is standard output, as everywhere else: no file named "-".
    status, out, err = run("keygen", "--out", "-", cwd=work)
    assert status == 0 and not (work / "-").exists()
    assert err.strip() == vessolin.public_key(out.decode().strip())
    assert ok("public-key", "--key-file", key).decode().strip() == second


def test_key_file_warnings(work, chapter):
    shared = work / "shared.key"
    shared.write_text("0f1e2d3c4b5a69788796a5b4c3d2e1f0")
    shared.chmod(0o644)
    status, _, err = run("embed", "--key-file", shared, "--pointer", POINTER, chapter, "-o", work / "m.txt")
    assert status == 0
    assert err == f"vessolin: {shared}: warning: the key file can be read by group or others (mode 0644); " \
                  "make it private with chmod 600\n"
    empty = secret(work / "empty.key", "\n")
    status, _, err = run("embed", "--key-file", empty, "--pointer", POINTER, chapter, "-o", work / "e.txt")
    assert status == 0 and err == f"vessolin: {empty}: warning: the key file is empty: " \
                                  "an empty watermark key protects nothing\n"


def test_line_wrapped_hex_is_read_as_hex(work, chapter):
    hexed = vessolin.soft_binding_fingerprint(chapter.read_text(encoding="utf-8"))
    # As `xxd -p` writes it: 60 digits a line.
    (work / "a.xxd").write_text("".join(hexed[i:i + 60] + "\n" for i in range(0, len(hexed), 60)))
    assert ok("tier", work / "a.xxd", chapter, "--crosscheck-ok") == b"BOUND\n"


def test_in_place_writes_through_links_and_keeps_the_owner(work, chapter):
    target = work / "target.txt"
    target.write_bytes(chapter.read_bytes())
    link = work / "link.txt"
    link.symlink_to(target)
    ok("embed", "--key-file", work / "wm.key", "--pointer", POINTER, "--in-place", link)
    assert link.is_symlink() and os.readlink(link) == str(target)
    assert json.loads(ok("extract", "--json", "--key-file", work / "wm.key", target))["pointer"] == POINTER

    # A file with another name elsewhere is left alone, both names intact.
    other_name = work / "hard.txt"
    os.link(chapter, other_name)
    try:
        status, _, err = run("embed", "--key-file", work / "wm.key", "--pointer", POINTER, "--in-place", other_name)
        assert status == 2 and "has 2 hard links" in err
        assert os.stat(other_name).st_ino == os.stat(chapter).st_ino
        assert other_name.read_bytes() == chapter.read_bytes()
    finally:
        other_name.unlink()

    if os.geteuid() == 0:
        owned = work / "owned.txt"
        owned.write_bytes(chapter.read_bytes())
        os.chown(owned, 65534, 65534)
        os.chmod(owned, 0o640)
        ok("embed", "--key-file", work / "wm.key", "--pointer", POINTER, "--in-place", owned)
        st = os.stat(owned)
        assert (st.st_uid, st.st_gid, st.st_mode & 0o777) == (65534, 65534, 0o640)


def test_an_unverified_pointer_is_never_shown_as_the_pointer(work, chapter):
    # 48 words give exactly the 48 slots the watermark needs, so another key
    # still reads a full set of shards, in the wrong order: some pointer
    # comes out, with a tag that does not verify.
    words = " ".join(chapter.read_text(encoding="utf-8").split()[:48])
    (work / "short.txt").write_text(vessolin.embed_watermark(words, POINTER, "0f1e2d3c4b5a69788796a5b4c3d2e1f0"))
    secret(work / "other.key", "ffeeddccbbaa99887766554433221100")
    status, out, _ = run("extract", "--key-file", work / "other.key", work / "short.txt")
    assert status == 1 and out.decode().startswith("pointer (unverified) ")
    status, out, _ = run("extract", "--json", "--key-file", work / "other.key", work / "short.txt")
    found = json.loads(out)
    assert status == 1 and found["pointer"] is None and found["tag_verified"] is False
    assert len(found["unverified_pointer"]) == 32


def test_progress_on_a_terminal_only(work, chapter):
    import pty

    files = []
    for i in range(3):
        files.append(work / f"p{i}.txt")
        files[-1].write_bytes(chapter.read_bytes())

    def stderr_on_a_terminal(*args):
        leader, follower = pty.openpty()
        try:
            done = subprocess.run([cli_script(), *map(str, args)], stdout=subprocess.DEVNULL, stderr=follower,
                                  timeout=120)
            os.close(follower)
            seen = b""
            while True:
                try:
                    chunk = os.read(leader, 4096)
                except OSError:  # the terminal is closed once its last writer has gone
                    break
                if not chunk:
                    break
                seen += chunk
        finally:
            os.close(leader)
        assert done.returncode == 0
        return seen.decode()

    assert "vessolin: 3/3 files" in stderr_on_a_terminal("fingerprint", *files)
    assert "3/3 files read" in stderr_on_a_terminal("index", "add", work / "i.db", *files)
    assert stderr_on_a_terminal("fingerprint", "--quiet", *files) == ""
    assert run("fingerprint", *files)[2] == ""  # not a terminal


def test_verify_says_what_it_checks():
    text = " ".join(ok("verify", "--help").decode().split())
    assert "whatever algorithm the envelope's protected header names" in text and "'crit'" in text


def test_the_readme_session_runs_as_shown(tmp_path):
    """The README's shell session, run command by command: every output as
    printed there, but for the public key of a fresh random key."""
    import sysconfig

    readme = (Path(__file__).parent.parent / "README.md").read_text(encoding="utf-8")
    block = readme.split("## Command line", 1)[1].split("```console\n", 1)[1].split("```", 1)[0]
    steps: list[tuple[str, list[str]]] = []
    for line in block.splitlines():
        if line.startswith("$ "):
            steps.append((line[2:], []))
        else:
            steps[-1][1].append(line)
    (tmp_path / "tests").symlink_to(Path(__file__).parent)
    env = dict(os.environ, PATH=sysconfig.get_path("scripts") + os.pathsep + os.environ["PATH"])
    for command, expected in steps:
        done = subprocess.run(["bash", "-c", command], cwd=tmp_path, env=env, capture_output=True, text=True,
                              timeout=120)
        printed = (done.stdout + done.stderr).splitlines()
        if command.startswith("vessolin keygen --out signing.key"):
            assert len(printed) == 1 and len(printed[0]) == 64
        else:
            assert printed == expected, command
