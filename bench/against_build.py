#!/usr/bin/env python3
"""Time this build's functions against another build of vessolin, side by
side in one process.

The other build is loaded from its own file under the same module name (an
extension module initialises once per file, so the two coexist). In every
round each function runs a batch on each build, in alternating order; the
speed-up is the median of the per-round ratios other / this, printed with
their range.

    python bench/against_build.py --other /path/to/site-packages --function text_structure
"""

from __future__ import annotations

import argparse
import importlib.util
import statistics
import time
from pathlib import Path

import vessolin

import bench


def load_other(site_packages: Path):
    so = next((site_packages / "vessolin").glob("__init__*.so"))
    where = importlib.util.spec_from_file_location("vessolin", so)
    module = importlib.util.module_from_spec(where)
    where.loader.exec_module(module)
    if Path(module.__file__).resolve() == Path(vessolin.__file__).resolve():
        raise SystemExit("--other names this build")
    return module


def batch_seconds(fn, text: str, calls: int) -> float:
    start = time.perf_counter()
    for _ in range(calls):
        fn(text)
    return (time.perf_counter() - start) / calls


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--other", type=Path, required=True, help="site-packages folder of the other build")
    parser.add_argument("--function", action="append", default=None, help="one-text function to time (repeatable)")
    parser.add_argument("--rounds", type=int, default=21)
    parser.add_argument("--calls", type=int, default=10, help="calls per batch")
    args = parser.parse_args()
    other = load_other(args.other)
    print(f"this build: {vessolin.__file__} ({bench.kernel_set()})")
    print(f"other build: {other.__file__}")
    texts = {"en/100KB": bench.english(100_000), "mixed/100KB": bench.mixed(100_000)}
    for name in args.function or ["text_structure"]:
        this_fn, other_fn = getattr(vessolin, name), getattr(other, name)
        for label, text in texts.items():
            if this_fn(text) != other_fn(text):
                raise SystemExit(f"{name} {label}: the builds disagree")
            ratios, this_times, other_times = [], [], []
            for r in range(args.rounds):
                pair = [(this_fn, this_times), (other_fn, other_times)]
                for fn, times in pair if r % 2 == 0 else reversed(pair):
                    times.append(batch_seconds(fn, text, args.calls))
                ratios.append(other_times[-1] / this_times[-1])
            print(f"{name} {label}: this {statistics.median(this_times) * 1e6:.0f} us, "
                  f"other {statistics.median(other_times) * 1e6:.0f} us; "
                  f"speed-up {statistics.median(ratios):.2f}x (rounds {min(ratios):.2f}-{max(ratios):.2f})")


if __name__ == "__main__":
    main()
