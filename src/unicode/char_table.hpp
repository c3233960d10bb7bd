// Per-code-point facts that the text computations need on every character,
// gathered from ICU once per block of 256 code points and cached, so that the
// hot loops make no library call for characters seen before.
#pragma once

#include <atomic>
#include <cstdint>

namespace vessolin::unicode {

class CharInfo {
 public:
  static constexpr std::uint32_t kLowerMask = 0x1FFFFF;
  static constexpr std::uint32_t kLowerIsWord = 1u << 21;
  static constexpr std::uint32_t kNfcStable = 1u << 22;
  static constexpr std::uint32_t kInvisible = 1u << 23;
  static constexpr std::uint32_t kMultiLower = 1u << 24;

  constexpr CharInfo() = default;
  constexpr explicit CharInfo(std::uint32_t bits) : bits_(bits) {}

  // The simple lowercase mapping (for kMultiLower characters use lowercase_full).
  char32_t lower() const { return bits_ & kLowerMask; }
  // Whether lower() is a word character.
  bool lower_is_word() const { return bits_ & kLowerIsWord; }
  // Unchanged by NFC and a boundary on both sides for composition purposes
  // as far as it is concerned: quick-check Yes and combining class 0, so
  // nothing before it composes with it or reorders around it.
  bool nfc_stable() const { return bits_ & kNfcStable; }
  bool invisible() const { return bits_ & kInvisible; }
  bool multi_lower() const { return bits_ & kMultiLower; }

 private:
  std::uint32_t bits_ = 0;
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
