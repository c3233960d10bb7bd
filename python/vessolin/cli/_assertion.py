"""Soft-binding assertions: build one (assert) and classify a text against one (tier)."""

from __future__ import annotations

import argparse

import vessolin

from ._common import (EXIT_NEGATIVE, EXIT_OK, KEY_MESSAGES, Commands, Failure, call, cbor_hex_of, display_name,
                      emit, output_options, pointer_hex, print_json, read_cbor_hex, read_key, read_text)
from ._signature import public_key_option, public_key_options, verified_payload
from ._watermark import EMPTY_KEY


def assertion_hex(args: argparse.Namespace) -> tuple[str, str]:
    if args.kind == "watermark":
        if args.pointer is None:
            raise Failure("assert watermark needs --pointer HEX")
        return "--pointer", vessolin.soft_binding_watermark(pointer_hex(args.pointer))
    if args.file is None:
        raise Failure(f"assert {args.kind} needs a FILE")
    builder = {
        "fingerprint": vessolin.soft_binding_fingerprint,
        "structure": vessolin.soft_binding_structure,
        "minhash": vessolin.soft_binding_minhash,
    }[args.kind]
    return display_name(args.file), builder(read_text(args.file))


def cmd_assert(args: argparse.Namespace) -> int:
    if args.kind == "watermark" and args.file is not None:
        raise Failure("assert watermark takes no FILE, only --pointer HEX")
    source, hexed = assertion_hex(args)
    if args.json and args.output in (None, "-"):
        print_json({"source": source, "algorithm": args.kind, "assertion_hex": hexed})
        return EXIT_OK
    data = (hexed + "\n").encode("ascii") if args.hex else bytes.fromhex(hexed)
    emit(data, args.output, force=args.force, binary=not args.hex)
    if args.json:
        print_json({"source": source, "algorithm": args.kind, "output": args.output})
    return EXIT_OK


FAIL_LEVELS = {"review": ("REVIEW",), "likely": ("REVIEW", "LIKELY")}


def watermark_check(path: str, text: str) -> tuple[bool, str]:
    """Whether the text's watermark verifies under the key in `path`, and
    what was found. A text that carries no readable watermark is an answer
    (not verified), a bad key an error."""
    key = read_key(path, empty_warning=EMPTY_KEY)
    try:
        _, verified, _ = vessolin.extract_watermark(text, key)
    except ValueError as e:
        message = str(e)
        if message.startswith(KEY_MESSAGES):
            raise Failure(f"{display_name(path)}: bad key file: {message}") from None
        return False, f"not found ({message})"
    return verified, "verified" if verified else "not verified"


def cmd_tier(args: argparse.Namespace) -> int:
    key = public_key_option(args)
    if key is not None:
        # ASSERTION is the signed envelope: its payload, once verified, is
        # the assertion's hexadecimal text.
        assertion = cbor_hex_of(verified_payload(args.assertion, key).encode("utf-8"))
        signature = "verified"
    else:
        assertion = read_cbor_hex(args.assertion)
        signature = "not checked"
    text = read_text(args.file)
    watermark_verified, watermark = False, "not checked"
    if args.watermark_key_file is not None:
        watermark_verified, watermark = watermark_check(args.watermark_key_file, text)
    if args.watermark_verified:
        watermark_verified, watermark = True, "stated by --watermark-verified"
    crosscheck = "stated by --crosscheck-ok" if args.crosscheck_ok else "not checked"
    tier = call(display_name(args.assertion), vessolin.verify_tier, text, assertion,
                watermark_verified, args.crosscheck_ok)
    if args.json:
        print_json({"file": display_name(args.file), "assertion": display_name(args.assertion), "tier": tier,
                    "signature": signature, "watermark": watermark, "crosscheck": crosscheck})
    else:
        print(tier)
    if args.fail_on and tier in FAIL_LEVELS[args.fail_on]:
        return EXIT_NEGATIVE
    return EXIT_OK


def register(commands: Commands) -> None:
    p = commands.add("assert", cmd_assert, "Build a c2pa.soft-binding assertion as CBOR.",
                     "vessolin assert fingerprint article.txt --hex -o article.assertion",
                     "Kinds: fingerprint, structure and minhash take a FILE; watermark takes --pointer HEX.\n"
                     "The raw CBOR bytes are written unless --hex asks for hexadecimal text (the form to sign).")
    p.add_argument("kind", choices=("fingerprint", "structure", "minhash", "watermark"))
    p.add_argument("file", nargs="?", metavar="FILE")
    p.add_argument("--pointer", metavar="HEX", help="the routing pointer (watermark only)")
    p.add_argument("--hex", action="store_true", help="write hexadecimal text instead of raw CBOR")
    output_options(p, "the assertion")

    p = commands.add("tier", cmd_tier, "Classify a text against an assertion: BOUND, LIKELY or REVIEW.",
                     "vessolin tier --public-key-file signing.pub --watermark-key-file wm.key article.cose received.txt",
                     "ASSERTION may hold raw CBOR or its hexadecimal text; with --public-key or --public-key-file\n"
                     "it is the signed envelope, which must verify (exit status 1 otherwise) and whose payload is\n"
                     "the assertion. --watermark-key-file reads the text's watermark and counts it when its tag\n"
                     "verifies. --watermark-verified and --crosscheck-ok state checks done elsewhere; they\n"
                     "override what is found here and are taken on trust.")
    p.add_argument("assertion", metavar="ASSERTION")
    p.add_argument("file", metavar="FILE")
    public_key_options(p)
    p.add_argument("--watermark-key-file", metavar="K", help="file holding the watermark key as hex")
    p.add_argument("--watermark-verified", action="store_true",
                   help="count the text's watermark as verified without checking it")
    p.add_argument("--crosscheck-ok", action="store_true", help="the anti-transfer cross-check passed (checked elsewhere)")
    p.add_argument("--fail-on", choices=tuple(FAIL_LEVELS), metavar="{review,likely}",
                   help="exit with status 1 at this tier or below")
