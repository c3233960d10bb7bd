// Thin wrappers over libcrypto's message digests.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>

#include <openssl/types.h>

namespace vessolin::crypto {

using Digest32 = std::array<std::uint8_t, 32>;
using Digest64 = std::array<std::uint8_t, 64>;

inline std::span<const std::uint8_t> as_bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// One digest computation at a time, reusable: the digest method is fetched
// once per process and the context once per object.
class Hasher {
 public:
  enum class Algorithm { Sha256 };
  explicit Hasher(Algorithm algorithm);
  ~Hasher();
  Hasher(const Hasher&) = delete;
  Hasher& operator=(const Hasher&) = delete;

  void reset();
  void update(std::span<const std::uint8_t> data);
  void update(std::string_view data) { update(as_bytes(data)); }
  // Writes the digest (32 or 64 bytes) to `out`; the object is then ready for reuse.
  void finish(std::uint8_t* out);

 private:
  EVP_MD_CTX* ctx_;
  const EVP_MD* md_;
};

Digest32 sha256(std::span<const std::uint8_t> data);
inline Digest32 sha256(std::string_view data) { return sha256(as_bytes(data)); }

// BLAKE2b-512 of any length. Messages of at most one block, which is all
// that the fingerprints hash, are cheaper through crypto/blake2b_batch.hpp.
Digest64 blake2b512(std::span<const std::uint8_t> data);
inline Digest64 blake2b512(std::string_view data) { return blake2b512(as_bytes(data)); }

// HMAC-SHA-256 (RFC 2104) of the concatenation of `message_parts`, with a key
// of any length (longer than the 64-byte block: hashed first).
Digest32 hmac_sha256(std::span<const std::uint8_t> key,
                     std::initializer_list<std::span<const std::uint8_t>> message_parts);

}  // namespace vessolin::crypto
