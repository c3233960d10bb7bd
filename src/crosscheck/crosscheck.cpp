#include "crosscheck/crosscheck.hpp"

namespace vessolin {

crypto::Digest32 cross_check_tag(std::span<const std::uint8_t> key, std::string_view repo_id,
                                 std::span<const std::uint8_t> content_hash) {
  return crypto::hmac_sha256(key, {crypto::as_bytes(repo_id), content_hash});
}

}  // namespace vessolin
