// The 256-bit fingerprint value shared by the surface and structural SimHashes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vessolin {

// Bit i is bit (7 - i % 8) of byte i / 8: bit 0 is the top bit of byte 0.
using Fingerprint256 = std::array<std::uint8_t, 32>;

std::string fingerprint_hex(const Fingerprint256& fp);

// Exactly 64 hexadecimal digits of either case, with no trimming; anything
// else gives nothing.
std::optional<Fingerprint256> decode_fingerprint_hex(std::string_view text);

// Number of differing bits, 0 to 256.
unsigned hamming_distance(const Fingerprint256& x, const Fingerprint256& y);

}  // namespace vessolin
