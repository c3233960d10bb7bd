"""The canonical stream, the normalised text and content_hash."""

import bz2
import hashlib
import pathlib
import random
import unicodedata

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import frozen_outputs
import reference
import vessolin

DATA = pathlib.Path(__file__).parent / "data"
CORPUS = pathlib.Path(__file__).parent.parent / "bench" / "data"

STREAMS = [
    ("", ""),
    ("   \t\n ", ""),
    ("?!,.;", ""),
    ("  Hello,   World!  ", "hello world"),
    ("Hello\u200bWorld", "helloworld"),
    ("don't snake_case e-mail", "don t snake case e mail"),
    ("e\u0301", "\u00e9"),  # composes
    ("q\u0301", "q"),  # no composition; the mark is a separator
    ("e\u200d\u0301", "e"),  # the joiner blocks composition and only then goes
    ("\u0130stanbul", "i stanbul"),
    ("\u039f\u0394\u039f\u03a3", "\u03bf\u03b4\u03bf\u03c3"),  # never the final sigma
    ("STRASSE Stra\u00dfe", "strasse stra\u00dfe"),
    ("x\u00b2 \u00bd \u216b", "x\u00b2 \u00bd \u217b"),  # No and Nl are word characters
    ("\ufb01le \uff21\uff22\uff23", "\ufb01le \uff41\uff42\uff43"),  # no compatibility folding
    ("a\ufe0fb", "ab"),
    ("I \u2764\ufe0f NY \U0001f468\u200d\U0001f469\u200d\U0001f467", "i ny"),
    ("co\u00adoperate", "co operate"),
    ("\u212a", "k"),  # Kelvin sign lowercases to ASCII
    ("\u1e9e", "\u00df"),
    ("\u0958", "\u0915"),  # NFC decomposes the exclusion; U+093C nukta is a separator? no: it is Alphabetic
    ("\uac00\u11a8", "\uac01"),  # Hangul LV + T composes
    ("\u1100\u1161", "\uac00"),  # conjoining jamo compose
    ("ABC\u0301DEF", "abc\u0301def".replace("c\u0301", "\u0107")),
    ("x" * 40 + "\u0307" + "y" * 40 + "\u00e9" + " z" * 20, "x" * 39 + "\u1e8b" + "y" * 40 + "\u00e9" + " z" * 20),
]


@pytest.mark.parametrize("text, stream", STREAMS)
def test_canonical_stream(native, text, stream):
    if text == "\u0958":
        stream = reference.canonical_stream(text)  # U+093C's class decides; the oracle knows it
    assert native.canonical_stream(text) == stream
    assert vessolin.content_hash(text) == hashlib.sha256(stream.encode()).hexdigest()


def test_known_content_hashes():
    assert vessolin.content_hash("") == "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"
    assert vessolin.content_hash("Hello, World!") == "b94d27b9934d3e08a52e52d7da7dabfac484efe37a5380ee9088f7ace2efcde9"


@pytest.mark.parametrize("mark", sorted(reference.INVISIBLE))
def test_every_invisible_character_joins_its_neighbours(native, mark):
    mark = chr(mark)
    assert native.canonical_stream(f"Hel{mark}lo Wor{mark}{mark}ld{mark}") == "hello world"
    assert native.normalized_text(f"A{mark}b.") == "Ab."


def test_normalized_text_keeps_case_punctuation_and_layout(native):
    text = "  \u00c5ngstr\u00f6m,\r\n\tE\u0301T\u200bE!  "
    assert native.normalized_text(text) == "  \u00c5ngstr\u00f6m,\r\n\t\u00c9TE!  "


def normalization_cases():
    with bz2.open(DATA / "unicode" / "NormalizationTest.txt.bz2", "rt", encoding="utf-8") as f:
        for line in f:
            line = line.split("#")[0].strip()
            if not line or line.startswith("@"):
                continue
            columns = ["".join(chr(int(cp, 16)) for cp in field.split()) for field in line.split(";")[:5]]
            yield columns


def test_nfc_conformance(native):
    # Every source column must normalise to the NFC column (with the
    # invisible characters then dropped), also with ASCII around it, which
    # exercises the switch between the ASCII fast path and the normaliser
    # (the prefixes end in a character that composes with nothing).
    failures = []
    drop = str.maketrans({cp: None for cp in reference.INVISIBLE})
    for c1, c2, c3, c4, c5 in normalization_cases():
        expected = c2.translate(drop)
        for source in (c1, c2, c3):
            for prefix, suffix in (("", ""), ("-", "b"), ("ab cd" * 8 + "\n", " " * 40)):
                got = native.normalized_text(prefix + source + suffix)
                if got != prefix + expected + suffix:
                    failures.append((source, got))
        for source in (c4, c5):
            if native.normalized_text(source) != c4.translate(drop):
                failures.append((source, native.normalized_text(source)))
    assert failures[:5] == []


def test_code_points_outside_the_conformance_part_1_are_their_own_nfc(native):
    # The conformance file's rule for every code point its part 1 does not
    # list: it normalises to itself. Spaces keep each one apart (a space
    # composes with nothing and reorders with nothing).
    listed = set()
    with bz2.open(DATA / "unicode" / "NormalizationTest.txt.bz2", "rt", encoding="utf-8") as f:
        part = None
        for line in f:
            if line.startswith("@Part"):
                part = line.split()[0]
            elif part == "@Part1" and not line.startswith("#"):
                listed.add(int(line.split(";")[0], 16))
    text = " ".join(chr(c) for c in range(0x110000)
                    if c not in listed and not 0xD800 <= c <= 0xDFFF and c not in reference.INVISIBLE)
    assert native.normalized_text(text) == text


# Characters Python's own database knows, so that its NFC can serve as the oracle.
KNOWN = st.characters(
    blacklist_categories=("Cs", "Cn"),
).filter(lambda c: unicodedata.category(c) != "Cn")
PIECES = st.sampled_from(
    [" ", "  ", ".", ", ", "\n", "\u200b", "\u200d", "\ufe0f", "\u0301", "\u0307", "e", "E", "\u0130", "\u03a3",
     "\u00df", "\u1100", "\u1161", "\u11a8", "\u0958", "\u212a", "x\u00b2", "\U0001f600", "_", "'"]
)
TEXTS = st.lists(st.one_of(KNOWN, PIECES, st.text(alphabet="abcXYZ 019.", max_size=40)), max_size=60).map("".join)


@settings(max_examples=400, deadline=None)
@given(TEXTS)
def test_canonical_stream_matches_the_reference(native, text):
    assert native.canonical_stream(text) == reference.canonical_stream(text)
    assert native.normalized_text(text) == reference.normalized_text(text)


CORPUS_FILES = [
    "gutenberg/11-0.txt",
    "wikipedia_mars/german.utf8.txt",
    "wikipedia_mars/greek.utf8.txt",
    "wikipedia_mars/turkish.utf8.txt",
    "wikipedia_mars/persan.utf8.txt",
    "wikipedia_mars/hindi.utf8.txt",
    "lipsum/Chinese-Lipsum.utf8.txt",
    "emoji/emoji-zwj-sequences.txt",
]


@pytest.mark.parametrize("name", CORPUS_FILES)
def test_corpus_texts_match_the_reference(native, name):
    path = CORPUS / name
    text = path.read_text(encoding="utf-8")
    assert native.canonical_stream(text) == reference.canonical_stream(text)
    assert vessolin.content_hash(text) == reference.content_hash(text)


def test_every_ascii_kernel_gives_the_same_stream(native):
    # ASCII runs of every length over three vector blocks, each followed by
    # what may end a run: a stable character, a mark that composes with the
    # last ASCII byte or with nothing, an invisible one.
    rng = random.Random(7)
    texts = []
    for length in range(100):
        run = "".join(rng.choice("abcXYZ09 ,.-\n") for _ in range(length))
        for tail in ("", "\u0301", "\u00e9", "e\u0301", "\u200bq", " \u0308"):
            texts.append(run + tail + run[::-1])
    pieces = ["a", "Z", "7", " ", "  ", ",", ".\n", "_", "\u00e9", "e\u0301", "\u0301", "\u03a9", "\u0130", "\u200b",
              "\u00df", "\u03a3", "\u1100\u1161", "\u0434\u043e\u043c", "\u0414", "x" * 40, "Word " * 9]
    texts += ["".join(rng.choice(pieces) for _ in range(rng.randint(1, 120))) for _ in range(400)]
    kernels = native.canonical_kernels().split()
    assert kernels[-1] == "portable"
    for kernel in kernels:
        for text in texts:
            assert native.canonical_stream_using(text, kernel) == reference.canonical_stream(text), (kernel, text)


def _copy_run_probes():
    """Texts that put every two- and three-byte character class (each lead
    byte with every second byte) among long runs of characters that stand as
    they are, at every offset within a vector block: the run kernels test
    ranges of second bytes per lead byte and must hand everything outside
    them, and every block's last character, to the per-character path."""
    rng = random.Random(14)
    probes = []
    for lead in range(0xC2, 0xF0):
        for second in range(0x80, 0xC0):
            if lead == 0xE0 and second < 0xA0 or lead == 0xED and second >= 0xA0:
                continue  # overlong forms and surrogates
            third = bytes([0x80 + rng.randrange(64)]) if lead >= 0xE0 else b""
            probes.append((bytes([lead, second]) + third).decode("utf-8"))
    rng.shuffle(probes)
    fillers = ["\u0434\u043e\u043c", "\u03b1\u03ad\u03c2", "\u4e2d\u6587", "\ud55c\uae00", "\u00fc\u00df", "abc", " ", "7"]
    texts = []
    for i in range(0, len(probes), 8):
        parts = []
        for probe in probes[i:i + 8]:
            parts.append("".join(rng.choice(fillers) for _ in range(rng.randint(0, 30))))
            parts.append(probe)
        texts.append("".join(parts) + rng.choice(["", " ", "\u0301", "x\u0308"]))
    return texts


def test_every_kernel_set_vouches_for_the_same_runs(native):
    texts = _copy_run_probes()
    # Runs that end with a mark composing with their last character, the
    # division sign among Latin-1 letters, hexagrams among the ideographs.
    for n in range(60, 140):
        texts += ["\u0430" * (n // 2) + "\u0306", "\u00e0" * (n // 2) + "\u00f7" + "\u00e0" * 3,
                  "\u4e00" * (n // 3) + "\u4dc0" + "\u4e00", "a" * n + "\u0301 b", "\u1100" * (n // 3) + "\u1161"]
    for kernel in native.canonical_kernels().split():
        for text in texts:
            assert native.canonical_stream_using(text, kernel) == reference.canonical_stream(text), (kernel, text)


def test_every_kernel_set_writes_the_same_punctuation_outside_ascii(native):
    # The vector kernels write some three-byte punctuation (dashes and
    # quotation marks, the ideographic comma and full stop) as separators
    # and leave its neighbours in the range to the per-character path: each
    # such character and its neighbours, at every offset of two blocks,
    # after a word or a separator, and followed by what may come next (a
    # mark that takes back what it follows, an invisible character, a
    # capital, more punctuation, the text's end).
    marks = ["\u200d", "\u200e", "\u2010", "\u201c", "\u2027", "\u2028", "\u2fff", "\u3000", "\u3002", "\u3004", "\u3005", "\u3006"]
    after = ["", "a", "\u0301", "\u200d", "\u200b\u0301", "\u0414", ", ", "\u3002\u3002", "\u201d\u2014x", "\u4e2d"]
    texts = []
    for offset in range(0, 134):
        filler = ("ab\u4e2d\u0434 " * 40)[:offset]
        for mark in marks:
            for tail in after:
                texts.append(filler + mark + tail + " \u00e9t\u00e9" * 3)
                texts.append(filler + " " + mark + tail)
    for kernel in native.canonical_kernels().split():
        for text in texts:
            assert native.canonical_stream_using(text, kernel) == reference.canonical_stream(text), (kernel, text)


def test_every_kernel_set_passes_over_invisible_characters(native):
    # The kernels step over invisible characters, writing nothing: one or
    # several, after a word, a separator or another script, at every offset
    # of two blocks, and followed by what may take back the character before
    # (a combining mark, which then composes with what the invisible ones
    # follow only through the normaliser), a capital, an emoji or the end.
    runs = ["\u200d", "\u200b\u200c", "\ufe0f\u2060\ufeff", "\ufe00" * 3]
    before = ["a", " ", "\u00e9", "\u4e2d", "\u3002", "\U0001f468", "\u0414"]
    after = ["", "b", "\u0301", "\u0308x", " ", "\u0391", "\U0001f469", "\u200d\u0301"]
    texts = []
    for offset in range(0, 134):
        filler = ("ab\u4e2d\u0434 " * 40)[:offset]
        for run in runs:
            for b in before:
                for a in after:
                    texts.append(filler + b + run + a + " \u00e9t\u00e9")
    for kernel in native.canonical_kernels().split():
        for text in texts:
            assert native.canonical_stream_using(text, kernel) == reference.canonical_stream(text), (kernel, text)


def test_every_kernel_set_agrees_with_the_portable_one_on_random_texts(native):
    # The frozen-output texts (every assigned code point, weighted to marks,
    # Hangul, special casings, full-width forms, invisible characters), and
    # some of them shifted by 0..64 bytes, so that each kind of character
    # meets every offset of a vector block.
    texts = frozen_outputs.random_texts()
    texts += [("x" * shift) + text for text in texts[:300:3] for shift in range(65)]
    kernels = native.canonical_kernels().split()
    for text in texts:
        want = native.canonical_stream_using(text, "portable")
        for kernel in kernels[:-1]:
            assert native.canonical_stream_using(text, kernel) == want, (kernel, text)


def _table_probes():
    """Every character of the two-byte lead bytes and three-byte blocks the
    AVX-512 kernel classifies by table (Latin-1, Greek and Cyrillic capitals
    and punctuation, general and CJK punctuation with the joiners, variation
    selectors), their neighbours, and emoji from every block of 64 in the
    emoji planes, each after and before what changes how it is written: a
    word, a separator, invisible characters, a mark that takes it back."""
    rng = random.Random(1414)
    chars = [chr(c) for lo, hi in [(0x80, 0x100), (0x370, 0x480), (0x2000, 0x2080), (0x2700, 0x2780),
                                   (0x3000, 0x3040), (0xFE00, 0xFE40)] for c in range(lo, hi)]
    chars += [chr(0x1F000 + 64 * block + rng.randrange(64)) for block in range(64)]
    chars += ["\u2764\ufe0f\u200d\U0001f48b", "\U0001f468\u200d\U0001f469", " \u200d\u200d\u200d", "\u00c4\u0308"]
    before = ["", "a", " ", "\u3002", " \u200d", "\ufe0f", "\U0001f468", "\u0414", "\u00e9"]
    after = ["", "b", "\u0301", "\u200d", " ", "\ufe0f\u200d", "\u00e9", "\u0386"]
    rng.shuffle(chars)
    return ["".join(rng.choice(before) + c + rng.choice(after) for c in chars[i:i + 40])
            for i in range(0, len(chars), 40)]


def test_every_kernel_set_writes_the_table_characters_as_the_portable_one(native):
    # Each probe text at every offset of a block, so that each character
    # meets every position, the last ones of a block included.
    texts = [filler + text for text in _table_probes() for filler in ("x" * k for k in range(65))]
    kernels = native.canonical_kernels().split()
    for text in texts:
        want = native.canonical_stream_using(text, "portable")
        for kernel in kernels[:-1]:
            assert native.canonical_stream_using(text, kernel) == want, (kernel, text)
