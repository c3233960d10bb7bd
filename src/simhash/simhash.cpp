#include "simhash/simhash.hpp"

#include <sys/random.h>

#include <algorithm>

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

FeatureHash FeatureHasher::operator()(std::string_view text) {
  hasher_.update(text);
  crypto::Digest64 full;
  hasher_.finish(full.data());
  FeatureHash out;
  std::copy_n(full.begin(), out.size(), out.begin());
  return out;
}

FeatureHash feature_hash(std::string_view text) {
  const crypto::Digest64 full = crypto::blake2b512(text);
  FeatureHash out;
  std::copy_n(full.begin(), out.size(), out.begin());
  return out;
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
  FeatureHasher hash;
  SimHashAccumulator acc;
  for (const Feature& f : features) acc.add(hash(f.text), f.weight);
  return acc.finish();
}

}  // namespace vessolin
