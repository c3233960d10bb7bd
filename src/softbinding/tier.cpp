#include "softbinding/tier.hpp"

#include <algorithm>
#include <array>

#include "hex/hex.hpp"
#include "minhash/minhash.hpp"
#include "simhash/fingerprint.hpp"
#include "simhash/structural.hpp"
#include "simhash/surface.hpp"
#include "softbinding/builders.hpp"
#include "softbinding/codec.hpp"

namespace vessolin::softbinding {

namespace {

constexpr unsigned kSurfaceDistanceLimit = 32;     // bits of 256, inclusive
constexpr unsigned kStructuralDistanceLimit = 24;  // bits of 256, inclusive
constexpr double kMinHashAgreement = 0.7;          // share of equal signature positions
constexpr std::size_t kSignatureBytes = kMinHashPermutations * 8;
// Share of function words, in tenths, that a text needs for a structural
// match to count. English prose holds about half (0.45 to 0.60 in pieces of
// 1 KB and more of the English corpus book, at least 0.33 in pieces of 256
// bytes); the other corpus languages hold few or none (at most 0.12, and 0.24
// in pieces of 256 bytes), and their structural fingerprint is the print of
// the one "FW:_ _ _" trigram or close to it, the same for unrelated texts.
constexpr std::uint64_t kFunctionWordTenths = 3;

bool surface_match(std::string_view text, const SoftBinding& a) {
  const Fingerprint256 whole = surface_fingerprint_whole(text);
  // The overall block and the window blocks alike: a text that is one
  // window of the signed text matches through that window's block.
  return std::ranges::any_of(a.blocks, [&](const Block& block) {
    const auto stored = decode_fingerprint_hex(block.value);
    return stored && hamming_distance(*stored, whole) <= kSurfaceDistanceLimit;
  });
}

bool structural_match(std::string_view text, const SoftBinding& a) {
  if (a.blocks.empty()) return false;
  const auto stored = decode_fingerprint_hex(a.blocks.front().value);
  if (!stored) return false;
  const StructuralProfile profile = structural_profile(text);
  return structure_is_informative(profile.words, profile.function_words) &&
         hamming_distance(*stored, profile.fingerprint) <= kStructuralDistanceLimit;
}

bool minhash_match(std::string_view text, const SoftBinding& a) {
  if (a.blocks.empty()) return false;
  const std::string& value = a.blocks.front().value;
  std::array<std::uint8_t, kSignatureBytes> bytes;
  if (value.size() != 2 * kSignatureBytes || !hex::decode_exact(value, bytes.data())) return false;

  std::array<std::uint64_t, kMinHashPermutations> stored;
  for (std::size_t j = 0; j < kMinHashPermutations; ++j) {
    std::uint64_t v = 0;
    for (std::size_t k = 0; k < 8; ++k) v = (v << 8) | bytes[8 * j + k];
    stored[j] = v;
  }
  const MinHashSketch sketch = minhash_sketch(text);

  std::size_t equal = 0;
  for (std::size_t j = 0; j < kMinHashPermutations; ++j) equal += sketch.signature[j] == stored[j];
  if (static_cast<double>(equal) * (1.0 / kMinHashPermutations) >= kMinHashAgreement) return true;

  // A shared band key at any position makes the texts candidates of one
  // another, as a discovery index would find them.
  std::array<std::uint64_t, kMinHashBands> stored_bands;
  for (std::size_t k = 0; k < kMinHashBands; ++k) {
    const std::size_t j = kMinHashRowsPerBand * k;
    stored_bands[k] = band_key(stored[j], stored[j + 1], stored[j + 2], stored[j + 3]);
  }
  std::ranges::sort(stored_bands);
  return std::ranges::any_of(sketch.bands,
                             [&](std::uint64_t band) { return std::ranges::binary_search(stored_bands, band); });
}

}  // namespace

bool structure_is_informative(std::uint64_t words, std::uint64_t function_words) {
  return words != 0 && 10 * function_words >= kFunctionWordTenths * words;
}

std::string_view tier_text(Tier tier) {
  switch (tier) {
    case Tier::Bound:
      return "BOUND";
    case Tier::Likely:
      return "LIKELY";
    case Tier::Review:
      return "REVIEW";
  }
  throw InternalFault("unknown tier");
}

Match match_assertion(std::string_view text, const SoftBinding& a) {
  // The label is compared byte for byte: another spelling names no test.
  if (a.alg == kMinHashLabel) return {minhash_match(text, a), false};
  if (a.alg == kStructureLabel) return {false, structural_match(text, a)};
  if (a.alg == kFingerprintLabel) return {surface_match(text, a), false};
  return {};
}

Result<Tier> verify_tier(std::string_view text, std::span<const std::uint8_t> assertion_cbor, bool watermark_verified,
                         bool crosscheck_ok) {
  const auto assertion = decode_soft_binding(assertion_cbor);
  if (!assertion) return std::unexpected(assertion.error());
  const Match match = match_assertion(text, *assertion);
  if (match.strong) return crosscheck_ok ? Tier::Bound : Tier::Likely;
  if (watermark_verified || match.structural) return Tier::Likely;
  return Tier::Review;
}

}  // namespace vessolin::softbinding
