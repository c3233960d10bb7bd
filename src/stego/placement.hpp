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

// Shard i of a watermark belongs to slot placement_order(...)[i].
inline std::vector<std::size_t> placement_order(std::size_t n, std::span<const std::uint8_t> key,
                                                const Digest32& content_digest,
                                                std::size_t keep = std::numeric_limits<std::size_t>::max()) {
  return shuffled_order(n, placement_seed(key, content_digest), keep);
}

}  // namespace vessolin::stego
