"""Plain-Python restatements of vessolin's computations, used as test oracles.

They follow the written rules step by step, favour clarity over speed, and use
only the standard library plus the Unicode data files in tests/data/unicode
(Unicode 15.0, the version behind the build's ICU). Python's own `unicodedata`
may be older: callers restrict random texts to characters it knows.
"""

from __future__ import annotations

import bisect
import hashlib
import pathlib
import unicodedata

DATA = pathlib.Path(__file__).parent / "data"

INVISIBLE = frozenset([0x200B, 0x200C, 0x200D, 0x2060, 0xFEFF, *range(0xFE00, 0xFE10)])

WHITE_SPACE = frozenset(
    [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B), 0x2028, 0x2029, 0x202F, 0x205F, 0x3000]
)


def _load_word_ranges() -> tuple[list[int], list[int]]:
    starts, ends = [], []
    for line in (DATA / "unicode" / "word_characters.txt").read_text().splitlines():
        if not line or line.startswith("#"):
            continue
        first, _, last = line.partition("..")
        starts.append(int(first, 16))
        ends.append(int(last or first, 16))
    return starts, ends


_WORD_STARTS, _WORD_ENDS = _load_word_ranges()


def is_word_char(c: str) -> bool:
    cp = ord(c)
    if cp < 0x80:
        return c.isascii() and c.isalnum()
    i = bisect.bisect_right(_WORD_STARTS, cp) - 1
    return i >= 0 and cp <= _WORD_ENDS[i]


def lower_char(c: str) -> str:
    """Full lowercase mapping of one character, without context."""
    return "\u03c3" if c == "\u03a3" else c.lower()


def normalized_text(text: str) -> str:
    return "".join(c for c in unicodedata.normalize("NFC", text) if ord(c) not in INVISIBLE)


def canonical_stream(text: str) -> str:
    out: list[str] = []
    pending = False
    for c in normalized_text(text):
        for lc in lower_char(c):
            if is_word_char(lc):
                if pending and out:
                    out.append(" ")
                out.append(lc)
                pending = False
            else:
                pending = True
    return "".join(out)


def content_hash(text: str) -> str:
    return hashlib.sha256(canonical_stream(text).encode()).hexdigest()


def strip_white_space(text: str) -> str:
    return text.strip("".join(map(chr, WHITE_SPACE)))
