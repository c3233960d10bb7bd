"""Worker processes of the tools (the command line's and the index's pools).

A pool's workers belong to the process that started them: an interrupt is
the parent's to handle, and a parent that dies (killed, or ended before it
could shut its pool down) takes its workers with it. Without this, one
Ctrl-C sent to a process group makes every worker print its own
KeyboardInterrupt traceback, and workers blocked on a pipe outlive a killed
parent.
"""

from __future__ import annotations

import os
import signal
import sys
import threading
import time
from collections import deque
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures.process import BrokenProcessPool
from itertools import islice
from multiprocessing.connection import Connection
from typing import Any

_PR_SET_PDEATHSIG = 1  # <linux/prctl.h>


def _die_with_parent() -> bool:
    """Asks the kernel to kill this process when its parent ends (Linux).

    Strictly, when the parent's thread that started it ends: every pool here
    lives within one call of that thread, so the two come to the same."""
    if not sys.platform.startswith("linux"):
        return False
    try:
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        return libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0) == 0
    except (OSError, AttributeError):
        return False


def _exit_with_parent(parent: int) -> None:
    while True:
        time.sleep(0.5)
        if os.getppid() != parent:
            os._exit(1)


def start_worker(parent: int) -> None:
    """Initialiser of a worker process started by the process `parent`."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # Started by `OrderedPool` with interrupts held back (an interrupt that
    # is now ignored is dropped on the way).
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    watched = _die_with_parent()
    # The parent may have died before the request above took effect.
    if os.getppid() != parent:
        os._exit(1)
    if not watched:
        threading.Thread(target=_exit_with_parent, args=(parent,), daemon=True).start()


def _serve(fn: Callable[[Any], Any], parent: int, tasks: Connection, results: Connection,
           parents_ends: list[Connection]) -> None:
    start_worker(parent)
    # A forked worker holds copies of the parent's ends of its own pipes and
    # of those of the workers started before it; while it does, those
    # workers would never see their pipe close.
    for connection in parents_ends:
        connection.close()
    while True:
        try:
            task = tasks.recv()
        except EOFError:  # the pool is done
            return
        try:
            answer = (True, fn(task))
        except Exception as exc:  # noqa: BLE001 - the parent re-raises it
            answer = (False, exc)
        results.send(answer)


class OrderedPool:
    """`jobs` worker processes applying one function to tasks, with the
    results in the order of the tasks, and a stop that is immediate.

    Each worker has a pipe for its tasks and one for its results and holds
    one task at a time; the parent reads every result itself. So no thread
    can be left reading half a message from a worker killed while writing
    it (the executor's manager thread then blocks for ever, and with it the
    shutdown and the interpreter's exit), and stopping is killing the
    workers and closing the pipes.
    """

    def __init__(self, jobs: int, fn: Callable[[Any], Any]) -> None:
        import multiprocessing

        context = multiprocessing.get_context()
        self._workers: list[tuple[Any, Connection, Connection]] = []
        # An interrupt arriving while a worker is forked would be raised in
        # the child before it can ignore interrupts, and swallowed in the
        # parent by the hooks that run around a fork: it waits until the
        # workers are started.
        held = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        try:
            for _ in range(jobs):
                task_reader, task_writer = context.Pipe(duplex=False)
                result_reader, result_writer = context.Pipe(duplex=False)
                parents_ends = [end for _, *ends in self._workers for end in ends] + [task_writer, result_reader]
                process = context.Process(target=_serve, daemon=True,
                                          args=(fn, os.getpid(), task_reader, result_writer, parents_ends))
                self._workers.append((process, task_writer, result_reader))
                process.start()
                task_reader.close()
                result_writer.close()
        except BaseException:
            self.close(abandon=True)
            raise
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, held)

    def map(self, tasks: Iterable[Any]) -> Iterator[Any]:
        """fn over `tasks`, in order. Worker i takes every task whose turn it
        is after its previous result was read, so all stay busy while the
        results are consumed in order."""
        pending = iter(tasks)
        turns: deque[int] = deque()
        for i, task in zip(range(len(self._workers)), pending):
            self._workers[i][1].send(task)
            turns.append(i)
        while turns:
            i = turns.popleft()
            try:
                succeeded, value = self._workers[i][2].recv()
            except EOFError:
                raise BrokenProcessPool("a worker process ended unexpectedly") from None
            if not succeeded:
                raise value
            for task in islice(pending, 1):
                self._workers[i][1].send(task)
                turns.append(i)
            yield value

    def close(self, *, abandon: bool = False) -> None:
        """Ends the workers: at once with `abandon`, else once their pipes
        close (they have no task left after `map` ran to its end)."""
        for process, task_writer, result_reader in self._workers:
            if abandon and process.pid is not None:
                process.kill()
            task_writer.close()
            result_reader.close()
        for process, _, _ in self._workers:
            if process.pid is not None:
                process.join()
        self._workers = []
