#include "stego/payload.hpp"

#include <openssl/crypto.h>

#include <algorithm>
#include <string>
#include <vector>

#include "crypto/digest.hpp"
#include "erasure/shard_codec.hpp"

namespace vessolin::stego {

PointerField pointer_field(std::span<const std::uint8_t> pointer) {
  PointerField field{};
  std::copy_n(pointer.begin(), std::min(pointer.size(), field.size()), field.begin());
  return field;
}

BindingTag binding_tag(std::span<const std::uint8_t> key, const Digest32& content_digest, const PointerField& pointer) {
  const crypto::Digest32 mac = crypto::hmac_sha256(key, {content_digest, pointer});
  BindingTag tag;
  std::copy_n(mac.begin(), tag.size(), tag.begin());
  return tag;
}

bool tags_equal(const BindingTag& a, const BindingTag& b) { return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0; }

Payload make_payload(const PointerField& pointer, const BindingTag& tag) {
  Payload payload;
  std::ranges::copy(pointer, payload.begin());
  std::ranges::copy(tag, payload.begin() + kPointerBytes);
  return payload;
}

const std::expected<erasure::ShardCodec, erasure::CodecError>& watermark_codec() {
  // Built once: its encoding matrix never changes, and building it cost
  // more than encoding the 48 shards.
  static const std::expected<erasure::ShardCodec, erasure::CodecError> codec =
      erasure::ShardCodec::create(kDataShards, kParityShards);
  return codec;
}

Result<ShardVector> encode_shards(const Payload& payload) {
  const auto& codec = watermark_codec();
  if (!codec) return std::unexpected(Error::coding(std::string(erasure::name(codec.error()))));
  std::vector<erasure::Shard> shards(kShards, erasure::Shard(1, 0));
  for (std::size_t i = 0; i < kDataShards; ++i) shards[i][0] = payload[i];
  if (auto encoded = codec->encode(shards); !encoded) {
    return std::unexpected(Error::coding(std::string(erasure::name(encoded.error()))));
  }
  ShardVector out;
  for (std::size_t i = 0; i < kShards; ++i) out[i] = shards[i][0];
  return out;
}

}  // namespace vessolin::stego
