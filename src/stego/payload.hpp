// What a watermark carries: a 16-byte pointer and an 8-byte tag that binds it
// to the text's content under a key, spread over 48 one-byte shards (24 data,
// 24 parity) by the erasure code.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "canonical/canonical.hpp"
#include "erasure/shard_codec.hpp"
#include "error/error.hpp"

namespace vessolin::stego {

inline constexpr std::size_t kPointerBytes = 16;
inline constexpr std::size_t kTagBytes = 8;
inline constexpr std::size_t kPayloadBytes = kPointerBytes + kTagBytes;
inline constexpr std::size_t kDataShards = kPayloadBytes;
inline constexpr std::size_t kParityShards = 24;
inline constexpr std::size_t kShards = kDataShards + kParityShards;
// Fewer present shards than this and the payload cannot be rebuilt.
inline constexpr std::size_t kMaxErasures = kParityShards;

using PointerField = std::array<std::uint8_t, kPointerBytes>;
using BindingTag = std::array<std::uint8_t, kTagBytes>;
using Payload = std::array<std::uint8_t, kPayloadBytes>;
using ShardVector = std::array<std::uint8_t, kShards>;

// The first 16 bytes of `pointer`, zero-filled when it is shorter.
PointerField pointer_field(std::span<const std::uint8_t> pointer);

// The first 8 bytes of HMAC-SHA-256 under `key` of the content digest
// followed by the pointer field.
BindingTag binding_tag(std::span<const std::uint8_t> key, const Digest32& content_digest, const PointerField& pointer);

// Compares every byte, whatever the first difference: how long a check takes
// must not tell how much of a forged tag was right.
bool tags_equal(const BindingTag& a, const BindingTag& b);

Payload make_payload(const PointerField& pointer, const BindingTag& tag);

// The codec of the 48 one-byte shards (24 data, 24 parity).
const std::expected<erasure::ShardCodec, erasure::CodecError>& watermark_codec();

// The payload bytes followed by their 24 parity bytes.
Result<ShardVector> encode_shards(const Payload& payload);

}  // namespace vessolin::stego
