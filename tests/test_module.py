"""The module object, its function table and the calling frame every function shares."""

import importlib.metadata
import pathlib
import shutil
import subprocess
import sys

import numpy as np
import pytest

import vessolin

FUNCTIONS = {
    "text_fingerprint": ("(text)", "`com.tessaline.text-fingerprint.1` \u2014 256-bit surface SimHash, hex."),
    "text_structure": ("(text)", "`com.tessaline.text-structure.1` \u2014 256-bit structural SimHash, hex."),
    "minhash_signature": ("(text)", "`com.tessaline.text-minhash.1` \u2014 the 128 signature values."),
    "minhash_bands": ("(text)", "The 32 LSH band hashes \u2014 index keys for discovery."),
    "hamming_hex": ("(a, b)", "Hamming distance in bits between two 256-bit hex fingerprints."),
    "content_hash": ("(text)", "SHA-256 of the canonical stream (the blind-recoverable content hash), hex."),
    "embed_watermark": (
        "(text, pointer_hex, key_hex)",
        "Embed a `zwc-watermark.2` carrying `pointer_hex`, bound to the content by\n"
        "`key_hex`. Returns the watermarked text.",
    ),
    "extract_watermark": (
        "(text, key_hex)",
        "Blind-extract and verify a `zwc-watermark.2`.\nReturns `(pointer_hex, tag_verified, shards_recovered)`.",
    ),
    "public_key": ("(secret_hex)", "Derive the Ed25519 public key (hex) from a 32-byte secret key (hex)."),
    "sign": ("(payload, secret_hex)", "Sign a payload as tagged COSE_Sign1 / EdDSA. Returns the envelope as hex."),
    "verify": (
        "(cose_hex, public_hex)",
        "Verify a hex COSE_Sign1 envelope against a hex public key; returns the\n"
        "payload string on success, raises on failure.",
    ),
    "cross_check": (
        "(key_hex, repo_id, content_hash_hex)",
        "Anti-transfer cross-check tag (hex): `HMAC(key, repo_id \u2016 content_hash)`.",
    ),
    "soft_binding_fingerprint": (
        "(text)",
        "Build the `c2pa.soft-binding` assertion (id 41, surface fingerprint) as CBOR,\n"
        "hex-encoded. Sign the result with [`sign`]; includes per-window blocks.",
    ),
    "soft_binding_structure": ("(text)", "Build the `c2pa.soft-binding` assertion (id 43, structural) as CBOR hex."),
    "soft_binding_minhash": ("(text)", "Build the `c2pa.soft-binding` assertion (id 44, MinHash) as CBOR hex."),
    "soft_binding_watermark": (
        "(pointer_hex)",
        "Build the `c2pa.soft-binding` assertion (id 42, ZWC watermark) for a routing\n`pointer_hex`, as CBOR hex.",
    ),
    "verify_tier": (
        "(text, assertion_cbor_hex, watermark_verified, crosscheck_ok)",
        "Recompute the fingerprint from `text`, compare against a candidate\n"
        "`c2pa.soft-binding` assertion (hex CBOR), and classify. Returns\n"
        '`"BOUND"`, `"LIKELY"`, or `"REVIEW"`.',
    ),
}


def test_module_attributes():
    assert vessolin.__name__ == "vessolin"
    assert vessolin.__doc__ == "Tessaline C2PA text soft-binding family (native bindings)."
    assert vessolin.__all__[0] == "__doc__"
    assert vessolin.__all__[1:5] == ["text_fingerprint", "text_structure", "minhash_signature", "minhash_bands"]
    assert vessolin.__all__[-5:] == [
        "soft_binding_fingerprint",
        "soft_binding_structure",
        "soft_binding_minhash",
        "soft_binding_watermark",
        "verify_tier",
    ]
    assert len(vessolin.__all__) == len(set(vessolin.__all__))
    for name in vessolin.__all__[1:]:
        function = getattr(vessolin, name)
        assert function.__name__ == name
        assert function.__module__ == "vessolin"
        assert function.__self__ is vessolin


REGISTRATION_ORDER = [
    "text_fingerprint", "text_structure", "minhash_signature", "minhash_bands", "hamming_hex", "content_hash",
    "embed_watermark", "extract_watermark", "public_key", "sign", "verify", "cross_check",
    "soft_binding_fingerprint", "soft_binding_structure", "soft_binding_minhash", "soft_binding_watermark",
    "verify_tier",
]


def test_functions_are_registered_in_table_order():
    # Functions still being built elsewhere are left out; their neighbours keep their order.
    assert vessolin.__all__[1:] == [name for name in REGISTRATION_ORDER if hasattr(vessolin, name)]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_signature_and_docstring(name):
    signature, body = FUNCTIONS[name]
    function = getattr(vessolin, name)
    assert name in vessolin.__all__
    assert function.__text_signature__ == signature
    assert function.__doc__ == body


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: vessolin.content_hash("x", text="y"), "content_hash() got multiple values for argument 'text'"),
        (lambda: vessolin.content_hash(txt="x"), "content_hash() got an unexpected keyword argument 'txt'"),
        (lambda: vessolin.content_hash("x", "y"), "content_hash() takes 1 positional arguments but 2 were given"),
        (lambda: vessolin.content_hash(), "content_hash() missing 1 required positional argument: 'text'"),
        (lambda: vessolin.hamming_hex("00"), "hamming_hex() missing 1 required positional argument: 'b'"),
        (lambda: vessolin.hamming_hex(), "hamming_hex() missing 2 required positional arguments: 'a' and 'b'"),
        (
            lambda: vessolin.cross_check(),
            "cross_check() missing 3 required positional arguments: 'key_hex', 'repo_id', and 'content_hash_hex'",
        ),
        (
            lambda: vessolin.cross_check("", content_hash_hex=""),
            "cross_check() missing 1 required positional argument: 'repo_id'",
        ),
        # Surplus positionals are reported before keyword problems, keywords before missing ones.
        (lambda: vessolin.content_hash("x", "y", txt="z"), "content_hash() takes 1 positional arguments but 2 were given"),
        (lambda: vessolin.hamming_hex(c="1"), "hamming_hex() got an unexpected keyword argument 'c'"),
        (
            lambda: vessolin.content_hash(**{"t\udc80": "x"}),
            "content_hash() got an unexpected keyword argument 't\udc80'",
        ),
        (lambda: vessolin.content_hash(b"abc"), "argument 'text': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: vessolin.content_hash(None), "argument 'text': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda: vessolin.content_hash(3), "argument 'text': 'int' object cannot be converted to 'PyString'"),
        (lambda: vessolin.cross_check("", 1.5, ""), "argument 'repo_id': 'float' object cannot be converted to 'PyString'"),
    ],
)
def test_binding_and_conversion_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert info.value.args == (message,)


def test_keyword_arguments_bind_like_positionals():
    assert vessolin.content_hash(text="x") == vessolin.content_hash("x")
    assert vessolin.cross_check(content_hash_hex="00", key_hex="01", repo_id="r") == vessolin.cross_check("01", "r", "00")


def test_str_subclass_is_accepted_and_surrogates_fail_in_the_encoder():
    class Text(str):
        pass

    assert vessolin.content_hash(Text("Hello")) == vessolin.content_hash("Hello")
    with pytest.raises(UnicodeEncodeError):
        vessolin.content_hash("\ud800")
    # Only the first failing argument is reported.
    with pytest.raises(UnicodeEncodeError):
        vessolin.cross_check("zz", "\udfff", 5)


def test_qualified_type_name_in_conversion_error():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError, match=r"^argument 'text': 'test_qualified_type_name_in_conversion_error.<locals>.Outer.Inner' object"):
        vessolin.content_hash(Outer.Inner())


class TestBooleanParameters:
    def test_accepts_bools_and_numpy_bools(self, native):
        assert native.probe_flags("t", True, False) == "t|True|False"
        assert native.probe_flags("t", np.True_, np.bool_(False)) == "t|True|False"

    @pytest.mark.parametrize("value, type_name", [(1, "int"), (0, "int"), (None, "NoneType"), (np.int64(1), "int64")])
    def test_rejects_everything_else(self, native, value, type_name):
        with pytest.raises(TypeError) as info:
            native.probe_flags("t", value, False)
        assert str(info.value) == f"argument 'watermark_verified': '{type_name}' object cannot be converted to 'PyBool'"

    def test_only_the_first_bad_argument_is_reported(self, native):
        with pytest.raises(TypeError, match=r"^argument 'text': 'bytes'"):
            native.probe_flags(b"t", 1, None)


HEX_ERRORS = [
    ("abc", "Odd number of digits"),
    ("zzz", "Odd number of digits"),  # length is checked before any character
    ("zz", "Invalid character 'z' at position 0"),
    ("0x", "Invalid character 'x' at position 1"),
    ("00g0", "Invalid character 'g' at position 2"),
    ("0\n00", "Invalid character '\\n' at position 1"),
    ("0\t00", "Invalid character '\\t' at position 1"),
    ("0\r00", "Invalid character '\\r' at position 1"),
    ("\x00" + "000", "Invalid character '\\0' at position 0"),
    ("'0", "Invalid character '\\'' at position 0"),
    ("\\0", "Invalid character '\\\\' at position 0"),
    ('"0', "Invalid character '\"' at position 0"),
    ("\x7f0", "Invalid character '\\u{7f}' at position 0"),
    ("\x010", "Invalid character '\\u{1}' at position 0"),
    ("\x1b0", "Invalid character '\\u{1b}' at position 0"),
    ("é00", "Invalid character 'Ã' at position 0"),  # the first byte of the character
    ("00é00", "Invalid character 'Ã' at position 2"),
    ("\u200b000", "Invalid character 'â' at position 0"),  # zero-width space is not trimmed
    ("0 00 ", "Invalid character ' ' at position 1"),
    ("00 000", "Invalid character ' ' at position 2"),
]


@pytest.mark.parametrize("text, reason", HEX_ERRORS)
def test_hexadecimal_argument_rule(text, reason):
    with pytest.raises(ValueError) as info:
        vessolin.cross_check(text, "", "")
    assert info.value.args == ("invalid key: " + reason,)
    with pytest.raises(ValueError) as info:
        vessolin.cross_check("", "", text)
    assert info.value.args == ("invalid content hash: " + reason,)


@pytest.mark.parametrize("padding", ["", " ", "\n", "\t\r\n", "\u3000", "\u0085", "\xa0", "\u2028\u205f"])
def test_hexadecimal_argument_trims_white_space_and_ignores_case(padding):
    expected = vessolin.cross_check("00ff", "", "abcd")
    assert vessolin.cross_check(padding + "00FF" + padding, "", padding + "AbCd" + padding) == expected


def test_long_hexadecimal_arguments(native):
    key = "00" * 32
    digits = ("0123456789abcdefABCDEF" * 3)[:64]
    assert native.probe_envelope_and_key(digits, key) == digits.lower() + ":" + key
    for at in range(64):
        for bad in "g/:@G`~":
            with pytest.raises(ValueError) as info:
                native.probe_envelope_and_key(digits[:at] + bad + digits[at + 1 :], key)
            assert info.value.args == (f"invalid cose: Invalid character '{bad}' at position {at}",)


def test_arguments_may_decode_to_nothing():
    assert len(vessolin.cross_check("", "", "")) == 64
    assert vessolin.cross_check(" \n", "", "\u3000") == vessolin.cross_check("", "", "")


class TestKeyRule:
    KEY = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"

    @pytest.mark.parametrize("form", [KEY, KEY.upper(), KEY + "\n", "  " + KEY.upper() + "\t"])
    def test_accepts_any_case_and_surrounding_white_space(self, native, form):
        assert native.probe_envelope_and_key("", form) == ":" + self.KEY

    @pytest.mark.parametrize(
        "text, message",
        [
            (KEY[:62], "expected a 32-byte (64 hex char) key"),
            (KEY + "00", "expected a 32-byte (64 hex char) key"),
            ("", "expected a 32-byte (64 hex char) key"),
            (KEY[:63], "invalid hex: Odd number of digits"),
            ("zz" + KEY[2:], "invalid hex: Invalid character 'z' at position 0"),
        ],
    )
    def test_failures(self, native, text, message):
        with pytest.raises(ValueError) as info:
            native.probe_envelope_and_key("00", text)
        assert info.value.args == (message,)

    def test_decode_order_is_per_function(self, native):
        # This shape decodes its key before the envelope; cross_check decodes in parameter order.
        with pytest.raises(ValueError, match="^expected a 32-byte"):
            native.probe_envelope_and_key("x", "00")
        with pytest.raises(ValueError, match="^invalid key: "):
            vessolin.cross_check("x", "", "y")


ERRORS = [
    ("ContentTooShort", "", "text content too short for this soft-binding algorithm", "ContentTooShort"),
    ("GenerationFailed", "x", "fingerprint generation failed: x", 'GenerationFailed("x")'),
    ("MatchFailed", "y", "fingerprint match failed: y", 'MatchFailed("y")'),
    ("Coding", "z", "reed-solomon coding failed: z", 'Coding("z")'),
    (
        "TagMismatch",
        "",
        "watermark content-binding tag did not verify (transferred or modified content)",
        "TagMismatch",
    ),
    ("WatermarkUnrecoverable", "", "watermark could not be recovered from remaining positions", "WatermarkUnrecoverable"),
    ("InvalidInput", 'say "hi"', 'invalid input: say "hi"', 'InvalidInput("say \\"hi\\"")'),
]


@pytest.mark.parametrize("variant, detail, display, debug", ERRORS)
def test_error_variants_become_value_errors(native, variant, detail, display, debug):
    with pytest.raises(ValueError) as info:
        native.raise_error(variant, detail)
    assert type(info.value) is ValueError
    assert info.value.args == (display,)
    assert native.error_debug(variant, detail) == debug


def test_internal_fault_is_a_base_exception(native, capfd):
    with pytest.raises(BaseException) as info:
        try:
            native.internal_fault("invariant broken")
        except Exception:  # must not catch it
            pytest.fail("the internal-fault exception was caught as an Exception")
    error = info.value
    assert type(error).__name__ == "PanicException"
    assert type(error).__bases__ == (BaseException,)
    assert type(error).__module__ != "vessolin"
    assert error.args == ("invariant broken",)
    assert "native code" in type(error).__doc__
    assert not hasattr(vessolin, "PanicException")
    stderr = capfd.readouterr().err
    assert "panicked at " in stderr and "testing_module.cpp" in stderr and "invariant broken" in stderr
    # The class is made once and reused.
    with pytest.raises(BaseException) as again:
        native.internal_fault("")
    assert type(again.value) is type(error)
    assert again.value.args[0]  # a fault without a message still says something


def test_second_initialisation_fails():
    code = (
        "import sys, vessolin\n"
        "del sys.modules['vessolin']\n"
        "try:\n"
        "    import vessolin\n"
        "except ImportError as e:\n"
        "    print('ImportError', e)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.startswith("ImportError") and "once" in out


def extension_path() -> pathlib.Path:
    return pathlib.Path(vessolin.__file__)


def records_helper_path() -> pathlib.Path:
    """The package's private helper for its tools, built from the same core."""
    import vessolin._records

    return pathlib.Path(vessolin._records.__file__)


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
@pytest.mark.parametrize(("path", "init"), [(extension_path, "PyInit_vessolin"),
                                            (records_helper_path, "PyInit__records")])
def test_only_the_init_function_is_exported(path, init):
    out = subprocess.run(
        ["nm", "-D", "--defined-only", str(path())], capture_output=True, text=True, check=True
    ).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == [init]


def test_built_for_the_stable_abi():
    assert extension_path().name.endswith(".abi3.so")
    assert records_helper_path().name.endswith(".abi3.so")
    wheel = importlib.metadata.distribution("vessolin").read_text("WHEEL") or ""
    assert "Tag: cp311-abi3-" in wheel


@pytest.mark.parametrize("path", [extension_path, records_helper_path])
def test_abi3audit_finds_no_violation(path):
    abi3audit = shutil.which("abi3audit")
    if abi3audit is None:
        pytest.skip("abi3audit is not installed")
    result = subprocess.run(
        [abi3audit, "--assume-minimum-abi3", "3.11", "--strict", str(path())],
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.skipif(shutil.which("ldd") is None, reason="ldd is not installed")
@pytest.mark.parametrize("path", [extension_path, records_helper_path])
def test_links_only_libcrypto_and_the_c_and_cxx_runtime(path):
    # The Unicode data is compiled in: no system Unicode library may creep back.
    out = subprocess.run(["ldd", str(path())], capture_output=True, text=True, check=True).stdout
    libraries = {line.split()[0].rsplit("/", 1)[-1] for line in out.splitlines() if line.strip()}
    # A build under the sanitizers also links their runtimes.
    runtime = ("linux-vdso.so", "ld-linux", "libc.so", "libm.so", "libstdc++.so", "libgcc_s.so", "libcrypto",
               "libasan.so", "libubsan.so")
    assert [lib for lib in sorted(libraries) if not lib.startswith(runtime)] == []
    assert any(lib.startswith("libcrypto") for lib in libraries)
