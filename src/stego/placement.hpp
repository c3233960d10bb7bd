// Where the 48 groups of a watermark may stand (slots: word ends) and which
// of them a key chooses for a given content (the placement order).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

#include "canonical/canonical.hpp"

namespace vessolin::stego {

// The byte offset just past every word run: a maximal run of code points
// that are neither white space nor invisible.
std::vector<std::size_t> find_slots(std::string_view text);

inline constexpr std::uint64_t kFallbackSeed = 0x9E3779B97F4A7C15ULL;

// The first 8 bytes, little-endian, of HMAC-SHA-256 under `key` of
// "zwc-watermark-v2-placement" followed by the content digest; never 0.
std::uint64_t placement_seed(std::span<const std::uint8_t> key, const Digest32& content_digest);

// The first `keep` entries of the permutation of 0..n-1 that a Fisher-Yates
// shuffle from the top draws with the xorshift64* generator from `seed`.
std::vector<std::size_t> shuffled_order(std::size_t n, std::uint64_t seed,
                                        std::size_t keep = std::numeric_limits<std::size_t>::max());

// x % k for 4 <= k < 2^32, with `reciprocal` = 1.0 / k, exactly, by
// multiplications alone. The shuffle needs one remainder per word by a
// divisor that changes each step; a 64-bit division costs tens of cycles
// on many processors and is not pipelined, while 1.0 / k depends on k alone
// and its floating-point division overlaps the work around it.
//
// A first estimate of the quotient is off by at most about 2^11 (x is
// rounded to 53 bits), so what remains is below 2^44 in magnitude, exact in
// a double; a second estimate is off by less than one, and one correction
// either way makes the remainder exact.
inline std::uint64_t remainder_by_reciprocal(std::uint64_t x, std::uint64_t k, double reciprocal) {
  const double approx = static_cast<double>(static_cast<std::int64_t>(x >> 1)) * 2.0;
  const auto q1 = static_cast<std::int64_t>(approx * reciprocal);  // below 2^62, as k >= 4
  const auto r1 = static_cast<std::int64_t>(x - static_cast<std::uint64_t>(q1) * k);
  const auto q2 = static_cast<std::int64_t>(static_cast<double>(r1) * reciprocal);
  const auto d = static_cast<std::int64_t>(k);
  std::int64_t r = r1 - q2 * d;  // in [-k, 2k)
  // Without branches: which way the estimate missed is a coin toss.
  r += d & (r >> 63);
  r -= d;
  r += d & (r >> 63);
  return static_cast<std::uint64_t>(r);
}

// Shard i of a watermark belongs to slot placement_order(...)[i].
inline std::vector<std::size_t> placement_order(std::size_t n, std::span<const std::uint8_t> key,
                                                const Digest32& content_digest,
                                                std::size_t keep = std::numeric_limits<std::size_t>::max()) {
  return shuffled_order(n, placement_seed(key, content_digest), keep);
}

}  // namespace vessolin::stego
