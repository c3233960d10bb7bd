"""Plain-Python restatements of vessolin's computations, used as test oracles.

They follow the written rules step by step, favour clarity over speed, and use
only the standard library plus the Unicode data files in tests/data/unicode
(Unicode 15.0, the version of the module's own tables). Python's own `unicodedata`
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


# ---------------------------------------------------------------------------
# SimHash


def feature_hash(data: bytes) -> bytes:
    return hashlib.blake2b(data, digest_size=64).digest()[:32]


def simhash256(features: list[tuple[str, int]]) -> bytes:
    counters = [0] * 256
    for text, weight in features:
        h = feature_hash(text.encode())
        for i in range(256):
            if (h[i // 8] >> (7 - i % 8)) & 1:
                counters[i] += weight
            else:
                counters[i] -= weight
    out = bytearray(32)
    for i, c in enumerate(counters):
        if c > 0:
            out[i // 8] |= 0x80 >> (i % 8)
    return bytes(out)


def sequence_fingerprint(seq: str) -> bytes:
    """Fingerprint of a code-point sequence (a canonical stream or a window)."""
    n = len(seq)
    if n == 0:
        return bytes(32)
    k = min(4, n)
    counts: dict[str, int] = {}
    for p in range(n - k + 1):
        shingle = seq[p : p + k]
        counts[shingle] = counts.get(shingle, 0) + 1
    return simhash256(list(counts.items()))


def surface_fingerprint(text: str) -> tuple[bytes, list[tuple[bytes, int, int]]]:
    """The whole-stream fingerprint and the (fingerprint, start, length) windows."""
    stream = canonical_stream(text)
    n = len(stream)
    windows = []
    if n > 512:
        start = 0
        while True:
            end = min(n, start + 512)
            windows.append((sequence_fingerprint(stream[start:end]), start, end - start))
            if end == n:
                break
            start += 256
    return sequence_fingerprint(stream), windows


def text_fingerprint(text: str) -> str:
    return surface_fingerprint(text)[0].hex()


# ---------------------------------------------------------------------------
# Structural fingerprint

FUNCTION_WORDS = (
    "the a an and or but nor so yet for of to in on at by as is are was were be been being am do does did have "
    "has had will would shall should can could may might must with from into onto upon over under above below "
    "between through during before after about against among around because if then than that this these those "
    "it its he she they them his her their our your my we you i me us who whom whose which what when where why "
    "how not no yes all any some each every both few many more most other such only own same too very just also "
    "here there up down out off again once while until"
).split()
assert len(FUNCTION_WORDS) == 124 and len(set(FUNCTION_WORDS)) == 124
_FUNCTION_WORD_SET = frozenset(FUNCTION_WORDS)

PUNCTUATION_CLASSES = {
    "!": "!",
    ",": ",",
    ":": ":",
    ";": ";",
    "?": "?",
    '"': '"',
    "'": '"',
    "\u2018": '"',
    "\u2019": '"',
    "\u201c": '"',
    "\u201d": '"',
    "(": "(",
    ")": "(",
    "[": "(",
    "]": "(",
    "{": "(",
    "}": "(",
    "-": "-",
    "\u2013": "-",
    "\u2014": "-",
    ".": ".",
    "\u2026": ".",
}


def _is_blank(s: str) -> bool:
    return strip_white_space(s) == ""


def lines_of(t: str) -> list[str]:
    lines = []
    pieces = t.split("\n")
    for piece in pieces[:-1]:
        lines.append(piece[:-1] if piece.endswith("\r") else piece)
    if pieces[-1]:
        lines.append(pieces[-1])
    return lines


def paragraphs_of(t: str) -> list[str]:
    paragraphs = []
    buffer = ""
    for line in lines_of(t):
        if _is_blank(line):
            if not _is_blank(buffer):
                paragraphs.append(buffer)
            buffer = ""
        else:
            buffer += line + " "
    if not _is_blank(buffer):
        paragraphs.append(buffer)
    return paragraphs or [t]


def sentences_of(paragraph: str) -> list[str]:
    sentences = []
    buffer = ""
    for ch in paragraph:
        buffer += ch
        if ch in ".!?" and len(strip_white_space(buffer).encode()) >= 2:
            sentences.append(buffer)
            buffer = ""
    if not _is_blank(buffer):
        sentences.append(buffer)
    return sentences


def words_of(sentence: str) -> list[str]:
    words = []
    current = ""
    for ch in sentence + " ":
        if is_word_char(ch):
            current += ch
        elif current:
            # The whole word at once: str.lower() applies the final-sigma rule.
            words.append(current.lower())
            current = ""
    return words


def structural_features(text: str) -> list[tuple[str, int]]:
    t = normalized_text(text)
    features: list[tuple[str, int]] = []
    lengths: list[int] = []
    tokens: list[str] = []
    for paragraph in paragraphs_of(t):
        sentences = sentences_of(paragraph)
        for sentence in sentences:
            words = words_of(sentence)
            lengths.append(len(words))
            tokens.extend(w if w in _FUNCTION_WORD_SET else "_" for w in words)
        features.append((f"PL:{len(sentences)}", 2))
    for length in lengths:
        features.append((f"SL1:{length}", 3))
    for first, second in zip(lengths, lengths[1:]):
        features.append((f"SL2:{first},{second}", 3))
    counts: dict[str, int] = {}
    for ch in t:
        cls = PUNCTUATION_CLASSES.get(ch)
        if cls is not None:
            counts[cls] = counts.get(cls, 0) + 1
    for cls, count in counts.items():
        features.append((f"PUNCT:{cls}", count))
    if len(tokens) >= 3:
        for i in range(len(tokens) - 2):
            features.append(("FW:" + " ".join(tokens[i : i + 3]), 2))
    elif tokens:
        features.append(("FW:" + " ".join(tokens), 2))
    return features


def text_structure(text: str) -> str:
    return simhash256(structural_features(text)).hex()


# ---------------------------------------------------------------------------
# MinHash

MERSENNE_61 = (1 << 61) - 1
_MASK64 = (1 << 64) - 1
_FNV_OFFSET = 0xCBF29CE484222325
_FNV_PRIME = 0x100000001B3


def _split_mix(z: int) -> int:
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & _MASK64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & _MASK64
    return z ^ (z >> 31)


def _family() -> tuple[list[int], list[int]]:
    step = 0x3C6EF372FE94F82A
    a = [_split_mix((0x9F5ABF2108F64A04 + j * step) & _MASK64) % (MERSENNE_61 - 1) + 1 for j in range(128)]
    b = [_split_mix((0x3D9238DA8840C619 + j * step) & _MASK64) % MERSENNE_61 for j in range(128)]
    return a, b


MINHASH_A, MINHASH_B = _family()


def fnv1a64(data: bytes) -> int:
    h = _FNV_OFFSET
    for byte in data:
        h = ((h ^ byte) * _FNV_PRIME) & _MASK64
    return h


def band_key(v0: int, v1: int, v2: int, v3: int) -> int:
    return fnv1a64(b"".join(v.to_bytes(8, "little") for v in (v0, v1, v2, v3)))


def minhash_signature(text: str) -> list[int]:
    tokens = canonical_stream(text).split(" ")
    if len(tokens) < 5:
        shingles = [" ".join(tokens)]
    else:
        shingles = [" ".join(tokens[i : i + 5]) for i in range(len(tokens) - 4)]
    signature = [_MASK64] * 128
    for shingle in shingles:
        t = fnv1a64(shingle.encode()) % MERSENNE_61
        for j in range(128):
            signature[j] = min(signature[j], (MINHASH_A[j] * t % MERSENNE_61 + MINHASH_B[j]) % MERSENNE_61)
    return signature


def minhash_bands(text: str) -> list[int]:
    sig = minhash_signature(text)
    return [band_key(*sig[4 * k : 4 * k + 4]) for k in range(32)]


# ---------------------------------------------------------------------------
# Zero-width watermark: GF(2^8), the erasure code, payload, placement,
# embedding (as first written, and with the groups placed by scan words) and
# blind extraction.

import hmac as _hmac


def _gf_tables() -> tuple[list[int], list[int]]:
    exp, log = [0] * 510, [0] * 256
    b = 1
    for i in range(255):
        log[b], exp[i] = i, b
        b <<= 1
        if b >= 256:
            b = (b - 256) ^ 0x1D
    for i in range(255):
        exp[i + 255] = exp[i]
    return exp, log


GF_EXP, GF_LOG = _gf_tables()


def gf_mul_slow(a: int, b: int) -> int:
    """Carry-less multiplication reduced modulo 0x11D, bit by bit."""
    product = 0
    for bit in range(8):
        if b >> bit & 1:
            product ^= a << bit
    for bit in range(15, 7, -1):
        if product >> bit & 1:
            product ^= 0x11D << (bit - 8)
    return product


def gf_mul(a: int, b: int) -> int:
    return 0 if a == 0 or b == 0 else GF_EXP[GF_LOG[a] + GF_LOG[b]]


def gf_inv(a: int) -> int:
    return GF_EXP[(255 - GF_LOG[a]) % 255]


def gf_pow(a: int, n: int) -> int:
    if n == 0:
        return 1
    return 0 if a == 0 else GF_EXP[GF_LOG[a] * n % 255]


def gf_invert(matrix: list[list[int]]) -> list[list[int]]:
    """Gauss-Jordan elimination on [M | I]."""
    n = len(matrix)
    work = [row[:] + [int(i == r) for i in range(n)] for r, row in enumerate(matrix)]
    for c in range(n):
        pivot = next(r for r in range(c, n) if work[r][c])
        work[c], work[pivot] = work[pivot], work[c]
        scale = gf_inv(work[c][c])
        work[c] = [gf_mul(x, scale) for x in work[c]]
        for r in range(n):
            if r != c and work[r][c]:
                f = work[r][c]
                work[r] = [x ^ gf_mul(f, y) for x, y in zip(work[r], work[c])]
    return [row[n:] for row in work]


def encoding_matrix(data: int, parity: int) -> list[list[int]]:
    """V times the inverse of its top square, V[r][c] = r^c."""
    v = [[gf_pow(r, c) for c in range(data)] for r in range(data + parity)]
    top_inverse = gf_invert(v[:data])
    return [[_dot(row, [top_inverse[k][c] for k in range(data)]) for c in range(data)] for row in v]


def _dot(a: list[int], b: list[int]) -> int:
    out = 0
    for x, y in zip(a, b):
        out ^= gf_mul(x, y)
    return out


_E_24_24 = None


def _matrix() -> list[list[int]]:
    global _E_24_24
    if _E_24_24 is None:
        _E_24_24 = encoding_matrix(24, 24)
    return _E_24_24


def rs_encode(data: bytes) -> bytes:
    """The 48 one-byte shards of 24 data bytes."""
    return bytes(data) + bytes(_dot(row, list(data)) for row in _matrix()[24:])


def rs_reconstruct(shards: list[int | None]) -> list[int]:
    """Absent shards rebuilt from the first 24 present ones."""
    if all(s is not None for s in shards):
        return list(shards)
    present = [i for i, s in enumerate(shards) if s is not None][:24]
    e = _matrix()
    decode = gf_invert([e[r] for r in present])
    data = [shards[i] if shards[i] is not None else _dot(decode[i], [shards[r] for r in present]) for i in range(24)]
    return [s if s is not None else _dot(e[j], data) for j, s in enumerate(shards)]


ALPHABET = "\u200b\u200c\u200d\u2060"
PLACEMENT_LABEL = b"zwc-watermark-v2-placement"
FALLBACK_SEED = 0x9E3779B97F4A7C15
_M64 = (1 << 64) - 1


def group_of(byte: int) -> str:
    return "".join(ALPHABET[byte >> shift & 3] for shift in (6, 4, 2, 0))


def binding_tag(key: bytes, digest: bytes, pointer: bytes) -> bytes:
    return _hmac.new(key, digest + pointer, hashlib.sha256).digest()[:8]


def _draw(x: int, k: int) -> tuple[int, int]:
    """One step of the shuffle's generator: the new state and its draw below k."""
    x ^= x >> 12
    x = (x ^ (x << 25)) & _M64
    x ^= x >> 27
    return x, (x * 0x2545F4914F6CDD1D & _M64) % k


def shuffled(n: int, seed: int) -> list[int]:
    v, x, k = list(range(n)), seed, n
    while k >= 2:
        x, j = _draw(x, k)
        v[k - 1], v[j] = v[j], v[k - 1]
        k -= 1
    return v


def shuffle_draws(x: int, first: int, count: int) -> tuple[list[int], int]:
    """The draws of steps k = first, first - 1, ... (count of them) from state x, and the last state."""
    draws = []
    for k in range(first, first - count, -1):
        x, j = _draw(x, k)
        draws.append(j)
    return draws, x


def placement_order(n: int, key: bytes, digest: bytes) -> list[int]:
    mac = _hmac.new(key, PLACEMENT_LABEL + digest, hashlib.sha256).digest()
    return shuffled(n, int.from_bytes(mac[:8], "little") or FALLBACK_SEED)


def _word_run_ends(text: str) -> list[int]:
    """Code-point index just past every word run."""
    ends, open_run = [], False
    for i, c in enumerate(text):
        if ord(c) in WHITE_SPACE or ord(c) in INVISIBLE:
            if open_run:
                ends.append(i)
            open_run = False
        else:
            open_run = True
    if open_run:
        ends.append(len(text))
    return ends


def find_slots(text: str) -> list[int]:
    return [len(text[:i].encode()) for i in _word_run_ends(text)]


def strip_invisible(text: str) -> str:
    return "".join(c for c in text if ord(c) not in INVISIBLE)


def scan_words(text: str) -> list[tuple[int, list[int]]]:
    """Per scan word: where a new group joins it (the code-point index just
    past its last code point outside the invisible set, or past its last code
    point if it has none) and the symbols filed under it."""
    words: list[list] = []  # [join index, symbols, has a visible code point]
    in_word = False
    for i, c in enumerate(text):
        if c in ALPHABET:
            if words:
                words[-1][1].append(ALPHABET.index(c))
        elif ord(c) in WHITE_SPACE:
            in_word = False
        else:
            if not in_word:
                words.append([None, [], False])
                in_word = True
            word, visible = words[-1], ord(c) not in INVISIBLE
            if visible or not word[2]:
                word[0] = i + 1
            word[2] = word[2] or visible
    return [(at, symbols) for at, symbols, _ in words]


class WatermarkError(ValueError):
    pass


TOO_SHORT = "text content too short for this soft-binding algorithm"
UNRECOVERABLE = "watermark could not be recovered from remaining positions"
OCCUPIED = "invalid input: the text already carries zero-width marks at too many watermark positions"


def _insert(text: str, groups: dict[int, str]) -> str:
    out, last = [], 0
    for at in sorted(groups):
        out += [text[last:at], groups[at]]
        last = at
    return "".join(out) + text[last:]


def _payload_shards(text_digest: bytes, pointer: bytes, key: bytes) -> bytes:
    field = pointer[:16].ljust(16, b"\0")
    return rs_encode(field + binding_tag(key, text_digest, field))


def part_embed_watermark(text: str, pointer: bytes, key: bytes) -> str:
    """Embedding step by step as first written: digest and word runs of the
    text itself, groups after the chosen word runs."""
    digest = hashlib.sha256(canonical_stream(text).encode()).digest()
    shards = _payload_shards(digest, pointer, key)
    slots = _word_run_ends(text)
    if len(slots) < 48:
        raise WatermarkError(TOO_SHORT)
    order = placement_order(len(slots), key, digest)
    return _insert(text, {slots[order[i]]: group_of(shards[i]) for i in range(48)})


def embed_watermark(text: str, pointer: bytes, key: bytes) -> str:
    """Digest and slot count of the stripped text, groups after the chosen
    scan words, as extraction reads them."""
    stripped = strip_invisible(text)
    slots = _word_run_ends(stripped)
    if len(slots) < 48:
        raise WatermarkError(TOO_SHORT)
    digest = hashlib.sha256(canonical_stream(stripped).encode()).digest()
    shards = _payload_shards(digest, pointer, key)
    order = placement_order(len(slots), key, digest)
    words = scan_words(text)
    if sum(1 for i in range(48) if words[order[i]][1]) >= 25:
        raise WatermarkError(OCCUPIED)
    return _insert(text, {words[order[i]][0]: group_of(shards[i]) for i in range(48)})


def extract_watermark(text: str, key: bytes) -> tuple[str, bool, int]:
    groups = {ordinal: symbols for ordinal, (_, symbols) in enumerate(scan_words(text))}
    stripped = strip_invisible(text)
    digest = hashlib.sha256(canonical_stream(stripped).encode()).digest()
    n = len(_word_run_ends(stripped))
    if n < 48:
        raise WatermarkError(TOO_SHORT)
    order = placement_order(n, key, digest)
    shards: list[int | None] = []
    for i in range(48):
        symbols = groups.get(order[i], [])
        shards.append(symbols[0] << 6 | symbols[1] << 4 | symbols[2] << 2 | symbols[3] if len(symbols) == 4 else None)
    erased = shards.count(None)
    if erased >= 25:
        raise WatermarkError(UNRECOVERABLE)
    payload = bytes(rs_reconstruct(shards)[:24])
    return payload[:16].hex(), _hmac.compare_digest(binding_tag(key, digest, payload[:16]), payload[16:]), erased
