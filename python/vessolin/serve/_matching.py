"""Matching: from a soft-binding value, or from a text, to ranked manifests.

Every lookup ends in a list of `Scored` records: the record, a similarity
score from 0 to 100 and a tie key that follows the index's own ranking. The
matches of several algorithms are merged per manifest id, best score first.
"""

from __future__ import annotations

import base64
import binascii
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field

import vessolin
from vessolin._structure_rule import STRUCTURE_LIMIT, structure_informative
from vessolin.index import Fingerprints, Index, Match, Record, fingerprints

FINGERPRINT = "com.tessaline.text-fingerprint.1"
WATERMARK = "com.tessaline.zwc-watermark.2"
STRUCTURE = "com.tessaline.text-structure.1"
MINHASH = "com.tessaline.text-minhash.1"
ALGORITHMS = (FINGERPRINT, WATERMARK, STRUCTURE, MINHASH)

# The distances within which a fingerprint supports a binding (as in
# `verify_tier`): 32 bits of the surface print, STRUCTURE_LIMIT (24) of the
# structural one.
SURFACE_LIMIT = 32
SIGNATURE_LENGTH = 128
MINHASH_PRIME = (1 << 61) - 1
POINTER_BYTES = 16

# The structural fingerprint of any text with few English function words: it
# describes nothing, so a structural value near it matches nothing here. This
# is what can be told from a value alone; a text is judged by the rule of
# `verify_tier` (`vessolin._structure_rule`), which counts its words.
DEGENERATE_STRUCTURE = bytes.fromhex("eb43dbb37a3e9d1ff4730b3a2e9f539f22055aea9c8579239d3cfa1cebb422b3")


def value_informative(structure: bytes) -> bool:
    """Whether a structural value alone can support a match: farther from
    the degenerate print than a match may be."""
    return _hamming(structure, DEGENERATE_STRUCTURE) > STRUCTURE_LIMIT


class BadValue(ValueError):
    """A query parameter or binding value the service refuses (400)."""


def _hamming(a: bytes, b: bytes) -> int:
    return (int.from_bytes(a, "big") ^ int.from_bytes(b, "big")).bit_count()


def distance_score(distance: int) -> int:
    """Share of equal bits of two 256-bit prints, as a percentage."""
    return round(100 * (256 - distance) / 256)


def decode_value(alg: object, value: object) -> bytes:
    """The bytes of a soft-binding value, checked against its algorithm."""
    if not isinstance(alg, str) or alg not in ALGORITHMS:
        raise BadValue(f"unknown algorithm {alg!r}; supported: {', '.join(ALGORITHMS)}")
    if not isinstance(value, str):
        raise BadValue("value must be a base64 string")
    try:
        raw = base64.b64decode(value, validate=True)
    except (binascii.Error, ValueError):
        raise BadValue("value is not valid base64") from None
    if alg in (FINGERPRINT, STRUCTURE):
        if len(raw) != 32:
            raise BadValue(f"a {alg} value is 32 bytes, got {len(raw)}")
    elif alg == MINHASH:
        if len(raw) != 8 * SIGNATURE_LENGTH:
            raise BadValue(f"a {alg} value is {8 * SIGNATURE_LENGTH} bytes, got {len(raw)}")
        if any(v >= MINHASH_PRIME for v in _signature(raw)):
            raise BadValue(f"a {alg} value holds 128 values below 2**61 - 1")
    elif not 0 < len(raw) <= POINTER_BYTES:
        raise BadValue(f"a {alg} value is a pointer of 1 to {POINTER_BYTES} bytes, got {len(raw)}")
    return raw


def _signature(raw: bytes) -> tuple[int, ...]:
    return tuple(int.from_bytes(raw[i:i + 8], "big") for i in range(0, len(raw), 8))


@dataclass(order=True, frozen=True, slots=True)
class Scored:
    sort_key: tuple[object, ...]
    score: int = field(compare=False)
    alg: str = field(compare=False)
    manifest_id: str | None = field(compare=False)
    manifest_stored: bool = field(compare=False)
    manifest: str | None = field(compare=False)
    """The record's manifest reference: where the manifest is served when
    this index does not hold its store."""

    @classmethod
    def of(cls, record: Record | Match, score: int, alg: str, tie: tuple[object, ...]) -> Scored:
        return cls((-score, *tie), score, alg, record.manifest_id, record.manifest_stored, record.manifest)


def _tie(record: Record, query: Fingerprints | None) -> tuple[object, ...]:
    """The index's own ranking of a record: most equal MinHash values, then
    nearest surface and structural prints, then record id."""
    if query is None:
        return (record.record_id,)
    equal = sum(a == b for a, b in zip(query.signature, record.signature))
    return (-equal, vessolin.hamming_hex(query.fingerprint, record.fingerprint),
            vessolin.hamming_hex(query.structure, record.structure), record.record_id)


def _scored(records: Iterable[Record], alg: str, score_of, query: Fingerprints | None) -> list[Scored]:
    out = []
    for record in records:
        score = score_of(record)
        out.append(Scored.of(record, score, alg, _tie(record, query)))
    return out


def by_binding(index: Index, alg: str, raw: bytes, query: Fingerprints | None = None,
               limit: int = 100) -> list[Scored]:
    """Records matching one soft-binding value (already checked by `decode_value`)."""
    if alg == WATERMARK:
        return _scored(index.by_pointer(raw, limit=limit), alg, lambda r: 100, query)
    if alg == MINHASH:
        signature = _signature(raw)
        return _scored(index.by_signature(signature, max_candidates=max(limit, 100)), alg,
                       lambda r: round(100 * sum(a == b for a, b in zip(signature, r.signature)) / SIGNATURE_LENGTH),
                       query)
    if alg == FINGERPRINT:
        return _scored(index.near(fingerprint=raw.hex(), surface_limit=SURFACE_LIMIT, max_candidates=limit), alg,
                       lambda r: distance_score(vessolin.hamming_hex(r.fingerprint, raw.hex())), query)
    if not value_informative(raw):
        return []
    return _scored(index.near(structure=raw.hex(), structure_limit=STRUCTURE_LIMIT, max_candidates=limit), alg,
                   lambda r: distance_score(vessolin.hamming_hex(r.structure, raw.hex())), query)


def by_content(index: Index, text: str, algs: Sequence[str], watermark_keys: Sequence[str],
               hint: tuple[str, bytes] | None = None, limit: int = 100) -> list[Scored]:
    """Records matching a text by each algorithm in `algs`."""
    query = fingerprints(text)
    found: list[Scored] = []
    if MINHASH in algs:
        # The index's own query: shared band keys or the same content hash.
        for m in index.query(query, limit=limit):
            equal = round(m.share * SIGNATURE_LENGTH)
            found.append(Scored.of(m, round(100 * m.share), MINHASH,
                                   (-equal, m.surface_distance, m.structure_distance, m.record_id)))
    # Both prints in one scan of the index. A structural print near the one
    # of every text without function words cannot pass verify_tier's rule, so
    # it is not scanned for; the rule itself (which costs two more structural
    # prints) is asked only when there is a structural match to count.
    surface = query.fingerprint if FINGERPRINT in algs else None
    structure = (query.structure if STRUCTURE in algs and value_informative(bytes.fromhex(query.structure))
                 else None)
    if surface is not None or structure is not None:
        informative: bool | None = None
        for record in index.near(fingerprint=surface, structure=structure, surface_limit=SURFACE_LIMIT,
                                 structure_limit=STRUCTURE_LIMIT, max_candidates=limit):
            tie = _tie(record, query)
            d_surface, d_structure = tie[1], tie[2]
            assert isinstance(d_surface, int) and isinstance(d_structure, int)
            if surface is not None and d_surface <= SURFACE_LIMIT:
                found.append(Scored.of(record, distance_score(d_surface), FINGERPRINT, tie))
            if structure is not None and d_structure <= STRUCTURE_LIMIT:
                if informative is None:
                    informative = structure_informative(text)
                if informative:
                    found.append(Scored.of(record, distance_score(d_structure), STRUCTURE, tie))
    if WATERMARK in algs:
        for key in watermark_keys:
            try:
                pointer, verified, _ = vessolin.extract_watermark(text, key)
            except ValueError:  # too short, or no watermark to recover
                continue
            if verified:
                found += by_binding(index, WATERMARK, bytes.fromhex(pointer), query, limit)
    if hint is not None:
        found += by_binding(index, hint[0], hint[1], query, limit)
    return found


def ranked(found: Iterable[Scored], limit: int) -> list[Scored]:
    """One entry per manifest id (its best match), best first, at most `limit`;
    records without a manifest id have nothing to resolve to and are left out."""
    best: dict[str, Scored] = {}
    for s in sorted(found):
        mid = s.manifest_id
        if mid is not None and mid not in best:
            best[mid] = s
    return list(best.values())[:limit]
