#include "crypto/digest.hpp"

#include <openssl/evp.h>

#include <string>

#include "error/error.hpp"

namespace vessolin::crypto {

namespace {

const EVP_MD* fetch(const char* name) {
  EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
  if (md == nullptr) throw InternalFault(std::string("libcrypto has no digest ") + name);
  return md;  // kept for the life of the process
}

const EVP_MD* sha256_method() {
  static const EVP_MD* md = fetch("SHA256");
  return md;
}

const EVP_MD* blake2b512_method() {
  static const EVP_MD* md = fetch("BLAKE2B-512");
  return md;
}

const EVP_MD* method(Hasher::Algorithm algorithm) {
  switch (algorithm) {
    case Hasher::Algorithm::Sha256: return sha256_method();
  }
  throw InternalFault("unknown digest algorithm");
}

void check(int ok, const char* what) {
  if (ok != 1) throw InternalFault(std::string("libcrypto ") + what + " failed");
}

}  // namespace

Hasher::Hasher(Algorithm algorithm) : ctx_(EVP_MD_CTX_new()), md_(method(algorithm)) {
  if (ctx_ == nullptr) throw std::bad_alloc();
  reset();
}

Hasher::~Hasher() { EVP_MD_CTX_free(ctx_); }

void Hasher::reset() { check(EVP_DigestInit_ex2(ctx_, md_, nullptr), "digest init"); }

void Hasher::update(std::span<const std::uint8_t> data) {
  check(EVP_DigestUpdate(ctx_, data.data(), data.size()), "digest update");
}

void Hasher::finish(std::uint8_t* out) {
  check(EVP_DigestFinal_ex(ctx_, out, nullptr), "digest final");
  reset();
}

Digest32 sha256(std::span<const std::uint8_t> data) {
  Digest32 out;
  check(EVP_Digest(data.data(), data.size(), out.data(), nullptr, sha256_method(), nullptr), "SHA-256");
  return out;
}

Digest64 blake2b512(std::span<const std::uint8_t> data) {
  Digest64 out;
  check(EVP_Digest(data.data(), data.size(), out.data(), nullptr, blake2b512_method(), nullptr), "BLAKE2b-512");
  return out;
}

Digest32 hmac_sha256(std::span<const std::uint8_t> key,
                     std::initializer_list<std::span<const std::uint8_t>> message_parts) {
  constexpr std::size_t kBlock = 64;
  std::array<std::uint8_t, kBlock> block{};
  if (key.size() > kBlock) {
    const Digest32 hashed = sha256(key);
    std::copy(hashed.begin(), hashed.end(), block.begin());
  } else {
    std::copy(key.begin(), key.end(), block.begin());
  }
  std::array<std::uint8_t, kBlock> pad;
  Hasher h(Hasher::Algorithm::Sha256);
  for (std::size_t i = 0; i < kBlock; ++i) pad[i] = block[i] ^ 0x36;
  h.update(pad);
  for (auto part : message_parts) h.update(part);
  Digest32 inner;
  h.finish(inner.data());
  for (std::size_t i = 0; i < kBlock; ++i) pad[i] = block[i] ^ 0x5c;
  h.update(pad);
  h.update(inner);
  Digest32 out;
  h.finish(out.data());
  // The padded key is key material: do not leave it on the stack.
  OPENSSL_cleanse(block.data(), block.size());
  OPENSSL_cleanse(pad.data(), pad.size());
  return out;
}

}  // namespace vessolin::crypto
