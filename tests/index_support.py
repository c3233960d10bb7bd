"""Helpers shared by the index tests and the index benchmark: a throwaway
PostgreSQL server and the editing model of the recall measurements."""

from __future__ import annotations

import glob
import os
import pwd
import random
import re
import shutil
import subprocess
import tempfile
from pathlib import Path
from typing import Any

# -- a throwaway PostgreSQL server ----------------------------------------


def uninstrumented_environment() -> dict[str, str]:
    """This process's environment without a sanitizer runtime preloaded into
    it, for programs that are not ours (a database server, a browser driver):
    the preload would hang or kill them."""
    return {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}


def postgres_bindir() -> Path | None:
    """The folder holding initdb and pg_ctl: $VESSOLIN_PG_BINDIR, else the
    PATH, else the newest /usr/lib/postgresql/N/bin (where Debian's package
    puts them without linking them into the PATH)."""
    if os.environ.get("VESSOLIN_PG_BINDIR"):
        return Path(os.environ["VESSOLIN_PG_BINDIR"])
    initdb = shutil.which("initdb")
    if initdb and shutil.which("pg_ctl", path=os.path.dirname(initdb)):
        return Path(initdb).parent
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"),
                   key=lambda p: int(Path(p).parent.parent.name) if Path(p).parent.parent.name.isdigit() else 0)
    return Path(found[-1]).parent if found else None


class PostgresServer:
    """A PostgreSQL cluster in a temporary folder, listening on a Unix socket
    there only (no TCP port), stopped and deleted by `stop`.

    initdb and the server refuse to run as root; as root they run as the
    `postgres` account (Debian's package makes it), else as `nobody`.
    """

    def __init__(self, bindir: Path) -> None:
        self.bindir = bindir
        self.folder = Path(tempfile.mkdtemp(prefix="vessolin-pg-"))
        self._as: dict[str, Any] = {}
        if os.geteuid() == 0:
            try:
                account = pwd.getpwnam("postgres")
            except KeyError:
                account = pwd.getpwnam("nobody")
            os.chown(self.folder, account.pw_uid, account.pw_gid)
            self._as = {"user": account.pw_uid, "group": account.pw_gid, "extra_groups": []}
        self.superuser = "postgres"
        self.data = self.folder / "data"
        self.log = self.folder / "server.log"
        self._count = 0
        self.running = False

    def _run(self, *args: str) -> None:
        # The server is not ours to instrument: a sanitizer runtime preloaded
        # into the test run would hang initdb.
        done = subprocess.run(args, capture_output=True, text=True, cwd=self.folder, timeout=120,
                              env=uninstrumented_environment(),
                              **self._as)
        if done.returncode != 0:
            log = self.log.read_text(errors="replace")[-2000:] if self.log.exists() else ""
            raise RuntimeError(f"{' '.join(args[:2])} failed ({done.returncode}):\n{done.stdout}{done.stderr}{log}")

    def start(self, durable: bool = False) -> PostgresServer:
        """Create and start the cluster; `durable` keeps the server's default
        flushing to disk (benchmarks), otherwise it is off (tests)."""
        self._run(str(self.bindir / "initdb"), "-D", str(self.data), "-U", self.superuser, "--auth=trust",
                  "-E", "UTF8", "--locale=C", "--no-sync")
        options = f"-c listen_addresses='' -c unix_socket_directories='{self.folder}' -c max_connections=40"
        if not durable:
            options += " -c fsync=off -c full_page_writes=off"
        self._run(str(self.bindir / "pg_ctl"), "-D", str(self.data), "-l", str(self.log), "-o", options, "-w",
                  "-t", "60", "start")
        self.running = True
        return self

    def url(self, database: str = "postgres") -> str:
        return f"postgresql://{self.superuser}@/{database}?host={self.folder}"

    def new_database(self) -> str:
        """A fresh, empty database; its URL."""
        import psycopg

        self._count += 1
        name = f"vessolin_{self._count}"
        with psycopg.connect(self.url(), autocommit=True) as conn:
            conn.execute(f"CREATE DATABASE {name}")
        return self.url(name)

    def stop(self) -> None:
        try:
            if self.running:
                self._run(str(self.bindir / "pg_ctl"), "-D", str(self.data), "-m", "immediate", "-w", "stop")
                self.running = False
        finally:
            shutil.rmtree(self.folder, ignore_errors=True)


# -- the editing model ------------------------------------------------------

_SENTENCE_END = re.compile(r"(?<=[.!?])\s+|\n+")


def edited(text: str, rate: float, rng: random.Random, vocabulary: list[str]) -> str:
    """`text` with one sentence removed (when it has more than one) and then
    `rate` of its words (white-space separated) replaced by words drawn from
    `vocabulary`, at random positions."""
    sentences = _SENTENCE_END.split(text)
    if len(sentences) > 1:
        del sentences[rng.randrange(len(sentences))]
    words = " ".join(sentences).split()
    for i in rng.sample(range(len(words)), round(rate * len(words))):
        words[i] = rng.choice(vocabulary)
    return " ".join(words)


def chunks(text: str, rng: random.Random, low: int = 2000, high: int = 5000) -> list[str]:
    """`text` cut into consecutive pieces of `low` to `high` UTF-8 bytes,
    each ending at white space when there is some in its last 200 characters
    (a short remainder at the end is dropped)."""
    out = []
    pos = 0
    while pos < len(text):
        target = rng.randint(low, high)
        piece = text[pos:pos + target].encode("utf-8")[:target].decode("utf-8", errors="ignore")
        cut = max(piece.rfind(" "), piece.rfind("\n"))
        if len(piece) - 200 < cut and len(piece[:cut].encode("utf-8")) >= low:
            piece = piece[:cut + 1]
        pos += len(piece)
        if len(piece.encode("utf-8")) >= low:
            out.append(piece.strip())
    return out
