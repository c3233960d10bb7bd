"""The zero-width watermark: payload, slots and placement, embedding and blind extraction."""

import pathlib
import random
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import reference
import vessolin

CORPUS = pathlib.Path(__file__).parent.parent / "bench" / "data"
ALPHABET = reference.ALPHABET
KEY = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff"
POINTER = "0123456789abcdef0123456789abcdef"
GROUP = re.compile(f"[{ALPHABET}]{{4}}")


def words(n: int, sep: str = " ") -> str:
    return sep.join(f"word{i}" for i in range(n))


def extract(text: str, key: str = KEY):
    return vessolin.extract_watermark(text, key)


def error_of(call) -> str:
    with pytest.raises(ValueError) as info:
        call()
    return str(info.value)


def corpus(name: str, nbytes: int = 30_000) -> str:
    text = (CORPUS / name).read_text(encoding="utf-8")
    return text[: len(text.encode()[:nbytes].decode(errors="ignore"))]


def group_spans(marked: str) -> list[tuple[int, int]]:
    return [m.span() for m in GROUP.finditer(marked)]


def without_groups(marked: str, spans) -> str:
    spans = set(spans)
    out, last = [], 0
    for start, end in sorted(spans):
        out.append(marked[last:start])
        last = end
    return "".join(out) + marked[last:]


# ---------------------------------------------------------------------------
# Payload, groups, slots and placement


def test_symbol_groups(native):
    assert native.shard_group("180") == "\u200d\u2060\u200c\u200b"  # 0xB4: 10 11 01 00
    assert native.shard_group("0") == "\u200b" * 4
    assert native.shard_group("255") == "\u2060" * 4
    assert all(native.shard_group(str(b)) == reference.group_of(b) for b in range(256))


@pytest.mark.parametrize(
    "key, digest, pointer",
    [(b"", bytes(32), bytes(16)), (b"k", bytes(range(32)), b"\xff" * 16), (bytes(100), b"\x07" * 32, b"p" * 16)],
)
def test_binding_tag_and_shards(native, key, digest, pointer):
    tag = native.binding_tag(key.hex(), digest.hex(), pointer.hex())
    assert tag == reference.binding_tag(key, digest, pointer).hex()
    payload = pointer + bytes.fromhex(tag)
    assert native.encode_shards(payload.hex()) == reference.rs_encode(payload).hex()


SLOTS = [
    ("", []),
    ("a b", [1, 3]),
    ("a  b ", [1, 4]),
    ("  a", [3]),
    ("ab\u200bcd", [2, 7]),
    ("ab\ufeffcd", [2, 7]),
    ("ab\ufe0fcd", [2, 7]),
    ("end.", [4]),
    ("\u00e9t\u00e9\u3000\U0001f600\u00a0x", [5, 12, 15]),
    ("\u200b \ufeff\n", []),
]


@pytest.mark.parametrize("text, slots", SLOTS)
def test_find_slots(native, text, slots):
    assert native.find_slots(text) == slots == reference.find_slots(text)


def test_placement_order(native):
    fallback = native.shuffled_order(f"48 {reference.FALLBACK_SEED} 48")
    assert fallback[:12] == [10, 35, 39, 22, 40, 0, 16, 31, 41, 46, 18, 29]
    assert fallback == reference.shuffled(48, reference.FALLBACK_SEED)
    rng = random.Random(3)
    for n in [48, 49, 50, 1000]:
        key, digest = rng.randbytes(rng.choice([0, 5, 32, 80])), rng.randbytes(32)
        order = native.placement_order(str(n), key.hex(), digest.hex())
        assert order == reference.placement_order(n, key, digest)
        assert sorted(order) == list(range(n))
    key, digest = b"k", bytes(32)
    o48, o50 = (native.placement_order(str(n), key.hex(), digest.hex()) for n in (48, 50))
    assert o50[:48] != o48  # another slot count, another order


def test_remainder_by_reciprocal_is_exact(native):
    # The shuffle's remainder needs no division; it must be exact for every
    # 64-bit value and divisor, at the extremes and next to multiples.
    rng = random.Random(11)
    divisors = [4, 5, 7, 48, 1000, 2**16 + 1, 2**31 - 1, 2**31, 2**32 - 5, 2**32 - 1]
    divisors += [rng.randrange(4, 2**32) for _ in range(200)]
    pairs = []
    for k in divisors:
        top = (2**64 - 1) // k * k
        xs = [0, 1, k - 1, k, 2**64 - 1, 2**63, 2**63 - 1, top, top - 1, top - k, rng.randrange(2**64)]
        xs += [rng.randrange(2**64 // k) * k + d for d in (-1, 0, 1) for _ in range(3)]
        pairs += [(x % 2**64, k) for x in xs]
    got = native.remainders_by_reciprocal(" ".join(f"{x} {k}" for x, k in pairs))
    assert got == [x % k for x, k in pairs]


def test_every_shuffle_kernel_draws_as_the_reference(native):
    # The vector kernel runs lanes that start whole blocks apart and may
    # compute past the run's end; runs of every length around a block, and
    # remainders at the extremes and next to multiples, for each kernel.
    rng = random.Random(19)
    runs = [(rng.randrange(1, 2**64), first, count)
            for first, count in [(4, 1), (700, 697), (2**31 - 1, 1500), (5000, 511), (5000, 512), (5000, 513),
                                 (3000, 2997), (rng.randrange(4000, 2**31), 2048), (100_000, 4100)]]
    pairs = []
    for k in [4, 5, 7, 48, 1000, 2**16 + 1, 2**31 - 1] + [rng.randrange(4, 2**31) for _ in range(100)]:
        top = (2**64 - 1) // k * k
        xs = [0, 1, k - 1, k, 2**64 - 1, 2**63, 2**63 - 1, top, top - 1, top - k]
        xs += [rng.randrange(2**64 // k) * k + d for d in (-1, 0, 1) for _ in range(3)]
        pairs += [(x % 2**64, k) for x in xs]
    pair_text = " ".join(f"{x} {k}" for x, k in pairs)
    kernels = native.shuffle_kernels().split()
    assert kernels[-1] == "portable"
    for kernel in kernels:
        assert native.remainders_using(pair_text, kernel) == [x % k for x, k in pairs], kernel
        for x, first, count in runs:
            draws, last = reference.shuffle_draws(x, first, count)
            assert native.shuffle_draws_using(f"{x} {first} {count}", kernel) == draws + [last], (kernel, first, count)


def test_every_skip_kernel_stops_where_the_portable_one_does(native):
    # The fast walk over plain text counts words a block at a time and stops
    # at white space beyond ASCII and invisible code points, which share lead
    # bytes with the typographic quotes and dashes it must pass over.
    rng = random.Random(23)
    pieces = ["a", "word", " ", "  ", "\t", "\n", "\r\n", "\u00a0", "\u0085", "\u2019", "\u201c", "\u2014", "\u2003",
              "\u200a", "\u200b", "\u200d", "\u2060", "\u205f", "\u3000", "\u1680", "\ufeff", "\ufe0f", "\u00e9",
              "\u4e2d", "\U0001f600", "\u0301", "\u202f", "\u2028"]
    texts = ["".join(rng.choice(pieces) for _ in range(rng.randrange(20, 120))) for _ in range(12)]
    texts += ["plain words " * 30, "x" * 200, " " * 200]
    kernels = native.skip_plain_kernels().split()
    assert kernels[-1] == "portable"
    for text in texts:
        trace = native.skip_plain_trace(text, "portable")
        for kernel in kernels[:-1]:
            assert native.skip_plain_trace(text, kernel) == trace, (kernel, text)


def test_a_long_shuffle_matches_the_reference(native):
    assert native.shuffled_order(f"70001 {2**64 - 1} 70001") == reference.shuffled(70001, 2**64 - 1)


def test_scan_words_file_symbols_under_the_word_that_started_last(native):
    # Dropped before the first word; inside a word or after the white space
    # that follows it, filed under it; a lone byte-order mark is a scan word,
    # and a group joins it right after it.
    text = "\u200bab\u200c \u200d c \ufeff\u2060 "
    assert native.scan_words(text).splitlines() == ["0 5 2 12", "1 14 0 ", "2 18 1 3"]
    # A group joins a word after its last code point outside the invisible set.
    assert native.scan_words("\u2764\ufe0f x\ufeff").splitlines() == ["0 3 0 ", "1 8 0 "]


# Texts that cross the 64-byte blocks of the fast path in every way: long
# ASCII runs, and around them white space, symbols and other invisible code
# points beyond ASCII, ordinary multi-byte characters and ones whose lead
# bytes look like white space (C2, E1, E2, E3, EF).
SCAN_PIECES = st.sampled_from(
    [" ", "  ", "\n", "\t\r", "\x0b\x0c", "\u00a0", "\u0085", "\u1680", "\u2003", "\u2028", "\u202f", "\u205f",
     "\u3000", *ALPHABET, "\ufeff", "\ufe0f", "\u00e9", "\u00ab", "\u1e9e", "\u201c", "\u2014", "\u3001",
     "\uff21", "\U0001f600", "x", "word", "-"]
)
SCAN_TEXTS = st.lists(
    st.one_of(SCAN_PIECES, st.text(alphabet="ab .\u03b4\u4e2d\U0001f600\u00ab\u201c", min_size=40, max_size=140)),
    max_size=30,
).map("".join)


@settings(max_examples=300, deadline=None)
@given(SCAN_TEXTS, st.randoms(use_true_random=False))
def test_slot_count_and_scan_words_match_the_reference(native, text, rng):
    stripped = reference.strip_invisible(text)
    assert native.strip_invisible(text) == stripped
    assert native.count_slots_without_invisible(text) == len(reference.find_slots(stripped))
    lines = native.scan_words(text).splitlines()
    expected = reference.scan_words(text)
    assert len(lines) == len(expected)
    for line, (ordinal, (at, symbols)) in zip(lines, enumerate(expected)):
        number, offset, count, first = line.split(" ") + [""] * (4 - len(line.split(" ")))
        assert (int(number), int(offset), int(count)) == (ordinal, len(text[:at].encode()), len(symbols))
        assert first == "".join(map(str, symbols[:4]))
    # A few words asked for, read from the census's checkpoints.
    chosen = sorted(rng.sample(range(len(expected)), min(len(expected), rng.choice([1, 5, 48]))))
    rng.shuffle(chosen)
    assert native.scan_chosen_words(text, " ".join(map(str, chosen))).splitlines() == [lines[o] for o in chosen]


def test_scanning_from_checkpoints_over_a_long_text(native):
    text = corpus("wikipedia_mars/persan.utf8.txt", 60_000) + ALPHABET + " x\ufeff  \u200d"
    lines = native.scan_words(text).splitlines()
    rng = random.Random(5)
    for count in [1, 2, 48, 48, 48, len(lines)]:
        chosen = rng.sample(range(len(lines)), count)
        asked = native.scan_chosen_words(text, " ".join(map(str, chosen))).splitlines()
        assert asked == [lines[o] for o in chosen]


def test_fast_path_knows_every_white_space_and_invisible_code_point(native):
    assert native.white_or_invisible_mismatches() == []


def test_word_counts_at_every_alignment(native):
    # Every prefix and suffix puts each character at another place in the
    # fast path's 64-byte blocks, and its end in the partial block after them.
    plain = "\u03bf\u03b4\u03bf\u03c3 x \u4e2d\u6587 \u00aby\u00bb \u201cq\u201d \U0001f600 \u1e9e\tab " * 5
    special = "\u2028t\u00a0\u3000x\u200cy \ufeff \U0001f600\u200d\U0001f4bb\u2003z \u0085\u1680" + ALPHABET + "end "
    text = (plain + special) * 2 + plain
    for piece in [text[:i] for i in range(len(text))] + [text[i:] for i in range(len(text))]:
        stripped = reference.strip_invisible(piece)
        assert native.count_slots_without_invisible(piece) == len(reference.find_slots(stripped)), repr(piece)
        assert len(native.scan_words(piece).splitlines()) == len(reference.scan_words(piece)), repr(piece)


# ---------------------------------------------------------------------------
# Embedding


# Random texts with at least 48 word runs: words of several scripts and
# punctuation, separated by all kinds of white space.
WORD = st.sampled_from(
    ["the", "Cat", "SAT", "on", "mat.", "e-mail", "don't", "\u00e9t\u00e9", "Stra\u00dfe", "\u03bf\u03b4\u03bf\u03c3",
     "\u041c\u0430\u0440\u0441", "\u4e2d\u6587\u5b57", "\U0001f600", "\u2014", "(x)", "2\u00bd", "\u0130stanbul",
     "e\u0301", "\u05e9\u05dc\u05d5\u05dd", "\u0645\u0631\u06cc\u062e"]
)
SEPARATOR = st.sampled_from([" ", " ", " ", "  ", "\n", "\n\n", "\t", "\u00a0", "\u3000", "\u2028", " \r\n"])
PLAIN_TEXTS = st.builds(
    lambda ws, seps, lead, tail: lead + "".join(w + s for w, s in zip(ws, seps)) + tail,
    st.lists(WORD, min_size=48, max_size=120),
    st.lists(SEPARATOR, min_size=120, max_size=120),
    st.sampled_from(["", " ", "\n"]),
    st.sampled_from(["", "end", " end."]),
)
KEYS = st.binary(max_size=70)
POINTERS = st.binary(max_size=20)


@settings(max_examples=150, deadline=None)
@given(PLAIN_TEXTS, POINTERS, KEYS)
def test_embedding_without_invisible_code_points_is_the_original_embedding(text, pointer, key):
    marked = vessolin.embed_watermark(text, pointer.hex(), key.hex())
    assert marked == reference.part_embed_watermark(text, pointer, key)
    assert len(marked) == len(text) + 192
    assert len(marked.encode()) == len(text.encode()) + 576
    assert reference.strip_invisible(marked) == text
    assert extract(marked, key.hex()) == (pointer[:16].ljust(16, b"\0").hex(), True, 0)


INVISIBLE = st.sampled_from(["\u200b", "\u200c", "\u200d", "\u2060", "\ufeff", "\ufe0f", "\ufe00"])


@settings(max_examples=150, deadline=None)
@given(PLAIN_TEXTS, st.lists(st.tuples(st.integers(0, 10**6), INVISIBLE, st.booleans()), max_size=12), KEYS)
def test_embedding_with_invisible_code_points_writes_where_extraction_reads(text, marks, key):
    for at, mark, alone in marks:
        at %= len(text) + 1
        text = text[:at] + (f" {mark} " if alone else mark) + text[at:]
    marked = vessolin.embed_watermark(text, POINTER, key.hex())
    assert marked == reference.embed_watermark(text, bytes.fromhex(POINTER), key)
    # A chosen word that held symbols already reads five or more: an
    # erasure, never a wrong shard, so the tag always verifies.
    found = extract(marked, key.hex())
    assert found == reference.extract_watermark(marked, key)
    assert found[:2] == (POINTER, True)


def test_same_arguments_same_text_and_the_key_chooses_the_words():
    text = words(200)
    a = vessolin.embed_watermark(text, POINTER, KEY)
    assert vessolin.embed_watermark(text, POINTER, KEY) == a
    other_pointer = vessolin.embed_watermark(text, "ff" * 16, KEY)
    other_key = vessolin.embed_watermark(text, POINTER, "01")
    positions = lambda marked: [m.start() - 4 * i for i, m in enumerate(GROUP.finditer(marked))]  # noqa: E731
    assert positions(other_pointer) == positions(a) and other_pointer != a
    assert positions(other_key) != positions(a)


@pytest.mark.parametrize(
    "pointer_hex, expected",
    [
        ("", "00" * 16),
        ("deadbeef", "deadbeef" + "00" * 12),
        (POINTER, POINTER),
        ("A0" * 20, "a0" * 16),
        (" \n" + POINTER.upper() + "\t", POINTER),
    ],
)
@pytest.mark.parametrize("key", ["", "ab", KEY, "5a" * 100])
def test_round_trip_of_pointers_and_keys(pointer_hex, expected, key):
    marked = vessolin.embed_watermark(words(60, sep=", "), pointer_hex, key)
    assert extract(marked, key) == (expected, True, 0)


def test_registered_after_content_hash():
    names = vessolin.__all__
    assert names.index("embed_watermark") == names.index("content_hash") + 1
    assert names.index("extract_watermark") == names.index("content_hash") + 2


def test_content_too_short():
    # Word runs are counted without the invisible code points: "a\u200bb" is one.
    for text in ["", "   \n", "\u200b\u200c \ufeff", words(47), words(46) + " \u200b \ufeff " + "a\u200bb"]:
        assert error_of(lambda: vessolin.embed_watermark(text, POINTER, KEY)) == reference.TOO_SHORT
        assert error_of(lambda: extract(text)) == reference.TOO_SHORT
    # With 48 word runs every run carries a group, the last one at the very end.
    marked = vessolin.embed_watermark(words(48), POINTER, KEY)
    assert all(len(w) == 4 + len(f"word{i}") for i, w in enumerate(marked.split(" ")))
    assert GROUP.fullmatch(marked[-4:])
    assert extract(marked) == (POINTER, True, 0)


def test_hex_arguments_key_first():
    text = words(60)
    assert error_of(lambda: vessolin.embed_watermark(text, "xy", "abc")) == "invalid key: Odd number of digits"
    assert error_of(lambda: vessolin.embed_watermark(text, "x", "zz")) == "invalid key: Invalid character 'z' at position 0"
    assert error_of(lambda: vessolin.embed_watermark(text, "0g", "")) == "invalid pointer: Invalid character 'g' at position 1"
    assert error_of(lambda: vessolin.extract_watermark(text, "0")) == "invalid key: Odd number of digits"
    # Argument errors come before the text is looked at.
    assert error_of(lambda: vessolin.embed_watermark("", "0", "")) == "invalid pointer: Odd number of digits"


def test_argument_types_and_lone_surrogates():
    with pytest.raises(TypeError, match=r"^argument 'pointer_hex': 'bytes' object cannot be converted to 'PyString'$"):
        vessolin.embed_watermark("t", b"00", "")
    with pytest.raises(TypeError, match=r"^extract_watermark\(\) missing 1 required positional argument: 'key_hex'$"):
        vessolin.extract_watermark("t")
    assert vessolin.extract_watermark(key_hex=KEY, text=vessolin.embed_watermark(words(50), POINTER, KEY))[1]

    class Text(str):
        pass

    # The result is built from slices of the argument: a plain str all the same.
    marked = vessolin.embed_watermark(Text(words(50, sep=" 😀 ")), POINTER, KEY)
    assert type(marked) is str and marked == vessolin.embed_watermark(words(50, sep=" 😀 "), POINTER, KEY)
    for call in (lambda: vessolin.embed_watermark(words(60) + "\ud800", "", ""),
                 lambda: vessolin.extract_watermark("\udfff" + words(60), "")):
        with pytest.raises(UnicodeEncodeError):
            call()


def test_re_embedding_is_refused_where_it_would_destroy_both():
    marked = vessolin.embed_watermark(words(100), POINTER, KEY)
    message = "invalid input: the text already carries zero-width marks at too many watermark positions"
    assert error_of(lambda: vessolin.embed_watermark(marked, "ff" * 16, KEY)) == message
    # Another key chooses mostly other words: both watermarks survive, each
    # losing the shards whose words the other one also chose.
    twice = vessolin.embed_watermark(marked, "ff" * 16, "77")
    first, second = extract(twice), extract(twice, "77")
    assert first[:2] == (POINTER, True) and second[:2] == ("ff" * 16, True)
    assert first[2] == second[2] > 0


# ---------------------------------------------------------------------------
# Texts that carry invisible code points of their own


@pytest.mark.parametrize(
    "text",
    [
        pytest.param(corpus("wikipedia_mars/persan.utf8.txt"), id="persian-zwnj"),
        pytest.param(corpus("emoji/emoji-zwj-sequences.txt"), id="emoji-zwj"),
        pytest.param("\ufeff" + words(80, sep="\n"), id="leading-bom"),
        pytest.param(words(30) + " \ufeff\n " + words(30) + " \ufe0f\u200d " + words(30), id="lone-invisibles"),
        # The joiner blocks a composition that the stripped text gets, so the
        # digest must come from the stripped text.
        pytest.param(words(60).replace("1 ", "1 e\u200d\u0301 "), id="joiner-blocks-composition"),
        pytest.param(words(60).replace("2 ", "2 \u1100\ufeff\u200b\u1161 "), id="marks-block-hangul"),
        pytest.param(words(60).replace("3 ", "3 a\u200b\u0328\u0301b "), id="mark-blocks-reordering"),
        pytest.param(words(90).replace("5 ", "5 \U0001f469\u200d\U0001f4bb \u2764\ufe0f "), id="emoji-sequences"),
    ],
)
def test_texts_with_invisible_code_points_round_trip(text):
    marked = vessolin.embed_watermark(text, POINTER, KEY)
    assert marked == reference.embed_watermark(text, bytes.fromhex(POINTER), KEY and bytes.fromhex(KEY))
    assert vessolin.content_hash(marked) == vessolin.content_hash(text)
    pointer, verified, recovered = extract(marked)
    assert (pointer, verified) == (POINTER, True)
    # Chosen words that held a zero-width joiner or non-joiner lose their shard.
    words_with_symbols = sum(1 for _, symbols in reference.scan_words(text) if symbols)
    assert recovered <= words_with_symbols
    assert reference.extract_watermark(marked, bytes.fromhex(KEY)) == (pointer, verified, recovered)


def test_persian_text_loses_only_the_words_with_a_non_joiner():
    text = corpus("wikipedia_mars/persan.utf8.txt", 60_000)
    marked = vessolin.embed_watermark(text, POINTER, KEY)
    stripped_groups = [m for m in GROUP.finditer(marked)]
    assert len(stripped_groups) >= 40  # groups inside words with a ZWNJ are not four in a row
    assert extract(marked)[:2] == (POINTER, True)


# ---------------------------------------------------------------------------
# What extraction survives


MARKED_TEXT = words(150, sep=" ")
MARKED = vessolin.embed_watermark(MARKED_TEXT, POINTER, KEY)


@pytest.mark.parametrize("deleted", [0, 1, 12, 24])
def test_deleting_up_to_24_groups(deleted):
    rng = random.Random(deleted)
    spans = group_spans(MARKED)
    assert len(spans) == 48
    edited = without_groups(MARKED, rng.sample(spans, deleted))
    assert extract(edited) == (POINTER, True, deleted)


def test_deleting_25_groups_is_unrecoverable():
    edited = without_groups(MARKED, random.Random(1).sample(group_spans(MARKED), 25))
    assert error_of(lambda: extract(edited)) == reference.UNRECOVERABLE
    assert error_of(lambda: extract(MARKED_TEXT)) == reference.UNRECOVERABLE


def test_groups_of_three_or_five_symbols_are_erasures():
    spans = group_spans(MARKED)
    (a, _), (b, _) = spans[3], spans[9]
    edited = MARKED[:b] + MARKED[b + 1 :]  # three symbols left
    edited = edited[:a] + "\u200b" + edited[a:]  # five symbols
    assert extract(edited) == (POINTER, True, 2)


@pytest.mark.parametrize(
    "edit",
    [
        pytest.param(lambda t: t.upper(), id="upper-case"),
        pytest.param(lambda t: t.replace(" ", "  \n\t"), id="more-white-space"),
        pytest.param(lambda t: re.sub(f"([{ALPHABET}]{{4}}) ", r" \1", t), id="groups-behind-the-space"),
        pytest.param(lambda t: re.sub(f"([{ALPHABET}]{{4}}) ", lambda m: " \n\u3000 " + m[1], t), id="groups-far-behind"),
        pytest.param(lambda t: "  " + t + "\n", id="padding"),
    ],
)
def test_edits_that_keep_stream_and_word_runs(edit):
    assert extract(edit(MARKED)) == (POINTER, True, 0)


def test_a_wrong_key_or_an_added_word():
    # Most chosen words then carry no group at all.
    assert error_of(lambda: extract(MARKED, KEY[:-1] + "0")) == reference.UNRECOVERABLE
    assert error_of(lambda: extract("extra " + MARKED)) == reference.UNRECOVERABLE
    # When every word carries a group, the misplaced shards still rebuild a
    # payload, and the tag tells that it is not the one written.
    full = vessolin.embed_watermark(words(48), POINTER, KEY)
    pointer, verified, _ = extract(full, "99")
    assert verified is False and pointer != POINTER
    # A word replaced keeps the slot count but not the digest.
    replaced = full.replace("word7", "ward7")
    assert extract(replaced)[1] is False


def test_a_lone_bom_added_later_shifts_every_group_after_it():
    # A byte-order mark standing alone is a scan word but no word run: every
    # group after it is filed one scan word too late. With one before the
    # first word of a 48-word text, scan word 0 holds nothing and each other
    # chosen word reads its neighbour's group.
    full = vessolin.embed_watermark(words(48), POINTER, KEY)
    pointer, verified, recovered = extract("\ufeff " + full)
    assert (verified, recovered) == (False, 1) and pointer != POINTER


EDITS = st.lists(
    st.tuples(st.sampled_from(["delete", "insert", "word", "case"]), st.integers(0, 10**6), INVISIBLE), max_size=6
)


@settings(max_examples=60, deadline=None)
@given(PLAIN_TEXTS, KEYS, EDITS)
def test_extraction_matches_the_reference_on_edited_texts(text, key, edits):
    marked = vessolin.embed_watermark(text, POINTER, key.hex())
    for kind, at, mark in edits:
        at %= len(marked) + 1
        if kind == "delete":
            marked = marked[:at] + marked[at + 3 :]
        elif kind == "insert":
            marked = marked[:at] + mark + marked[at:]
        elif kind == "word":
            marked = marked[:at] + " new " + marked[at:]
        else:
            marked = marked[:at] + marked[at:].swapcase()
    try:
        expected = reference.extract_watermark(marked, key)
    except reference.WatermarkError as e:
        assert error_of(lambda: extract(marked, key.hex())) == str(e)
    else:
        assert extract(marked, key.hex()) == expected


# ---------------------------------------------------------------------------
# Adversarial texts stay linear and bounded


def test_a_word_followed_by_millions_of_symbols():
    text = words(60) + " tail" + "\u200c" * 2_000_000 + " end"
    marked = vessolin.embed_watermark(text, POINTER, KEY)  # the tail word is chosen or not: either way it is read
    assert len(marked) == len(text) + 192
    assert extract(marked)[:2] == (POINTER, True)
    assert error_of(lambda: extract(text)) == reference.UNRECOVERABLE


def test_millions_of_one_character_words():
    text = "a " * 1_500_000
    marked = vessolin.embed_watermark(text, POINTER, KEY)
    assert extract(marked) == (POINTER, True, 0)


@pytest.mark.parametrize(
    "text",
    [
        pytest.param("x" * 3_000_000, id="no-white-space"),
        pytest.param(" \n\t\u3000" * 500_000, id="only-white-space"),
        pytest.param("\u200b" * 1_000_000, id="only-symbols"),
        pytest.param("\ufeff\n" * 500_000, id="only-lone-boms"),
    ],
)
def test_texts_without_room(text):
    assert error_of(lambda: vessolin.embed_watermark(text, POINTER, KEY)) == reference.TOO_SHORT
    assert error_of(lambda: extract(text)) == reference.TOO_SHORT


def test_symbols_after_every_word_and_before_the_first():
    text = ALPHABET * 10 + " " + " ".join(f"w{i}" + ALPHABET[:3] for i in range(100))
    message = "invalid input: the text already carries zero-width marks at too many watermark positions"
    assert error_of(lambda: vessolin.embed_watermark(text, POINTER, KEY)) == message
    assert error_of(lambda: extract(text)) == reference.UNRECOVERABLE
