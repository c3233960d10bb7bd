"""Ed25519 keys and COSE_Sign1 envelopes: keygen, public-key, sign, verify."""

from __future__ import annotations

import argparse
import secrets
import sys

import vessolin

from ._common import (EXIT_NEGATIVE, EXIT_OK, KEY_MESSAGES, TAG_MISMATCH, Commands, Failure, call, display_name,
                      emit, output_options, print_json, read_cbor_hex, read_key, read_text, write_atomically)

WHAT_VERIFY_CHECKS = (
    "The signature is checked as Ed25519 under the given public key, whatever algorithm the\n"
    "envelope's protected header names, and a 'crit' header is not acted upon. No forgery gets\n"
    "through this way (only a signature made with the matching secret key verifies), but other\n"
    "COSE verifiers reject envelopes whose header names another algorithm or lists 'crit' labels.")


def cmd_keygen(args: argparse.Namespace) -> int:
    secret = secrets.token_hex(32)
    public = vessolin.public_key(secret)
    data = (secret + "\n").encode("ascii")
    if args.out == "-":
        # Standard output, as "-" means everywhere: the public key then
        # goes to standard error (or with the secret, in JSON).
        if args.json:
            print_json({"secret_key": secret, "public_key": public})
        else:
            emit(data, None, force=False, binary=False)
            print(public, file=sys.stderr)
        return EXIT_OK
    write_atomically(args.out, data, force=args.force, mode=0o600)
    if args.json:
        print_json({"secret_key_file": args.out, "public_key": public})
    else:
        print(public)
    return EXIT_OK


def cmd_public_key(args: argparse.Namespace) -> int:
    secret = read_key(args.key_file)
    public = call(display_name(args.key_file), vessolin.public_key, secret, key_file=display_name(args.key_file))
    print_json({"secret_key_file": display_name(args.key_file), "public_key": public}) if args.json else print(public)
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


def public_key_option(args: argparse.Namespace) -> tuple[str, str] | None:
    """The public key given by --public-key or --public-key-file, with the
    name that messages about it use; None when neither was given."""
    if args.public_key is not None:
        return args.public_key, "--public-key"
    if args.public_key_file is not None:
        return read_key(args.public_key_file, secret=False), display_name(args.public_key_file)
    return None


def verified_payload(path: str, key: tuple[str, str]) -> str:
    """The payload of the envelope in `path` once its signature verifies
    under `key`; a signature that does not is a negative answer (status 1)."""
    envelope = read_cbor_hex(path)
    name = display_name(path)
    public, key_name = key
    try:
        return vessolin.verify(envelope, public)
    except ValueError as e:
        message = str(e)
        if message == TAG_MISMATCH:
            raise Failure(f"{name}: the signature does not verify", EXIT_NEGATIVE) from None
        if message.startswith(KEY_MESSAGES):
            prefix = f"{key_name}: " if key_name.startswith("--") else f"{key_name}: bad key file: "
            raise Failure(prefix + message) from None
        raise Failure(f"{name}: {message}") from None


def cmd_verify(args: argparse.Namespace) -> int:
    key = public_key_option(args)
    if key is None:
        raise Failure("verify needs --public-key HEX or --public-key-file FILE")
    payload = verified_payload(args.envelope, key)
    name = display_name(args.envelope)
    if args.json and args.output in (None, "-"):
        print_json({"envelope": name, "verified": True, "payload": payload})
        return EXIT_OK
    emit(payload.encode("utf-8"), args.output, force=args.force, binary=False)
    if args.json:
        print_json({"envelope": name, "verified": True, "output": args.output})
    return EXIT_OK


def public_key_options(p: argparse.ArgumentParser) -> None:
    keys = p.add_mutually_exclusive_group()
    keys.add_argument("--public-key", metavar="HEX", help="the signer's public key, 64 hex digits")
    keys.add_argument("--public-key-file", metavar="FILE", help="file holding the signer's public key as hex")


def register(commands: Commands) -> None:
    p = commands.add("keygen", cmd_keygen, "Create a 32-byte Ed25519 secret key file and print its public key.",
                     "vessolin keygen --out signing.key",
                     "The key is written as hexadecimal text to a new file readable by its owner only (mode 0600);\n"
                     "an existing file is overwritten only with --force (atomically, again with mode 0600).\n"
                     "With --out - the secret key goes to standard output and the public key to standard error.")
    p.add_argument("--out", required=True, metavar="FILE", help="the new key file, or - for standard output")
    p.add_argument("--force", action="store_true", help="replace FILE if it exists")

    p = commands.add("public-key", cmd_public_key, "Print the Ed25519 public key of a secret key file.",
                     "vessolin public-key --key-file signing.key > signing.pub")
    p.add_argument("--key-file", required=True, metavar="K", help="file holding the 32-byte secret key as hex")

    p = commands.add("sign", cmd_sign, "Sign a file's text as a COSE_Sign1 envelope (Ed25519).",
                     "vessolin sign --key-file signing.key article.assertion -o article.cose",
                     "The payload is the file's text exactly as stored, typically an assertion's hex text.\n"
                     "The raw envelope bytes are written unless --hex asks for hexadecimal text.")
    p.add_argument("--key-file", required=True, metavar="K", help="file holding the 32-byte secret key as hex")
    p.add_argument("file", metavar="FILE")
    p.add_argument("--hex", action="store_true", help="write hexadecimal text instead of raw CBOR")
    output_options(p, "the envelope")

    p = commands.add("verify", cmd_verify, "Verify a COSE_Sign1 envelope and print its payload.",
                     "vessolin verify --public-key-file signing.pub article.cose",
                     "ENVELOPE may hold raw CBOR or its hexadecimal text. Exit status 1 when the signature\n"
                     "does not verify.\n\n" + WHAT_VERIFY_CHECKS)
    public_key_options(p)
    p.add_argument("envelope", metavar="ENVELOPE")
    output_options(p, "the payload")
