// Per-code-point facts that the text computations need on every character,
// gathered from ICU once per block of 256 code points and cached, so that the
// hot loops make no library call for characters seen before.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vessolin::unicode {

class CharInfo {
 public:
  // Layout: bits 0-31 the UTF-8 bytes of the lowercase mapping (first byte
  // lowest), bits 32-34 their count, bits 35-39 flags, bits 40-60 the
  // lowercase code point.
  static constexpr std::uint64_t kLowerIsWord = std::uint64_t{1} << 35;
  static constexpr std::uint64_t kNfcStable = std::uint64_t{1} << 36;
  static constexpr std::uint64_t kInvisible = std::uint64_t{1} << 37;
  static constexpr std::uint64_t kMultiLower = std::uint64_t{1} << 38;

  constexpr CharInfo() = default;
  static CharInfo make(char32_t lower, std::uint64_t flags);

  // The simple lowercase mapping (for multi_lower characters use lowercase_full).
  char32_t lower() const { return static_cast<char32_t>((bits_ >> 40) & 0x1FFFFF); }
  // lower() in UTF-8, packed little-endian into four bytes, and its length.
  std::uint32_t lower_utf8() const { return static_cast<std::uint32_t>(bits_); }
  unsigned lower_utf8_length() const { return static_cast<unsigned>((bits_ >> 32) & 7); }
  // Whether lower() is a word character.
  bool lower_is_word() const { return bits_ & kLowerIsWord; }
  // Unchanged by NFC and never combined with what precedes it: quick-check
  // Yes and combining class 0.
  bool nfc_stable() const { return bits_ & kNfcStable; }
  bool invisible() const { return bits_ & kInvisible; }
  bool multi_lower() const { return bits_ & kMultiLower; }

 private:
  std::uint64_t bits_ = 0;
};

namespace detail {
inline constexpr std::size_t kBlockBits = 8;
inline constexpr std::size_t kBlockCount = 0x110000 >> kBlockBits;
extern std::atomic<const CharInfo*> char_blocks[kBlockCount];
const CharInfo* load_char_block(std::size_t block);
}  // namespace detail

inline CharInfo char_info(char32_t c) {
  const std::size_t block = c >> detail::kBlockBits;
  const CharInfo* entries = detail::char_blocks[block].load(std::memory_order_acquire);
  if (entries == nullptr) [[unlikely]] entries = detail::load_char_block(block);
  return entries[c & ((1u << detail::kBlockBits) - 1)];
}

}  // namespace vessolin::unicode
