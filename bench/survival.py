#!/usr/bin/env python3
"""What the zero-width watermark survives.

Marks pieces of the benchmark texts (English, German, Greek, Turkish,
Persian, Hindi, Russian, Chinese, emoji sequences; about 4 KB each), applies
the edits a text meets on its way from one program to another, and prints
for each edit the share of pieces whose watermark still reads back with its
tag verified, the share that reads back but no longer verifies, and the
mean shards_recovered of the pieces that read back at all.

    python bench/survival.py                 # the table, Markdown
    python bench/survival.py --piece-bytes 8000
"""

from __future__ import annotations

import argparse
import collections
import random
import re
import statistics
import sys
import textwrap
import unicodedata
from pathlib import Path
from typing import Callable

import vessolin
from corpus import CORPUS_FILES, DATA

SOURCES = CORPUS_FILES
POINTER = "5e1f00d0c0ffee00112233445566778a"
KEY = "6b" * 32
OTHER_KEY = "7c" * 32
ALPHABET = "\u200b\u200c\u200d\u2060"
GROUP = re.compile(f"[{ALPHABET}]{{4}}")


def pieces(piece_bytes: int, per_source: int) -> list[str]:
    """Runs of whole paragraphs of about `piece_bytes` from each source."""
    out = []
    for rel in SOURCES:
        paragraphs = [p for p in (DATA / rel).read_text(encoding="utf-8").split("\n\n") if p.strip()]
        taken, current = 0, []
        for para in paragraphs:
            current.append(para)
            if sum(len(p.encode()) for p in current) >= piece_bytes:
                out.append("\n\n".join(current))
                current, taken = [], taken + 1
                if taken == per_source:
                    break
    return out


def drop_groups(share: float) -> Callable[[str, random.Random], str]:
    def edit(text: str, rng: random.Random) -> str:
        spans = [m.span() for m in GROUP.finditer(text)]
        gone = set(rng.sample(spans, round(share * len(spans))))
        out, last = [], 0
        for start, end in sorted(gone):
            out.append(text[last:start])
            last = end
        return "".join(out) + text[last:]
    return edit


def delete_sentence(text: str, rng: random.Random) -> str:
    ends = [m.end() for m in re.finditer(r"[.!?\u3002\u06d4\u0964]\s+", text)]
    if len(ends) < 3:
        return text[: len(text) // 2]
    i = rng.randrange(len(ends) - 1)
    return text[: ends[i]] + text[ends[i + 1]:]


def change_word(text: str, rng: random.Random) -> str:
    words = [m for m in re.finditer(r"[^\W\d_]{3,}", text)]
    m = rng.choice(words)
    first = m.group()[0]
    return text[: m.start()] + ("x" if first != "x" else "y") + text[m.start() + 1:]


def rewrap(text: str, rng: random.Random) -> str:
    """Lines filled to 60 columns, broken only at white space."""
    return "\n\n".join(textwrap.fill(p, width=60, break_long_words=False, break_on_hyphens=False)
                        for p in text.split("\n\n"))


def re_embed(text: str, rng: random.Random) -> str:
    return vessolin.embed_watermark(text, "ff" * 16, OTHER_KEY)


EDITS: list[tuple[str, Callable[[str, random.Random], str]]] = [
    ("no edit", lambda t, r: t),
    ("upper case", lambda t, r: t.upper()),
    ("lower case", lambda t, r: t.lower()),
    ("white space collapsed to single spaces", lambda t, r: " ".join(t.split())),
    ("re-wrapped at 60 columns", rewrap),
    ("NFC", lambda t, r: unicodedata.normalize("NFC", t)),
    ("NFKC", lambda t, r: unicodedata.normalize("NFKC", t)),
    ("every U+200B removed", lambda t, r: t.replace("\u200b", "")),
    ("every U+2060 removed", lambda t, r: t.replace("\u2060", "")),
    ("10% of the groups removed", drop_groups(0.10)),
    ("40% of the groups removed", drop_groups(0.40)),
    ("60% of the groups removed", drop_groups(0.60)),
    ("one sentence deleted", delete_sentence),
    ("one word changed", change_word),
    ("re-embedded with another key", re_embed),
    ("format characters (Cf) dropped", lambda t, r: "".join(c for c in t if unicodedata.category(c) != "Cf")),
]


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--piece-bytes", type=int, default=4000)
    ap.add_argument("--per-source", type=int, default=8)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args(argv)

    marked, refused = [], collections.Counter()
    for text in pieces(args.piece_bytes, args.per_source):
        try:
            marked.append(vessolin.embed_watermark(text, POINTER, KEY))
        except ValueError as e:
            refused[str(e)] += 1
    print(f"{len(marked)} pieces of about {args.piece_bytes} bytes marked; refused: "
          + ("; ".join(f"{n} ({reason})" for reason, n in refused.items()) or "none") + "\n")
    print("| edit | verified | read, tag fails | mean shards_recovered |")
    print("| --- | ---: | ---: | ---: |")
    rng = random.Random(args.seed)
    for name, edit in EDITS:
        verified = failed = 0
        recovered = []
        for text in marked:
            try:
                pointer, ok, count = vessolin.extract_watermark(edit(text, rng), KEY)
            except ValueError:
                continue
            recovered.append(count)
            if ok and pointer == POINTER:
                verified += 1
            else:
                failed += 1
        mean = f"{statistics.mean(recovered):.1f}" if recovered else "-"
        print(f"| {name} | {100 * verified / len(marked):.0f}% | {100 * failed / len(marked):.0f}% | {mean} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
