// The anti-transfer cross-check tag.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "crypto/digest.hpp"

namespace vessolin {

// HMAC-SHA-256 under `key` of `repo_id` immediately followed by `content_hash`:
// no separator, length prefix or label, so only the concatenation matters.
crypto::Digest32 cross_check_tag(std::span<const std::uint8_t> key, std::string_view repo_id,
                                 std::span<const std::uint8_t> content_hash);

}  // namespace vessolin
