"""Ed25519 under the module's rules: key derivation, signing, and the
cofactorless verification with strict public-key decoding."""

import json

import pytest
from hypothesis import given, strategies as st

import vessolin
from conftest import DATA

VECTORS = DATA / "vectors" / "ed25519"
RFC8032 = json.loads((VECTORS / "rfc8032_ed25519.json").read_text())["tests"]
WYCHEPROOF = json.loads((VECTORS / "wycheproof_ed25519_test.json").read_text())
EDGE_CASES = json.loads((VECTORS / "eddsa_edge_cases.json").read_text())
EDGE_CASE_VERDICTS = json.loads((VECTORS / "eddsa_edge_case_verdicts.json").read_text())["cases"]

# RFC 8032 section 5.1.3, written out plainly as the reference.
P = 2**255 - 19
D = -121665 * pow(121666, -1, P) % P
SQRT_M1 = pow(2, (P - 1) // 4, P)


def reference_point_decodes(encoded: bytes) -> bool:
    y = int.from_bytes(encoded, "little")
    sign = y >> 255
    y &= (1 << 255) - 1
    if y >= P:
        return False
    u, v = (y * y - 1) % P, (D * y * y + 1) % P
    x = u * pow(v, 3, P) * pow(u * pow(v, 7, P), (P - 5) // 8, P) % P
    if v * x * x % P == (-u) % P:
        x = x * SQRT_M1 % P
    elif v * x * x % P != u:
        return False
    return not (x == 0 and sign == 1)


def flip(hex_text: str, bit: int) -> str:
    raw = bytearray.fromhex(hex_text)
    raw[bit // 8] ^= 1 << (bit % 8)
    return raw.hex()


@pytest.mark.parametrize("case", RFC8032, ids=lambda c: c["name"])
def test_rfc8032_vectors(native, case):
    secret, public, message, signature = (case[k] for k in ("secret_key", "public_key", "message", "signature"))
    assert vessolin.public_key(secret) == public
    assert native.ed25519_sign(message, secret) == signature
    assert native.ed25519_verify(message, public, signature) == "valid"
    if message:
        assert native.ed25519_verify(flip(message, 0), public, signature) == "signature mismatch"
    for bit in (0, 255, 256, 511):  # first and last bits of R and of S
        assert native.ed25519_verify(message, public, flip(signature, bit)) != "valid"


def test_sign_input_file(native):
    lines = (VECTORS / "sign.input").read_text().splitlines()
    assert len(lines) == 1024
    for line in lines:
        sk, pk, message, signed, _ = line.split(":")
        seed, signature = sk[:64], signed[:128]
        assert vessolin.public_key(seed) == pk
        assert native.ed25519_sign(message, seed) == signature
        assert native.ed25519_verify(message, pk, signature) == "valid"


def wycheproof_cases():
    for group in WYCHEPROOF["testGroups"]:
        for test in group["tests"]:
            yield pytest.param(group["publicKey"]["pk"], test, id=str(test["tcId"]))


@pytest.mark.parametrize("public, test", list(wycheproof_cases()))
def test_wycheproof(native, public, test):
    verdict = native.ed25519_verify(test["msg"], public, test["sig"])
    if test["result"] == "valid":
        assert verdict == "valid"
    elif len(test["sig"]) != 128:
        assert verdict == "malformed signature"
    else:
        assert verdict == "signature mismatch"
    # libcrypto alone agrees on every case here: none has a key that the
    # strict decoding refuses.
    if len(test["sig"]) == 128:
        assert native.ed25519_libcrypto_verify(test["msg"], public, test["sig"]) == (verdict == "valid")


@pytest.mark.parametrize("case", EDGE_CASE_VERDICTS, ids=lambda c: str(c["index"]))
def test_eddsa_edge_cases(native, case):
    vector = EDGE_CASES[case["index"]]
    args = (vector["message"], vector["pub_key"], vector["signature"])
    verdict = native.ed25519_verify(*args)
    if case["module_expected"] == "accept":
        assert verdict == "valid"  # small-order keys and R included
    elif case["index"] in (10, 11):
        assert verdict == "invalid public key"
    else:
        assert verdict == "signature mismatch"
    # The strict key decoding is what makes case 11 fail: libcrypto would take
    # the non-canonical key and accept.
    assert native.ed25519_libcrypto_verify(*args) == (verdict == "valid" or case["index"] == 11)


@pytest.mark.parametrize("index", [10, 11])
def test_non_canonical_key_is_refused_before_the_envelope(index):
    with pytest.raises(ValueError) as info:
        vessolin.verify("ff", EDGE_CASES[index]["pub_key"])  # not an envelope either
    assert info.value.args == ("invalid input: invalid public key: signature::Error {}",)


P_BYTES = P.to_bytes(32, "little")
EDGE_KEYS = {
    "y = 0": bytes(32),
    "y = 0, sign bit": bytes(31) + b"\x80",
    "y = 1 (identity)": b"\x01" + bytes(31),
    "y = 1, sign bit (x = 0)": b"\x01" + bytes(30) + b"\x80",
    "y = p - 1 (x = 0)": (P - 1).to_bytes(32, "little"),
    "y = p - 1, sign bit": ((P - 1) | 1 << 255).to_bytes(32, "little"),
    "y = p": P_BYTES,
    "y = p + 1": (P + 1).to_bytes(32, "little"),
    "y = 2^255 - 1": b"\xff" * 31 + b"\x7f",
    "y = 2^255 - 1, sign bit": b"\xff" * 32,
    "y = p, sign bit": (P | 1 << 255).to_bytes(32, "little"),
    "y = 2 (no root)": b"\x02" + bytes(31),
    "y = p - 20": (P - 20).to_bytes(32, "little"),
    "y = 2^254": (1 << 254).to_bytes(32, "little"),
}


@pytest.mark.parametrize("name", EDGE_KEYS)
def test_point_decoding_edges(native, name):
    key = EDGE_KEYS[name]
    assert native.ed25519_point_decodes(key.hex()) == reference_point_decodes(key)


def test_point_decoding_edges_cover_both_verdicts():
    verdicts = {reference_point_decodes(k) for k in EDGE_KEYS.values()}
    assert verdicts == {True, False}


near_p = st.integers(min_value=0, max_value=64).map(lambda k: (P - 32 + k) % (1 << 255))
encodings = st.one_of(
    st.binary(min_size=32, max_size=32),
    st.tuples(near_p, st.booleans()).map(lambda t: (t[0] | (t[1] << 255)).to_bytes(32, "little")),
)


@given(encodings)
def test_point_decoding_matches_the_reference(native, key):
    assert native.ed25519_point_decodes(key.hex()) == reference_point_decodes(key)


@given(st.binary(min_size=32, max_size=32))
def test_derived_keys_decode(native, secret):
    assert native.ed25519_point_decodes(vessolin.public_key(secret.hex())) == 1
