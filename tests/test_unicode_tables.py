"""The compiled Unicode tables: generated from the database files in the repository, and equal to them."""

import bz2
import pathlib
import subprocess
import sys

import pytest

import reference

ROOT = pathlib.Path(__file__).parent.parent
UCD = ROOT / "tools" / "unicode" / "ucd"


def test_generated_file_is_what_the_generator_writes():
    result = subprocess.run([sys.executable, str(ROOT / "tools" / "unicode" / "generate.py"), "--check"],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr


def lines(name):
    path = UCD / name
    text = path.read_text(encoding="utf-8") if path.exists() else bz2.decompress((UCD / (name + ".bz2")).read_bytes()).decode()
    for line in text.splitlines():
        line = line.split("#")[0].strip()
        if line:
            yield [f.strip() for f in line.split(";")]


def codes(field):
    first, _, last = field.partition("..")
    return range(int(first, 16), int(last or first, 16) + 1)


def unicode_data():
    """Field lists by code point, ranges expanded."""
    rows, first = {}, None
    for f in lines("UnicodeData.txt"):
        cp = int(f[0], 16)
        if f[1].endswith(", First>"):
            first = cp
            continue
        for c in range(first if f[1].endswith(", Last>") else cp, cp + 1):
            rows[c] = f
        first = None
    return rows


def property_set(name, prop):
    return {c for f in lines(name) if f[1] == prop for c in codes(f[0])}


def expected_values(name):
    """{code point: value} as the database gives it, defaults left out."""
    data = unicode_data()
    if name == "word":
        numbers = {c for c, f in data.items() if f[2] in ("Nd", "Nl", "No")}
        return {c: "Y" for c in property_set("DerivedCoreProperties.txt", "Alphabetic") | numbers}
    if name in ("white_space", "white_space_table"):
        return {c: "Y" for c in property_set("PropList.txt", "White_Space")}
    if name == "invisible":
        return {c: "Y" for c in reference.INVISIBLE}
    if name == "combining_class":
        return {c: f[3] for c, f in data.items() if f[3] != "0"}
    qc = {c: f[2] for f in lines("DerivedNormalizationProps.txt") if f[1] == "NFC_QC" for c in codes(f[0])}
    if name == "nfc_quick_check":
        return qc
    if name == "nfc_stable":
        return {c: "Y" for c, f in data.items() if c not in qc and f[3] == "0" and f[2] != "Cs"} | {
            c: "Y" for c in range(0x110000) if c not in data and c not in qc}
    if name == "copies_as_is":  # the canonical stream's bitmap of the BMP
        lower = expected_values("lowercase")
        return {c: "Y" for c in expected_values("word")
                if c < 0x10000 and c not in lower and c not in qc and data[c][3] == "0"}
    if name == "lowercase":
        out = {c: f[13] for c, f in data.items() if f[13]}
        for f in lines("SpecialCasing.txt"):
            if len(f) < 5 or not f[4]:  # unconditional
                c = int(f[0], 16)
                out[c] = f[1] if f[1] != f[0] else out.get(c)
        return {c: v for c, v in out.items() if v}
    if name == "decomposition":
        canonical = {c: f[5].split() for c, f in data.items() if f[5] and not f[5].startswith("<")}

        def full(cp):
            return [x for part in canonical[cp] for x in (full(int(part, 16)) if int(part, 16) in canonical else [part])]

        return {c: " ".join(full(c)) for c in canonical}
    raise AssertionError(name)


def runs(values):
    out, prev, first = [], None, 0
    for c in range(0x110001):
        v = values.get(c) if c < 0x110000 and not 0xD800 <= c <= 0xDFFF else None
        if c > 0 and v == prev:
            continue
        if prev is not None:
            out.append(f"{first:04X} {c - 1:04X} {prev}")
        prev, first = v, c
    return out


@pytest.mark.parametrize("name", ["word", "white_space", "white_space_table", "invisible", "combining_class",
                                  "nfc_quick_check", "nfc_stable", "lowercase", "decomposition",
                                  "copies_as_is"])
def test_property_equals_the_database_at_every_code_point(native, name):
    got = native.unicode_property(name).splitlines()
    expected = runs(expected_values(name))
    assert got == expected, next((g, e) for g, e in zip(got + [""] * len(expected), expected + [""] * len(got)) if g != e)
