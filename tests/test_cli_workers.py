"""The command line's worker processes under Ctrl-C and a killed parent.

Each run starts the installed script in a process group of its own (as a
shell does for a job), sends real signals and checks, within a bounded time,
the exit status, standard error and that no process of the group is left.
"""

import os
import signal
import subprocess
import time
from pathlib import Path

import pytest

from cli_support import group_members, kill_group, script, wait_until_gone
from conftest import DATA

NOVEL = DATA / "corpus" / "gutenberg" / "11-0.txt"

# A machine shared with other builds answers slowly: the bound allows for
# that while still telling an interrupted run from one that hangs for tens
# of seconds or leaves workers behind.
BOUND = 5.0


@pytest.fixture(scope="module")
def texts(tmp_path_factory) -> list[Path]:
    """Enough text that two workers need several seconds for it."""
    novel = NOVEL.read_text(encoding="utf-8")
    folder = tmp_path_factory.mktemp("many")
    files = []
    for i in range(1200):
        start = (i * 7919) % (len(novel) - 20000)
        path = folder / f"f{i:04}.txt"
        path.write_text(novel[start:start + 20000], encoding="utf-8")
        files.append(path)
    return files


def start(args, folder: Path) -> tuple[subprocess.Popen, Path]:
    out = folder / "out.txt"
    proc = subprocess.Popen([script(), *map(str, args)], stdout=out.open("wb"), stderr=subprocess.PIPE,
                            cwd=folder, start_new_session=True, preexec_fn=interrupts_by_default)
    return proc, out


def interrupts_by_default() -> None:
    """A job started in the background of a shell without job control
    inherits interrupts ignored, and a program that starts with them ignored
    keeps ignoring them, as it should; the run under test must start as a
    job in the foreground would, whatever started the test runner."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def wait_for(condition, timeout: float) -> None:
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "the run never got going"
        time.sleep(0.02)


COMMANDS = {
    "fingerprint": lambda files, tmp: ["fingerprint", "--jobs", "2", *files],
    "index add": lambda files, tmp: ["index", "add", "--jobs", "2", tmp / "i.db", *files],
}


@pytest.mark.parametrize("command", COMMANDS)
@pytest.mark.parametrize("delay", [0.3, 1.0])
def test_one_interrupt_ends_the_run_at_once(texts, tmp_path, command, delay):
    proc, out = start(COMMANDS[command](texts, tmp_path), tmp_path)
    pgid = proc.pid
    try:
        # Interrupt once the workers are busy: for fingerprint, once results
        # flow; index add prints nothing before the end, so after a while.
        if command == "fingerprint":
            wait_for(lambda: out.stat().st_size > 0, 30)
        else:
            wait_for(lambda: len(group_members(pgid)) >= 3, 30)
        time.sleep(delay / 3)
        os.killpg(pgid, signal.SIGINT)
        sent = time.monotonic()
        err = proc.communicate(timeout=BOUND * 4)[1].decode()
        took = time.monotonic() - sent
        assert (proc.returncode, err) == (130, "vessolin: interrupted\n")
        assert took < BOUND, f"the run took {took:.1f} s to end"
        assert wait_until_gone(pgid, BOUND) == []
        assert not [p.name for p in tmp_path.iterdir() if p.name.endswith(".tmp")]
    finally:
        kill_group(pgid)
        proc.wait(timeout=BOUND)


@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGTERM])
def test_workers_die_with_their_parent(texts, tmp_path, sig):
    proc, out = start(["fingerprint", "--jobs", "2", *texts], tmp_path)
    pgid = proc.pid
    try:
        wait_for(lambda: out.stat().st_size > 0, 30)
        assert len(group_members(pgid)) >= 3  # the parent and its two workers
        proc.send_signal(sig)
        proc.wait(timeout=BOUND)
        assert wait_until_gone(pgid, BOUND) == []
    finally:
        kill_group(pgid)
        proc.wait(timeout=BOUND)


def test_jobs_are_capped(tmp_path, monkeypatch):
    """--jobs 150 over two files starts two workers, not 150."""
    from vessolin import _workers, cli

    sizes = []

    class CountingPool(_workers.OrderedPool):
        def __init__(self, jobs, fn):
            sizes.append(jobs)
            super().__init__(jobs, fn)

    monkeypatch.setattr(_workers, "OrderedPool", CountingPool)
    for name in ("a.txt", "b.txt"):
        (tmp_path / name).write_text("A short text of a few words. " * 20)
    files = [str(tmp_path / "a.txt"), str(tmp_path / "b.txt")]
    assert cli.main(["fingerprint", "--jobs", "150", *files]) == 0
    assert cli.main(["fingerprint", "--jobs", "150", *files * 100]) == 0
    assert sizes == [2, min(150, 2 * len(os.sched_getaffinity(0)))]
