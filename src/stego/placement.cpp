#include "stego/placement.hpp"

#include <algorithm>
#include <memory>
#include <numeric>

#include "crypto/digest.hpp"
#include "stego/shuffle_kernels.hpp"
#include "stego/text_walk.hpp"

namespace vessolin::stego {

std::vector<std::size_t> find_slots(std::string_view text) {
  std::vector<std::size_t> slots;
  bool in_run = false;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const CodePoint c = read_code_point(text, pos);
    if (c.kind != Kind::Ordinary && in_run) slots.push_back(pos);
    in_run = c.kind == Kind::Ordinary;
    pos = c.end;
  }
  if (in_run) slots.push_back(pos);
  return slots;
}

std::uint64_t placement_seed(std::span<const std::uint8_t> key, const Digest32& content_digest) {
  static constexpr std::string_view kLabel = "zwc-watermark-v2-placement";
  const crypto::Digest32 mac = crypto::hmac_sha256(key, {crypto::as_bytes(kLabel), content_digest});
  std::uint64_t seed = 0;
  for (int i = 7; i >= 0; --i) seed = seed << 8 | mac[static_cast<std::size_t>(i)];
  return seed == 0 ? kFallbackSeed : seed;
}

namespace {

// Step k settles entry k - 1 for good; past the entries kept, only the value
// it gives away matters.
template <class Index>
inline void settle(Index* v, std::size_t k, std::size_t j, std::size_t keep) {
  if (k - 1 >= keep) {
    v[j] = v[k - 1];
  } else {
    std::swap(v[k - 1], v[j]);
  }
}

// Indices are kept as narrow as the count allows: a text of a million words
// shuffles four bytes per word, not eight. Below 2^31 words the draws come
// from the run-time kernel a block at a time; the last steps, whose divisors
// are too small for it, and the longest texts divide directly.
template <class Index>
std::vector<std::size_t> shuffle(std::size_t n, std::uint64_t x, std::size_t keep) {
  keep = std::min(keep, n);
  const std::unique_ptr<Index[]> entries(new Index[n]);  // not zeroed first: iota writes them all
  Index* const v = entries.get();
  std::iota(v, v + n, Index{0});
  std::size_t k = n;
  if (sizeof(Index) == 4 && n <= detail::kMaxDivisor) {
    const detail::ShuffleKernels& kernels = detail::shuffle_kernels();
    constexpr std::size_t kBlock = 1024;
    std::uint32_t draws[kBlock];
    while (k >= detail::kMinDivisor) {
      const std::size_t count = std::min(kBlock, k - detail::kMinDivisor + 1);
      x = kernels.draws(x, static_cast<std::uint32_t>(k), count, draws);
      for (std::size_t i = 0; i < count; ++i, --k) settle(v, k, draws[i], keep);
    }
  }
  for (; k >= 2; --k) {
    x = detail::xorshift(x);
    settle(v, k, static_cast<std::size_t>(x * detail::kShuffleMultiplier % k), keep);
  }
  return {v, v + keep};
}

}  // namespace

std::vector<std::size_t> shuffled_order(std::size_t n, std::uint64_t seed, std::size_t keep) {
  if (n <= std::numeric_limits<std::uint32_t>::max()) return shuffle<std::uint32_t>(n, seed, keep);
  return shuffle<std::uint64_t>(n, seed, keep);
}

}  // namespace vessolin::stego
