#include "simhash/simhash.hpp"

#include <sys/random.h>

#include <algorithm>
#include <bit>

#include "crypto/blake2b_batch.hpp"

namespace vessolin {

namespace {

// For each 4-bit value, four all-ones or all-zero masks, one per bit, most
// significant bit first: the bit order of the fingerprint within a byte.
struct NibbleMasks {
  alignas(64) std::uint64_t mask[16][4]{};
  constexpr NibbleMasks() {
    for (int v = 0; v < 16; ++v)
      for (int j = 0; j < 4; ++j) mask[v][j] = ((v >> (3 - j)) & 1) ? ~std::uint64_t{0} : 0;
  }
};
constexpr NibbleMasks kNibble;

}  // namespace

namespace simhash_detail {

const TableSeed& table_seed() {
  static const TableSeed seed = [] {
    std::uint64_t words[2] = {0x243F6A8885A308D3ULL, 0x13198A2E03707344ULL};
    std::size_t got = 0;
    auto* p = reinterpret_cast<unsigned char*>(words);
    while (got < sizeof words) {
      const ssize_t r = getrandom(p + got, sizeof words - got, 0);
      if (r <= 0) break;  // keep the fixed words: still correct, merely predictable
      got += static_cast<std::size_t>(r);
    }
    return TableSeed{words[0], words[1] | 1};
  }();
  return seed;
}

}  // namespace simhash_detail

FeatureHash feature_hash(std::string_view text) { return crypto::blake2b512_head(crypto::as_bytes(text)); }

void SimHashBuilder::flush() {
  crypto::ByteView views[kBatch];
  FeatureHash hashes[kBatch];
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes_.data());
  std::size_t begin = 0;
  for (std::size_t i = 0; i < count_; ++i) {
    views[i] = crypto::ByteView(data + begin, ends_[i] - begin);
    begin = ends_[i];
  }
  crypto::blake2b512_head_batch(std::span(views, count_), std::span(hashes, count_));
  accumulate(hashes, weights_.data(), count_);
  bytes_.clear();
  count_ = 0;
}

// A feature of weight w adds w to the counters of its set bits, which is
// what the binary digits of w do, each 2^k a feature of weight 1 in plane k.
// Most features have a weight of one or a few (most shingles of a text occur
// once), so the features of a plane are counted bit-sliced together rather
// than added one by one; heavier ones go the general way.
void SimHashBuilder::accumulate(const FeatureHash* hashes, const std::int64_t* weights, std::size_t count) {
  constexpr int kPlanes = 8;
  const FeatureHash* plane[kPlanes][kBatch];
  std::size_t size[kPlanes] = {};
  for (std::size_t i = 0; i < count; ++i) {
    const std::int64_t w = weights[i];
    if (w <= 0 || w >= (std::int64_t{1} << kPlanes)) {
      acc_.add(hashes[i], w);
      continue;
    }
    for (auto digits = static_cast<std::uint64_t>(w); digits != 0; digits &= digits - 1) {
      const int k = std::countr_zero(digits);
      plane[k][size[k]++] = &hashes[i];
    }
  }
  for (int k = 0; k < kPlanes; ++k) {
    if (size[k] == 0) continue;
    simhash_detail::Lanes set[32] = {};
    simhash_detail::count_bits(plane[k], size[k], set);
    acc_.add_counts(set, size[k], k);
  }
}

void SimHashAccumulator::add_slow(const FeatureHash& hash, std::int64_t weight) {
  if (weight > 0 && weight <= kLaneLimit) {
    flush_lanes();
    add_to_lanes(hash, static_cast<std::uint16_t>(weight));
    return;
  }
  const auto w = static_cast<std::uint64_t>(weight);
  for (std::size_t b = 0; b < hash.size(); ++b) {
    const std::uint64_t* high = kNibble.mask[hash[b] >> 4];
    const std::uint64_t* low = kNibble.mask[hash[b] & 15];
    std::uint64_t* s = &set_weight_[8 * b];
    for (int j = 0; j < 4; ++j) s[j] += w & high[j];
    for (int j = 0; j < 4; ++j) s[4 + j] += w & low[j];
  }
}

void SimHashAccumulator::flush_lanes() {
  for (std::size_t b = 0; b < 32; ++b)
    for (int j = 0; j < 8; ++j) set_weight_[8 * b + j] += lanes_[b][j];
  clear_lanes();
}

Fingerprint256 SimHashAccumulator::finish() {
  flush_lanes();
  Fingerprint256 out{};
  for (std::size_t i = 0; i < set_weight_.size(); ++i) {
    const auto counter = static_cast<std::int64_t>(2 * set_weight_[i] - total_weight_);
    if (counter > 0) out[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
  }
  return out;
}

Fingerprint256 simhash256(std::span<const Feature> features) {
  SimHashBuilder simhash;
  for (const Feature& f : features) simhash.add(f.text, f.weight);
  return simhash.finish();
}

}  // namespace vessolin
