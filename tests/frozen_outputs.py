"""Outputs of every text function, frozen on a fixed set of inputs.

The inputs are corpus pieces and a few thousand random texts drawn from every
assigned code point of Unicode 15.0.0, generated from a seed so that only the
digests of the outputs need to be stored. The stored digests were recorded
with the build that took its Unicode data from ICU 72 (Unicode 15.0); the
module's own tables must give the same bytes on every input.

    python tests/frozen_outputs.py            # rewrite tests/data/frozen_outputs.json

Recording again is a deliberate act: only do it when an output is meant to
change (a new Unicode version, a changed rule), and say so in the commit.
"""

from __future__ import annotations

import bz2
import hashlib
import json
import pathlib
import random

HERE = pathlib.Path(__file__).parent
ROOT = HERE.parent
UCD = ROOT / "tools" / "unicode" / "ucd"
CORPUS = ROOT / "bench" / "data"
FIXTURE = HERE / "data" / "frozen_outputs.json"

SEED = "vessolin-unicode-15.0.0"
RANDOM_TEXTS = 3000
KEY = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff"
POINTER = "0123456789abcdef0123456789abcdef"

CORPUS_FILES = [
    "gutenberg/11-0.txt",
    "gutenberg/22367-0.txt",
    "wikipedia_mars/german.utf8.txt",
    "wikipedia_mars/greek.utf8.txt",
    "wikipedia_mars/turkish.utf8.txt",
    "wikipedia_mars/persan.utf8.txt",
    "wikipedia_mars/hindi.utf8.txt",
    "lipsum/Arabic-Lipsum.utf8.txt",
    "lipsum/Chinese-Lipsum.utf8.txt",
    "lipsum/Hebrew-Lipsum.utf8.txt",
    "lipsum/Hindi-Lipsum.utf8.txt",
    "lipsum/Japanese-Lipsum.utf8.txt",
    "lipsum/Korean-Lipsum.utf8.txt",
    "lipsum/Latin-Lipsum.utf8.txt",
    "lipsum/Russian-Lipsum.utf8.txt",
    "emoji/emoji-zwj-sequences.txt",
]

INVISIBLE = [0x200B, 0x200C, 0x200D, 0x2060, 0xFEFF, *range(0xFE00, 0xFE10)]
WHITE_SPACE = [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B), 0x2028, 0x2029, 0x202F,
               0x205F, 0x3000]


def _unicode_data() -> list[tuple[int, str, str, str, bool]]:
    """(code point, general category, combining class, decomposition, listed alone) of every assigned code point
    but the surrogates."""
    rows = []
    first = None
    with bz2.open(UCD / "UnicodeData.txt.bz2", "rt", encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split(";")
            cp, name, gc = int(fields[0], 16), fields[1], fields[2]
            if name.endswith(", First>"):
                first = cp
                continue
            start = first if name.endswith(", Last>") else cp
            first = None
            if gc == "Cs":
                continue
            rows.extend((c, gc, fields[3], fields[5], start == cp) for c in range(start, cp + 1))
    return rows


def _special_casing() -> list[int]:
    out = []
    for line in (UCD / "SpecialCasing.txt").read_text(encoding="utf-8").splitlines():
        line = line.split("#")[0].strip()
        if line:
            out.append(int(line.split(";")[0], 16))
    return out


class _Pools:
    def __init__(self) -> None:
        rows = _unicode_data()
        self.all = [r[0] for r in rows]
        # Characters listed one by one, without the large ranges (CJK, Tangut,
        # Hangul syllables, private use) that would crowd out every script.
        self.listed = [r[0] for r in rows if r[4]]
        self.marks = [r[0] for r in rows if r[1] in ("Mn", "Mc", "Me")]
        self.nonzero_class = [r[0] for r in rows if r[2] != "0"]
        self.decomposable = [r[0] for r in rows if r[3] and not r[3].startswith("<")]
        self.numbers = [r[0] for r in rows if r[1] in ("Nd", "Nl", "No")]
        self.uppercase = [r[0] for r in rows if r[1] in ("Lu", "Lt")]
        self.hangul = [*range(0xAC00, 0xD7A4)]
        self.jamo_l = [*range(0x1100, 0x1113)]
        self.jamo_v = [*range(0x1161, 0x1176)]
        self.jamo_t = [*range(0x11A8, 0x11C3)]
        self.special = _special_casing() + [0x130, 0x3A3, 0x3C2, 0x3C3, 0x1E9E, 0xDF, 0x212A, 0x2126, 0x345]
        self.fullwidth = [*range(0xFF01, 0xFF5F)]


def _ascii_word(rng: random.Random) -> str:
    letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
    return "".join(rng.choice(letters[:52] if rng.random() < 0.9 else letters) for _ in range(rng.randint(1, 10)))


def _piece(rng: random.Random, pools: _Pools) -> str:
    r = rng.random()
    c = chr
    if r < 0.30:
        return _ascii_word(rng)
    if r < 0.45:
        return rng.choice([" ", " ", " ", "  ", "\n", ", ", ". ", "-", "'", "_", "\r\n", "\t"])
    if r < 0.52:
        return c(rng.choice(pools.listed))
    if r < 0.55:
        return c(rng.choice(pools.all))
    if r < 0.62:  # a base followed by marks in any order: reordering and composition
        base = rng.choice([rng.choice("aeiouAEIOUnNcCsS"), c(rng.choice(pools.listed)), c(rng.choice(pools.decomposable))])
        return base + "".join(c(rng.choice(pools.nonzero_class if rng.random() < 0.7 else pools.marks))
                              for _ in range(rng.randint(1, 4)))
    if r < 0.66:
        return c(rng.choice(pools.decomposable))
    if r < 0.70:
        kind = rng.randrange(4)
        if kind == 0:
            return c(rng.choice(pools.hangul))
        if kind == 1:
            return c(rng.choice(pools.jamo_l)) + c(rng.choice(pools.jamo_v))
        if kind == 2:
            return c(rng.choice(pools.jamo_l)) + c(rng.choice(pools.jamo_v)) + c(rng.choice(pools.jamo_t))
        return c(rng.choice(pools.hangul)) + c(rng.choice(pools.jamo_t))
    if r < 0.74:  # final-sigma cases and the other special casings
        if rng.random() < 0.5:
            word = "".join(c(rng.choice(range(0x391, 0x3AA))) for _ in range(rng.randint(0, 5)))
            return word + "\u03a3" + rng.choice(["", "", " ", "\u0301", "A", "\u03a3", "."])
        return c(rng.choice(pools.special))
    if r < 0.78:
        return c(rng.choice(pools.uppercase))
    if r < 0.82:
        return c(rng.choice(pools.fullwidth))
    if r < 0.87:
        return c(rng.choice(INVISIBLE))
    if r < 0.92:
        return c(rng.choice(WHITE_SPACE))
    return c(rng.choice(pools.numbers))


def random_texts() -> list[str]:
    pools = _Pools()
    rng = random.Random(SEED)
    texts = []
    for _ in range(RANDOM_TEXTS):
        count = rng.choice([1, 2, 3, 5, 10, 20, 40, 80, 160, 400, 400, 800])
        texts.append("".join(_piece(rng, pools) for _ in range(count)))
    return texts


def corpus_texts() -> list[str]:
    """Each corpus file whole, and pieces of it cut at code point offsets (so mid-word and mid-line)."""
    texts = []
    for name in CORPUS_FILES:
        text = (CORPUS / name).read_text(encoding="utf-8")
        texts.append(text)
        rng = random.Random(f"{SEED}:{name}")
        for size in (40, 300, 3000):
            for _ in range(3):
                start = rng.randrange(max(1, len(text) - size))
                texts.append(text[start:start + size])
    return texts


def _calls(vessolin, native):
    def embed(t):
        return vessolin.embed_watermark(t, POINTER, KEY)

    def embed_and_extract(t):
        return vessolin.extract_watermark(embed(t), KEY)

    return {
        "canonical_stream": native.canonical_stream,
        "normalized_text": native.normalized_text,
        "content_hash": vessolin.content_hash,
        "text_fingerprint": vessolin.text_fingerprint,
        "text_structure": vessolin.text_structure,
        "minhash_signature": vessolin.minhash_signature,
        "minhash_bands": vessolin.minhash_bands,
        "soft_binding_fingerprint": vessolin.soft_binding_fingerprint,
        "soft_binding_structure": vessolin.soft_binding_structure,
        "soft_binding_minhash": vessolin.soft_binding_minhash,
        "embed_watermark": embed,
        "extract_watermark": embed_and_extract,
    }


def _output(call, text) -> bytes:
    try:
        value = call(text)
    except Exception as exc:  # the failure is an output too
        value = f"!{type(exc).__name__}: {exc}"
    return repr(value).encode("utf-8", "surrogatepass")


def digests(vessolin, native) -> dict:
    """Per function, one SHA-256 over its outputs on every input; per input, 16 hex digits over all functions."""
    calls = _calls(vessolin, native)
    per_function = {name: hashlib.sha256() for name in calls}
    result: dict = {"unicode": "15.0.0", "seed": SEED, "functions": {}}
    for group, texts in (("corpus", corpus_texts()), ("random", random_texts())):
        rows = []
        for text in texts:
            row = hashlib.sha256()
            for name, call in calls.items():
                out = _output(call, text)
                per_function[name].update(len(out).to_bytes(8, "little") + out)
                row.update(len(out).to_bytes(8, "little") + out)
            rows.append(row.hexdigest()[:16])
        result[group] = rows
    result["functions"] = {name: h.hexdigest() for name, h in per_function.items()}
    return result


if __name__ == "__main__":
    import _vessolin_testing
    import vessolin

    FIXTURE.write_text(json.dumps(digests(vessolin, _vessolin_testing), indent=0) + "\n")
    print(f"wrote {FIXTURE}")
