"""The benchmark texts that the scripts in this folder share (sources and
licences in data/README.md)."""

from pathlib import Path

DATA = Path(__file__).resolve().parent / "data"

# Prose in several scripts, then emoji sequences: the files the corpus-wide
# checks and the multi-text benchmarks run over.
PROSE_FILES = [
    "gutenberg/11-0.txt",
    "wikipedia_mars/german.utf8.txt",
    "wikipedia_mars/greek.utf8.txt",
    "wikipedia_mars/turkish.utf8.txt",
    "wikipedia_mars/persan.utf8.txt",
    "wikipedia_mars/hindi.utf8.txt",
    "lipsum/Russian-Lipsum.utf8.txt",
    "lipsum/Chinese-Lipsum.utf8.txt",
]
EMOJI_FILE = "emoji/emoji-zwj-sequences.txt"
CORPUS_FILES = [*PROSE_FILES, EMOJI_FILE]
