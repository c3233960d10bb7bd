"""Commands on texts alone: hash, fingerprint, compare."""

from __future__ import annotations

import argparse
import json
import sys
from contextlib import closing
from typing import Any, Iterator

import vessolin
from vessolin._structure_rule import FUNCTION_WORD_SHARE, STRUCTURE_LIMIT, structure_informative

from ._common import (EXIT_BAD, EXIT_OK, JOBS_HELP, Commands, Failure, Progress, display_name, print_json, read_text,
                      report, worker_count)

# Thresholds of `compare`, stated once for the verdict and its help text. The
# surface and MinHash limits are the ones at which verify_tier counts a
# fingerprint match; a structural match is its structural match, with the
# same rule on function words applied to both texts.
SURFACE_NEAR = 32
MINHASH_NEAR = 0.7
MINHASH_RELATED = 0.3


def fingerprint_record(path: str, text: str) -> dict[str, Any]:
    # The package's helper computes all of a text's values in one pass; they
    # equal what content_hash, text_fingerprint, text_structure and
    # minhash_bands return. Imported here: only this command needs it.
    import struct

    from vessolin import _records

    digest, surface, structure, _, bands = _records.values(text)
    return {
        "file": display_name(path),
        "content_hash": digest.hex(),
        "text_fingerprint": surface.hex(),
        "text_structure": structure.hex(),
        "minhash_bands": list(struct.unpack("<32Q", bands)),
    }


def fingerprint_file(path: str) -> tuple[dict[str, Any] | None, str | None]:
    """One file's record, or the failure line."""
    try:
        return fingerprint_record(path, read_text(path)), None
    except Failure as e:
        return None, str(e)


def fingerprint_files(paths: list[str]) -> list[tuple[dict[str, Any] | None, str | None]]:
    """The unit of work of a worker process: a few files, read there."""
    return [fingerprint_file(path) for path in paths]


def file_failed(path: str, message: str, json_mode: bool) -> int:
    """Reports one file that failed while the others go on."""
    report(message)
    if json_mode:
        print_json({"file": display_name(path), "error": {"message": message, "status": EXIT_BAD}})
    return EXIT_BAD


def cmd_hash(args: argparse.Namespace) -> int:
    if args.files.count("-") > 1:
        raise Failure("standard input can be read only once")
    status = EXIT_OK
    for path in args.files:
        try:
            digest = vessolin.content_hash(read_text(path))
        except Failure as e:
            status = file_failed(path, str(e), args.json)
            continue
        if args.json:
            print_json({"file": display_name(path), "content_hash": digest})
        else:
            print(f"{digest}  {display_name(path)}")
    return status


def fingerprint_results(files: list[str], jobs: int) -> Iterator[tuple[dict[str, Any] | None, str | None]]:
    if jobs <= 1:
        for path in files:
            yield fingerprint_file(path)
        return
    # The module holds the interpreter lock through each call, so the speed-up
    # comes from processes. Files are read in the workers, a chunk at a time;
    # results come back in input order. Imported here: every command pays
    # for its imports at start-up.
    from vessolin._workers import OrderedPool

    size = max(1, min(64, len(files) // (jobs * 8)))
    pool = OrderedPool(jobs, fingerprint_files)
    finished = False
    try:
        for done in pool.map(files[i:i + size] for i in range(0, len(files), size)):
            yield from done
        finished = True
    finally:
        # Interrupted, or the reader stopped early: the workers are stopped
        # at once rather than left to finish what they hold.
        pool.close(abandon=not finished)


def cmd_fingerprint(args: argparse.Namespace) -> int:
    files = args.files
    if files.count("-") > 1:
        raise Failure("standard input can be read only once")
    others = [f for f in files if f != "-"]
    jobs = worker_count(args.jobs, len(others))
    status = EXIT_OK
    if "-" in files:
        # Standard input belongs to this process: read it here and fingerprint
        # it here, the other files in the workers.
        stdin_record, stdin_error = fingerprint_file("-")
    progress = Progress(len(files), "files", quiet=args.quiet)
    with closing(fingerprint_results(others, jobs)) as results:
        for done, path in enumerate(files, 1):
            record, error = (stdin_record, stdin_error) if path == "-" else next(results)
            progress.update(done)
            if error is not None:
                progress.close()
                status = file_failed(path, error, args.json)
                continue
            print(json.dumps(record, ensure_ascii=False), flush=False)
    progress.close()
    sys.stdout.flush()
    return status


def cmd_compare(args: argparse.Namespace) -> int:
    a, b = read_text(args.a), read_text(args.b)
    surface = vessolin.hamming_hex(vessolin.text_fingerprint(a), vessolin.text_fingerprint(b))
    structure = vessolin.hamming_hex(vessolin.text_structure(a), vessolin.text_structure(b))
    sig_a, sig_b = vessolin.minhash_signature(a), vessolin.minhash_signature(b)
    share = sum(x == y for x, y in zip(sig_a, sig_b)) / len(sig_a)
    shared_bands = len(set(vessolin.minhash_bands(a)) & set(vessolin.minhash_bands(b)))
    same = vessolin.content_hash(a) == vessolin.content_hash(b)
    informative = structure_informative(a) and structure_informative(b)
    if same:
        verdict = "same"
    elif surface <= SURFACE_NEAR or share >= MINHASH_NEAR:
        verdict = "near"
    elif (informative and structure <= STRUCTURE_LIMIT) or shared_bands > 0 or share >= MINHASH_RELATED:
        verdict = "related"
    else:
        verdict = "different"
    if args.json:
        print_json({
            "a": display_name(args.a), "b": display_name(args.b), "same_content_hash": same,
            "surface_distance": surface, "structure_distance": structure, "structure_informative": informative,
            "minhash_share": share, "shared_band_keys": shared_bands, "verdict": verdict,
        })
    else:
        print(f"surface distance    {surface} bits of 256")
        print(f"structure distance  {structure} bits of 256" + ("" if informative else " (uninformative)"))
        print(f"equal MinHash       {share:.3f} ({round(share * 128)} of 128)")
        print(f"shared band keys    {shared_bands} of 32")
        print(f"verdict             {verdict}")
    return EXIT_OK


def register(commands: Commands) -> None:
    p = commands.add("hash", cmd_hash, "Print the content hash of each file.", "vessolin hash chapter1.txt chapter2.txt",
                     "The content hash is the SHA-256 of the text's canonical stream: NFC, zero-width characters\n"
                     "removed, lowercased, words joined by single spaces.")
    p.add_argument("files", nargs="+", metavar="FILE")

    p = commands.add("fingerprint", cmd_fingerprint,
                     "Print content hash, surface and structural fingerprints and band keys, one JSON object per line.",
                     "vessolin fingerprint --jobs 2 texts/*.txt > fingerprints.jsonl",
                     "Lines come in the order of the files. Output is always JSON Lines; with --json, a file\n"
                     "that cannot be read gives a line {\"file\": ..., \"error\": {...}} in its place.\n"
                     "Progress is shown on standard error when it is a terminal.")
    p.add_argument("files", nargs="+", metavar="FILE")
    p.add_argument("-j", "--jobs", type=int, default=1, metavar="N", help=JOBS_HELP)
    p.add_argument("-q", "--quiet", action="store_true", help="show no progress")

    p = commands.add("compare", cmd_compare, "Compare two texts and give a one-word verdict.",
                     "vessolin compare draft.txt published.txt",
                     "Verdicts, first that applies:\n"
                     "  same       equal content hashes (identical canonical streams)\n"
                     f"  near       surface distance <= {SURFACE_NEAR} bits, or at least {MINHASH_NEAR:.0%} equal MinHash values\n"
                     f"  related    structural distance <= {STRUCTURE_LIMIT} bits, a shared band key, or at least "
                     f"{MINHASH_RELATED:.0%} equal MinHash values\n"
                     "  different  none of these\n"
                     f"The structural distance counts only when at least {FUNCTION_WORD_SHARE:.0%} of the words of each\n"
                     "text are English function words (verify_tier's rule); otherwise it is marked uninformative.")
    p.add_argument("a", metavar="A")
    p.add_argument("b", metavar="B")
