// The draws of the placement shuffle, computed by a kernel chosen at run
// time: the xorshift64* states and the remainders j = (x * C) mod k that
// Fisher-Yates takes from them, for a run of steps k = first, first - 1, ...
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace vessolin::stego::detail {

inline constexpr std::uint64_t kShuffleMultiplier = 0x2545F4914F6CDD1DULL;

constexpr std::uint64_t xorshift(std::uint64_t x) {
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  return x;
}

// The divisors a kernel takes: every k of a run lies in [kMinDivisor,
// kMaxDivisor]. Below, the caller divides itself; above (texts of two
// billion words), the shuffle takes its 64-bit path.
inline constexpr std::uint64_t kMinDivisor = 4;
inline constexpr std::uint64_t kMaxDivisor = 0x7FFFFFFF;

struct ShuffleKernels {
  // Writes to out[i] the draw of step k = first - i for i < count, advancing
  // the state x by one xorshift step before each; returns the last state.
  std::uint64_t (*draws)(std::uint64_t x, std::uint32_t first, std::size_t count, std::uint32_t* out);
  // out[i] = r[i] mod k[i], the remainder alone (for the tests).
  void (*remainders)(const std::uint64_t* r, const std::uint32_t* k, std::size_t count, std::uint32_t* out);
};

// The fastest kernels this processor runs.
const ShuffleKernels& shuffle_kernels();

// The names of the kernels this processor can run, fastest first, and the
// kernels of a name (none when this processor cannot run them).
std::vector<std::string_view> shuffle_kernel_names();
const ShuffleKernels* shuffle_kernels_named(std::string_view name);

}  // namespace vessolin::stego::detail
