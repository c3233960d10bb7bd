"""The CBOR reader and writer that the assertions and envelopes share."""

import json

import pytest

from conftest import DATA

APPENDIX_A = json.loads((DATA / "vectors" / "cbor_appendix_a.json").read_text())

# The appendix rows given in diagnostic notation, as the test module's JSON.
DIAGNOSTIC = {
    "Infinity": {"float": "inf"},
    "-Infinity": {"float": "-inf"},
    "NaN": {"float": "nan"},
    "undefined": {"simple": 23},
    "simple(16)": {"simple": 16},
    "simple(255)": {"simple": 255},
    '0("2013-03-21T20:04:00Z")': {"tag": [0, "2013-03-21T20:04:00Z"]},
    "1(1363896240)": {"tag": [1, 1363896240]},
    "1(1363896240.5)": {"tag": [1, {"float": "1363896240.5"}]},
    "23(h'01020304')": {"tag": [23, {"bytes": "01020304"}]},
    "24(h'6449455446')": {"tag": [24, {"bytes": "6449455446"}]},
    '32("http://www.example.com")': {"tag": [32, "http://www.example.com"]},
    "h''": {"bytes": ""},
    "h'01020304'": {"bytes": "01020304"},
    "{1: 2, 3: 4}": {"map": [[1, 2], [3, 4]]},
    "(_ h'0102', h'030405')": {"bytes": "0102030405"},
}


def as_json(value):
    """A decoded appendix value in the test module's JSON form."""
    if isinstance(value, float):
        return {"float": repr(value) if value != int(value) else repr(value).removesuffix(".0")}
    if isinstance(value, dict):
        return {"map": [[k, as_json(v)] for k, v in value.items()]}
    if isinstance(value, list):
        return [as_json(v) for v in value]
    return value


def same_float(got, want):
    return float(got["float"]) == float(want["float"]) or (got["float"] == want["float"] == "nan")


@pytest.mark.parametrize("row", APPENDIX_A, ids=lambda r: r["hex"])
def test_reads_every_appendix_item(native, row):
    hexed = row["hex"]
    if hexed == "f818":
        # simple(24) in the extra byte is not well-formed since RFC 8949.
        assert native.cbor_read(hexed) == "error: Syntax(0)"
        return
    want = DIAGNOSTIC[row["diagnostic"]] if "diagnostic" in row else as_json(row["decoded"])
    text, taken = native.cbor_read(hexed).rsplit(" ", 1)
    got = json.loads(text)
    assert int(taken) == len(hexed) // 2
    assert native.cbor_skip(hexed) == taken
    if isinstance(want, dict) and "float" in want:
        assert same_float(got, want)
    elif "c249" in hexed or "c349" in hexed:
        assert got["tag"][0] in (2, 3)  # bignums stay tagged byte strings
    else:
        assert got == want


def test_writer_uses_shortest_heads_and_definite_lengths(native):
    items = "u:0 u:23 u:24 u:255 u:256 u:65535 u:65536 u:4294967295 u:4294967296 u:18446744073709551615"
    assert native.cbor_write(items) == (
        "00" "17" "1818" "18ff" "190100" "19ffff" "1a00010000" "1affffffff" "1b0000000100000000"
        "1bffffffffffffffff"
    )
    assert native.cbor_write("i:-1 i:-24 i:-25 i:-256 i:-257 i:-9223372036854775808 i:9223372036854775807") == (
        "20" "37" "3818" "38ff" "390100" "3b7fffffffffffffff" "1b7fffffffffffffff"
    )
    assert native.cbor_write("t: t:abc b: b:00ff a:0 a:24 m:1 tag:18 null") == (
        "60" "63616263" "40" "4200ff" "80" "9818" "a1" "d2" "f6"
    )
    long_text = "x" * 300
    assert native.cbor_write("t:" + long_text) == "790" + "12c" + "78" * 300


@pytest.mark.parametrize(
    "hexed, diagnostic",
    [
        ("", "Io(EndOfFile)"),
        ("18", "Io(EndOfFile)"),  # argument byte missing
        ("1b00000000", "Io(EndOfFile)"),
        ("62c3", "Io(EndOfFile)"),  # string shorter than its head says
        ("8301", "Io(EndOfFile)"),  # array shorter than its head says
        ("a16161", "Io(EndOfFile)"),  # map key without its value
        ("5f41", "Io(EndOfFile)"),
        ("9f01", "Io(EndOfFile)"),  # indefinite array without its break
        ("1c", "Syntax(0)"),  # reserved additional information 28-30
        ("811d", "Syntax(1)"),
        ("ff", "Syntax(0)"),  # a break where an item must stand
        ("8101ff", None),  # trailing bytes are the caller's business
        ("82ff", "Syntax(1)"),
        ("1f", "Syntax(0)"),  # no indefinite length for integers
        ("df00", "Syntax(0)"),  # nor for tags
        ("f801", "Syntax(0)"),  # two-byte simple value below 32
        ("5f6161ff", "Syntax(1)"),  # text chunk inside an indefinite byte string
        ("7f7f6161ffff", "Syntax(1)"),  # nested indefinite chunk
        ("62c328", "Syntax(0)"),  # invalid UTF-8
        ("63eda080", "Syntax(0)"),  # a surrogate in UTF-8
        ("62c0af", "Syntax(0)"),  # overlong form
        ("a162616262c328", "Syntax(4)"),
    ],
)
def test_malformed_input(native, hexed, diagnostic):
    read, skipped = native.cbor_read(hexed), native.cbor_skip(hexed)
    if diagnostic is None:
        assert not read.startswith("error") and skipped == "2"
    else:
        assert read == skipped == "error: " + diagnostic


@pytest.mark.parametrize(
    "hexed",
    [
        "5b" + "0fffffffffffffff",  # a 2^60-byte string
        "7b" + "ffffffffffffffff" + "61",
        "9b" + "ffffffffffffffff" + "00" * 8,  # an array of 2^64 - 1 items
        "bb" + "0000000100000000" + "0000",  # a map of 2^32 pairs
    ],
)
def test_huge_claimed_lengths_fail_at_the_end_of_the_input(native, hexed):
    assert native.cbor_read(hexed) == native.cbor_skip(hexed) == "error: Io(EndOfFile)"


def test_nesting_limit(native):
    for opener in ("81", "a100", "c6", "9f"):
        closer = "ff" if opener == "9f" else ""
        ok = opener * 256 + "00" + closer * 256
        assert native.cbor_read(ok).endswith(" %d" % (len(ok) // 2)), opener
        deep = opener * 257 + "00" + closer * 257
        assert native.cbor_read(deep) == native.cbor_skip(deep) == "error: RecursionLimitExceeded"
    flood = "81" * 100_000 + "00"
    assert native.cbor_read(flood) == native.cbor_skip(flood) == "error: RecursionLimitExceeded"
