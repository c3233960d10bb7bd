"""text_fingerprint (with its windows), text_structure, minhash_signature and minhash_bands."""

import collections
import random
import unicodedata

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import reference
import vessolin

ZERO = "0" * 64


def surface(native, text):
    """(whole, [(fingerprint, start, length), ...]) from the windowed computation."""
    whole, *windows = native.surface_fingerprint(text).splitlines()
    return whole, [(fp, int(start), int(length)) for fp, start, length in (w.split() for w in windows)]


def features(native, text):
    """The structural features as a multiset of (string, weight)."""
    pairs = (line.rsplit("\t", 1) for line in native.structural_features(text).splitlines())
    return collections.Counter((f, int(w)) for f, w in pairs)


# ---------------------------------------------------------------------------
# Feature hash and SimHash accumulation


def test_feature_hash_is_plain_blake2b_512_truncated(native):
    assert native.feature_hash("ab") == "b32c0573d242b3a987d8f66bd43266b7925cefab3a854950641a81ef6a3f4b97"
    for s in ["", "a", "é中😀", "x" * 200]:
        assert native.feature_hash(s) == reference.feature_hash(s.encode()).hex()


def test_counters_are_compared_strictly(native):
    a, b = (int(native.feature_hash(s), 16) for s in ("a", "b"))
    # Two weight-1 features: a bit is set only where both hashes agree on 1;
    # where they disagree the counter is exactly zero, which gives 0.
    assert int(native.simhash256("1 a\n1 b"), 16) == a & b
    assert native.simhash256("1 a\n-1 a") == ZERO
    assert native.simhash256("0 a") == ZERO
    assert native.simhash256("") == ZERO
    assert int(native.simhash256("-1 a"), 16) == a ^ (2**256 - 1)


@pytest.mark.parametrize(
    "weights",
    [
        [1] * 70_000,  # more votes than the 16-bit lanes hold before moving them on
        [65_535, 1, 65_535, 2],
        [70_000, -3, 1],
        [2**40, -(2**40) + 5, 7],
        [-(2**61), 2**61, 1, -1, 3],  # counters up to 2^62: within the 64-bit counters
    ],
)
def test_simhash_with_any_weights_matches_the_reference(native, weights):
    names = ["alpha", "beta", "gamma", "delta", "eps"]
    feats = [(names[i % len(names)], w) for i, w in enumerate(weights)]
    listing = "\n".join(f"{w} {f}" for f, w in feats)
    assert native.simhash256(listing) == reference.simhash256(feats).hex()


# ---------------------------------------------------------------------------
# Surface fingerprint


@pytest.mark.parametrize(
    "text, expected",
    [
        ("Hello, World!", "2b005c60c729ca85b554583c63ab2ee43ab07680cda8e013b3041b9004a25030"),
        ("AB!", "b32c0573d242b3a987d8f66bd43266b7925cefab3a854950641a81ef6a3f4b97"),  # one shingle "ab"
        ("", ZERO),
        ("   \n\t ", ZERO),
        ("?!.,;", ZERO),
        ("\u200b\u200d\ufeff", ZERO),
    ],
)
def test_text_fingerprint_worked_values(text, expected):
    assert vessolin.text_fingerprint(text) == expected


def test_short_streams_are_one_shingle(native):
    for stream in ["a", "ab", "a b", "abcd", "ab c"]:
        assert vessolin.text_fingerprint(stream) == native.feature_hash(stream)
    # A repeated character has one distinct shingle whatever its count.
    assert vessolin.text_fingerprint("a" * 100_000) == native.feature_hash("aaaa")


def test_surface_invariances():
    base = vessolin.text_fingerprint("The quick brown fox jumps over the lazy dog.")
    for variant in [
        "THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG",
        "  The   quick\nbrown\t\tfox -- jumps over the lazy dog!!!",
        "The qu\u200bick bro\u2060wn fox\ufe0f jumps over the la\u200czy dog.",
    ]:
        assert vessolin.text_fingerprint(variant) == base


WORDS = "lorem ipsum dolor sit amet consectetur adipiscing elit sed do eiusmod tempor".split()


def stream_of_length(n, seed=0):
    """A canonical stream of exactly n code points, with some non-ASCII letters."""
    rng = random.Random(seed)
    out = []
    while len(" ".join(out)) < n:
        out.append(rng.choice(WORDS + ["\u00e9t\u00e9", "\u4e2d\u6587", "\u03b1\u03b2\u03b3"]))
    return " ".join(out)[:n].rstrip() + "x" * (n - len(" ".join(out)[:n].rstrip()))


@pytest.mark.parametrize(
    "n, spans",
    [
        (512, []),
        (513, [(0, 512), (256, 257)]),
        (768, [(0, 512), (256, 512)]),
        (769, [(0, 512), (256, 512), (512, 257)]),
        (1024, [(0, 512), (256, 512), (512, 512)]),
        (1025, [(0, 512), (256, 512), (512, 512), (768, 257)]),
        (1300, [(0, 512), (256, 512), (512, 512), (768, 512), (1024, 276)]),
    ],
)
def test_window_boundaries(native, n, spans):
    stream = stream_of_length(n, seed=n)
    assert len(stream) == n and native.canonical_stream(stream) == stream
    whole, windows = surface(native, stream)
    assert [(s, l) for _, s, l in windows] == spans
    assert whole == vessolin.text_fingerprint(stream) == reference.sequence_fingerprint(stream).hex()
    for fp, start, length in windows:
        assert fp == reference.sequence_fingerprint(stream[start : start + length]).hex()


def test_windows_count_code_points_of_the_stream(native):
    # Punctuation, case and zero-width characters of the caller's text do not
    # count: positions are in the canonical stream.
    stream = stream_of_length(700, seed=7)
    text = "  " + ",  ".join(w.upper() + "\u200b" for w in stream.split(" ")) + " !!"
    assert native.canonical_stream(text) == stream
    assert surface(native, text) == surface(native, stream)


@pytest.mark.parametrize("repeats", [1000, 40_000])
def test_repetitive_text_windows(native, repeats):
    # Every window of "abab..." holds the two shingles "abab" and "baba" in
    # nearly equal numbers; check them against the literal definition. The
    # longer stream spans more blocks than the whole stream's narrow vote
    # sums hold before they are moved on.
    stream = "ab" * repeats
    whole, windows = surface(native, stream)
    assert whole == reference.sequence_fingerprint(stream).hex()
    for fp, start, length in windows:
        assert fp == reference.sequence_fingerprint(stream[start : start + length]).hex()


# ---------------------------------------------------------------------------
# Structural fingerprint

C = collections.Counter


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", C({("PL:0", 2): 1})),
        (" \t\r\n\u200b\n\u3000", C({("PL:0", 2): 1})),
        ("Hello world.", C({("SL1:2", 3): 1, ("PL:1", 2): 1, ("PUNCT:.", 1): 1, ("FW:_ _", 2): 1})),
        (
            "The cat sat. It ran!",
            C({("SL1:3", 3): 1, ("SL1:2", 3): 1, ("SL2:3,2", 3): 1, ("PL:2", 2): 1, ("PUNCT:.", 1): 1,
               ("PUNCT:!", 1): 1, ("FW:the _ _", 2): 1, ("FW:_ _ it", 2): 1, ("FW:_ it _", 2): 1}),
        ),
        # An abbreviation's full stop ends a sentence like any other.
        ("Mr. Smith left.", C({("SL1:1", 3): 1, ("SL1:2", 3): 1, ("SL2:1,2", 3): 1, ("PL:2", 2): 1,
                               ("PUNCT:.", 2): 1, ("FW:_ _ _", 2): 1})),
        # Equal features are not merged: two sentences of two words.
        ("A b. C d.", C({("SL1:2", 3): 2, ("SL2:2,2", 3): 1, ("PL:2", 2): 1, ("PUNCT:.", 2): 1,
                         ("FW:a _ _", 2): 1, ("FW:_ _ _", 2): 1})),
        # A terminator needs two trimmed bytes before it; "?!" is a sentence of no words.
        ("?!", C({("SL1:0", 3): 1, ("PL:1", 2): 1, ("PUNCT:?", 1): 1, ("PUNCT:!", 1): 1})),
        ("e.g. x", C({("SL1:1", 3): 3, ("SL2:1,1", 3): 2, ("PL:3", 2): 1, ("PUNCT:.", 2): 1, ("FW:_ _ _", 2): 1})),
        # "..." after a sentence: the first dot ends it, the next two form "..".
        ("Go... on", C({("SL1:1", 3): 2, ("SL1:0", 3): 1, ("SL2:1,0", 3): 1, ("SL2:0,1", 3): 1, ("PL:3", 2): 1,
                        ("PUNCT:.", 3): 1, ("FW:_ on", 2): 1})),
        # The ellipsis character counts as "." but ends nothing; é is one letter.
        ("So\u2026 \u00e9t\u00e9 \u2014 \u201cfin\u201d", C({("SL1:3", 3): 1, ("PL:1", 2): 1, ("PUNCT:.", 1): 1,
                                                             ("PUNCT:-", 1): 1, ("PUNCT:\"", 2): 1,
                                                             ("FW:so _ _", 2): 1})),
        # Case does not matter; an apostrophe splits; I-dot and Greek words are no function words.
        ("THE don't \u0130F \u039f\u03a3 If", C({("SL1:6", 3): 1, ("PL:1", 2): 1, ("PUNCT:\"", 1): 1,
                                                   ("FW:the _ _", 2): 1, ("FW:_ _ _", 2): 2, ("FW:_ _ if", 2): 1})),
        ("([{}])-\u2013;:,'\u2018\u2019\"\u201c\u201d/&*", C({("SL1:0", 3): 1, ("PL:1", 2): 1, ("PUNCT:(", 6): 1,
                                                              ("PUNCT:-", 2): 1, ("PUNCT:;", 1): 1,
                                                              ("PUNCT::", 1): 1, ("PUNCT:,", 1): 1,
                                                              ("PUNCT:\"", 6): 1})),
    ],
)
def test_structural_features(native, text, expected):
    assert features(native, text) == expected
    assert features(native, text) == collections.Counter(reference.structural_features(text))


def test_text_structure_worked_values():
    assert vessolin.text_structure("") == "275f181eb4abbca724e20faf00f167f87a05846b4b9e4dc61aaf6e441d8f0ec4"
    assert vessolin.text_structure("\u200b \n\t") == vessolin.text_structure("")
    assert vessolin.text_structure("Hello world.") == "e93afc4622237f18f00a50009e3187d8365924ed66494205d2221204f60aa3a9"
    assert vessolin.text_structure("The cat sat. It ran!") == reference.text_structure("The cat sat. It ran!")


@pytest.mark.parametrize(
    "a, b",
    [
        ("One two.\nThree four.\n\nFive.", "One two.\r\nThree four.\r\n\r\nFive.\r\n"),  # CR LF is LF
        ("One two.\nThree four.", "One two. Three four."),  # a single line feed joins lines
        ("A b.\n\nC d.", "A b.\n \n\t\n\nC d.\n\n"),  # one or more blank lines part paragraphs
        ("Stra\u00dfe. Caf\u00e9!", "Stra\u00dfe.\u200b Cafe\u0301!\u2060"),  # NFC and invisible characters
    ],
)
def test_structure_equivalences(a, b):
    assert vessolin.text_structure(a) == vessolin.text_structure(b)


def test_structure_layout_matters():
    assert vessolin.text_structure("A b.\n\nC d.") != vessolin.text_structure("A b.\nC d.")
    # A lone carriage return is an ordinary (white space) character, not a line end.
    assert features_of("A b.\r\rC d.") == features_of("A b.  C d.")


def features_of(text):
    return collections.Counter(reference.structural_features(text))


def test_every_function_word_is_recognised(native):
    words = reference.FUNCTION_WORDS
    text = " ".join(w.upper() if i % 3 == 0 else w.capitalize() if i % 3 == 1 else w for i, w in enumerate(words))
    got = features(native, text)
    assert got == features_of(text)
    assert sum(n for (f, _), n in got.items() if f.startswith("FW:") and "_" not in f) == len(words) - 2


# ---------------------------------------------------------------------------
# MinHash


def test_minhash_worked_values():
    sig = vessolin.minhash_signature("The quick brown fox jumps.")
    assert sig[:2] == [482606875969347636, 553179836236729737]
    assert vessolin.minhash_bands("The quick brown fox jumps.")[0] == 10235295495104006771
    assert vessolin.minhash_signature("")[0] == 2291993565734403466
    assert vessolin.minhash_signature("?!, ...") == vessolin.minhash_signature("")


def test_minhash_family_check_values():
    assert reference.MINHASH_A[:2] == [0x157A3807A48FAA9E, 0xF90B72E996DCCC1]
    assert reference.MINHASH_B[:2] == [0x1573529B34A1D099, 0x2D419334C4667F1]


@pytest.mark.parametrize("words", [1, 3, 4, 5, 6, 7, 40])
def test_minhash_shingle_counts(words):
    text = " ".join(f"w{i}" for i in range(words))
    sig = vessolin.minhash_signature(text)
    assert sig == reference.minhash_signature(text)
    assert len(sig) == 128 and all(0 <= v < 2**61 - 1 for v in sig)
    bands = vessolin.minhash_bands(text)
    assert len(bands) == 32 and bands == reference.minhash_bands(text)


def test_bands_are_band_keys_of_the_signature(native):
    text = "Band keys use the full sixty-four bit range, so about half of them are large."
    sig, bands = vessolin.minhash_signature(text), vessolin.minhash_bands(text)
    for k in range(32):
        assert bands[k] == native.band_key(" ".join(map(str, sig[4 * k : 4 * k + 4])))
        assert bands[k] == reference.band_key(*sig[4 * k : 4 * k + 4])
    assert any(b >= 2**63 for b in bands) and all(b >= 0 for b in bands)
    assert native.band_key(f"{2**64 - 1} 0 1 {2**63}") == reference.band_key(2**64 - 1, 0, 1, 2**63)


def test_every_window_vote_kernel_agrees(native):
    kernels = native.surface_kernels().split()
    assert kernels[-1] == "portable"
    rng = random.Random(5)
    # Blocks of 256 shingle starts with many and with few repeats, a short last block.
    texts = ["ab" * 700, stream_of_length(2000, seed=3), " ".join(rng.choice(["x", "yz", "été"]) for _ in range(900))]
    for text in texts:
        expected = native.surface_fingerprint_using(text, "portable")
        assert expected == native.surface_fingerprint(text)
        for kernel in kernels:
            assert native.surface_fingerprint_using(text, kernel) == expected, kernel
    assert native.surface_fingerprint_using("x", "no-such-kernel") == ""


def test_every_whole_stream_kernel_agrees(native):
    # A shingle's count enters the sum digit by digit: words drawn with
    # weights 1/rank give counts of every size (with many shingles per binary
    # digit, and few for the high ones); "ab" repeated gives two shingles of
    # count past 2^16; "abcde" two of count 1 that tie on about half the bits.
    kernels = native.sequence_kernels().split()
    assert kernels[-1] == "portable"
    rng = random.Random(11)
    vocab = ["".join(rng.choice("abcdeé") for _ in range(rng.randint(1, 7))) for _ in range(400)]
    zipf = " ".join(rng.choices(vocab, weights=[1 / (r + 1) for r in range(len(vocab))], k=30_000))
    for text in [zipf, "ab" * 70_000, "abcde", "abcdefghijklmnopqrstu", zipf[:5000]]:
        expected = reference.sequence_fingerprint(text).hex()
        for kernel in kernels:
            assert native.sequence_fingerprint_using(text, kernel) == expected, (kernel, len(text))
    assert native.sequence_fingerprint_using("x", "no-such-kernel") == ""


def test_windows_and_whole_stream_paths_agree_on_long_texts(native):
    # The whole fingerprint of a text with windows is summed from the blocks'
    # votes, that of text_fingerprint from the distinct shingles' counts: two
    # independent paths, here over more than 255 blocks of varied text.
    rng = random.Random(13)
    vocab = ["".join(rng.choice("abcdeé ") for _ in range(rng.randint(2, 9))) for _ in range(3000)]
    text = " ".join(rng.choices(vocab, weights=[1 / (r + 1) for r in range(len(vocab))], k=20_000))
    whole, windows = surface(native, text)
    assert len(windows) > 256
    assert whole == vessolin.text_fingerprint(text)


def test_every_minhash_kernel_agrees(native):
    kernels = native.minhash_kernels().split()
    assert kernels[-1] == "portable"
    rng = random.Random(3)
    for size in [0, 1, 4, 5, 9, 300, 257 * 5 + 3, 3000]:
        text = " ".join(rng.choice(WORDS + ["\u00e9t\u00e9", "x"]) for _ in range(size))
        results = {k: native.minhash_using(text, k) for k in kernels}
        expected = vessolin.minhash_signature(text) + vessolin.minhash_bands(text)
        assert all(r == expected for r in results.values()), [k for k, r in results.items() if r != expected]
    assert native.minhash_using("x", "no-such-kernel") == []


def _words(seed, count, lengths):
    rng = random.Random(seed)
    letters = "abcdefgh\u00e9\u4e2d"
    return " ".join("".join(rng.choice(letters) for _ in range(rng.choice(lengths))) for _ in range(count))


# Shingles are hashed four or sixteen at a time, in step to the longest; these
# reach the edges of that: lengths that are multiples of the 8-byte loads, shingles
# longer than the ring of kept steps, lengths too far apart for it, and
# groups ending at the very end of the stream.
@pytest.mark.parametrize(
    "text",
    [
        _words(1, 700, range(1, 12)),
        " ".join(["abcd"] * 41),  # every shingle 24 bytes
        _words(2, 90, [100, 101, 103]),  # about 500-byte shingles
        _words(3, 120, [1, 2, 300]),
        _words(4, 52, [2, 3]) + " " + "z" * 700,
        _words(5, 400, [1, 1, 1, 1, 18, 20, 22, 24, 26]),  # groups of four whose lengths differ by 63, 64 and 65 bytes
    ],
    ids=["short", "multiple-of-8", "long", "far-apart", "long-last", "tail-edge"],
)
def test_kernels_hash_every_shingle_layout(native, text):
    expected = reference.minhash_signature(text) + reference.minhash_bands(text)
    for kernel in native.minhash_kernels().split():
        assert native.minhash_using(text, kernel) == expected, kernel


P61 = 2**61 - 1


def hash_giving(j, v):
    """The shingle hash t for which signature lane j takes the value v."""
    return (v - reference.MINHASH_B[j]) * pow(reference.MINHASH_A[j], -1, P61) % P61


def absorbed(hashes):
    sig = [2**64 - 1] * 128
    for t in hashes:
        sig = [min(s, (a * t + b) % P61) for s, a, b in zip(sig, reference.MINHASH_A, reference.MINHASH_B)]
    return sig


def test_kernels_never_miss_a_new_minimum(native):
    # The kernels compute a value exactly only where a cheap estimate says it
    # may be below the running minimum; a value one below the minimum, at the
    # very bottom of the range or just under P must still get through, and an
    # equal one must change nothing.
    rng = random.Random(5)
    warm = [rng.randrange(P61) for _ in range(3000)]
    sig = absorbed(warm)
    lanes = [0, 1, 8, 63, 64, 127]
    sequences = [
        [0, 1, 2**32, P61 - 2, P61 - 1],
        warm + [hash_giving(j, sig[j] - 1) for j in lanes] + [hash_giving(j, sig[j]) for j in range(128)],
        warm + [hash_giving(j, v) for j in lanes for v in (sig[j] - 2, 3, 2, 1, 0, 0)],
    ]
    for j in lanes:
        for v in (0, 1, 2, 3, 4, 5, 4095, 8191, 2**40, P61 - 3, P61 - 1):
            sequences.append([hash_giving(j, (v + d) % P61) for d in (3, 1, 1, 0)])
    for kernel in native.minhash_kernels().split():
        for hashes in sequences:
            assert native.minhash_absorb_using(" ".join(map(str, hashes)), kernel) == absorbed(hashes), kernel
    assert native.minhash_absorb_using("1", "no-such-kernel") == []


# Shingle hashes whose base-2^16 digits are at their extremes (balanced:
# -2^15 or 2^15 - 1; plain: 2^16 - 1), which is where the screens' estimates
# stray farthest, and the ends of the range.
EXTREME_HASHES = [0, 1, 2**16 - 1, 2**15, 0x8000_8000_8000, 0x7FFF_7FFF_7FFF, 0x1FFF_8000_8000_8000,
                  0x1FFF_7FFF_7FFF_7FFF, 0x1000_8000_8000_8000, 0xFFFF_FFFF_FFFF, 0x1FFF_FFFF_FFFF_FFFF - 1,
                  P61 - 2, P61 - 1]


@pytest.mark.parametrize("t", EXTREME_HASHES, ids=hex)
def test_kernels_screen_edges_in_every_lane(native, t):
    # Each lane in turn holds a minimum one above, or equal to, the value t
    # gives it, so t lowers exactly that lane by one or changes nothing.
    values = [(a * t + b) % P61 for a, b in zip(reference.MINHASH_A, reference.MINHASH_B)]
    sequences = [[hash_giving(j, (values[j] + d) % P61), t] for j in range(128) for d in (1, 0)]
    sequences.append([hash_giving(j, (values[j] + 2**29) % P61) for j in (0, 77)] + [t])
    for kernel in native.minhash_kernels().split():
        got = [native.minhash_absorb_using(" ".join(map(str, hashes)), kernel) for hashes in sequences]
        assert got == [absorbed(hashes) for hashes in sequences], kernel


# The 16-bit screen, modelled: G estimates V = 2^16 v / P from t's base-2^16
# digits and 32-bit fractions F = 2^32 (a 2^16k mod P) / P, and a lane passes
# when G <= floor(s / 2^45) + 10. With s = v + 1 (the smallest minimum v
# still lowers) the margin left must never be negative.
def _round_fraction(x, bits):
    return ((x << (bits + 1)) + P61) // (2 * P61) % 2**bits


def screen16_margin(j, t):
    a, b = reference.MINHASH_A[j], reference.MINHASH_B[j]
    g = _round_fraction(b, 16) + 7
    c = a
    for k in range(4):
        f, h = _round_fraction(c, 32), t >> (16 * k) & 0xFFFF
        g += h * (f >> 16) + (h * (f & 0xFFFF) >> 16)
        c = (c << 16) % P61
    v = (a * t + b) % P61
    return ((v + 1) >> 45) + 10 - g % 2**16


def _digit_extremes(j):
    # For lane j, the t whose every digit pushes the estimate farthest up,
    # and the one pushing it farthest down: each digit's error depends on
    # that digit alone.
    c, up, down = reference.MINHASH_A[j], 0, 0
    for k in range(4):
        f = _round_fraction(c, 32)
        errors = []
        for h in range(2**16 if k < 3 else 2**13):
            e = (h * (f >> 16) + (h * (f & 0xFFFF) >> 16)) % 2**16
            r = (e * P61 - 2**16 * (h * c % P61)) % (2**16 * P61)  # P times the error
            errors.append((r - 2**16 * P61 if r > 2**15 * P61 else r, h))
        up |= max(errors)[1] << (16 * k)
        down |= min(errors)[1] << (16 * k)
        c = (c << 16) % P61
    return [(up, j), (down, j)]


def _screen16_edges():
    rng = random.Random(16)
    digits = [0, 1, 0x7FFF, 0x8000, 0xFFFE, 0xFFFF]
    cases = [(sum(rng.choice(digits) << (16 * k) for k in range(4)) % 2**61, j) for _ in range(100) for j in range(128)]
    cases += [(rng.randrange(P61), j) for _ in range(100) for j in range(128)]
    # Values near 0, where an estimate below V would wrap to the top.
    cases += [(hash_giving(j, v), j) for j in range(128) for v in (0, 1, 2**44, rng.randrange(2**45))]
    cases = [(t, j) for t, j in cases if t < P61]
    tightest = sorted((screen16_margin(j, t), t, j) for t, j in cases)
    assert tightest[0][0] >= 0
    near_zero = sorted(cases[-4 * 128:], key=lambda c: screen16_margin(c[1], c[0]))
    return [(t, j) for _, t, j in tightest[:3]] + near_zero[:3] + [c for j in (0, 77, 127) for c in _digit_extremes(j)]


@pytest.mark.parametrize("t, j", _screen16_edges())
def test_kernels_pass_a_lane_at_the_16_bit_screens_edge(native, t, j):
    # Lane j's minimum sits one above the value t gives it, where the 16-bit
    # estimate comes closest to rejecting it; t must lower it.
    assert screen16_margin(j, t) >= 0
    v = (reference.MINHASH_A[j] * t + reference.MINHASH_B[j]) % P61
    hashes = [hash_giving(j, v + 1), t]
    for kernel in native.minhash_kernels().split():
        assert native.minhash_absorb_using(" ".join(map(str, hashes)), kernel) == absorbed(hashes), kernel


# ---------------------------------------------------------------------------
# Against the reference, and invariance under the canonical stream

# Characters Python's own database knows, so that it can serve as the oracle.
KNOWN = st.characters(blacklist_categories=("Cs", "Cn")).filter(lambda c: unicodedata.category(c) != "Cn")
PIECES = st.sampled_from(
    [" ", "  ", ". ", ".", "!", "?", ", ", ";", ":", "'", "\"", "(", "]", "-", "\u2013", "\u2014", "\u2026",
     "\u2018", "\u201d", "\n", "\r\n", "\n\n", " \n \n", "\r", "\u200b", "\u200d", "\ufe0f", "\u0301", "\u0307",
     "\u0130", "\u03a3", "\u00df", "\u212a", "\u1100\u1161", "x\u00b2", "\U0001f600", "_", "\u3000", "\u00a0",
     "\u2028", "\u0915\u093f"]
)
WORD = st.sampled_from(reference.FUNCTION_WORDS + ["cat", "Sat", "MAT", "\u00e9t\u00e9", "\u4e2d\u6587", "e.g."])
TEXTS = st.lists(st.one_of(WORD, WORD, PIECES, KNOWN, st.text(alphabet="abAB .", max_size=8)), max_size=80).map(
    "".join
)


@settings(max_examples=300, deadline=None)
@given(TEXTS)
def test_matches_the_reference(native, text):
    assert vessolin.text_fingerprint(text) == reference.text_fingerprint(text)
    assert features(native, text) == collections.Counter(reference.structural_features(text))
    assert vessolin.text_structure(text) == reference.text_structure(text)
    assert vessolin.minhash_signature(text) == reference.minhash_signature(text)
    assert vessolin.minhash_bands(text) == reference.minhash_bands(text)


@pytest.mark.parametrize("seed", range(6))
def test_long_texts_match_the_reference(native, seed):
    rng = random.Random(seed)
    pool = reference.FUNCTION_WORDS + ["\u00e9t\u00e9", "\u4e2d\u6587\u5b57", "\u03a3\u03bf\u03c6\u03af\u03b1", "42"]
    seps = [" ", " ", ", ", ". ", "! ", "\n", "\n\n", "\u200b", " \u2014 "]
    text = "".join(rng.choice(pool) + rng.choice(seps) for _ in range(rng.randint(100, 400)))
    whole, windows = surface(native, text)
    ref_whole, ref_windows = reference.surface_fingerprint(text)
    assert whole == vessolin.text_fingerprint(text) == ref_whole.hex()
    assert windows == [(fp.hex(), s, n) for fp, s, n in ref_windows]
    assert vessolin.text_structure(text) == reference.text_structure(text)
    assert vessolin.minhash_signature(text) == reference.minhash_signature(text)


def test_shingles_cut_at_every_byte_offset(native):
    # Shingles are cut from the stream's bytes, 64 at a time: characters of
    # one to four bytes that straddle those blocks, and shingles that end at
    # the stream's last byte for streams of every length up to 200 bytes.
    rng = random.Random(64)
    chars = ["a", "7", "\u00e9", "\u044f", "\u4e2d", "\uac00", "\U00020000", "\U00010428", " "]
    for _ in range(3):
        stream = ""
        while len(stream.encode("utf-8")) < 200:
            stream += rng.choice(chars)
            text = stream.strip()
            if "  " in text:
                continue
            whole, windows = surface(native, text)
            assert whole == reference.text_fingerprint(text), text
    # Runs of ASCII take a shorter way: one character of two bytes at every
    # offset of an ASCII text, so that the two ways meet everywhere.
    ascii_text = " ".join(rng.choice(["the", "of", "mars", "x7", "a"]) for _ in range(60))[:160]
    for at in range(len(ascii_text) + 1):
        text = ascii_text[:at] + "\u00e9" + ascii_text[at:]
        assert vessolin.text_fingerprint(text) == reference.text_fingerprint(text), at
    text = "".join(rng.choice(chars[:-1]) + rng.choice(["", " "]) for _ in range(700))
    whole, windows = surface(native, text)
    ref_whole, ref_windows = reference.surface_fingerprint(text)
    assert (whole, windows) == (ref_whole.hex(), [(fp.hex(), s, n) for fp, s, n in ref_windows])


def test_text_structure_is_the_same_whatever_earlier_calls_left_behind():
    # Hashes of function-word features are kept from one call to the next;
    # a text with more distinct trigrams than are kept, recomputed after
    # another text, must come out the same as computed afresh.
    rng = random.Random(8)
    words = reference.FUNCTION_WORDS
    big = " ".join(rng.choice(words) + rng.choice(["", "", ".", ","]) for _ in range(40000))
    small = "The cat sat on the mat. It was there, and so was the dog."
    expected = {t: reference.text_structure(t) for t in (big, small)}
    for text in (small, big, small, big):
        assert vessolin.text_structure(text) == expected[text]


SEPARATORS = st.sampled_from([" ", "  ", ", ", ". ", "!\n", "\n\n", "\t", " - ", "'", "_", "\u00a0", "\u2014"])
INVISIBLE = st.sampled_from(sorted(map(chr, reference.INVISIBLE)))


@st.composite
def same_stream_pair(draw):
    """Two renderings of one word list: different case, separators and invisible characters."""
    words = draw(st.lists(st.sampled_from(WORDS + reference.FUNCTION_WORDS + ["\u00e9t\u00e9", "x2"]), max_size=40))
    first = " ".join(words)
    pieces = []
    for w in words:
        w = draw(st.sampled_from([w, w.upper(), w.capitalize()]))
        if len(w) > 1 and draw(st.booleans()):
            cut = draw(st.integers(1, len(w) - 1))
            w = w[:cut] + draw(INVISIBLE) + w[cut:]
        pieces.append(w)
    second = draw(SEPARATORS) + "".join(p + draw(SEPARATORS) for p in pieces)
    return first, second


@settings(max_examples=200, deadline=None)
@given(same_stream_pair())
def test_equal_canonical_streams_give_equal_results(native, pair):
    a, b = pair
    assert native.canonical_stream(a) == native.canonical_stream(b)
    assert vessolin.text_fingerprint(a) == vessolin.text_fingerprint(b)
    assert surface(native, a) == surface(native, b)
    assert vessolin.minhash_signature(a) == vessolin.minhash_signature(b)
    assert vessolin.minhash_bands(a) == vessolin.minhash_bands(b)


@settings(max_examples=200, deadline=None)
@given(TEXTS, st.lists(st.tuples(st.integers(0, 10_000), INVISIBLE), max_size=8))
def test_invisible_characters_change_nothing(native, text, marks):
    # The structural fingerprint reads punctuation and layout, so only texts
    # with the same normalised text (not merely the same stream) must agree.
    marked = text
    for pos, mark in marks:
        pos %= len(marked) + 1
        marked = marked[:pos] + mark + marked[pos:]
    if native.normalized_text(marked) != native.normalized_text(text):
        return  # a mark split a character sequence that NFC would have composed
    for fn in (vessolin.text_fingerprint, vessolin.text_structure, vessolin.minhash_signature, vessolin.minhash_bands):
        assert fn(marked) == fn(text)


# ---------------------------------------------------------------------------
# Bad input: any text gives a value, in time linear in its length


@pytest.mark.parametrize(
    "text",
    [
        "a" * 2_000_000,
        " .,;!?\n" * 300_000,
        "".join(chr(0x4E00 + (i * 7919) % 20000) for i in range(500_000)),  # ~500 000 distinct shingles
    ],
    ids=["one-character", "separators-only", "many-distinct-shingles"],
)
def test_large_texts_complete(native, text):
    fp = vessolin.text_fingerprint(text)
    whole, windows = surface(native, text)
    assert whole == fp
    n = len(native.canonical_stream(text))
    assert len(windows) == (0 if n <= 512 else (n - 512 + 255) // 256 + 1)
    assert len(vessolin.text_structure(text)) == 64
    assert len(vessolin.minhash_signature(text)) == 128
