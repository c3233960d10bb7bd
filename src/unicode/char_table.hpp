// The per-code-point facts that the hot loops of the text computations need
// on every character, read from the compiled Unicode tables.
#pragma once

#include <cstdint>

#include "unicode/ucd.hpp"

namespace vessolin::unicode {

class CharInfo {
 public:
  constexpr CharInfo() = default;
  explicit CharInfo(const ucd::Record& record) : record_(record) {}

  // Whether the simple lowercase mapping changes the character.
  bool lowers() const { return record_.lower_utf8 != 0; }
  // The simple lowercase mapping in UTF-8, packed little-endian into four
  // bytes, and its length; only where lowers().
  std::uint32_t lower_utf8() const { return record_.lower_utf8; }
  unsigned lower_utf8_length() const {
    const unsigned lead = record_.lower_utf8 & 0xFF;
    return 1u + (lead >= 0xC0) + (lead >= 0xE0) + (lead >= 0xF0);
  }
  // Whether the (first code point of the) lowercase mapping is a word character.
  bool lower_is_word() const { return record_.flags & ucd::kLowerIsWord; }
  // Unchanged by NFC and never combined with what precedes it: quick-check
  // Yes and combining class 0.
  bool nfc_stable() const { return record_.flags & ucd::kNfcStable; }
  bool invisible() const { return record_.flags & ucd::kInvisible; }
  bool multi_lower() const { return record_.flags & ucd::kMultiLower; }

 private:
  ucd::Record record_{};
};

inline CharInfo char_info(char32_t c) { return CharInfo(ucd::record(c)); }

}  // namespace vessolin::unicode
