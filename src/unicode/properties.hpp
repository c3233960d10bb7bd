// The character properties the text computations are defined on.
#pragma once

#include <string_view>

namespace vessolin::unicode {

// The Unicode White_Space property (25 code points).
constexpr bool is_white_space(char32_t c) {
  if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
  if (c < 0x85) return false;
  switch (c) {
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
    case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

// The zero-width characters that every text computation ignores: the
// watermark alphabet is drawn from them, so marked and unmarked texts agree.
constexpr bool is_invisible(char32_t c) {
  return (c >= 0x200B && c <= 0x200D) || c == 0x2060 || c == 0xFEFF ||
         (c >= 0xFE00 && c <= 0xFE0F);
}

// A word character: ASCII letter or digit, or at U+0080 and above a code
// point that is Alphabetic or of General Category Nd, Nl or No.
bool is_word_char(char32_t c);

// The full lowercase mapping of one character, taken without context (so
// capital sigma always maps to U+03C3). Writes one to three code points to
// `out` and returns how many.
int lowercase_full(char32_t c, char32_t out[3]);

// `text` with White_Space removed from both ends.
std::string_view trim_white_space(std::string_view text);

// True if `text` is empty after trimming White_Space.
inline bool is_blank(std::string_view text) { return trim_white_space(text).empty(); }

}  // namespace vessolin::unicode
