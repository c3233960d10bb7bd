// How firmly a text is bound to a candidate soft-binding assertion.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "error/error.hpp"
#include "softbinding/model.hpp"

namespace vessolin::softbinding {

enum class Tier { Bound, Likely, Review };

// "BOUND", "LIKELY", "REVIEW".
std::string_view tier_text(Tier tier);

// Whether a structural comparison with a text of `words` words, of which
// `function_words` are function words, tells anything: only when at least 3
// words in 10 are function words. Below that the structural fingerprint is
// close to the one of every other such text, so a match supports nothing.
bool structure_is_informative(std::uint64_t words, std::uint64_t function_words);

// Whether the text's own fingerprint matches the assertion: `strong` for a
// surface fingerprint or MinHash match, `structural` for a structural one
// (never for a text whose structure is not informative, see above).
// An assertion of any other algorithm, or with values that do not decode,
// matches nothing.
struct Match {
  bool strong = false;
  bool structural = false;
};
Match match_assertion(std::string_view text, const SoftBinding& assertion);

// Decodes the assertion (failing with its decode error), matches it and
// combines the match with the watermark and cross-check outcomes.
Result<Tier> verify_tier(std::string_view text, std::span<const std::uint8_t> assertion_cbor, bool watermark_verified,
                         bool crosscheck_ok);

}  // namespace vessolin::softbinding
