"""Writes src/unicode/ucd_tables.cpp from the Unicode Character Database files in ucd/.

    python tools/unicode/generate.py          # rewrite the generated file
    python tools/unicode/generate.py --check  # exit 1 if it differs from what this would write

The module's outputs follow this data, so the version is pinned: moving to
another Unicode version means replacing the files in ucd/, regenerating, and
releasing the output change as such.

Per code point, one 8-byte record (see src/unicode/ucd.hpp) reached through a
two-stage index: stage 1 maps the code point's block of 128 to the start of
its block in stage 2, whose entries index the unique records. Identical
blocks (most of the unassigned and CJK ranges) are stored once.
"""

from __future__ import annotations

import bz2
import pathlib
import sys

HERE = pathlib.Path(__file__).parent
UCD = HERE / "ucd"
ROOT = HERE.parent.parent
OUTPUT = ROOT / "src" / "unicode" / "ucd_tables.cpp"

VERSION = "15.0.0"
LIMIT = 0x110000
BLOCK_BITS = 7
BLOCK = 1 << BLOCK_BITS

# The zero-width characters the text computations ignore (the module's own
# choice, not a Unicode property): flagged here so the hot loops need no
# separate test.
INVISIBLE = [0x200B, 0x200C, 0x200D, 0x2060, 0xFEFF, *range(0xFE00, 0xFE10)]

# Record flags; ucd.hpp declares the same values.
WORD, WHITE_SPACE, NFC_NO, NFC_MAYBE, NFC_STABLE, LOWER_IS_WORD, MULTI_LOWER, INVISIBLE_FLAG = (1 << i for i in range(8))

S_BASE, S_COUNT = 0xAC00, 11172


def read(name: str) -> list[str]:
    path = UCD / name
    if path.exists():
        return path.read_text(encoding="utf-8").splitlines()
    with bz2.open(UCD / (name + ".bz2"), "rt", encoding="utf-8") as f:
        return f.read().splitlines()


def data_lines(name: str):
    """The fields of each data line, comments stripped."""
    for line in read(name):
        line = line.split("#", 1)[0].strip()
        if line:
            yield [f.strip() for f in line.split(";")]


def code_range(field: str) -> range:
    first, _, last = field.partition("..")
    return range(int(first, 16), int(last or first, 16) + 1)


def binary_property(name: str, prop: str) -> set[int]:
    out: set[int] = set()
    for fields in data_lines(name):
        if fields[1] == prop:
            out.update(code_range(fields[0]))
    return out


class Database:
    """The facts the module uses, parsed from the files."""

    def __init__(self) -> None:
        self.category: dict[int, str] = {}
        self.ccc: dict[int, int] = {}
        self.decomposition: dict[int, list[int]] = {}  # canonical mappings only, one level
        self.lower: dict[int, int] = {}  # simple lowercase, where it differs
        first = None
        for fields in data_lines("UnicodeData.txt"):
            cp, name = int(fields[0], 16), fields[1]
            if name.endswith(", First>"):
                first = cp
                continue
            for c in range(first if name.endswith(", Last>") else cp, cp + 1):
                self.category[c] = fields[2]
            first = None
            if int(fields[3]):
                self.ccc[cp] = int(fields[3])
            if fields[5] and not fields[5].startswith("<"):
                self.decomposition[cp] = [int(x, 16) for x in fields[5].split()]
            if fields[13]:
                self.lower[cp] = int(fields[13], 16)
        # Full lowercase mappings without condition that are not the simple one.
        self.full_lower: dict[int, list[int]] = {}
        for fields in data_lines("SpecialCasing.txt"):
            if len(fields) > 4 and fields[4]:
                continue  # conditional (language or context)
            cp = int(fields[0], 16)
            mapping = [int(x, 16) for x in fields[1].split()]
            if mapping != [self.lower.get(cp, cp)]:
                self.full_lower[cp] = mapping
        self.alphabetic = binary_property("DerivedCoreProperties.txt", "Alphabetic")
        self.white_space = binary_property("PropList.txt", "White_Space")
        self.full_composition_exclusion = binary_property("DerivedNormalizationProps.txt", "Full_Composition_Exclusion")
        self.nfc_qc: dict[int, str] = {}
        for fields in data_lines("DerivedNormalizationProps.txt"):
            if fields[1] == "NFC_QC":
                for c in code_range(fields[0]):
                    self.nfc_qc[c] = fields[2]
        # CompositionExclusions.txt is the hand-kept part of Full_Composition_Exclusion.
        listed = {c for fields in data_lines("CompositionExclusions.txt") for c in code_range(fields[0])}
        assert listed <= self.full_composition_exclusion

    def is_word(self, c: int) -> bool:
        return c in self.alphabetic or self.category.get(c, "Cn") in ("Nd", "Nl", "No")

    def full_decomposition(self, c: int) -> list[int]:
        if c not in self.decomposition:
            return [c]
        return [d for part in self.decomposition[c] for d in self.full_decomposition(part)]

    def compositions(self) -> dict[tuple[int, int], int]:
        """The primary composites by the pair they compose from."""
        return {
            (m[0], m[1]): c
            for c, m in self.decomposition.items()
            if len(m) == 2 and c not in self.full_composition_exclusion
        }


def utf8_packed(c: int) -> int:
    """The UTF-8 bytes of `c` as a little-endian integer (first byte lowest)."""
    return int.from_bytes(chr(c).encode("utf-8"), "little")


def build(db: Database):
    decompositions = [0]  # offset 0 means "none"; each entry is its length, then the code points
    decomposition_at: dict[int, int] = {}
    for c in sorted(db.decomposition):
        decomposition_at[c] = len(decompositions)
        full = db.full_decomposition(c)
        decompositions += [len(full), *full]
    assert len(decompositions) < 1 << 16

    invisible = set(INVISIBLE)
    records: dict[tuple, int] = {}
    index = []
    # The canonical stream's fast path: the BMP characters that stand in the
    # stream as they are (NFC-stable word characters that lowercase to
    # themselves), one bit each.
    copies = [0] * (0x10000 // 64)
    for c in range(LIMIT):
        lower = db.lower.get(c, c)
        ccc = db.ccc.get(c, 0)
        qc = db.nfc_qc.get(c, "Y")
        flags = 0
        flags |= WORD if db.is_word(c) else 0
        flags |= WHITE_SPACE if c in db.white_space else 0
        flags |= NFC_NO if qc == "N" else NFC_MAYBE if qc == "M" else 0
        flags |= NFC_STABLE if qc == "Y" and ccc == 0 else 0
        flags |= LOWER_IS_WORD if db.is_word(db.full_lower.get(c, [lower])[0]) else 0
        flags |= MULTI_LOWER if c in db.full_lower else 0
        flags |= INVISIBLE_FLAG if c in invisible else 0
        record = (utf8_packed(lower) if lower != c else 0, decomposition_at.get(c, 0), ccc, flags)
        if c < 0x10000 and lower == c and flags & (NFC_STABLE | LOWER_IS_WORD | MULTI_LOWER) == NFC_STABLE | LOWER_IS_WORD:
            copies[c >> 6] |= 1 << (c & 63)
        index.append(records.setdefault(record, len(records)))
    assert len(records) < 1 << 16

    stage1, stage2 = [], []
    block_at: dict[tuple, int] = {}
    for start in range(0, LIMIT, BLOCK):
        block = tuple(index[start:start + BLOCK])
        if block not in block_at:
            block_at[block] = len(stage2) >> BLOCK_BITS
            stage2 += block
        stage1.append(block_at[block])
    return stage1, stage2, list(records), decompositions, copies


def array(values, per_line: int, width: int = 0) -> str:
    items = [f"{v:#0{width}x}" if width else str(v) for v in values]
    lines = [", ".join(items[i:i + per_line]) for i in range(0, len(items), per_line)]
    return "\n".join("    " + line + "," for line in lines)


def generate() -> str:
    db = Database()
    stage1, stage2, records, decompositions, copies = build(db)
    compositions = sorted(((a << 21) | b, c) for (a, b), c in db.compositions().items())
    multi = sorted(db.full_lower.items())
    assert all(len(m) <= 3 for _, m in multi)
    out = [
        "// Generated by tools/unicode/generate.py from the Unicode Character Database",
        f"// {VERSION} (tools/unicode/ucd/). Do not edit: change the generator and run it again.",
        "",
        '#include "unicode/ucd.hpp"',
        "",
        "namespace vessolin::unicode::ucd {",
        "",
        f'const char kVersion[] = "{VERSION}";',
        "",
        f"const std::uint16_t kStage1[{len(stage1)}] = {{",
        array(stage1, 20),
        "};",
        "",
        f"const std::uint16_t kStage2[{len(stage2)}] = {{",
        array(stage2, 20),
        "};",
        "",
        f"const std::uint64_t kCopiesAsIs[{len(copies)}] = {{",
        array(copies, 4, 18),
        "};",
        "",
        f"const Record kRecords[{len(records)}] = {{",
        *(f"    {{{lo:#x}, {d}, {ccc}, {flags:#04x}}}," for lo, d, ccc, flags in records),
        "};",
        "",
        f"const char32_t kDecompositions[{len(decompositions)}] = {{",
        array(decompositions, 12, 6),
        "};",
        "",
        f"const Composition kCompositions[{len(compositions)}] = {{",
        *(f"    {{{key:#x}, {c:#x}}}," for key, c in compositions),
        "};",
        f"const std::size_t kCompositionCount = {len(compositions)};",
        "",
        f"const MultiLower kMultiLowercase[{len(multi)}] = {{",
        *(f"    {{{c:#x}, {len(m)}, {{{', '.join(f'{x:#x}' for x in m)}}}}}," for c, m in multi),
        "};",
        f"const std::size_t kMultiLowercaseCount = {len(multi)};",
        "",
        "}  // namespace vessolin::unicode::ucd",
        "",
    ]
    return "\n".join(out)


def main() -> int:
    text = generate()
    if sys.argv[1:] == ["--check"]:
        current = OUTPUT.read_text(encoding="utf-8") if OUTPUT.exists() else ""
        if current != text:
            print(f"{OUTPUT} differs from what {__file__} writes", file=sys.stderr)
            return 1
        return 0
    OUTPUT.write_text(text, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
