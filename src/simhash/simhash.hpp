// The SimHash accumulation shared by the surface and structural fingerprints:
// every feature string is hashed, and each of its 256 hash bits votes for or
// against the matching fingerprint bit with the feature's weight.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "simhash/fingerprint.hpp"

namespace vessolin {

// The first 32 bytes of the plain BLAKE2b-512 digest of a feature string.
using FeatureHash = std::array<std::uint8_t, 32>;

struct Feature {
  std::string text;
  std::int64_t weight;
};

FeatureHash feature_hash(std::string_view text);

namespace simhash_detail {

// Eight 16-bit vote counts, one per bit of a hash byte, most significant bit
// first (the bit order of a fingerprint).
using Lanes = std::uint16_t __attribute__((vector_size(16)));

struct ByteLanes {
  alignas(16) std::uint16_t lanes[256][8]{};
  constexpr ByteLanes() {
    for (int v = 0; v < 256; ++v)
      for (int j = 0; j < 8; ++j) lanes[v][j] = static_cast<std::uint16_t>((v >> (7 - j)) & 1);
  }
};
inline constexpr ByteLanes kByteLanes;

// The bits of byte `v` as eight lanes of 0 or 1.
inline Lanes byte_lanes(std::uint8_t v) {
  Lanes out;
  std::memcpy(&out, kByteLanes.lanes[v], sizeof out);
  return out;
}

// A per-process seed for the hash tables of the fingerprint computations,
// from the operating system, so that no fixed set of texts degrades every
// process's tables. It decides only where keys sit in a table, never a result.
struct TableSeed {
  std::uint64_t a, b;
};
const TableSeed& table_seed();

// Exact 128-bit products (a compiler extension, hence the marker).
__extension__ typedef unsigned __int128 Uint128;

// The 64-bit halves of the 128-bit product, xor-ed: a fast mixing step.
inline std::uint64_t fold_multiply(std::uint64_t x, std::uint64_t y) {
  const Uint128 p = static_cast<Uint128>(x) * y;
  return static_cast<std::uint64_t>(p) ^ static_cast<std::uint64_t>(p >> 64);
}

}  // namespace simhash_detail

// The 256 signed vote counters of a SimHash. Bit i of the result is set when
// its counter is strictly positive.
//
// Rather than adding +w or -w to each counter, it keeps the total weight W
// and, per bit, the weight S of the features whose hash bit is set; the
// counter is then S - (W - S) = 2S - W. The sums wrap modulo 2^64, which
// yields the same counter as exact signed arithmetic whenever that counter
// fits in 64 bits, as it does for any text that fits in memory.
//
// Small positive weights (all that the fingerprints of this module use in
// practice) are first summed in 16-bit lanes, 8 bits per vector addition,
// and moved to the 64-bit sums before the lanes could overflow.
class SimHashAccumulator {
 public:
  SimHashAccumulator() { clear_lanes(); }

  void add(const FeatureHash& hash, std::int64_t weight) {
    total_weight_ += static_cast<std::uint64_t>(weight);
    if (weight > 0 && weight <= kLaneLimit - lane_weight_) {
      add_to_lanes(hash, static_cast<std::uint16_t>(weight));
    } else {
      add_slow(hash, weight);
    }
  }

  Fingerprint256 finish();

 private:
  static constexpr std::int64_t kLaneLimit = 0xFFFF;

  void add_to_lanes(const FeatureHash& hash, std::uint16_t weight) {
    using simhash_detail::Lanes;
    const Lanes w = Lanes{} + weight;
    for (std::size_t b = 0; b < hash.size(); ++b) lanes_[b] += simhash_detail::byte_lanes(hash[b]) * w;
    lane_weight_ += weight;
  }
  void add_slow(const FeatureHash& hash, std::int64_t weight);
  void flush_lanes();
  void clear_lanes() {
    std::memset(lanes_, 0, sizeof lanes_);
    lane_weight_ = 0;
  }

  simhash_detail::Lanes lanes_[32];
  std::int64_t lane_weight_ = 0;
  std::array<std::uint64_t, 256> set_weight_{};
  std::uint64_t total_weight_ = 0;
};

// A SimHash over weighted feature strings, which are hashed a batch at a
// time: many short strings hash several times faster together than one
// after another.
class SimHashBuilder {
 public:
  void add(std::string_view text, std::int64_t weight) {
    bytes_.append(text);
    ends_[count_] = bytes_.size();
    weights_[count_] = weight;
    if (++count_ == kBatch) flush();
  }

  Fingerprint256 finish() {
    flush();
    return acc_.finish();
  }

 private:
  static constexpr std::size_t kBatch = 64;

  void flush();

  SimHashAccumulator acc_;
  std::string bytes_;  // the pending texts, one after another
  std::array<std::size_t, kBatch> ends_{};
  std::array<std::int64_t, kBatch> weights_{};
  std::size_t count_ = 0;
};

Fingerprint256 simhash256(std::span<const Feature> features);

}  // namespace vessolin
