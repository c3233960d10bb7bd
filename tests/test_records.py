"""vessolin._records: the index's values of a text, computed in one pass, equal the public functions'."""

from __future__ import annotations

import struct
import sys
import threading
import time
from pathlib import Path

import pytest
import vessolin
from hypothesis import given, settings
from hypothesis import strategies as st
from vessolin import _records
from vessolin.index import Fingerprints, fingerprints

CORPUS = Path(__file__).parent / "data" / "corpus" / "gutenberg"


def public_values(text: str) -> tuple[bytes, bytes, bytes, bytes, bytes]:
    """What the helper must return, from the seventeen functions."""
    return (
        bytes.fromhex(vessolin.content_hash(text)),
        bytes.fromhex(vessolin.text_fingerprint(text)),
        bytes.fromhex(vessolin.text_structure(text)),
        struct.pack("<128Q", *vessolin.minhash_signature(text)),
        struct.pack("<32Q", *vessolin.minhash_bands(text)),
    )


EDGE_TEXTS = [
    "",                                   # empty stream: zero fingerprint, one empty shingle
    "   \n\n\t ",                         # white space only
    "?!...",                              # punctuation only: same sketch as the empty text
    "\u200b\u200d\ufe0f",                 # invisible only
    "word",                               # one token
    "The cat sat on",                     # four tokens: one shingle
    "The cat sat on it",                  # five tokens: one shingle
    "The cat sat on it. It ran!",         # several shingles, two sentences
    "Hel\u200blo, Wor\u2060ld!",          # invisible characters join words
    "e\u200d\u0301 and e\u0301 and q\u0301",  # the joiner blocks composition, removed only afterwards
    "\u0130stanbul \u039f\u0394\u039f\u03a3 Stra\u00dfe \ufb01le \uff21\uff22",
    "line one\r\nline two\n\n\nnext paragraph\rwith a lone CR",
    "\u4e2d\u6587\u6587\u672c\u3002\u65e5\u672c\u8a9e\u306e\u6587\u3002 \ud55c\uad6d\uc5b4 \u0627\u0644\u0639\u0631\u0628\u064a\u0629 \u0939\u093f\u0928\u094d\u0926\u0940",
    "x\u00b2 \u00bd \u216b \U0001f600\U0001f600 snake_case e-mail don't",
    "abcd" * 300,                         # past 512 code points: windows exist but are not stored
]


@pytest.fixture(scope="module")
def corpus_pieces() -> list[str]:
    text = (CORPUS / "11-0.txt").read_text(encoding="utf-8") + (CORPUS / "22367-0.txt").read_text(encoding="utf-8")
    # Pieces of record size cut at arbitrary code points, so some start or
    # end inside a word or a line ending.
    return [text[i:i + 3600] for i in range(0, len(text), 47_111)]


def test_values_equal_the_public_functions(corpus_pieces):
    texts = EDGE_TEXTS + corpus_pieces
    expected = [public_values(t) for t in texts]
    assert [_records.values(t) for t in texts] == expected
    # Batches keep their order whatever the number of threads.
    assert _records.values_many(texts) == expected
    assert _records.values_many(iter(texts), threads=3) == expected
    assert _records.values_many(texts, threads=1000) == expected


def test_index_fingerprints_equal_the_public_functions():
    # `fingerprints` builds its record from the helper without the checks a
    # hand-made record goes through; it must be the record those checks accept.
    for text in EDGE_TEXTS:
        assert fingerprints(text) == Fingerprints(
            vessolin.content_hash(text), vessolin.text_fingerprint(text), vessolin.text_structure(text),
            tuple(vessolin.minhash_signature(text)), tuple(vessolin.minhash_bands(text)))


TEXTS = st.lists(
    st.one_of(
        st.text(max_size=12),
        st.sampled_from([" ", ". ", "\n", "\r\n", "\n\n", "\u200b", "\u200d", "\u0301", "\u0130", "\u03a3", "_",
                         "the", "Cat", "\u00e9t\u00e9", "\u4e2d\u6587", "e.g.", "\u2026", "\u201c", "\u2014"]),
    ),
    max_size=60,
).map("".join)


@settings(max_examples=300, deadline=None)
@given(TEXTS)
def test_values_equal_the_public_functions_on_random_texts(text):
    assert _records.values(text) == public_values(text)


def test_batches_run_beside_other_python_threads(corpus_pieces):
    # Batches computed at once from several Python threads, each in native
    # threads of its own, give their own results.
    expected = [public_values(t) for t in corpus_pieces]
    results: dict[int, list] = {}

    def run(k: int) -> None:
        results[k] = _records.values_many(corpus_pieces, threads=2)

    workers = [threading.Thread(target=run, args=(k,)) for k in range(3)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert results == {k: expected for k in range(3)}


@pytest.fixture
def long_switch_interval():
    # The interpreter then asks a thread that holds the lock to give it up
    # only after this long, so another thread runs meanwhile only if the
    # holder releases the lock itself.
    before = sys.getswitchinterval()
    sys.setswitchinterval(60)
    yield
    sys.setswitchinterval(before)


@pytest.mark.parametrize("batch", [False, True])
def test_the_lock_is_released_while_computing(corpus_pieces, long_switch_interval, batch):
    # Long enough (a few tenths of a second) for this thread to wake up meanwhile.
    long_text = "\n\n".join(corpus_pieces) * 300
    call = (lambda: _records.values_many(corpus_pieces * 300)) if batch else (lambda: _records.values(long_text))
    steps: list[str] = []

    def run() -> None:
        steps.append("entered")
        call()
        steps.append("returned")

    worker = threading.Thread(target=run)
    worker.start()
    while not steps:
        time.sleep(0.001)
    seen = list(steps)
    worker.join()
    assert seen == ["entered"]


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda: _records.values(b"bytes"), TypeError, "text must be str, not bytes"),
        (lambda: _records.values("lone \udc80 surrogate"), UnicodeEncodeError, "surrogate"),
        (lambda: _records.values_many(["ok", 3]), TypeError, r"texts\[1\] must be str, not int"),
        (lambda: _records.values_many(["ok", "\ud800"], threads=2), UnicodeEncodeError, "surrogate"),
        (lambda: _records.values_many(5), TypeError, "not iterable"),
        (lambda: _records.values_many(["ok"], threads=0), ValueError, "threads must be at least 1"),
        (lambda: _records.values_many(["ok"], 2), TypeError, "positional"),
    ],
)
def test_bad_arguments(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_empty_batch():
    assert _records.values_many([]) == []
    assert _records.values_many((), threads=4) == []


def test_adds_no_name_to_vessolin():
    assert "_records" not in vessolin.__all__
    assert not any(name in vessolin.__all__ for name in dir(_records) if not name.startswith("__"))
