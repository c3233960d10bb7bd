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

// Whether the text's own fingerprint matches the assertion: `strong` for a
// surface fingerprint or MinHash match, `structural` for a structural one.
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
