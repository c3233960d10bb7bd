"""The values an index keeps for one text, and their stored forms.

A text's values are those of the module's public functions, computed all at
once by the package's private helper `vessolin._records` (one pass over the
text, one MinHash sketch for both signature and bands); this file packs them
into the compact forms the databases hold:

- content hash, surface and structural fingerprints: 32-byte blobs;
- MinHash signature: 128 unsigned 64-bit values, 8 bytes each,
  little-endian, in order (1,024 bytes);
- band keys: signed 64-bit integers (see `to_signed64`), one row each.
"""

from __future__ import annotations

import os
import struct
from collections.abc import Iterable
from dataclasses import dataclass

from vessolin import _records

SIGNATURE_LENGTH = 128
BAND_COUNT = 32
_ROWS_PER_BAND = SIGNATURE_LENGTH // BAND_COUNT
_MINHASH_PRIME = (1 << 61) - 1

_U64 = 1 << 64
_I64_MAX = (1 << 63) - 1
_FNV_OFFSET = 0xCBF29CE484222325
_FNV_PRIME = 0x100000001B3
_SIGNATURE = struct.Struct(f"<{SIGNATURE_LENGTH}Q")
# The helper's band keys are unsigned little-endian; read as signed, they are
# `to_signed64` of each key.
_BANDS = struct.Struct(f"<{BAND_COUNT}Q")
_SIGNED_BANDS = struct.Struct(f"<{BAND_COUNT}q")


def to_signed64(key: int) -> int:
    """Map an unsigned 64-bit band key to the signed 64-bit integer stored for it.

    The stored integer has the same 64 bits read as two's complement: keys
    below 2**63 are stored as they are, keys from 2**63 up as ``key - 2**64``.
    A program that reads the column as a signed 64-bit integer and casts it to
    unsigned gets the band key back. Every band key the index writes or looks
    up goes through this one mapping.
    """
    if type(key) is not int:
        raise TypeError(f"band key must be int, not {type(key).__name__}")
    if not 0 <= key < _U64:
        raise ValueError(f"band key out of the unsigned 64-bit range: {key}")
    return key - _U64 if key > _I64_MAX else key


def to_unsigned64(value: int) -> int:
    """The inverse of `to_signed64`: a stored signed 64-bit integer to its band key."""
    if type(value) is not int:
        raise TypeError(f"stored value must be int, not {type(value).__name__}")
    if not -(1 << 63) <= value <= _I64_MAX:
        raise ValueError(f"stored value out of the signed 64-bit range: {value}")
    return value + _U64 if value < 0 else value


def band_keys_of_signature(signature_blob: bytes) -> list[int]:
    """The 32 band keys of a packed signature, as `minhash_bands` gives them.

    A band key is 64-bit FNV-1a over the little-endian bytes of four
    consecutive signature values, and the packed signature holds exactly those
    bytes in order, so band k hashes bytes 32k to 32k+31. Used where the keys
    of a stored record are needed (get, remove, replace) so that the records
    table need not store them a second time.
    """
    keys = []
    width = 8 * _ROWS_PER_BAND
    for start in range(0, len(signature_blob), width):
        h = _FNV_OFFSET
        for byte in signature_blob[start:start + width]:
            h = ((h ^ byte) * _FNV_PRIME) % _U64
        keys.append(h)
    return keys


# The stored form of one text: content hash, surface fingerprint, structural
# fingerprint, packed signature (all bytes) and the distinct band keys mapped
# to signed integers. Plain tuples pickle fast between worker processes.
Packed = tuple[bytes, bytes, bytes, bytes, tuple[int, ...]]


def _distinct_signed(bands: Iterable[int]) -> tuple[int, ...]:
    # Two bands of one text can share a key; the band table stores each
    # (key, record) pair once, so the shared-band count counts distinct keys.
    return tuple(dict.fromkeys(to_signed64(k) for k in bands))


def _from_helper(values: tuple[bytes, bytes, bytes, bytes, bytes]) -> Packed:
    digest, surface, structure, signature, bands = values
    return digest, surface, structure, signature, tuple(dict.fromkeys(_SIGNED_BANDS.unpack(bands)))


def pack_text(text: str) -> Packed:
    """Compute and pack every stored value of `text` (must be a str)."""
    return _from_helper(_records.values(text))


def pack_texts(texts: list[str]) -> list[Packed]:
    """`pack_text` over a list: the unit of work of an `add_many` worker."""
    return [_from_helper(v) for v in _records.values_many(texts)]


def pack_signature(values: tuple[int, ...]) -> bytes:
    return _SIGNATURE.pack(*values)


def unpack_signature(blob: bytes) -> tuple[int, ...]:
    return _SIGNATURE.unpack(blob)


def equal_values(a: tuple[int, ...], b: tuple[int, ...]) -> int:
    """How many of the 128 positions hold the same MinHash value."""
    return sum(x == y for x, y in zip(a, b))


def _check_hex(name: str, value: object) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be str, not {type(value).__name__}")
    if len(value) != 64:
        raise ValueError(f"{name} must be 64 hexadecimal digits, got {len(value)} characters")
    try:
        bytes.fromhex(value)
    except ValueError:
        raise ValueError(f"{name} is not hexadecimal: {value!r}") from None
    return value.lower()


def _check_ints(name: str, values: object, count: int, limit: int) -> tuple[int, ...]:
    if not isinstance(values, Iterable):
        raise TypeError(f"{name} must be a sequence of {count} int")
    try:
        out = tuple(values)
    except TypeError:
        raise TypeError(f"{name} must be a sequence of {count} int") from None
    if len(out) != count:
        raise ValueError(f"{name} must hold {count} values, got {len(out)}")
    for v in out:
        if type(v) is not int:
            raise TypeError(f"{name} values must be int, not {type(v).__name__}")
        if not 0 <= v < limit:
            raise ValueError(f"{name} value out of range: {v}")
    return out


@dataclass(frozen=True, slots=True)
class Fingerprints:
    """Every value the index compares for one text, as the module returns them.

    ``fingerprints(text)`` computes them; ``Index.add`` and ``Index.query``
    accept them in place of the text, so that a service can compute them where
    the text is and look them up elsewhere. Values built by hand are checked
    on construction (lengths, ranges, hexadecimal form).
    """

    content_hash: str
    """`content_hash(text)`: 64 hexadecimal digits."""
    fingerprint: str
    """`text_fingerprint(text)`: the 256-bit surface SimHash in hexadecimal."""
    structure: str
    """`text_structure(text)`: the 256-bit structural SimHash in hexadecimal."""
    signature: tuple[int, ...]
    """`minhash_signature(text)`: 128 values below 2**61 - 1."""
    bands: tuple[int, ...]
    """`minhash_bands(text)`: 32 unsigned 64-bit band keys."""

    def __post_init__(self) -> None:
        object.__setattr__(self, "content_hash", _check_hex("content_hash", self.content_hash))
        object.__setattr__(self, "fingerprint", _check_hex("fingerprint", self.fingerprint))
        object.__setattr__(self, "structure", _check_hex("structure", self.structure))
        object.__setattr__(
            self, "signature", _check_ints("signature", self.signature, SIGNATURE_LENGTH, _MINHASH_PRIME))
        object.__setattr__(self, "bands", _check_ints("bands", self.bands, BAND_COUNT, _U64))

    def packed(self) -> Packed:
        return (
            bytes.fromhex(self.content_hash),
            bytes.fromhex(self.fingerprint),
            bytes.fromhex(self.structure),
            _SIGNATURE.pack(*self.signature),
            _distinct_signed(self.bands),
        )


def fingerprints(text: str) -> Fingerprints:
    """Compute the values the index stores and compares for `text`."""
    if not isinstance(text, str):
        raise TypeError(f"text must be str, not {type(text).__name__}")
    digest, surface, structure, signature, bands = _records.values(text)
    # Computed here, hence well formed: the checks are for values built by
    # hand, and cost more than computing these.
    values = object.__new__(Fingerprints)
    for name, value in zip(_FINGERPRINT_FIELDS, (digest.hex(), surface.hex(), structure.hex(),
                                                 _SIGNATURE.unpack(signature), _BANDS.unpack(bands))):
        object.__setattr__(values, name, value)
    return values


_FINGERPRINT_FIELDS = ("content_hash", "fingerprint", "structure", "signature", "bands")
