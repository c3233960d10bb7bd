"""The `vessolin index` commands as a user (and an attacker) meets them."""

import json
import os
import shutil
import sqlite3
import subprocess
import tempfile
import traceback
from pathlib import Path

import pytest

from cli_support import ok, run, script
from conftest import DATA

NOVEL = DATA / "corpus" / "gutenberg" / "11-0.txt"
PASSWORD = "s3cretPW"


@pytest.fixture(scope="module")
def text_file(tmp_path_factory) -> Path:
    novel = NOVEL.read_text(encoding="utf-8")
    path = tmp_path_factory.mktemp("texts") / "a.txt"
    path.write_text(novel[20000:26000], encoding="utf-8")
    return path


def test_no_password_reaches_any_output(postgres, text_file, tmp_path):
    from vessolin.index import Index, IndexStoreError

    good = postgres.new_database().replace("://postgres@", f"://postgres:{PASSWORD}@")
    urls = {
        "accepted": good,
        # The driver quotes a malformed escape back, password and all.
        "bad escape": good.replace(PASSWORD, "s3cret%zzPW"),
        # An unescaped "@" in the password.
        "raw @": good.replace(PASSWORD, "s3cret@PW"),
        # Connection refused: the driver's message runs over two lines.
        "unreachable": f"postgresql://postgres:{PASSWORD}@/x?host={tmp_path}/nowhere",
        "parameter": f"postgresql://postgres@/x?host={tmp_path}/nowhere&password={PASSWORD}",
    }
    commands = [["add", "--replace", "--id", "r1"], ["query"], ["get"], ["remove"], ["count"]]
    for name, url in urls.items():
        for command in commands:
            target = {"add": [text_file], "query": [text_file], "get": ["r1"], "remove": ["r1"]}.get(command[0], [])
            for mode in ([], ["--json"]):
                status, out, err = run("index", *command, *mode, url, *target)
                said = out.decode() + err
                assert "s3cret" not in said and "PW" not in said, (name, command, said)
                assert err.count("\n") <= 1, (name, command, err)
                if name in ("accepted", "raw @"):  # the driver reads the latter as a password it ignores
                    assert status in (0, 1), err
                else:
                    assert status == 2 and "Traceback" not in err, (name, command, err)
        if name == "accepted":
            assert "postgres:***@" in ok("index", "add", "--id", "r2", url, text_file).decode()

        # The library's own exceptions, their causes and tracebacks too.
        if name not in ("accepted", "raw @"):
            with pytest.raises(IndexStoreError) as caught:
                Index(url)
            shown = "".join(traceback.format_exception(caught.value))
            assert "s3cret" not in shown and "PW" not in shown, (name, shown)
            assert "\n" not in str(caught.value)


def _drop_file_privileges():
    # Root ignores file modes through these capabilities (override of
    # permission checks, of read and search checks, and of owner checks).
    # Dropped from the bounding set, they are gone after exec: the script
    # then meets file modes as any user does, while it can still reach the
    # interpreter wherever root installed it.
    import ctypes

    libc = ctypes.CDLL(None, use_errno=True)
    for capability in (1, 2, 3):  # CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER
        if libc.prctl(24, capability, 0, 0, 0) != 0:  # PR_CAPBSET_DROP
            raise OSError(ctypes.get_errno(), "prctl(PR_CAPBSET_DROP)")


def run_unprivileged(*args, cwd):
    return subprocess.run([script(), *map(str, args)], capture_output=True, text=True, cwd=cwd, timeout=120,
                          preexec_fn=_drop_file_privileges)


@pytest.fixture
def others_folder():
    """A folder of another user's that anyone may enter and read (0755)."""
    folder = Path(tempfile.mkdtemp(prefix="vessolin-ro-"))
    os.chmod(folder, 0o755)
    yield folder
    shutil.rmtree(folder)


@pytest.mark.parametrize("writer_open", [False, True])
def test_a_read_only_index_opens_for_reading(others_folder, text_file, writer_open):
    if os.geteuid() != 0:
        pytest.skip("needs root, to make files of another user")
    folder = others_folder
    db = folder / "ro.db"
    query = folder / "q.txt"
    shutil.copy(text_file, query)
    ok("index", "add", "--id", "a", db, text_file)
    for path in (folder, db, query):
        os.chown(path, 65534, 65534)
        os.chmod(path, 0o755 if path == folder else 0o644)
    # With a writer connected, the WAL files exist; without, the reader
    # cannot make them in a folder it may not write.
    writer = sqlite3.connect(db) if writer_open else None
    try:
        if writer is not None:
            writer.execute("SELECT count(*) FROM vessolin_records").fetchone()
        before = sorted(p.name for p in folder.iterdir())
        assert run_unprivileged("index", "count", db, cwd=folder).stdout == "1\n"
        found = run_unprivileged("index", "query", "--json", db, query, cwd=folder)
        assert json.loads(found.stdout)["matches"][0]["record_id"] == "a"
        assert run_unprivileged("index", "get", db, "a", cwd=folder).returncode == 0
        added = run_unprivileged("index", "add", "--id", "b", db, query, cwd=folder)
        assert added.returncode == 2 and added.stderr.count("\n") == 1 and "read-only" in added.stderr
        assert sorted(p.name for p in folder.iterdir()) == before
    finally:
        if writer is not None:
            writer.close()


@pytest.mark.parametrize("backend", ["sqlite", "postgresql"])
def test_only_add_creates_an_index(tmp_path, text_file, request, backend):
    # A mistyped file name, or a database that holds no index.
    typo = str(tmp_path / "typo.db") if backend == "sqlite" else request.getfixturevalue("postgres").new_database()
    for command in (["query", typo, text_file], ["count", typo], ["get", typo, "a"], ["remove", typo, "a"]):
        status, out, err = run("index", *command)
        assert (status, out) == (2, b"") and err.startswith(f"vessolin: {typo}: no such index")
        assert err.count("\n") == 1
        assert backend != "sqlite" or not os.path.exists(typo)
    # In JSON mode too, an answer on standard output.
    status, out, _ = run("index", "count", "--json", typo)
    assert status == 2 and json.loads(out)["error"]["message"].startswith(f"{typo}: no such index")
    ok("index", "add", typo, text_file)
    assert ok("index", "count", typo) == b"1\n"
    status, out, _ = run("index", "get", "--json", typo, "nope")
    assert status == 1 and json.loads(out)["error"]["message"] == f"{typo}: no record 'nope'"


def test_pointers_are_validated_and_stored_as_the_watermark_carries_them(tmp_path, text_file):
    db = tmp_path / "p.db"
    for pointer, message in [("zz", "vessolin: --pointer: invalid pointer: Invalid character 'z' at position 0"),
                             ("00" * 17, "vessolin: --pointer: 17 bytes, more than the 16 a watermark carries")]:
        status, _, err = run("index", "add", "--pointer", pointer, db, text_file)
        assert status == 2 and err == message + "\n"
    ok("index", "add", "--pointer", " 01AB ", db, text_file)
    assert json.loads(ok("index", "get", "--json", db, text_file))["pointer"] == "01ab" + "0" * 28


def test_record_ids(tmp_path, text_file):
    db = tmp_path / "ids.db"
    shutil.copy(text_file, tmp_path / "a.txt")
    ok("index", "add", db, "./a.txt", cwd=tmp_path)
    # ./a.txt and a.txt are one record; the message names the option.
    status, _, err = run("index", "add", db, "a.txt", cwd=tmp_path)
    assert status == 2 and "use --replace" in err and "replace=True" not in err
    ok("index", "add", "--replace", db, "a.txt", cwd=tmp_path)
    ok("index", "add", "--id-from", "stem", db, "a.txt", cwd=tmp_path)
    ok("index", "add", "--id", "from-stdin", db, "-", stdin=text_file.read_bytes(), cwd=tmp_path)
    assert ok("index", "count", db) == b"3\n"
    assert json.loads(ok("index", "get", "--json", db, "a"))["content_hash"] == \
        json.loads(ok("index", "get", "--json", db, "from-stdin"))["content_hash"]

    (tmp_path / "sub").mkdir()
    shutil.copy(text_file, tmp_path / "sub" / "a.txt")
    for args, message in [
        (["-"], "standard input has no name: give its record id with --id"),
        (["--id", "x", "a.txt", "sub/a.txt"], "--id names one record: give exactly one FILE (or use --id-from)"),
        (["--id-from", "name", "a.txt", "sub/a.txt"],
         "a.txt and sub/a.txt both give the record id 'a.txt' (--id-from name)"),
    ]:
        status, _, err = run("index", "add", db, *args, cwd=tmp_path, stdin=b"")
        assert (status, err) == (2, f"vessolin: {message}\n")


def test_a_missing_driver_says_what_to_install(tmp_path):
    # A psycopg that cannot be imported, ahead of the real one.
    fake = tmp_path / "fake" / "psycopg"
    fake.mkdir(parents=True)
    (fake / "__init__.py").write_text("raise ImportError('No module named psycopg')\n")
    env = dict(os.environ, PYTHONPATH=str(tmp_path / "fake"))
    status, out, err = run("index", "count", f"postgresql://u:{PASSWORD}@/db", env=env)
    assert status == 2 and out == b""
    assert err == ("vessolin: postgresql://u:***@/db: a PostgreSQL index needs psycopg 3: "
                   "pip install 'vessolin[postgres]'\n")
