#!/usr/bin/env python3
"""Files per second of `vessolin fingerprint --jobs N` against a Python loop.

Cuts the benchmark texts into files of 2-5 KB in a temporary folder, then in
interleaved rounds runs the console script over all of them (with --jobs 1
and --jobs N, each a whole process: start-up included) and a loop in this
process that reads each file and calls the same four functions. Prints the
median files per second of each and the speed-up of the script over the loop.

    python bench/cli_bench.py                 # 2,000 files, jobs 2, 5 rounds
    python bench/cli_bench.py --files 5000 --jobs 2 --rounds 7
"""

from __future__ import annotations

import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

import vessolin
from corpus import DATA, PROSE_FILES

SOURCES = PROSE_FILES


def make_files(folder: Path, count: int, seed: int = 7) -> list[Path]:
    rng = random.Random(seed)
    texts = [(DATA / rel).read_text(encoding="utf-8") for rel in SOURCES]
    paths = []
    for i in range(count):
        text = texts[i % len(texts)]
        size = rng.randrange(2000, 5000)  # characters; 2-5 KB for most scripts
        start = rng.randrange(0, max(1, len(text) - size))
        path = folder / f"doc{i:05}.txt"
        path.write_text(text[start:start + size], encoding="utf-8")
        paths.append(path)
    return paths


def python_loop(paths: list[Path]) -> float:
    start = time.perf_counter()
    for path in paths:
        text = path.read_text(encoding="utf-8")
        vessolin.content_hash(text)
        vessolin.text_fingerprint(text)
        vessolin.text_structure(text)
        vessolin.minhash_bands(text)
    return time.perf_counter() - start


def script_run(folder: Path, jobs: int) -> float:
    script = Path(sysconfig.get_path("scripts")) / "vessolin"
    command = [str(script) if script.exists() else "vessolin", "fingerprint", "--jobs", str(jobs)]
    files = sorted(p.name for p in folder.iterdir())
    start = time.perf_counter()
    done = subprocess.run(command + files, cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"vessolin fingerprint failed: {done.stderr.decode()}")
    return elapsed


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--files", type=int, default=2000)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()

    folder = Path(tempfile.mkdtemp(prefix="vessolin-cli-bench-"))
    try:
        paths = make_files(folder, args.files)
        mb = sum(p.stat().st_size for p in paths) / 1e6
        times: dict[str, list[float]] = {"loop": [], "jobs1": [], f"jobs{args.jobs}": []}
        for _ in range(args.rounds):
            times["loop"].append(python_loop(paths))
            times["jobs1"].append(script_run(folder, 1))
            times[f"jobs{args.jobs}"].append(script_run(folder, args.jobs))
        print(f"{args.files} files, {mb:.1f} MB, {args.rounds} rounds, {os.cpu_count()} CPUs")
        loop = statistics.median(times["loop"])
        for name, values in times.items():
            median = statistics.median(values)
            spread = (max(values) - min(values)) / median * 100
            label = {"loop": "python loop, one process"}.get(name, f"vessolin fingerprint --{name[:4]} {name[4:]}")
            print(f"{label:<36} {args.files / median:8.0f} files/s   "
                  f"(spread {spread:4.1f}%)   speed-up {loop / median:4.2f}x")
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
