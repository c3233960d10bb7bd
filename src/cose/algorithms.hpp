// The COSE algorithm identifiers that an `alg` header (label 1) may carry as
// an integer: the values registered with IANA, and the private-use range.
#pragma once

#include <cstdint>

namespace vessolin::cose {

struct AlgorithmRange {
  std::int64_t first;
  std::int64_t last;
};

// The integer values of the IANA "COSE Algorithms" registry, as inclusive
// ranges. Values outside them and above the private-use range are refused.
inline constexpr AlgorithmRange kRegisteredAlgorithms[] = {
    {-65535, -65531}, {-268, -257}, {-53, -25}, {-19, -1}, {1, 7}, {10, 15}, {24, 26}, {30, 35},
};

// Private use: every value below -65536.
inline constexpr std::int64_t kPrivateUseAbove = -65536;

constexpr bool is_acceptable_algorithm(std::int64_t value) {
  if (value < kPrivateUseAbove) return true;
  for (const AlgorithmRange& range : kRegisteredAlgorithms) {
    if (value >= range.first && value <= range.last) return true;
  }
  return false;
}

}  // namespace vessolin::cose
