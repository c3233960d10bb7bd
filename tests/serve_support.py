"""Starting the real service for tests and benchmarks: `vessolin serve` in a
subprocess on a free loopback port."""

from __future__ import annotations

import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

import httpx


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


class Server:
    """`vessolin serve INDEX *options` on 127.0.0.1, until `stop`."""

    def __init__(self, index: str, *options: str, timeout: float = 60.0) -> None:
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        self.log = tempfile.TemporaryFile(mode="w+")
        # Its own process group, so that stopping it stops its workers too.
        self.process = subprocess.Popen(
            [sys.executable, "-m", "vessolin", "serve", index, "--port", str(self.port), *options],
            stdout=self.log, stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.monotonic() + timeout
        while True:
            try:
                if httpx.get(f"{self.url}/services/supportedAlgorithms", timeout=2).status_code == 200:
                    break
            except httpx.TransportError:
                pass
            if self.process.poll() is not None or time.monotonic() > deadline:
                output = self.output()
                self.stop()
                raise RuntimeError(f"vessolin serve did not start:\n{output}")
            time.sleep(0.1)

    def output(self) -> str:
        self.log.seek(0)
        return self.log.read()

    def alive(self) -> bool:
        return self.process.poll() is None

    def stop(self) -> None:
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
        try:  # workers left behind, if any
            os.killpg(self.process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    def __enter__(self) -> Server:
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()
