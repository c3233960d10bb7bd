// Reading a text the way extraction does: the invisible code points it
// ignores, and the alphabet symbols it files under scan words.
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
struct ScanWord {
  bool found = false;  // the text has this many scan words
  // Just past its last code point outside the invisible set, or just past
  // its last code point if all of them are invisible: where a new group
  // joins this word without changing any other.
  std::size_t mark_offset = 0;
  std::size_t symbol_count = 0;  // symbols filed under it
  Group first_symbols{};         // the first four of them
};

struct ScanResult {
  std::size_t scan_words = 0;
  std::vector<ScanWord> chosen;  // in the order of the ordinals asked for
};

// One pass over `text` that looks only at the scan words whose ordinals
// (counted from 0, all distinct) are given.
ScanResult scan_words(std::string_view text, std::span<const std::size_t> ordinals);

}  // namespace vessolin::stego
