"""Ed25519 keys and COSE_Sign1 envelopes: keygen, sign, verify."""

from __future__ import annotations

import argparse
import secrets

import vessolin

from ._common import (EXIT_NEGATIVE, EXIT_OK, TAG_MISMATCH, Commands, Failure, call, display_name, emit,
                      output_options, print_json, read_cbor_hex, read_key, read_text, write_atomically)


def cmd_keygen(args: argparse.Namespace) -> int:
    secret = secrets.token_hex(32)
    public = vessolin.public_key(secret)
    write_atomically(args.out, (secret + "\n").encode("ascii"), force=False, mode=0o600)
    if args.json:
        print_json({"secret_key_file": args.out, "public_key": public})
    else:
        print(public)
    return EXIT_OK

def cmd_sign(args: argparse.Namespace) -> int:
    key = read_key(args.key_file)
    payload = read_text(args.file)
    envelope = call(display_name(args.file), vessolin.sign, payload, key, key_file=args.key_file)
    if args.json and args.output in (None, "-"):
        print_json({"file": display_name(args.file), "envelope_hex": envelope})
        return EXIT_OK
    data = (envelope + "\n").encode("ascii") if args.hex else bytes.fromhex(envelope)
    emit(data, args.output, force=args.force, binary=not args.hex)
    if args.json:
        print_json({"file": display_name(args.file), "output": args.output})
    return EXIT_OK


def cmd_verify(args: argparse.Namespace) -> int:
    envelope = read_cbor_hex(args.envelope)
    name = display_name(args.envelope)
    try:
        payload = vessolin.verify(envelope, args.public_key)
    except ValueError as e:
        message = str(e)
        if message == TAG_MISMATCH:
            raise Failure(f"{name}: the signature does not verify", EXIT_NEGATIVE) from None
        raise Failure(f"{name}: {message}") from None
    if args.json and args.output in (None, "-"):
        print_json({"envelope": name, "verified": True, "payload": payload})
        return EXIT_OK
    emit(payload.encode("utf-8"), args.output, force=args.force, binary=False)
    if args.json:
        print_json({"envelope": name, "verified": True, "output": args.output})
    return EXIT_OK


def register(commands: Commands) -> None:
    p = commands.add("keygen", cmd_keygen, "Create a 32-byte Ed25519 secret key file and print its public key.",
                     "vessolin keygen --out signing.key",
                     "The key is written as hexadecimal text to a new file readable by its owner only (mode 0600);\n"
                     "an existing file is never overwritten.")
    p.add_argument("--out", required=True, metavar="FILE", help="the new key file")

    p = commands.add("sign", cmd_sign, "Sign a file's text as a COSE_Sign1 envelope (Ed25519).",
                     "vessolin sign --key-file signing.key article.assertion -o article.cose",
                     "The payload is the file's text exactly as stored, typically an assertion's hex text.\n"
                     "The raw envelope bytes are written unless --hex asks for hexadecimal text.")
    p.add_argument("--key-file", required=True, metavar="K", help="file holding the 32-byte secret key as hex")
    p.add_argument("file", metavar="FILE")
    p.add_argument("--hex", action="store_true", help="write hexadecimal text instead of raw CBOR")
    output_options(p, "the envelope")

    p = commands.add("verify", cmd_verify, "Verify a COSE_Sign1 envelope and print its payload.",
                     "vessolin verify --public-key 3d40...660c article.cose",
                     "ENVELOPE may hold raw CBOR or its hexadecimal text. Exit status 1 when the signature\n"
                     "does not verify.")
    p.add_argument("--public-key", required=True, metavar="HEX", help="the signer's public key, 64 hex digits")
    p.add_argument("envelope", metavar="ENVELOPE")
    output_options(p, "the payload")
