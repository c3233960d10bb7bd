"""Soft-binding assertions: build one (assert) and classify a text against one (tier)."""

from __future__ import annotations

import argparse

import vessolin

from ._common import (EXIT_NEGATIVE, EXIT_OK, Commands, Failure, call, display_name, emit, output_options,
                      print_json, read_cbor_hex, read_text)


def assertion_hex(args: argparse.Namespace) -> tuple[str, str]:
    if args.kind == "watermark":
        if args.pointer is None:
            raise Failure("assert watermark needs --pointer HEX")
        return "--pointer", call("--pointer", vessolin.soft_binding_watermark, args.pointer)
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


def cmd_tier(args: argparse.Namespace) -> int:
    assertion = read_cbor_hex(args.assertion)
    text = read_text(args.file)
    tier = call(display_name(args.assertion), vessolin.verify_tier, text, assertion,
                args.watermark_verified, args.crosscheck_ok)
    if args.json:
        print_json({"file": display_name(args.file), "assertion": display_name(args.assertion), "tier": tier})
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
                     "vessolin tier article.assertion received.txt --crosscheck-ok",
                     "ASSERTION may hold raw CBOR or its hexadecimal text.")
    p.add_argument("assertion", metavar="ASSERTION")
    p.add_argument("file", metavar="FILE")
    p.add_argument("--watermark-verified", action="store_true", help="the text's watermark tag verified")
    p.add_argument("--crosscheck-ok", action="store_true", help="the anti-transfer cross-check passed")
    p.add_argument("--fail-on", choices=tuple(FAIL_LEVELS), metavar="{review,likely}",
                   help="exit with status 1 at this tier or below")
