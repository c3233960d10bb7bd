"""hamming_hex and cross_check."""

import hashlib
import hmac
import json
import pathlib
import random

import pytest

import vessolin

VECTORS = pathlib.Path(__file__).parent / "data" / "vectors"

FP = "2b005c60c729ca85b554583c63ab2ee43ab07680cda8e013b3041b9004a25030"
COMPLEMENT = bytes(b ^ 0xFF for b in bytes.fromhex(FP)).hex()


class TestHamming:
    @pytest.mark.parametrize(
        "a, b, distance",
        [
            (FP, FP, 0),
            (FP, COMPLEMENT, 256),
            (FP.upper(), FP, 0),
            (" \t" + FP + "\r\n", "\u3000" + FP.upper(), 0),
            ("0" * 64, "8" + "0" * 63, 1),
            ("0" * 64, "0" * 63 + "1", 1),
            ("0" * 64, "f" * 64, 256),
        ],
    )
    def test_distance(self, a, b, distance):
        assert vessolin.hamming_hex(a, b) == distance
        assert vessolin.hamming_hex(b=b, a=a) == distance

    def test_random_pairs(self):
        rng = random.Random(7)
        for _ in range(200):
            x, y = rng.randbytes(32), rng.randbytes(32)
            expected = bin(int.from_bytes(x, "big") ^ int.from_bytes(y, "big")).count("1")
            assert vessolin.hamming_hex(x.hex(), y.hex()) == expected

    @pytest.mark.parametrize(
        "bad",
        ["", "0" * 63, "0" * 62, "0" * 66, "g" + "0" * 63, "0" * 31 + " " + "0" * 32, "\u200b" + "0" * 64, "0x" + "0" * 62],
    )
    def test_bad_arguments(self, bad):
        with pytest.raises(ValueError) as info:
            vessolin.hamming_hex(bad, FP)
        assert info.value.args == ("bad hex a",)
        with pytest.raises(ValueError) as info:
            vessolin.hamming_hex(FP, bad)
        assert info.value.args == ("bad hex b",)
        with pytest.raises(ValueError, match="^bad hex a$"):
            vessolin.hamming_hex(bad, bad)


def hmac_sha256(key: bytes, message: bytes) -> str:
    return hmac.new(key, message, hashlib.sha256).hexdigest()


class TestCrossCheck:
    def test_is_hmac_of_repo_id_then_content_hash(self):
        content = vessolin.content_hash("Hello, World!")
        tag = vessolin.cross_check("00112233", "repo:alpha/βeta", content)
        assert tag == hmac_sha256(bytes.fromhex("00112233"), "repo:alpha/βeta".encode() + bytes.fromhex(content))

    def test_empty_everything(self):
        assert vessolin.cross_check("", "", "") == hmac_sha256(b"", b"")

    def test_only_the_concatenation_matters(self):
        assert vessolin.cross_check("01", "ab", "00") == vessolin.cross_check("01", "a", "6200")

    def test_hex_forms_are_equivalent_but_repo_id_is_exact(self):
        tag = vessolin.cross_check("ab", "r", "cafe")
        assert vessolin.cross_check(" AB\n", "r", "\tCAFE ") == tag
        assert vessolin.cross_check("ab", " r", "cafe") != tag

    @pytest.mark.parametrize("length", [0, 1, 63, 64, 65, 200])
    def test_key_lengths(self, length):
        key = bytes(range(256))[:length]
        assert vessolin.cross_check(key.hex(), "repo", "beef") == hmac_sha256(key, b"repo\xbe\xef")
        if length > 64:
            digest = hashlib.sha256(key).hexdigest()
            assert vessolin.cross_check(key.hex(), "repo", "beef") == vessolin.cross_check(digest, "repo", "beef")

    def test_errors_in_decode_order(self):
        with pytest.raises(ValueError) as info:
            vessolin.cross_check("00", "", "abc")
        assert info.value.args == ("invalid content hash: Odd number of digits",)
        with pytest.raises(ValueError, match="^invalid key: Odd number of digits$"):
            vessolin.cross_check("0", "", "abc")

    def test_rfc4231(self):
        for case in json.loads((VECTORS / "rfc4231_hmac_sha256.json").read_text())["tests"]:
            tag = vessolin.cross_check(case["key"], "", case["data"])
            expected = case["hmac_sha256"]
            assert tag[: len(expected)] == expected, case["test_case"]

    def test_wycheproof(self):
        suite = json.loads((VECTORS / "wycheproof_hmac_sha256_test.json").read_text())
        for group in suite["testGroups"]:
            size = group["tagSize"] // 4
            for case in group["tests"]:
                tag = vessolin.cross_check(case["key"], "", case["msg"])[:size]
                assert (tag == case["tag"]) == (case["result"] == "valid"), case["tcId"]
