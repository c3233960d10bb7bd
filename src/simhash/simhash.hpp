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

// 256 bits, one hash; plain vector arithmetic, which the compiler lowers to
// whatever vector unit the calling function was built for.
using HashBits = std::uint64_t __attribute__((vector_size(32)));

inline HashBits load_bits(const FeatureHash& h) {
  HashBits w;
  std::memcpy(&w, h.data(), sizeof w);
  return w;
}

// A carry-save adder: the three inputs' bits, summed per position, are
// `low` + 2 * `high`. A macro, so that each kernel's own `HashBits` (plain
// words or vector lanes) is used where it is expanded.
#define VESSOLIN_CSA(high, low, a, b, c) \
  do {                                   \
    const HashBits u_ = (a) ^ (b);       \
    high = ((a) & (b)) | (u_ & (c));     \
    low = u_ ^ (c);                      \
  } while (0)

// Counts the bits of `count` hashes (at most 255) position by position, in
// bit-sliced counters: planes[p] holds bit p of every position's count. The
// hashes go through a tree of carry-save adders sixteen at a time (fifteen
// adders reduce sixteen of them to one word of weight 16 and carries of
// weight 1, 2, 4 and 8), and only the words of weight 16 ripple into the
// planes above. Then each count is read out of its eight bits.
//
// Reading the counts out costs as much as adding a few dozen hashes one by
// one, which is what a short run gets instead.
//
// Adds to set[b][j] the number of hashes with bit j of byte b set, most
// significant bit first. Always inlined, so that it is compiled for the
// vector unit of its caller.
__attribute__((always_inline)) inline void count_bits(const FeatureHash* const* hashes, std::size_t count,
                                                      Lanes* set) {
  if (count < 24) {
    for (std::size_t k = 0; k < count; ++k)
      for (int b = 0; b < 32; ++b) set[b] += byte_lanes((*hashes[k])[b]);
    return;
  }
  static const FeatureHash kZero{};
  HashBits planes[8] = {};  // weight 1, 2, 4, ..., 128
  HashBits& ones = planes[0];
  HashBits& twos = planes[1];
  HashBits& fours = planes[2];
  HashBits& eights = planes[3];
  for (std::size_t k = 0; k < count; k += 16) {
    const FeatureHash* const* group = hashes + k;
    const FeatureHash* padded[16];
    if (count - k < 16) {  // the last group, filled up with zeros
      for (std::size_t i = 0; i < 16; ++i) padded[i] = k + i < count ? hashes[k + i] : &kZero;
      group = padded;
    }
    HashBits twos_a, twos_b, fours_a, fours_b, eights_a, eights_b, sixteens;
    VESSOLIN_CSA(twos_a, ones, ones, load_bits(*group[0]), load_bits(*group[1]));
    VESSOLIN_CSA(twos_b, ones, ones, load_bits(*group[2]), load_bits(*group[3]));
    VESSOLIN_CSA(fours_a, twos, twos, twos_a, twos_b);
    VESSOLIN_CSA(twos_a, ones, ones, load_bits(*group[4]), load_bits(*group[5]));
    VESSOLIN_CSA(twos_b, ones, ones, load_bits(*group[6]), load_bits(*group[7]));
    VESSOLIN_CSA(fours_b, twos, twos, twos_a, twos_b);
    VESSOLIN_CSA(eights_a, fours, fours, fours_a, fours_b);
    VESSOLIN_CSA(twos_a, ones, ones, load_bits(*group[8]), load_bits(*group[9]));
    VESSOLIN_CSA(twos_b, ones, ones, load_bits(*group[10]), load_bits(*group[11]));
    VESSOLIN_CSA(fours_a, twos, twos, twos_a, twos_b);
    VESSOLIN_CSA(twos_a, ones, ones, load_bits(*group[12]), load_bits(*group[13]));
    VESSOLIN_CSA(twos_b, ones, ones, load_bits(*group[14]), load_bits(*group[15]));
    VESSOLIN_CSA(fours_b, twos, twos, twos_a, twos_b);
    VESSOLIN_CSA(eights_b, fours, fours, fours_a, fours_b);
    VESSOLIN_CSA(sixteens, eights, eights, eights_a, eights_b);
    for (int p = 4; p < 8; ++p) {  // at most 15 sixteens: no carry out of the top
      const HashBits carry = planes[p] & sixteens;
      planes[p] ^= sixteens;
      sixteens = carry;
    }
  }
  alignas(32) std::uint8_t bytes[8][32];
  std::memcpy(bytes, planes, sizeof bytes);
  for (int b = 0; b < 32; ++b) {
    Lanes sum = byte_lanes(bytes[0][b]);
    for (int p = 1; p < 8; ++p) sum += byte_lanes(bytes[p][b]) << p;
    set[b] += sum;
  }
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

  // Adds `count` features (at most 255) of weight 2^shift (shift below 8)
  // whose bits count_bits() has summed into `set`.
  void add_counts(const simhash_detail::Lanes* set, std::uint64_t count, int shift) {
    const auto weight = static_cast<std::int64_t>(count << shift);
    total_weight_ += static_cast<std::uint64_t>(weight);
    if (weight > kLaneLimit - lane_weight_) flush_lanes();
    for (std::size_t b = 0; b < 32; ++b) lanes_[b] += set[b] << shift;
    lane_weight_ += weight;
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

  // A feature whose hash is already known.
  void add_hash(const FeatureHash& hash, std::int64_t weight) {
    hashed_[hashed_count_] = hash;
    hashed_weights_[hashed_count_] = weight;
    if (++hashed_count_ == kBatch) flush_hashed();
  }

  Fingerprint256 finish() {
    flush();
    flush_hashed();
    return acc_.finish();
  }

 private:
  // Large enough that features of equal small weight among them are
  // counted together (see accumulate), below 256 so that their counts fit a
  // byte.
  static constexpr std::size_t kBatch = 240;

  void flush();
  void flush_hashed() {
    accumulate(hashed_.data(), hashed_weights_.data(), hashed_count_);
    hashed_count_ = 0;
  }
  void accumulate(const FeatureHash* hashes, const std::int64_t* weights, std::size_t count);

  SimHashAccumulator acc_;
  std::string bytes_;  // the pending texts, one after another
  std::array<std::size_t, kBatch> ends_{};
  std::array<std::int64_t, kBatch> weights_{};
  std::size_t count_ = 0;
  std::array<FeatureHash, kBatch> hashed_;  // features given by their hashes
  std::array<std::int64_t, kBatch> hashed_weights_;
  std::size_t hashed_count_ = 0;
};

Fingerprint256 simhash256(std::span<const Feature> features);

}  // namespace vessolin
