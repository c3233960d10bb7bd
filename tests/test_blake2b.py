"""BLAKE2b-512 of short messages: every batch kernel and the one-message path
against libcrypto and the published known answers."""

import json
import os
import pathlib
import random

import pytest

VECTORS = pathlib.Path(__file__).parent / "data" / "vectors"


@pytest.fixture(scope="module")
def kernels(native):
    names = native.blake2b_kernels().split()
    assert names[-1] == "portable"
    return names


def heads(native, kernel, messages):
    """The 32-byte digest heads of `messages`, hashed as one batch by `kernel`."""
    lengths = " ".join(str(len(m)) for m in messages)
    return native.blake2b_heads_using(kernel, b"".join(messages).hex(), lengths).split()


def random_batch():
    """Messages of every length from 0 to 200 in random order, after runs of
    eight that are all short (at most two words), all near a block, or of any
    length, so that every lane width meets every step from one kind of group
    to another."""
    rng = random.Random(7693)
    runs = {"short": (0, 16), "long": (100, 128), "any": (0, 128)}
    lengths = []
    for _ in range(60):
        low, high = runs[rng.choice(sorted(runs))]
        lengths += [rng.randint(low, high) for _ in range(8)]
    every = list(range(201))
    rng.shuffle(every)
    return [rng.randbytes(n) for n in lengths + every]


def test_every_kernel_matches_libcrypto(native, kernels):
    messages = random_batch()
    expected = [native.blake2b512_libcrypto(m.hex())[:64] for m in messages]
    for kernel in kernels:
        got = heads(native, kernel, messages)
        assert got == expected, (kernel, [len(m) for m, g, e in zip(messages, got, expected) if g != e])
    assert [native.blake2b_head(m.hex()) for m in messages] == expected


def test_known_answers(native, kernels):
    kat = json.loads((VECTORS / "blake2b_unkeyed_kat.json").read_text())
    rfc = json.loads((VECTORS / "rfc7693_appendix_a.json").read_text())["tests"]
    cases = [(bytes.fromhex(t["in"]), t["out"]) for t in kat + rfc]
    assert len(cases) == 257
    messages = [m for m, _ in cases]
    for kernel in kernels:
        assert heads(native, kernel, messages) == [out[:64] for _, out in cases], kernel
    for message, out in cases:
        assert native.blake2b_head(message.hex()) == out[:64]
        assert native.blake2b512_libcrypto(message.hex()) == out


def test_every_kernel_on_messages_given_as_words(native, kernels):
    # The surface fingerprint hands its shingles over as two block words:
    # every length from 0 to 16, with bytes of every value, zero included
    # inside a message, and batches of every size up to a few steps, so that
    # each kernel's last step is cut short at every lane (the AVX2 kernel
    # steps five at a time, four in vector lanes and one in scalar words).
    rng = random.Random(512)
    messages = [rng.randbytes(rng.randint(0, 16)) for _ in range(301)]
    messages += [bytes(n) for n in range(17)] + [b"\xff" * n for n in range(17)]
    expected = [native.blake2b512_libcrypto(m.hex())[:64] for m in messages]
    for kernel in kernels:
        for count in (len(messages), *range(1, 17)):
            part = messages[:count]
            got = native.blake2b_word_heads_using(kernel, b"".join(part).hex(), " ".join(str(len(m)) for m in part))
            assert got.split() == expected[:count], kernel
    with pytest.raises(ValueError, match="at most 16 bytes"):
        native.blake2b_word_heads_using("portable", "00" * 17, "17")


@pytest.mark.parametrize("size", [0, 1, 3, 4, 5, 9])
def test_batches_of_any_size(native, kernels, size):
    # Fewer messages than lanes, or one past a multiple: the unused lanes of
    # the last step must not leak into the results.
    messages = [os.urandom(i % 20) for i in range(size)]
    expected = [native.blake2b_head(m.hex()) for m in messages]
    for kernel in kernels:
        assert heads(native, kernel, messages) == expected, kernel


def test_unknown_kernel_and_bad_lengths(native):
    with pytest.raises(ValueError, match="no such kernel"):
        native.blake2b_heads_using("sse9", "00", "1")
    for lengths in ["2", "0", "x", "1 1"]:
        with pytest.raises(ValueError, match="lengths"):
            native.blake2b_heads_using("portable", "00", lengths)


def test_floor_timer(native):
    assert native.blake2b_floor_ns("1000") > 0
    for bad in ["0", "-1", "ten", ""]:
        with pytest.raises(ValueError):
            native.blake2b_floor_ns(bad)
