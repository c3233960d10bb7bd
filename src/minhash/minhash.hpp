// The MinHash sketch of a text's five-word phrases and its LSH band keys.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace vessolin {

inline constexpr std::size_t kMinHashPermutations = 128;
inline constexpr std::size_t kMinHashBands = 32;
inline constexpr std::size_t kMinHashRowsPerBand = kMinHashPermutations / kMinHashBands;

struct MinHashSketch {
  std::array<std::uint64_t, kMinHashPermutations> signature;  // each below 2^61 - 1
  std::array<std::uint64_t, kMinHashBands> bands;
};

MinHashSketch minhash_sketch(std::string_view text);
// The same from a canonical stream already made (canonical/canonical.hpp).
MinHashSketch minhash_sketch_of_stream(std::string_view stream);

// 64-bit FNV-1a of the four values in little-endian byte order, one after another.
std::uint64_t band_key(std::uint64_t v0, std::uint64_t v1, std::uint64_t v2, std::uint64_t v3);

// The fixed hash family: signature value j is min over shingles of
// (a[j] * t + b[j]) mod (2^61 - 1).
struct MinHashFamily {
  std::array<std::uint64_t, kMinHashPermutations> a;
  std::array<std::uint64_t, kMinHashPermutations> b;
};

// The signature is computed by the fastest kernel the processor supports;
// all give the same values. For tests that compare them: the names of the
// kernels usable here ("avx512", "avx2", "portable"), and the sketch
// computed with a given one (nothing if it is unknown or unsupported).
std::vector<std::string_view> minhash_kernels();
std::optional<MinHashSketch> minhash_sketch_using(std::string_view text, std::string_view kernel);
// The signature that the given kernel computes from shingle hashes given
// directly (each t = FNV-1a mod P, below P), so that tests can choose
// values that land exactly at the kernels' edges.
std::optional<std::array<std::uint64_t, kMinHashPermutations>> minhash_absorb_using(
    std::span<const std::uint64_t> hashes, std::string_view kernel);

}  // namespace vessolin
