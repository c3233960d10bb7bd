// The four zero-width characters that write a watermark, two bits each.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace vessolin::stego {

inline constexpr std::size_t kSymbolsPerGroup = 4;
// U+200B, U+200C, U+200D, U+2060 write the symbols 0 to 3.
inline constexpr std::array<char32_t, 4> kAlphabet = {0x200B, 0x200C, 0x200D, 0x2060};
// Each of them is three bytes of UTF-8, so a group is twelve.
inline constexpr std::size_t kGroupBytes = 12;

using Group = std::array<std::uint8_t, kSymbolsPerGroup>;

// The symbol a code point writes, or -1 if it is not in the alphabet.
constexpr int symbol_of(char32_t c) {
  if (c >= 0x200B && c <= 0x200D) return static_cast<int>(c - 0x200B);
  return c == 0x2060 ? 3 : -1;
}

// The four symbols of a shard byte, most significant bit pair first.
constexpr Group shard_to_group(std::uint8_t b) {
  return {static_cast<std::uint8_t>((b >> 6) & 3), static_cast<std::uint8_t>((b >> 4) & 3),
          static_cast<std::uint8_t>((b >> 2) & 3), static_cast<std::uint8_t>(b & 3)};
}

// A shard byte from exactly four symbols; any other number is no shard.
constexpr std::optional<std::uint8_t> group_to_shard(std::span<const std::uint8_t> symbols) {
  if (symbols.size() != kSymbolsPerGroup) return std::nullopt;
  return static_cast<std::uint8_t>(symbols[0] << 6 | symbols[1] << 4 | symbols[2] << 2 | symbols[3]);
}

// The UTF-8 bytes of the group that writes shard byte `b`.
constexpr std::array<char, kGroupBytes> group_utf8(std::uint8_t b) {
  std::array<char, kGroupBytes> out{};
  const Group g = shard_to_group(b);
  for (std::size_t i = 0; i < kSymbolsPerGroup; ++i) {
    const char32_t c = kAlphabet[g[i]];
    out[3 * i] = static_cast<char>(0xE0 | (c >> 12));
    out[3 * i + 1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3 * i + 2] = static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

}  // namespace vessolin::stego
