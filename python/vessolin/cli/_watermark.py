"""The zero-width watermark: embed, extract."""

from __future__ import annotations

import argparse

import vessolin

from ._common import (EXIT_NEGATIVE, EXIT_OK, UNRECOVERABLE, Commands, Failure, call, display_name, emit,
                      output_options, pointer_hex, print_json, read_key, read_text, report, write_in_place)


EMPTY_KEY = "the key file is empty: an empty watermark key protects nothing"


def cmd_embed(args: argparse.Namespace) -> int:
    if args.in_place and args.output is not None:
        raise Failure("--in-place and -o exclude each other")
    if args.in_place and args.file == "-":
        raise Failure("--in-place needs a file, not standard input")
    pointer = pointer_hex(args.pointer)
    key = read_key(args.key_file, empty_warning=EMPTY_KEY)
    text = read_text(args.file)
    marked = call(display_name(args.file), vessolin.embed_watermark, text, pointer, key, key_file=args.key_file)
    data = marked.encode("utf-8")
    # The result is complete before anything is written, so a failure above
    # leaves every file as it was.
    if args.in_place:
        write_in_place(args.file, data)
        target = args.file
    else:
        target = args.output
        if args.json and target in (None, "-"):
            print_json({"file": display_name(args.file), "text": marked})
            return EXIT_OK
        emit(data, target, force=args.force, binary=False)
    if args.json:
        print_json({"file": display_name(args.file), "output": target})
    return EXIT_OK


def cmd_extract(args: argparse.Namespace) -> int:
    key = read_key(args.key_file, empty_warning=EMPTY_KEY)
    text = read_text(args.file)
    name = display_name(args.file)
    pointer, verified, recovered = call(name, vessolin.extract_watermark, text, key, key_file=args.key_file,
                                        negative=(UNRECOVERABLE,))
    # A tag that does not verify (a wrong key, or edited content) leaves the
    # pointer as just some bytes read from the text: it is never shown as
    # the pointer itself.
    if args.json:
        print_json({"file": name, "pointer": pointer if verified else None,
                    "unverified_pointer": None if verified else pointer,
                    "tag_verified": verified, "shards_recovered": recovered})
    else:
        print(f"{'pointer' if verified else 'pointer (unverified)':<21} {pointer}")
        print(f"{'tag verified':<21} {'yes' if verified else 'no'}")
        print(f"{'shards recovered':<21} {recovered} of 48")
    if not verified:
        report(f"{name}: the watermark's content-binding tag did not verify")
        return EXIT_NEGATIVE
    return EXIT_OK


def register(commands: Commands) -> None:
    p = commands.add("embed", cmd_embed, "Embed a zero-width watermark carrying a routing pointer.",
                     "vessolin embed --key-file wm.key --pointer 00112233445566778899aabbccddeeff article.txt -o marked.txt",
                     "The key file holds the watermark key as hexadecimal text (keep it private: chmod 600).\n"
                     "The input is never overwritten unless --in-place is given, and then only once the marked\n"
                     "text is complete; a symbolic link keeps pointing to its target, which gets the marked text,\n"
                     "with its owner and mode. A file with several hard links is refused.")
    p.add_argument("--key-file", required=True, metavar="K", help="file holding the watermark key as hex")
    p.add_argument("--pointer", required=True, metavar="HEX", help="the routing pointer, up to 16 bytes of hex (zero-filled to 16)")
    p.add_argument("file", metavar="FILE")
    output_options(p, "the marked text")
    p.add_argument("--in-place", action="store_true", help="replace FILE with the marked text")

    p = commands.add("extract", cmd_extract, "Read a zero-width watermark back and check its content-binding tag.",
                     "vessolin extract --key-file wm.key received.txt",
                     "Exit status 1 when the tag does not verify or no watermark can be recovered. A pointer\n"
                     "whose tag does not verify is shown as 'pointer (unverified)' (in JSON: unverified_pointer).")
    p.add_argument("--key-file", required=True, metavar="K", help="file holding the watermark key as hex")
    p.add_argument("file", metavar="FILE")
