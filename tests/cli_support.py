"""Running the installed `vessolin` console script, as a user runs it."""

from __future__ import annotations

import os
import shutil
import subprocess
import sysconfig
import time
from pathlib import Path

import pytest


def script() -> str:
    path = Path(sysconfig.get_path("scripts")) / "vessolin"
    return str(path) if path.exists() else shutil.which("vessolin") or pytest.fail("the vessolin script is not installed")


def run(*args, stdin=None, cwd=None, env=None, **kw):
    """Runs the console script; returns (exit status, stdout bytes, stderr text)."""
    done = subprocess.run([script(), *map(str, args)], input=stdin, capture_output=True, cwd=cwd, timeout=120,
                          env=env, **kw)
    return done.returncode, done.stdout, done.stderr.decode()


def ok(*args, **kw) -> bytes:
    status, out, err = run(*args, **kw)
    assert status == 0, err
    return out


def group_members(pgid: int) -> list[int]:
    """The live (not zombie) processes of a process group, from /proc."""
    members = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        state, pgrp = fields[0], int(fields[2])
        if pgrp == pgid and state not in ("Z", "X"):
            members.append(int(entry))
    return members


def wait_until_gone(pgid: int, timeout: float) -> list[int]:
    """Waits up to `timeout` seconds for a process group to empty; returns
    the processes still in it."""
    deadline = time.monotonic() + timeout
    while (left := group_members(pgid)) and time.monotonic() < deadline:
        time.sleep(0.05)
    return left


def kill_group(pgid: int) -> None:
    """Cleans up after a failed test: nothing it started may outlive it."""
    import signal

    try:
        os.killpg(pgid, signal.SIGKILL)
    except ProcessLookupError:
        pass
