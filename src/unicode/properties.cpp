#include "unicode/properties.hpp"

#include <algorithm>
#include <cstring>

#include "unicode/ucd.hpp"
#include "unicode/utf8.hpp"

namespace vessolin::unicode {

bool is_word_char(char32_t c) {
  if (c < 0x80) {
    return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
  }
  return ucd::record(c).flags & ucd::kWord;
}

int lowercase_full(char32_t c, char32_t out[3]) {
  const ucd::Record& r = ucd::record(c);
  if (r.flags & ucd::kMultiLower) [[unlikely]] {
    // Few characters (in Unicode 15.0 only U+0130) have an unconditional
    // full mapping other than the simple one.
    for (std::size_t i = 0; i < ucd::kMultiLowercaseCount; ++i) {
      const ucd::MultiLower& m = ucd::kMultiLowercase[i];
      if (m.code_point != c) continue;
      std::copy(m.mapping, m.mapping + m.length, out);
      return m.length;
    }
  }
  if (r.lower_utf8 == 0) {
    out[0] = c;
  } else {
    char bytes[4];
    std::memcpy(bytes, &r.lower_utf8, 4);
    std::size_t pos = 0;
    out[0] = utf8::decode(std::string_view(bytes, 4), pos);
  }
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
