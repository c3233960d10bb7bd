#!/usr/bin/env python3
"""Time vessolin against its baselines in one process.

Every selected row runs its contender (vessolin) and its baseline in
interleaved rounds: in each round every row runs each of its timed
functions once over a calibrated batch of calls, so that drift and noise on
the machine hit all of them alike. Each row reports the median time per call
with its spread, the ratio contender / baseline, and that ratio beside the
row's target with a pass or miss mark.

Memory rows run one call in a fresh child process and read the peak resident
set size of that process (the kernel's high-water mark, reset just before
the call), so native allocations count.

Rows live in ROWS below; adding a row means adding one entry there.

    python bench/bench.py                 # every row, full rounds
    python bench/bench.py --quick         # fewer, shorter rounds
    python bench/bench.py --only content_hash --only memory
    python bench/bench.py --json results.json
"""

from __future__ import annotations

import argparse
import collections
import fnmatch
import functools
import gc
import hashlib
import json
import os
import platform
import random
import re
import shutil
import ssl
import statistics
import subprocess
import sys
import time
import timeit
import unicodedata
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

from corpus import CORPUS_FILES, DATA

HERE = Path(__file__).resolve().parent

try:
    import vessolin
except ImportError:  # the rows that need it are skipped
    vessolin = None

try:
    import _vessolin_testing
except ImportError:
    _vessolin_testing = None


# --------------------------------------------------------------------------
# Input texts
# --------------------------------------------------------------------------

SIZES = {"200B": 200, "5KB": 5_000, "100KB": 100_000}


@functools.cache
def read(rel: str) -> str:
    return (DATA / rel).read_text(encoding="utf-8")


def cut_utf8(text: str, limit: int) -> str:
    """The longest prefix of at most `limit` UTF-8 bytes, ending before a
    white-space character when one lies in its last 64 characters."""
    raw = text.encode("utf-8")
    if len(raw) <= limit:
        return text
    prefix = raw[:limit].decode("utf-8", errors="ignore")
    split = max(prefix.rfind(" "), prefix.rfind("\n"))
    if split >= len(prefix) - 64:
        prefix = prefix[:split]
    return prefix


@functools.cache
def english_source() -> str:
    text = read("gutenberg/11-0.txt")
    return text[text.index("CHAPTER I.\n"):]


@functools.cache
def english(nbytes: int) -> str:
    source = english_source()
    while len(source.encode("utf-8")) < nbytes:
        source += "\n\n" + english_source()
    return cut_utf8(source, nbytes)


_LINK = re.compile(r"!?\[([^\]]*)\]\((?:[^()]|\([^)]*\))*\)")


def _wiki_paragraphs(rel: str) -> list[str]:
    """Running-prose paragraphs of a Wikipedia page, link targets removed."""
    out = []
    for para in read(rel).split("\n\n"):
        para = _LINK.sub(r"\1", para).strip()
        if (len(para) > 200 and para[0].isalpha() and "http" not in para
                and "|" not in para and "---" not in para):
            out.append(para)
    return out


def _plain_paragraphs(rel: str) -> list[str]:
    return [p.strip() for p in read(rel).split("\n\n") if p.strip()]


@functools.cache
def emoji_sequences() -> list[str]:
    """The literal RGI ZWJ sequences from the trailing comments."""
    out = []
    for line in read("emoji/emoji-zwj-sequences.txt").splitlines():
        if line and not line.startswith("#"):
            m = re.search(r"\(([^()]+)\)\s*$", line)
            if m:
                out.append(m.group(1))
    return out


@functools.cache
def mixed(nbytes: int) -> str:
    """German, Greek, Russian and Chinese in turn, pieces of equal size in
    bytes, each round closed by two emoji ZWJ sequences. Pieces scale with
    the target size, so even 200 bytes hold every script."""
    sources = [
        _wiki_paragraphs("wikipedia_mars/german.utf8.txt"),
        _wiki_paragraphs("wikipedia_mars/greek.utf8.txt"),
        _plain_paragraphs("lipsum/Russian-Lipsum.utf8.txt"),
        _plain_paragraphs("lipsum/Chinese-Lipsum.utf8.txt"),
    ]
    cursors = [0] * len(sources)
    emoji = emoji_sequences()
    piece = min(1000, max(36, nbytes // 5))

    def next_piece(k: int) -> str:
        paras, taken = sources[k], []
        while sum(len(p.encode("utf-8")) + 2 for p in taken) < piece:
            taken.append(paras[cursors[k] % len(paras)])
            cursors[k] += 1
        return cut_utf8("\n\n".join(taken), piece)

    parts: list[str] = []
    total = 0
    i = 0
    while total < nbytes + piece:
        for k in range(len(sources)):
            parts.append(next_piece(k))
        parts[-1] += " " + emoji[(7 * i) % len(emoji)] + " " + emoji[(7 * i + 3) % len(emoji)]
        total += sum(len(p.encode("utf-8")) + 2 for p in parts[-4:])
        i += 1
    return cut_utf8("\n\n".join(parts), nbytes)


def text_of(kind: str, nbytes: int) -> str:
    return english(nbytes) if kind == "en" else mixed(nbytes)


def repeated(kind: str, nbytes: int, copies: int) -> str:
    """`copies` copies of the `nbytes` text: exactly `copies` times the work."""
    return "\n\n".join([text_of(kind, nbytes)] * copies)


@functools.cache
def shuffled_words(nbytes: int) -> str:
    """Words of the English and mixed texts in random order: a text with
    about as many distinct shingles as it has characters."""
    words = (english(100_000) + " " + mixed(100_000)).split()
    rng = random.Random(20240601)
    out, total = [], 0
    while total < nbytes:
        w = rng.choice(words)
        out.append(w)
        total += len(w.encode("utf-8")) + 1
    return " ".join(out)


def corpus_texts() -> dict[str, str]:
    return {rel: read(rel) for rel in CORPUS_FILES}


# --------------------------------------------------------------------------
# Pure-Python baselines
# --------------------------------------------------------------------------

INVISIBLE = dict.fromkeys([0x200B, 0x200C, 0x200D, 0x2060, 0xFEFF, *range(0xFE00, 0xFE10)])
# Letters and numbers, without the underscore. Python's \w lacks the marks
# that are Alphabetic without being letters (Devanagari vowel signs, for
# example), so texts holding them need the exact class further down.
WORD_RE = re.compile(r"[^\W_]+")

try:
    import regex as _regex
    EXACT_WORD_RE = _regex.compile(r"[\p{Alphabetic}\p{N}]+")
except ImportError:
    EXACT_WORD_RE = None


def py_canonical(text: str, word_re=WORD_RE) -> str:
    """NFC, drop the invisible set, lowercase one character at a time (capital
    sigma always to U+03C3, so str.lower's final-sigma rule never fires),
    then the words joined by single spaces."""
    text = unicodedata.normalize("NFC", text).translate(INVISIBLE)
    text = text.replace("\u03a3", "\u03c3").lower()
    return " ".join(word_re.findall(text))


def py_content_hash(text: str, word_re=WORD_RE) -> str:
    return hashlib.sha256(py_canonical(text, word_re).encode("utf-8")).hexdigest()


def py_shingles(stream: str) -> collections.Counter:
    k = min(4, len(stream))
    return collections.Counter([stream[i:i + k] for i in range(len(stream) - k + 1)])


def py_text_fingerprint(text: str) -> str:
    """Surface SimHash: code-point 4-shingles of the canonical stream counted
    with a Counter, each distinct shingle hashed once with BLAKE2b-512 (first
    32 bytes), its count as weight, counter i > 0 gives bit i.

    The 256 counters are kept as 32 histograms of byte values (one list
    update per digest byte rather than one per bit), then summed per bit."""
    stream = py_canonical(text)
    if not stream:
        return "00" * 32
    counts = py_shingles(stream)
    hists = [[0] * 256 for _ in range(32)]
    blake2b = hashlib.blake2b
    for shingle, weight in counts.items():
        digest = blake2b(shingle.encode("utf-8")).digest()
        for hist, byte in zip(hists, digest):  # stops after 32 bytes
            hist[byte] += weight
    total = sum(counts.values())
    out = bytearray(32)
    for j, hist in enumerate(hists):
        for bit in range(8):
            mask = 0x80 >> bit
            ones = sum(c for value, c in enumerate(hist) if value & mask)
            if 2 * ones - total > 0:
                out[j] |= mask
    return out.hex()


def py_word_shingles(text: str) -> list[bytes]:
    tokens = py_canonical(text).split(" ")
    if len(tokens) <= 5:
        return [" ".join(tokens).encode("utf-8")]
    return [" ".join(tokens[i:i + 5]).encode("utf-8") for i in range(len(tokens) - 4)]


try:
    import datasketch
except ImportError:
    datasketch = None


def datasketch_minhash() -> Callable[[list[bytes]], Any]:
    """A function running MinHash(num_perm=128).update_batch(shingles), with
    the permutations drawn once, outside the timed calls."""
    proto = datasketch.MinHash(num_perm=128)
    extra = {"scheme": proto.scheme} if hasattr(proto, "scheme") else {}
    perms = proto.permutations

    def run(shingles: list[bytes]):
        m = datasketch.MinHash(num_perm=128, permutations=perms, **extra)
        m.update_batch(shingles)
        return m.hashvalues
    return run


# --------------------------------------------------------------------------
# Rows
# --------------------------------------------------------------------------

@dataclass
class Timed:
    """One thing to time: `stmt` run with the names in `env` bound."""
    label: str
    stmt: str
    env: dict[str, Any]
    per: int = 1   # operations per run of stmt; times are reported per operation
    per_unit: bool = False  # also show the time per unit of the row (e.g. per shingle)

    @staticmethod
    def call(label: str, fn: Callable, *args: Any, per_unit: bool = False) -> "Timed":
        names = [f"a{i}" for i in range(len(args))]
        return Timed(label, f"f({', '.join(names)})", {"f": fn, **dict(zip(names, args))},
                     per_unit=per_unit)


@dataclass
class Case:
    contender: Timed
    baseline: Timed
    # extra timings taken in the same rounds and shown beside the row
    extras: list[Timed] = field(default_factory=list)
    # name -> count: print contender time per unit, e.g. per distinct shingle
    units: dict[str, int] = field(default_factory=dict)
    # unit name -> (label, function returning ns) for floors measured apart
    floors: list[tuple[str, Callable[[], float]]] = field(default_factory=list)
    # run once before timing: raises AssertionError if the baseline computes
    # something other than the contender
    check: Callable[[], None] | None = None


@dataclass
class Target:
    """How a row's ratio (contender time / baseline time) is shown and judged.
    kind "at_most": shown as the ratio, passes when ratio <= value;
    kind "speedup": shown as 1/ratio ("x faster"), passes when 1/ratio >= value.
    A value of None shows the ratio without judging it."""
    kind: str
    value: float | None = None
    label: str = ""

    def passed(self, ratio: float) -> bool | None:
        if self.value is None:
            return None
        return ratio <= self.value if self.kind == "at_most" else 1 / ratio >= self.value

    def describe(self) -> str:
        if self.value is None:
            return "-"
        if self.label:
            return self.label
        return f"<= {self.value:g}x" if self.kind == "at_most" else f">= {self.value:g}x faster"

    def show(self, ratio: float) -> str:
        return f"{ratio:.2f}x" if self.kind == "at_most" else f"{1 / ratio:.1f}x faster"


@dataclass
class Row:
    name: str
    needs: tuple[str, ...]          # vessolin functions the row calls
    build: Callable[[], Case] | None
    target: Target
    about: str
    optional: tuple[str, ...] = ()  # other modules the row needs
    memory: str | None = None       # memory rows: name of a probe


def _vfn(name: str) -> Callable:
    return getattr(vessolin, name)


def content_hash_vs_sha256(kind: str, nbytes: int) -> Case:
    text = text_of(kind, nbytes)
    raw = text.encode("utf-8")
    return Case(
        Timed.call("vessolin.content_hash", _vfn("content_hash"), text),
        Timed("hashlib.sha256 (same bytes)", "h(b).hexdigest()", {"h": hashlib.sha256, "b": raw}),
    )


def content_hash_vs_python(kind: str, nbytes: int) -> Case:
    text = text_of(kind, nbytes)

    def check():
        got, want = vessolin.content_hash(text), py_content_hash(text)
        assert got == want, f"content_hash {got} but the Python pipeline gives {want}"
    return Case(
        Timed.call("vessolin.content_hash", _vfn("content_hash"), text),
        Timed.call("Python pipeline", py_content_hash, text),
        check=check,
    )


def call_overhead() -> Case:
    return Case(
        Timed("vessolin.content_hash('x')", "f(a)", {"f": _vfn("content_hash"), "a": "x"}),
        Timed("hashlib.sha256(b'x').hexdigest()", "h(b).hexdigest()", {"h": hashlib.sha256, "b": b"x"}),
    )


def blake2b_floors(messages: list[bytes]) -> list[Timed]:
    """Two bounds on the cost of one BLAKE2b-512 of a 4-character message:
    a call through hashlib per message (which includes the interpreter's call
    overhead), and one compression of a 128-byte block, taken from hashlib's
    throughput on 1 MB (a 4-character message needs exactly one)."""
    big = bytes(range(256)) * 4096
    return [
        Timed("floor: hashlib.blake2b-512 per 4-char msg", "for m in ms: h(m).digest()",
              {"h": hashlib.blake2b, "ms": messages}, per=len(messages)),
        Timed("floor: one BLAKE2b compression (1 MB / 128 B)", "h(b).digest()",
              {"h": hashlib.blake2b, "b": big}, per=len(big) // 128),
    ]


def native_blake2b_floor() -> Callable[[], float] | None:
    for name in ("blake2b_floor_ns", "feature_hash_floor_ns"):
        fn = getattr(_vessolin_testing, name, None) if _vessolin_testing else None
        if fn is not None:
            return lambda: float(fn("200000"))
    return None


def text_fingerprint_vs_python(kind: str) -> Case:
    text = text_of(kind, 100_000)
    counts = py_shingles(py_canonical(text))
    sample = [s.encode("utf-8") for s in list(counts)[:1000]]

    def check():
        got, want = vessolin.text_fingerprint(text), py_text_fingerprint(text)
        assert got == want, f"text_fingerprint {got} but the Python baseline gives {want}"
    floors = []
    native = native_blake2b_floor()
    if native is not None:
        floors.append(("floor: native BLAKE2b-512 of a 4-char message", native))
    return Case(
        Timed.call("vessolin.text_fingerprint", _vfn("text_fingerprint"), text, per_unit=True),
        Timed.call("Python (Counter + hashlib.blake2b)", py_text_fingerprint, text, per_unit=True),
        extras=blake2b_floors(sample),
        units={"distinct shingle": len(counts), "shingle": sum(counts.values())},
        floors=floors,
        check=check,
    )


def minhash_vs_datasketch(kind: str) -> Case:
    text = text_of(kind, 100_000)
    shingles = py_word_shingles(text)
    run = datasketch_minhash()
    extras = [Timed("datasketch incl. Python canonical + shingles", "f(py(t))",
                    {"f": run, "py": py_word_shingles, "t": text}, per_unit=True)]
    kernels = getattr(_vessolin_testing, "minhash_kernels", None)
    if kernels is not None:  # each native kernel the processor can run
        extras += [Timed.call(f"vessolin kernel {k}", _vessolin_testing.minhash_using, text, k, per_unit=True)
                   for k in kernels().split()]
    return Case(
        Timed.call("vessolin.minhash_signature", _vfn("minhash_signature"), text, per_unit=True),
        Timed.call("datasketch MinHash(128).update_batch", run, shingles, per_unit=True),
        extras=extras,
        units={"shingle": len(shingles)},
    )


@functools.cache
def shuffled_sentences(kind: str, copies: int) -> str:
    """`copies` versions of the 100 KB text, each with its sentences in a
    different order and regrouped into paragraphs of four: fresh sentence
    pairs, paragraphs and function-word runs throughout, at the same mix of
    sentence shapes, where plain copies would only repeat the features of
    the first."""
    sentences = re.split(r"(?<=[.!?])\s+", " ".join(text_of(kind, 100_000).split()))
    out = []
    for seed in range(copies):
        order = sentences[:]
        random.Random(seed).shuffle(order)
        out.append("\n\n".join(" ".join(order[i:i + 4]) for i in range(0, len(order), 4)))
    return "\n\n".join(out)


def structure_linearity(kind: str) -> Case:
    fn = _vfn("text_structure")
    return Case(
        Timed.call("vessolin.text_structure, 10 x 100 KB", fn, shuffled_sentences(kind, 10)),
        Timed.call("vessolin.text_structure, 100 KB", fn, shuffled_sentences(kind, 1)),
    )


# Signing rows: the same Ed25519 work on both sides. vessolin gets the key as
# hex and must derive the signing key from the seed on every call, so the
# baseline does too; the envelope (Sig_structure, CBOR, hex) is vessolin's
# only extra cost. The prebuilt-key timings are shown beside, not judged.
SIGN_SEED = bytes.fromhex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60")
SIGN_SIZES = {"1KB": 1_000, "100KB": 100_000}


def cbor_bstr(b: bytes) -> bytes:
    n = len(b)
    if n < 24:
        return bytes([0x40 | n]) + b
    for info, size in ((24, 1), (25, 2), (26, 4), (27, 8)):
        if n < 1 << (8 * size):
            return bytes([0x40 | info]) + n.to_bytes(size, "big") + b
    raise ValueError(n)


def sig_structure(payload: bytes) -> bytes:
    return bytes.fromhex("846a5369676e617475726531" "43a10127" "40") + cbor_bstr(payload)


try:
    import cryptography
    from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey, Ed25519PublicKey
except ImportError:
    cryptography = None


def ed25519_classes():
    return Ed25519PrivateKey, Ed25519PublicKey


def libcrypto_floor(operation: str, nbytes: int, iterations: int) -> list[tuple[str, Callable[[], float]]]:
    """The same Ed25519 operation on the libcrypto that vessolin links, timed
    natively: what the function costs at least, envelope and hex aside. The
    cryptography package brings a libcrypto of its own, which need not be as
    fast."""
    fn = getattr(_vessolin_testing, "ed25519_floor_ns", None) if _vessolin_testing else None
    if fn is None:
        return []
    return [(f"floor: linked libcrypto Ed25519 {operation}, same bytes",
             lambda: float(fn(operation, str(nbytes), str(iterations))))]


def sign_vs_cryptography(nbytes: int) -> Case:
    private_cls, _ = ed25519_classes()
    payload = english(nbytes)
    tbs = sig_structure(payload.encode("utf-8"))
    key = private_cls.from_private_bytes(SIGN_SEED)

    def check():
        got = bytes.fromhex(vessolin.sign(payload, SIGN_SEED.hex()))
        assert got.endswith(key.sign(tbs)), "sign's signature differs from cryptography's over the Sig_structure"
    return Case(
        Timed.call("vessolin.sign", _vfn("sign"), payload, SIGN_SEED.hex()),
        Timed("cryptography from_private_bytes(seed).sign", "c.from_private_bytes(s).sign(m)",
              {"c": private_cls, "s": SIGN_SEED, "m": tbs}),
        extras=[Timed("cryptography key.sign (key prebuilt)", "k.sign(m)", {"k": key, "m": tbs})],
        floors=libcrypto_floor("sign", len(tbs), max(20, 400_000 // len(tbs))),
        check=check,
    )


def verify_vs_cryptography(nbytes: int) -> Case:
    private_cls, public_cls = ed25519_classes()
    payload = english(nbytes)
    tbs = sig_structure(payload.encode("utf-8"))
    private = private_cls.from_private_bytes(SIGN_SEED)
    public = private.public_key().public_bytes_raw()
    signature = private.sign(tbs)
    envelope = vessolin.sign(payload, SIGN_SEED.hex())
    prebuilt = public_cls.from_public_bytes(public)

    def check():
        assert vessolin.verify(envelope, public.hex()) == payload
    return Case(
        Timed.call("vessolin.verify", _vfn("verify"), envelope, public.hex()),
        Timed("cryptography from_public_bytes(pk).verify", "c.from_public_bytes(p).verify(s, m)",
              {"c": public_cls, "p": public, "s": signature, "m": tbs}),
        extras=[Timed("cryptography key.verify (key prebuilt)", "k.verify(s, m)",
                      {"k": prebuilt, "s": signature, "m": tbs})],
        floors=libcrypto_floor("verify", len(tbs), max(20, 400_000 // len(tbs))),
        check=check,
    )


def public_key_vs_cryptography() -> Case:
    private_cls, _ = ed25519_classes()

    def check():
        want = private_cls.from_private_bytes(SIGN_SEED).public_key().public_bytes_raw().hex()
        assert vessolin.public_key(SIGN_SEED.hex()) == want
    return Case(
        Timed.call("vessolin.public_key", _vfn("public_key"), SIGN_SEED.hex()),
        Timed("cryptography from_private_bytes(seed).public_key().public_bytes_raw()",
              "c.from_private_bytes(s).public_key().public_bytes_raw()", {"c": private_cls, "s": SIGN_SEED}),
        floors=libcrypto_floor("derive", 0, 500),
        check=check,
    )


# The function whose work verify_tier repeats for each kind of assertion.
TIER_ALGORITHMS = {
    "fingerprint": ("soft_binding_fingerprint", "text_fingerprint"),
    "structure": ("soft_binding_structure", "text_structure"),
    "minhash": ("soft_binding_minhash", "minhash_signature"),
}


def verify_tier_vs_recompute(kind: str, algorithm: str) -> Case:
    """verify_tier of a text against its own assertion (window blocks
    included, for the surface fingerprint), against computing the
    fingerprint that the assertion names: decoding and comparing should be
    lost in the noise."""
    text = text_of(kind, 100_000)
    builder, recompute = TIER_ALGORITHMS[algorithm]
    assertion = _vfn(builder)(text)

    def check():
        from vessolin._structure_rule import structure_informative

        got = vessolin.verify_tier(text, assertion, False, True)
        if algorithm == "structure":
            # A structural match counts only for a text with enough function
            # words; the mixed-script text has too few, so it stays REVIEW.
            want = "LIKELY" if structure_informative(text) else "REVIEW"
        else:
            want = "BOUND"
        assert got == want, f"verify_tier gives {got} on the text's own assertion, not {want}"
    return Case(
        Timed("vessolin.verify_tier", "f(t, a, False, True)",
              {"f": _vfn("verify_tier"), "t": text, "a": assertion}),
        Timed.call(f"vessolin.{recompute}", _vfn(recompute), text),
        units={"assertion byte": len(assertion) // 2},
        check=check,
    )


def builder_vs_fingerprint(kind: str, builder: str, fingerprint: str) -> Case:
    text = text_of(kind, 100_000)
    return Case(
        Timed.call(f"vessolin.{builder}", _vfn(builder), text),
        Timed.call(f"vessolin.{fingerprint}", _vfn(fingerprint), text),
    )


# The watermark rows: embed and extract against content_hash of the same
# text, which both must compute; the rest is two linear passes, the keyed
# shuffle of the words and 48 groups.
WM_POINTER = "0123456789abcdef0123456789abcdef"
WM_KEY = "5a" * 32


@functools.cache
def persian_paragraphs() -> list[str]:
    """Persian prose (with its zero-width non-joiners), without the image links."""
    return [p for p in _wiki_paragraphs("wikipedia_mars/persan.utf8.txt") if "](" not in p and "/wiki/" not in p]


@functools.cache
def persian_mixed(nbytes: int) -> str:
    """The mixed-script text with a piece of Persian after every fourth
    paragraph, so that Persian makes about a fifth of it."""
    persian = persian_paragraphs()
    out: list[str] = []
    for i, para in enumerate(mixed(2 * nbytes).split("\n\n")):
        out.append(para)
        if i % 4 == 3:
            out.append(cut_utf8(persian[(i // 4) % len(persian)], len(para.encode("utf-8"))))
    return cut_utf8("\n\n".join(out), nbytes)


WM_TEXTS = {"en": english, "mixed-fa": persian_mixed}
WM_KINDS = {"en": "English prose", "mixed-fa": "mixed-script text with Persian (ZWNJ) and emoji ZWJ sequences"}


def watermark_vs_content_hash(function: str, kind: str) -> Case:
    text = WM_TEXTS[kind](100_000)
    marked = vessolin.embed_watermark(text, WM_POINTER, WM_KEY)

    def check():
        pointer, verified, _ = vessolin.extract_watermark(marked, WM_KEY)
        assert (pointer, verified) == (WM_POINTER, True), "the watermark does not read back"
    if function == "embed_watermark":
        contender = Timed.call("vessolin.embed_watermark", _vfn(function), text, WM_POINTER, WM_KEY)
        baseline = Timed.call("vessolin.content_hash (same text)", _vfn("content_hash"), text)
    else:
        contender = Timed.call("vessolin.extract_watermark", _vfn(function), marked, WM_KEY)
        baseline = Timed.call("vessolin.content_hash (same marked text)", _vfn("content_hash"), marked)
    return Case(contender, baseline, check=check)


KINDS = {"en": "English prose", "mixed": "mixed-script text"}

ROWS: list[Row] = [
    *[Row(f"content_hash/{kind}/{size}/sha256", ("content_hash",),
          functools.partial(content_hash_vs_sha256, kind, n),
          Target("at_most", 2.0 if kind == "en" else None),
          f"content_hash against hashlib.sha256 of the same UTF-8 bytes, {KINDS[kind]}, {size}")
      for kind in KINDS for size, n in SIZES.items()],
    *[Row(f"content_hash/{kind}/{size}/python", ("content_hash",),
          functools.partial(content_hash_vs_python, kind, n),
          Target("speedup", 10.0 if kind == "mixed" else None),
          f"content_hash against the pure-Python pipeline, {KINDS[kind]}, {size}")
      for kind in KINDS for size, n in SIZES.items()],
    Row("content_hash/call-overhead", ("content_hash",), call_overhead, Target("at_most", 1.5),
        "content_hash('x') against hashlib.sha256(b'x').hexdigest()"),
    *[Row(f"text_fingerprint/{kind}/100KB/python", ("text_fingerprint",),
          functools.partial(text_fingerprint_vs_python, kind), Target("speedup", 20.0),
          f"text_fingerprint against the Python Counter + blake2b baseline, {KINDS[kind]}, 100 KB")
      for kind in KINDS],
    *[Row(f"minhash_signature/{kind}/100KB/datasketch", ("minhash_signature",),
          functools.partial(minhash_vs_datasketch, kind), Target("speedup", 20.0),
          f"minhash_signature against datasketch on the same 5-word shingles, {KINDS[kind]}, 100 KB",
          optional=("datasketch",))
      for kind in KINDS],
    *[Row(f"text_structure/{kind}/linearity", ("text_structure",),
          functools.partial(structure_linearity, kind), Target("at_most", 12.0, "~10x (<= 12x)"),
          f"text_structure on 10 x 100 KB against 100 KB, {KINDS[kind]}")
      for kind in KINDS],
    *[Row(f"verify_tier/{kind}/100KB/{algorithm}", ("verify_tier", TIER_ALGORITHMS[algorithm][0]),
          functools.partial(verify_tier_vs_recompute, kind, algorithm), Target("at_most", 1.1),
          f"verify_tier against its own {algorithm} assertion vs {TIER_ALGORITHMS[algorithm][1]}, "
          f"{KINDS[kind]}, 100 KB")
      for kind in KINDS for algorithm in TIER_ALGORITHMS],
    *[Row(f"soft_binding_fingerprint/{kind}/100KB", ("soft_binding_fingerprint",),
          functools.partial(builder_vs_fingerprint, kind, "soft_binding_fingerprint", "text_fingerprint"),
          Target("at_most", 2.0),
          f"soft_binding_fingerprint (whole text and windows) against text_fingerprint, {KINDS[kind]}, 100 KB")
      for kind in KINDS],
    *[Row(f"soft_binding_minhash/{kind}/100KB", ("soft_binding_minhash",),
          functools.partial(builder_vs_fingerprint, kind, "soft_binding_minhash", "minhash_signature"),
          Target("at_most", 1.1),
          f"soft_binding_minhash against minhash_signature, {KINDS[kind]}, 100 KB")
      for kind in KINDS],
    *[Row(f"sign/{size}/cryptography", ("sign",), functools.partial(sign_vs_cryptography, n),
          Target("at_most", 1.2),
          f"sign of a {size} payload against cryptography's Ed25519 sign of the same Sig_structure",
          optional=("cryptography",))
      for size, n in SIGN_SIZES.items()],
    *[Row(f"verify/{size}/cryptography", ("verify",), functools.partial(verify_vs_cryptography, n),
          Target("at_most", 1.2),
          f"verify of a {size} envelope against cryptography's Ed25519 verify of the same Sig_structure",
          optional=("cryptography",))
      for size, n in SIGN_SIZES.items()],
    Row("public_key/cryptography", ("public_key",), public_key_vs_cryptography, Target("at_most", 1.2),
        "public_key against cryptography's key derivation from the same seed", optional=("cryptography",)),
    *[Row(f"{fn}/{kind}/100KB/content_hash", (fn, "content_hash"),
          functools.partial(watermark_vs_content_hash, fn, kind), Target("at_most", 2.5, "<= 2.5x (aim 2x)"),
          f"{fn} against content_hash of the same text, {WM_KINDS[kind]}, 100 KB")
      for fn in ("embed_watermark", "extract_watermark") for kind in WM_KINDS],
    # Memory: peak resident memory added by one call, divided by the input's UTF-8 size.
    Row("memory/content_hash/mixed/20MB", ("content_hash",), None, Target("at_most", 4.0),
        "peak extra memory of content_hash on 20 MB of mixed text", memory="content_hash"),
    Row("memory/text_fingerprint/shuffled/10MB", ("text_fingerprint",), None, Target("at_most", 8.0),
        "peak extra memory of text_fingerprint on 10 MB of shuffled words", memory="text_fingerprint"),
    Row("memory/minhash_signature/shuffled/10MB", ("minhash_signature",), None, Target("at_most", 8.0),
        "peak extra memory of minhash_signature on 10 MB of shuffled words", memory="minhash_signature"),
    Row("memory/text_structure/mixed/10MB", ("text_structure",), None, Target("at_most", 8.0),
        "peak extra memory of text_structure on 10 MB of mixed text", memory="text_structure"),
    Row("memory/embed_watermark/en/10MB", ("embed_watermark",), None, Target("at_most", 6.0),
        "peak extra memory of embed_watermark on 10 MB of English (returns a 10 MB str)",
        memory="embed_watermark"),
    Row("memory/extract_watermark/mixed-fa/10MB", ("extract_watermark",), None, Target("at_most", 6.0),
        "peak extra memory of extract_watermark on 10 MB of marked mixed text with Persian",
        memory="extract_watermark"),
]

def marked_for_memory_probe() -> str:
    """10 MB of the mixed text with Persian, marked; the memory that marking
    used is handed back to the system, so that the probe does not find it
    resident and free."""
    marked = vessolin.embed_watermark("\n\n".join([persian_mixed(100_000)] * 100), WM_POINTER, WM_KEY)
    gc.collect()
    try:
        import ctypes
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):  # not glibc: the figure may come out low
        pass
    return marked


# name -> (vessolin function or None for the hashlib reference, text builder[, further arguments])
MEMORY_PROBES: dict[str, tuple[Any, ...]] = {
    "content_hash": ("content_hash", lambda: repeated("mixed", 100_000, 200)),
    "text_fingerprint": ("text_fingerprint", lambda: shuffled_words(10_000_000)),
    "minhash_signature": ("minhash_signature", lambda: shuffled_words(10_000_000)),
    "text_structure": ("text_structure", lambda: repeated("mixed", 100_000, 100)),
    "embed_watermark": ("embed_watermark", lambda: repeated("en", 100_000, 100), (WM_POINTER, WM_KEY)),
    "extract_watermark": ("extract_watermark", lambda: marked_for_memory_probe(), (WM_KEY,)),
    # reference: hashlib over the encoded text, which holds one UTF-8 copy
    "sha256-of-encoded:content_hash": (None, lambda: repeated("mixed", 100_000, 200)),
}


# --------------------------------------------------------------------------
# Timing
# --------------------------------------------------------------------------

@dataclass
class Series:
    label: str
    timer: timeit.Timer | None
    number: int = 1
    per: int = 1                 # divide batch time by this (loops inside stmt)
    fn: Callable[[], float] | None = None   # self-timing floors: returns ns
    per_unit: bool = False
    samples: list[float] = field(default_factory=list)

    def run(self) -> None:
        if self.fn is not None:
            self.samples.append(self.fn())
            return
        elapsed = self.timer.timeit(self.number)
        self.samples.append(elapsed * 1e9 / (self.number * self.per))

    def summary(self) -> dict[str, float]:
        s = sorted(self.samples)
        med = statistics.median(s)
        if len(s) >= 4:
            q1, _, q3 = statistics.quantiles(s, n=4)
        else:
            q1, q3 = s[0], s[-1]
        return {"median_ns": med, "q1_ns": q1, "q3_ns": q3, "min_ns": s[0], "max_ns": s[-1],
                "iqr_pct": 100 * (q3 - q1) / med, "range_pct": 100 * (s[-1] - s[0]) / med,
                "rounds": len(s), "calls_per_round": self.number}


def make_series(t: Timed, batch_seconds: float) -> Series:
    timer = timeit.Timer(t.stmt, globals=t.env)
    number = 1
    while True:  # calibrate, which also warms up
        elapsed = timer.timeit(number)
        if elapsed >= batch_seconds or number >= 1 << 24:
            break
        number = max(number * 2, int(number * batch_seconds / max(elapsed, 1e-9) * 1.1))
    return Series(t.label, timer, number, t.per, per_unit=t.per_unit)


def fmt_ns(ns: float) -> str:
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.3g} ns"


def fmt_bytes(n: float) -> str:
    for unit, scale in (("GB", 1 << 30), ("MB", 1 << 20), ("KB", 1 << 10)):
        if abs(n) >= scale:
            return f"{n / scale:.3g} {unit}"
    return f"{n:.0f} B"


# --------------------------------------------------------------------------
# Memory probes (child process)
# --------------------------------------------------------------------------

def _vm_kb(field_name: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field_name + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field_name} not in /proc/self/status")


def memory_child(probe: str) -> None:
    import resource
    fname, build, *more = MEMORY_PROBES[probe]
    args = more[0] if more else ()
    text = build()
    size = len(text.encode("utf-8"))
    if fname is None:
        fn = lambda t: hashlib.sha256(t.encode("utf-8")).hexdigest()  # noqa: E731
    else:
        fn = getattr(vessolin, fname)
    try:
        fn("warm up " * 30, *args)
    except ValueError:  # an unmarked warm-up text has no watermark to extract
        pass
    gc.collect()
    gc.disable()
    method = "VmHWM reset"
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        before = _vm_kb("VmHWM")
    except OSError:
        method = "ru_maxrss (approximate: includes building the input)"
        before = _vm_kb("VmRSS")
    t0 = time.perf_counter()
    fn(text, *args)
    seconds = time.perf_counter() - t0
    if method == "VmHWM reset":
        after = _vm_kb("VmHWM")
    else:
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"input_bytes": size, "extra_bytes": (after - before) * 1024,
                      "seconds": seconds, "method": method}))


def run_memory_probe(probe: str) -> dict[str, Any]:
    out = subprocess.run([sys.executable, str(Path(__file__).resolve()), "--memory-child", probe],
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


# --------------------------------------------------------------------------
# Environment
# --------------------------------------------------------------------------

def _cmd(*args: str) -> str | None:
    if shutil.which(args[0]) is None:
        return None
    try:
        out = subprocess.run(args, capture_output=True, text=True, timeout=10)
    except (OSError, subprocess.SubprocessError):
        return None
    text = (out.stdout or out.stderr).strip()
    return text if out.returncode == 0 and text else None


def kernel_set() -> str:
    """The kernel set the installed build runs here and the build's cap on it,
    as the test-only module built beside it reports them."""
    if _vessolin_testing is None or not hasattr(_vessolin_testing, "kernel_set"):
        return "unknown (install with VESSOLIN_TESTING=ON to see it)"
    cap = _vessolin_testing.max_isa()
    return f"{_vessolin_testing.kernel_set()} ({f'capped at {cap}' if cap else 'no cap'})"


def environment() -> dict[str, Any]:
    cpu, flags = "unknown", set()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            key, _, value = line.partition(":")
            if key.strip() == "model name" and cpu == "unknown":
                cpu = value.strip()
            elif key.strip() == "flags" and not flags:
                flags = set(value.split())
    except OSError:
        pass
    # The module's own Unicode tables, as the checkout generated them.
    try:
        tables = (HERE.parent / "src" / "unicode" / "ucd_tables.cpp").read_text(encoding="utf-8")
        m = re.search(r'kVersion\[\] = "([0-9.]+)"', tables)
        unicode_version = m.group(1) if m else "unknown"
    except OSError:
        unicode_version = "unknown"
    linked = []
    if vessolin is not None:
        ldd = _cmd("ldd", vessolin.__file__) or ""
        linked = sorted({m.group(1) for m in re.finditer(r"(lib(?:icu\w+|crypto)\.so[.\d]*)", ldd)})
    commit = _cmd("git", "-C", str(HERE), "rev-parse", "HEAD") or "unknown"
    dirty = _cmd("git", "-C", str(HERE), "status", "--porcelain", "--untracked-files=no")
    try:
        from importlib.metadata import version
        vver = version("vessolin")
    except Exception:
        vver = "unknown"
    return {
        "cpu_model": cpu,
        "cpu_count": os.cpu_count(),
        "cpu_flags": {f: f in flags for f in ("sha_ni", "avx2", "avx512f", "bmi2")},
        "platform": platform.platform(),
        "python": sys.version.split()[0],
        "python_implementation": platform.python_implementation(),
        "unicodedata_version": unicodedata.unidata_version,
        "unicode_version": unicode_version,
        "openssl_python_ssl_build": ssl.OPENSSL_VERSION,
        "openssl_cli": _cmd("openssl", "version"),
        "vessolin_version": vver,
        "vessolin_path": getattr(vessolin, "__file__", None),
        "vessolin_linked_libraries": linked,
        "vessolin_functions": [n for n in getattr(vessolin, "__all__", []) if not n.startswith("_")],
        "native_floor_available": native_blake2b_floor() is not None,
        "kernel_set": kernel_set(),
        "datasketch_version": getattr(datasketch, "__version__", None),
        "git_commit": commit,
        "git_worktree_dirty": bool(dirty),
        "openblas_coretype": os.environ.get("OPENBLAS_CORETYPE"),
    }


# --------------------------------------------------------------------------
# Baseline cross-check
# --------------------------------------------------------------------------

def first_difference(a: str, b: str) -> str:
    i = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
    return f"at {i}: {a[max(0, i - 20):i + 20]!r} vs {b[max(0, i - 20):i + 20]!r}"


def verify_baselines() -> bool:
    """content_hash must equal the Python pipeline on the timed texts (or the
    pipeline rows time something else) and on every corpus file."""
    if vessolin is None or not hasattr(vessolin, "content_hash"):
        return True
    stream = getattr(_vessolin_testing, "canonical_stream", None)
    texts = {f"{kind}/{size}": text_of(kind, n) for kind in KINDS for size, n in SIZES.items()}
    ok = True
    print("Baseline cross-check: vessolin.content_hash against the Python pipeline")
    for name, text in {**texts, **corpus_texts()}.items():
        got = vessolin.content_hash(text)
        if got == py_content_hash(text):
            print(f"  ok        {name}")
            continue
        if EXACT_WORD_RE is not None and got == py_content_hash(text, EXACT_WORD_RE):
            # re's \w lacks the Alphabetic marks; timed texts must not need them
            timed = name in texts
            ok &= not timed
            print(f"  {'MISMATCH' if timed else 'ok':9} {name} (with the exact Alphabetic class)")
            continue
        ok = False
        detail = ""
        if stream is not None:
            native = stream(text)
            detail = " " + first_difference(native if isinstance(native, str) else native.decode(),
                                            py_canonical(text, EXACT_WORD_RE or WORD_RE))
        print(f"  MISMATCH  {name}{detail}")
    print()
    return ok


# --------------------------------------------------------------------------
# Main
# --------------------------------------------------------------------------

def selected(rows: list[Row], patterns: list[str]) -> list[Row]:
    if not patterns:
        return rows
    pats = [p for arg in patterns for p in arg.split(",") if p]
    return [r for r in rows if any(p in r.name or fnmatch.fnmatch(r.name, p) for p in pats)]


def missing(row: Row) -> str | None:
    if vessolin is None:
        return "skipped: not built (vessolin is not importable)"
    absent = [n for n in row.needs if not hasattr(vessolin, n)]
    if absent:
        return f"skipped: not built (vessolin.{', vessolin.'.join(absent)} missing)"
    for mod in row.optional:
        if globals().get(mod) is None:
            return f"skipped: {mod} not installed (pip install '.[bench]')"
    return None


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--only", action="append", default=[], metavar="PATTERN",
                    help="run rows whose name contains PATTERN or matches it as a glob (repeatable, comma-separated)")
    ap.add_argument("--quick", action="store_true", help="5 short rounds instead of 21 (for a smoke run)")
    ap.add_argument("--rounds", type=int, help="number of interleaved rounds")
    ap.add_argument("--batch-ms", type=float, help="target duration of one batch in milliseconds")
    ap.add_argument("--json", metavar="PATH", help="also write the results and the environment as JSON")
    ap.add_argument("--list", action="store_true", help="list the rows and exit")
    ap.add_argument("--memory-child", metavar="PROBE", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    if args.memory_child:
        memory_child(args.memory_child)
        return 0

    rows = selected(ROWS, args.only)
    if args.list:
        for r in rows:
            print(f"{r.name:45} {r.about}")
        return 0
    rounds = args.rounds or (5 if args.quick else 21)
    batch = (args.batch_ms or (4 if args.quick else 25)) / 1000

    env = environment()
    print(f"vessolin {env['vessolin_version']} at {env['git_commit'][:12]}"
          f"{' (dirty tree)' if env['git_worktree_dirty'] else ''}; {env['cpu_model']}; "
          f"flags {', '.join(f for f, on in env['cpu_flags'].items() if on) or 'none'}; "
          f"Python {env['python']}; Unicode {env['unicode_version']}; {env['openssl_cli'] or ssl.OPENSSL_VERSION}")
    print(f"kernel set: {env['kernel_set']}")
    print(f"{rounds} rounds, batches of about {batch * 1000:g} ms\n")

    baselines_ok = verify_baselines()

    results: dict[str, dict[str, Any]] = {}
    timed: list[tuple[Row, Case, list[Series], list[Series]]] = []
    for row in rows:
        why = missing(row)
        if why:
            results[row.name] = {"status": why}
            continue
        if row.memory:
            continue
        case = row.build()
        if case.check is not None:
            try:
                case.check()
            except AssertionError as e:
                results[row.name] = {"status": f"invalid: baseline disagrees: {e}"}
                baselines_ok = False
                continue
        series = [make_series(case.contender, batch), make_series(case.baseline, batch)]
        series += [make_series(t, batch) for t in case.extras]
        floors = [Series(label, None, fn=fn) for label, fn in case.floors]
        timed.append((row, case, series, floors))

    progress = sys.stderr.isatty()
    for rnd in range(rounds):
        for _, _, series, floors in timed:
            # swap contender and baseline every other round
            order = series if rnd % 2 == 0 else [series[1], series[0], *series[2:]]
            for s in order + floors:
                s.run()
        if progress:
            print(f"\rround {rnd + 1}/{rounds}", end="", file=sys.stderr, flush=True)
    if progress:
        print("\r" + " " * 20 + "\r", end="", file=sys.stderr)

    for row, case, series, floors in timed:
        def summary(s: Series) -> dict[str, Any]:
            out = {"label": s.label, **s.summary()}
            if s.per_unit:
                out["per_unit_ns"] = {u: out["median_ns"] / n for u, n in case.units.items() if n}
            return out
        con, base = summary(series[0]), summary(series[1])
        # the ratio is taken within each round, where both ran side by side,
        # so slow drift of the machine cancels out
        ratios = sorted(c / b for c, b in zip(series[0].samples, series[1].samples))
        ratio = statistics.median(ratios)
        q1, _, q3 = statistics.quantiles(ratios, n=4) if len(ratios) >= 4 else (ratios[0], 0, ratios[-1])
        res: dict[str, Any] = {
            "status": "ran", "about": row.about,
            "contender": con,
            "baseline": base,
            "ratio": ratio,
            "ratio_iqr_pct": 100 * (q3 - q1) / ratio,
            "ratio_of_medians": con["median_ns"] / base["median_ns"],
            "extras": [summary(s) for s in series[2:] + floors],
            "unit_counts": case.units,
        }
        res.update(target=row.target.describe(), passed=row.target.passed(ratio))
        results[row.name] = res

    for row in rows:
        if not row.memory or "status" in results.get(row.name, {}):
            continue
        reps = 1 if args.quick else 3
        fname = MEMORY_PROBES[row.memory][0]
        probes = [run_memory_probe(row.memory) for _ in range(reps)]
        ref_name = f"sha256-of-encoded:{row.memory}"
        ref = run_memory_probe(ref_name) if ref_name in MEMORY_PROBES else None
        extras = sorted(p["extra_bytes"] for p in probes)
        size = probes[0]["input_bytes"]
        ratio = statistics.median(extras) / size
        res = {"status": "ran", "about": row.about, "function": fname, "input_bytes": size,
               "extra_bytes": extras, "ratio": ratio, "seconds": [p["seconds"] for p in probes],
               "method": probes[0]["method"], "target": row.target.describe(),
               "passed": row.target.passed(ratio)}
        if ref:
            res["reference"] = {"label": "hashlib.sha256(text.encode())", **ref,
                                "ratio": ref["extra_bytes"] / ref["input_bytes"]}
        results[row.name] = res

    report(rows, results)

    if args.json:
        doc = {"environment": env, "settings": {"rounds": rounds, "batch_ms": batch * 1000,
                                                "quick": args.quick, "only": args.only},
               "baselines_verified": baselines_ok, "rows": results}
        Path(args.json).write_text(json.dumps(doc, indent=2, ensure_ascii=False) + "\n")
        print(f"\nwrote {args.json}")
    if not baselines_ok:
        print("\nA baseline disagrees with vessolin: its ratios compare different work.", file=sys.stderr)
        return 1
    return 0


def report(rows: list[Row], results: dict[str, dict[str, Any]]) -> None:
    def spread(s: dict[str, float]) -> str:
        return f"IQR {s['iqr_pct']:4.1f}%  range {s['range_pct']:5.1f}%"

    for row in rows:
        res = results.get(row.name)
        if res is None:
            continue
        print(f"{row.name}\n  {row.about}")
        if res["status"] != "ran":
            print(f"  {res['status']}\n")
            continue
        if row.memory:
            print(f"  {res['function']}: peak extra {fmt_bytes(statistics.median(res['extra_bytes']))} "
                  f"for {fmt_bytes(res['input_bytes'])} of input = {res['ratio']:.2f}x "
                  f"(runs {', '.join(fmt_bytes(b) for b in res['extra_bytes'])}; "
                  f"{statistics.median(res['seconds']):.2f} s per call; {res['method']})")
            if "reference" in res:
                ref = res["reference"]
                print(f"  reference {ref['label']}: {fmt_bytes(ref['extra_bytes'])} = {ref['ratio']:.2f}x")
        else:
            for s in [res["contender"], res["baseline"], *res["extras"]]:
                per = "".join(f"  {ns:,.0f} ns/{unit}" for unit, ns in s.get("per_unit_ns", {}).items())
                print(f"  {s['label']:46} {fmt_ns(s['median_ns']):>9}  {spread(s)}{per}")
            if res["unit_counts"]:
                print("  (" + ", ".join(f"{n:,} {u}s" for u, n in res["unit_counts"].items()) + ")")
        shown = f"{res['ratio']:.2f}x input" if row.memory else row.target.show(res["ratio"])
        if not row.memory:
            shown += f" (per-round ratios: IQR {res['ratio_iqr_pct']:.1f}%)"
        if res["passed"] is None:
            print(f"  => {shown}   (no target)\n")
        else:
            print(f"  => {shown}   target {row.target.describe()}   {'PASS' if res['passed'] else 'MISS'}\n")

    print("Summary")
    for row in rows:
        res = results.get(row.name)
        if res is None:
            continue
        if res["status"] != "ran":
            print(f"  {row.name:45} {res['status']}")
            continue
        shown = f"{res['ratio']:.2f}x input" if row.memory else row.target.show(res["ratio"])
        noise = "" if row.memory else f"±{res['ratio_iqr_pct'] / 2:.0f}%"
        mark = {True: "PASS", False: "MISS", None: ""}[res["passed"]]
        print(f"  {row.name:45} {shown:>14} {noise:>5}   {row.target.describe():>16}  {mark}")


if __name__ == "__main__":
    sys.exit(main())
