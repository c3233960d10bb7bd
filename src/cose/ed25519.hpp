// Ed25519 (pure, no context) on libcrypto, plus the strict public-key
// decoding check that libcrypto does not offer.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace vessolin::ed25519 {

using SecretKey = std::array<std::uint8_t, 32>;  // the seed
using PublicKey = std::array<std::uint8_t, 32>;
using Signature = std::array<std::uint8_t, 64>;

// The public key of a seed. The seed and everything expanded from it stay
// inside libcrypto, which wipes them when the key object is freed.
PublicKey derive_public_key(const SecretKey& secret);

// The deterministic signature of `message`. A refusal by libcrypto (it has
// none for a 32-byte seed) is an internal fault.
Signature sign(std::span<const std::uint8_t> message, const SecretKey& secret);

// True when the 32 bytes are the encoding of a curve point under the strict
// decoding of RFC 8032 section 5.1.3: y below p, x recoverable as a square
// root, and no sign bit on x = 0. Small-order points decode.
bool point_decodes(const PublicKey& key);

// The cofactorless check: S below L and the encoding of [S]B - [k]A equal to
// R byte for byte. The key must have passed point_decodes(): libcrypto
// alone would accept encodings that the strict rule refuses.
bool verify(std::span<const std::uint8_t> message, const PublicKey& key, const Signature& signature);

}  // namespace vessolin::ed25519
