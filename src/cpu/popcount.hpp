#pragma once

#include <cstdint>

namespace vessolin::cpu {

// Set bits of a word in plain arithmetic: on baseline x86-64 (no popcnt
// instruction assumed) std::popcount becomes a call into the compiler's
// runtime library, several times slower than these dozen instructions.
// Kernels compiled for a set with popcnt use the instruction instead.
constexpr unsigned popcount64(std::uint64_t x) {
  x = x - ((x >> 1) & 0x5555555555555555ULL);
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
  return static_cast<unsigned>((x * 0x0101010101010101ULL) >> 56);
}

}  // namespace vessolin::cpu
