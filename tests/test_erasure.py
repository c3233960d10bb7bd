"""GF(2^8) and the Reed-Solomon erasure codec whose bytes the watermark writes."""

import random

import pytest

import reference


def shards_of(hex_shards: str) -> list[str]:
    return hex_shards.split()


def run(native, operation: str, counts: str, shards: list) -> tuple[str, list]:
    """'ok' or the CodecError's name, and the shards after the call (None = absent)."""
    text = " ".join("-" if s is None else (s.hex() if s else '""') for s in shards)
    status, *after = native.codec_run(operation, counts, text).split(" ")
    return status, [None if s == "-" else bytes.fromhex(s) if s != '""' else b"" for s in after]


def encode(native, data: bytes) -> bytes:
    status, shards = run(native, "encode", "24 24", [bytes([b]) for b in data] + [b"\0"] * 24)
    assert status == "ok"
    return b"".join(shards)


class TestField:
    def test_tables_follow_the_generator_rule(self, native):
        exp, log = native.gf_table("exp"), native.gf_table("log")
        assert exp == reference.GF_EXP and log[1:] == reference.GF_LOG[1:]
        assert bytes(exp[:9]).hex() == "0102040810204080" "1d"
        assert log[3] == 0x19
        assert sorted(exp[:255]) == list(range(1, 256))  # 2 generates the whole group

    def test_multiplication_division_and_powers(self, native):
        mul, div, pw = native.gf_table("mul"), native.gf_table("div"), native.gf_table("pow")
        assert mul == [reference.gf_mul_slow(a, b) for a in range(256) for b in range(256)]
        # Division inverts multiplication wherever the divisor is not zero.
        assert all(mul[div[a * 255 + b - 1] * 256 + b] == a for a in range(256) for b in range(1, 256))
        expected = []
        for a in range(256):
            power = 1
            for _ in range(300):
                expected.append(power)
                power = reference.gf_mul_slow(power, a)
        assert pw == expected  # including 0^0 = 1 and 0^n = 0


class TestEncodingMatrix:
    def test_rows_24_and_47(self, native):
        rows = native.codec_matrix("24 24").split()
        assert rows[24] == "5c45503ff9aabb9f7fcfec3c35a7689b1a84ba33e710c627"
        assert rows[47] == "8be32761fec67347a7097087419e11f3e1150caba9cf2250"
        assert rows[:24] == [bytes(int(c == r) for c in range(24)).hex() for r in range(24)]

    @pytest.mark.parametrize("counts", [(1, 1), (2, 3), (5, 2), (24, 24), (17, 40), (100, 156)])
    def test_equals_vandermonde_times_inverted_top(self, native, counts):
        rows = native.codec_matrix(f"{counts[0]} {counts[1]}").split()
        assert rows == [bytes(row).hex() for row in reference.encoding_matrix(*counts)]

    @pytest.mark.parametrize(
        "counts, error",
        [("0 1", "TooFewDataShards"), ("1 0", "TooFewParityShards"), ("0 0", "TooFewDataShards"),
         ("200 57", "TooManyShards"), ("257 1", "TooManyShards"), ("256 1", "TooManyShards"),
         ("18446744073709551615 2", "TooManyShards"), ("2 18446744073709551615", "TooManyShards")],
    )
    def test_counts_are_checked_data_then_parity_then_total(self, native, counts, error):
        with pytest.raises(ValueError) as info:
            native.codec_matrix(counts)
        assert info.value.args == ("reed-solomon coding failed: " + error,)
        assert native.codec_matrix("200 56").count("\n") == 256


class TestEncode:
    @pytest.mark.parametrize(
        "data, parity",
        [
            (bytes(range(24)), bytes(range(0x18, 0x30))),
            (b"\xff" * 24, b"\xff" * 24),
            (bytes(24), bytes(24)),
            (b"\x01" + bytes(23), bytes.fromhex("5c45503ff9aabb9fd6a6fa773b500fba4773c6fe6127e38b")),
            (b"abcdefghijklmnopqrstuvwx", bytes.fromhex("75507d024b642f4277b08e6a1b1db380" "1b510b814fb789b7")),
        ],
    )
    def test_vectors(self, native, data, parity):
        assert encode(native, data) == data + parity

    def test_random_data_matches_the_reference(self, native):
        rng = random.Random(7)
        for _ in range(50):
            data = rng.randbytes(24)
            assert encode(native, data) == reference.rs_encode(data)

    def test_longer_shards_encode_column_by_column(self, native):
        rng = random.Random(8)
        data = [rng.randbytes(5) for _ in range(24)]
        status, shards = run(native, "encode", "24 24", data + [bytes(5)] * 24)
        assert status == "ok"
        for t in range(5):
            assert bytes(s[t] for s in shards) == reference.rs_encode(bytes(d[t] for d in data))

    @pytest.mark.parametrize(
        "shards, error",
        [
            ([b"\1"] * 47, "TooFewShards"),
            ([b"\1"] * 49, "TooManyShards"),
            ([b"\1"] * 47 + [b""], "EmptyShard"),
            ([b"\1\2"] + [b"\1"] * 47, "IncorrectShardSize"),
            # An empty shard is reported before shards of different lengths.
            ([b"\1\2", b"\1"] + [b""] + [b"\1"] * 45, "EmptyShard"),
        ],
    )
    def test_errors_leave_the_shards_alone(self, native, shards, error):
        assert run(native, "encode", "24 24", shards) == (error, shards)


class TestReconstruct:
    SHARDS = reference.rs_encode(bytes(range(0x61, 0x79)))

    def with_absent(self, absent) -> list:
        return [None if i in absent else bytes([b]) for i, b in enumerate(self.SHARDS)]

    def test_from_the_parity_alone(self, native):
        status, shards = run(native, "reconstruct", "24 24", self.with_absent(range(24)))
        assert status == "ok" and b"".join(shards) == self.SHARDS

    def test_from_any_24(self, native):
        rng = random.Random(9)
        for absent_count in [1, 2, 12, 23, 24] * 8:
            absent = set(rng.sample(range(48), absent_count))
            status, shards = run(native, "reconstruct", "24 24", self.with_absent(absent))
            assert status == "ok" and b"".join(shards) == self.SHARDS, sorted(absent)

    def test_other_shapes_and_lengths(self, native):
        rng = random.Random(10)
        for data_count, parity_count, length in [(1, 1, 3), (3, 5, 2), (10, 4, 7), (40, 9, 1)]:
            data = [rng.randbytes(length) for _ in range(data_count)]
            status, full = run(native, "encode", f"{data_count} {parity_count}", data + [bytes(length)] * parity_count)
            absent = set(rng.sample(range(data_count + parity_count), parity_count))
            status, rebuilt = run(native, "reconstruct", f"{data_count} {parity_count}",
                                  [None if i in absent else s for i, s in enumerate(full)])
            assert status == "ok" and rebuilt == full

    def test_23_present_fails_and_changes_nothing(self, native):
        shards = self.with_absent(range(10, 35))
        assert run(native, "reconstruct", "24 24", shards) == ("TooFewShardsPresent", shards)
        assert run(native, "reconstruct", "24 24", [None] * 48) == ("TooFewShardsPresent", [None] * 48)

    def test_uses_the_first_24_present_and_compares_nothing(self, native):
        # With all 48 present a wrong parity byte stays as it is.
        altered = [bytes([b]) for b in self.SHARDS]
        altered[30] = b"\0"
        assert run(native, "reconstruct", "24 24", altered) == ("ok", altered)
        # A wrong shard after the first 24 present ones is neither used nor corrected.
        shards = self.with_absent({0})
        shards[47] = b"\0"
        status, rebuilt = run(native, "reconstruct", "24 24", shards)
        assert rebuilt[0] == self.SHARDS[:1] and rebuilt[47] == b"\0"
        # A wrong shard among them gives a wrong rebuild: the code finds no error.
        shards = self.with_absent({0})
        shards[1] = bytes([self.SHARDS[1] ^ 1])
        assert run(native, "reconstruct", "24 24", shards)[1][0] != self.SHARDS[:1]

    @pytest.mark.parametrize(
        "shards, error",
        [
            ([b"\1"] * 47, "TooFewShards"),
            ([None] * 49, "TooManyShards"),
            ([None, b""] + [b"\1"] * 46, "EmptyShard"),
            ([None, b"\1\2"] + [b"\1"] * 46, "IncorrectShardSize"),
        ],
    )
    def test_errors(self, native, shards, error):
        assert run(native, "reconstruct", "24 24", shards) == (error, shards)
