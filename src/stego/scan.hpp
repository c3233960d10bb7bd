// Reading a text the way extraction does: the invisible code points it
// ignores, the slots it counts, and the alphabet symbols it files under
// scan words.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "stego/alphabet.hpp"

namespace vessolin::stego {

// `text` without the code points of the invisible set; all others stay, in order.
std::string strip_invisible(std::string_view text);

// A scan word is a maximal run of code points that are not white space,
// where the four alphabet characters neither belong to it nor end it (U+FEFF
// and the variation selectors count as ordinary code points). An alphabet
// symbol is filed under the scan word that started last, whether it stands
// inside that word or after the white space that follows it; symbols before
// the first scan word are dropped.

// A place where a scan may start instead of at the beginning: `offset` is
// the start of a code point, before which `scan_words` scan words started;
// `in_word` tells whether the last of them goes on there.
struct ScanCheckpoint {
  std::size_t offset;
  std::size_t scan_words;
  bool in_word;
};

// What one pass over a text tells both embedding and extraction.
struct TextCensus {
  // The slots (word runs) of the text once its invisible code points are
  // removed, counted without building that text: invisible code points
  // neither belong to a run nor end one.
  std::size_t slots = 0;
  // Whether a run of invisible code points is followed by a code point that
  // NFC may compose with, or move across, what precedes the run. Only then
  // does the text without its invisible code points normalise to something
  // other than the text's own NFC without them.
  bool invisible_splits_nfc = false;
  std::size_t scan_words = 0;
  // One about every kCheckpointBytes, in text order.
  std::vector<ScanCheckpoint> checkpoints;
};

inline constexpr std::size_t kCheckpointBytes = 512;

TextCensus take_census(std::string_view text);

struct ScanWord {
  bool found = false;  // the text has this many scan words
  // Just past its last code point outside the invisible set, or just past
  // its last code point if all of them are invisible: where a new group
  // joins this word without changing any other.
  std::size_t mark_offset = 0;
  std::size_t symbol_count = 0;  // symbols filed under it
  Group first_symbols{};         // the first four of them
};

// The scan words of `text` whose ordinals (counted from 0, all distinct) are
// given, in that order. With the checkpoints of the text's census, only the
// stretches of text around those words are read.
std::vector<ScanWord> scan_words(std::string_view text, std::span<const std::size_t> ordinals,
                                 std::span<const ScanCheckpoint> checkpoints = {});

}  // namespace vessolin::stego
