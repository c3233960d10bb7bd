#include "unicode/properties.hpp"

#include <unicode/uchar.h>

#include "unicode/utf8.hpp"

namespace vessolin::unicode {

bool is_word_char(char32_t c) {
  if (c < 0x80) {
    return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
  }
  const auto cp = static_cast<UChar32>(c);
  if (u_isUAlphabetic(cp)) return true;
  const int8_t type = u_charType(cp);
  return type == U_DECIMAL_DIGIT_NUMBER || type == U_LETTER_NUMBER || type == U_OTHER_NUMBER;
}

int lowercase_full(char32_t c, char32_t out[3]) {
  // U+0130 is the only character whose unconditional full lowercase mapping
  // differs from its simple one (the other special casings are conditional
  // on context or language, or map a character to itself); the test-only
  // module checks this claim against the full mapping for every code point.
  if (c == 0x130) {
    out[0] = 0x69;
    out[1] = 0x307;
    return 2;
  }
  out[0] = static_cast<char32_t>(u_tolower(static_cast<UChar32>(c)));
  return 1;
}

std::string_view trim_white_space(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t next = begin;
    if (!is_white_space(utf8::decode(text, next))) break;
    begin = next;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t prev = end;
    if (!is_white_space(utf8::decode_before(text, prev))) break;
    end = prev;
  }
  return text.substr(begin, end - begin);
}

}  // namespace vessolin::unicode
