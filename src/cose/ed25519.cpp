#include "cose/ed25519.hpp"

#include <openssl/evp.h>

#include <memory>

#include "error/error.hpp"

namespace vessolin::ed25519 {

namespace {

// ---------------------------------------------------------------------------
// libcrypto objects

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Context = std::unique_ptr<EVP_MD_CTX, ContextFree>;

Key private_key(const SecretKey& secret) {
  Key key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, secret.data(), secret.size()));
  if (!key) throw InternalFault("Ed25519 key from seed failed");
  return key;
}

// libcrypto wants a pointer even for an empty message.
const unsigned char* message_pointer(std::span<const std::uint8_t> message) {
  static const unsigned char kNothing = 0;
  return message.empty() ? &kNothing : message.data();
}

// ---------------------------------------------------------------------------
// Arithmetic modulo p = 2^255 - 19, only what the decoding check needs:
// five limbs of 51 bits, products in 128 bits.

__extension__ using u128 = unsigned __int128;
constexpr std::uint64_t kLimb = (std::uint64_t{1} << 51) - 1;

struct Fe {
  std::uint64_t v[5];
};

std::uint64_t load64(const std::uint8_t* b) {
  std::uint64_t w = 0;
  for (int i = 7; i >= 0; --i) w = (w << 8) | b[i];
  return w;
}

// The low 255 bits of 32 little-endian bytes (the sign bit is left out).
Fe load(const std::uint8_t* b) {
  const std::uint64_t w0 = load64(b), w1 = load64(b + 8), w2 = load64(b + 16), w3 = load64(b + 24);
  return {{w0 & kLimb, ((w0 >> 51) | (w1 << 13)) & kLimb, ((w1 >> 38) | (w2 << 26)) & kLimb,
           ((w2 >> 25) | (w3 << 39)) & kLimb, (w3 >> 12) & kLimb}};
}

// Carries every limb into the next, the top one back into the bottom times 19.
void carry(Fe& a) {
  for (int i = 0; i < 4; ++i) {
    a.v[i + 1] += a.v[i] >> 51;
    a.v[i] &= kLimb;
  }
  a.v[0] += 19 * (a.v[4] >> 51);
  a.v[4] &= kLimb;
}

Fe add(const Fe& a, const Fe& b) {
  Fe r;
  for (int i = 0; i < 5; ++i) r.v[i] = a.v[i] + b.v[i];
  carry(r);
  return r;
}

// a - b as a + 4p - b, so that no limb goes below zero.
Fe sub(const Fe& a, const Fe& b) {
  Fe r;
  r.v[0] = a.v[0] + 4 * (kLimb - 18) - b.v[0];
  for (int i = 1; i < 5; ++i) r.v[i] = a.v[i] + 4 * kLimb - b.v[i];
  carry(r);
  return r;
}

// The five 128-bit limb sums of a product, carried back into 51-bit limbs.
Fe reduce_product(u128 r0, u128 r1, u128 r2, u128 r3, u128 r4) {
  r1 += static_cast<std::uint64_t>(r0 >> 51);
  r2 += static_cast<std::uint64_t>(r1 >> 51);
  r3 += static_cast<std::uint64_t>(r2 >> 51);
  r4 += static_cast<std::uint64_t>(r3 >> 51);
  Fe r{{static_cast<std::uint64_t>(r0) & kLimb, static_cast<std::uint64_t>(r1) & kLimb,
        static_cast<std::uint64_t>(r2) & kLimb, static_cast<std::uint64_t>(r3) & kLimb,
        static_cast<std::uint64_t>(r4) & kLimb}};
  r.v[0] += 19 * static_cast<std::uint64_t>(r4 >> 51);
  carry(r);
  return r;
}

Fe mul(const Fe& a, const Fe& b) {
  const std::uint64_t b1 = 19 * b.v[1], b2 = 19 * b.v[2], b3 = 19 * b.v[3], b4 = 19 * b.v[4];
  u128 r0 = (u128)a.v[0] * b.v[0] + (u128)a.v[1] * b4 + (u128)a.v[2] * b3 + (u128)a.v[3] * b2 + (u128)a.v[4] * b1;
  u128 r1 = (u128)a.v[0] * b.v[1] + (u128)a.v[1] * b.v[0] + (u128)a.v[2] * b4 + (u128)a.v[3] * b3 + (u128)a.v[4] * b2;
  u128 r2 = (u128)a.v[0] * b.v[2] + (u128)a.v[1] * b.v[1] + (u128)a.v[2] * b.v[0] + (u128)a.v[3] * b4 +
            (u128)a.v[4] * b3;
  u128 r3 = (u128)a.v[0] * b.v[3] + (u128)a.v[1] * b.v[2] + (u128)a.v[2] * b.v[1] + (u128)a.v[3] * b.v[0] +
            (u128)a.v[4] * b4;
  u128 r4 = (u128)a.v[0] * b.v[4] + (u128)a.v[1] * b.v[3] + (u128)a.v[2] * b.v[2] + (u128)a.v[3] * b.v[1] +
            (u128)a.v[4] * b.v[0];
  return reduce_product(r0, r1, r2, r3, r4);
}

// The same product for a = b, in 15 multiplications instead of 25.
Fe square(const Fe& a) {
  const std::uint64_t a0_2 = 2 * a.v[0], a1_2 = 2 * a.v[1], a2_2 = 2 * a.v[2];
  const std::uint64_t a3_19 = 19 * a.v[3], a4_19 = 19 * a.v[4];
  u128 r0 = (u128)a.v[0] * a.v[0] + (u128)a1_2 * a4_19 + (u128)a2_2 * a3_19;
  u128 r1 = (u128)a0_2 * a.v[1] + (u128)a2_2 * a4_19 + (u128)a.v[3] * a3_19;
  u128 r2 = (u128)a0_2 * a.v[2] + (u128)a.v[1] * a.v[1] + (u128)(2 * a.v[3]) * a4_19;
  u128 r3 = (u128)a0_2 * a.v[3] + (u128)a1_2 * a.v[2] + (u128)a.v[4] * a4_19;
  u128 r4 = (u128)a0_2 * a.v[4] + (u128)a1_2 * a.v[3] + (u128)a.v[2] * a.v[2];
  return reduce_product(r0, r1, r2, r3, r4);
}

Fe square_times(Fe a, int n) {
  while (n-- > 0) a = square(a);
  return a;
}

// The unique representative in [0, p).
Fe reduce(Fe a) {
  carry(a);
  carry(a);
  // a is now below 2^255 + a little; q = 1 exactly when a >= p.
  std::uint64_t q = (a.v[0] + 19) >> 51;
  for (int i = 1; i < 5; ++i) q = (a.v[i] + q) >> 51;
  a.v[0] += 19 * q;
  for (int i = 0; i < 4; ++i) {
    a.v[i + 1] += a.v[i] >> 51;
    a.v[i] &= kLimb;
  }
  a.v[4] &= kLimb;
  return a;
}

bool is_zero(const Fe& a) {
  const Fe r = reduce(a);
  return (r.v[0] | r.v[1] | r.v[2] | r.v[3] | r.v[4]) == 0;
}

bool is_one(const Fe& a) {
  const Fe r = reduce(a);
  return r.v[0] == 1 && (r.v[1] | r.v[2] | r.v[3] | r.v[4]) == 0;
}

// z^(2^252 - 3), by the usual addition chain.
Fe pow_2_252_minus_3(const Fe& z) {
  const Fe z2 = square(z);
  const Fe z9 = mul(square_times(z2, 2), z);
  const Fe z11 = mul(z9, z2);
  const Fe z_5 = mul(square(z11), z9);                    // z^(2^5 - 1)
  const Fe z_10 = mul(square_times(z_5, 5), z_5);         // 2^10 - 1
  const Fe z_20 = mul(square_times(z_10, 10), z_10);      // 2^20 - 1
  const Fe z_40 = mul(square_times(z_20, 20), z_20);      // 2^40 - 1
  const Fe z_50 = mul(square_times(z_40, 10), z_10);      // 2^50 - 1
  const Fe z_100 = mul(square_times(z_50, 50), z_50);     // 2^100 - 1
  const Fe z_200 = mul(square_times(z_100, 100), z_100);  // 2^200 - 1
  const Fe z_250 = mul(square_times(z_200, 50), z_50);    // 2^250 - 1
  return mul(square_times(z_250, 2), z);                  // 2^252 - 3
}

// Euler's criterion: w^((p-1)/2) is 1 for a non-zero square. (p-1)/2 is
// 4 (2^252 - 3) + 2.
bool is_nonzero_square(const Fe& w) { return is_one(mul(square_times(pow_2_252_minus_3(w), 2), square(w))); }

// The curve constant d = -121665 / 121666.
constexpr std::uint8_t kD[32] = {
    0xa3, 0x78, 0x59, 0x13, 0xca, 0x4d, 0xeb, 0x75, 0xab, 0xd8, 0x41, 0x41, 0x4d, 0x0a, 0x70, 0x00,
    0x98, 0xe8, 0x79, 0x77, 0x79, 0x40, 0xc7, 0x8c, 0x73, 0xfe, 0x6f, 0x2b, 0xee, 0x6c, 0x03, 0x52};

}  // namespace

PublicKey derive_public_key(const SecretKey& secret) {
  const Key key = private_key(secret);
  PublicKey out;
  std::size_t length = out.size();
  if (EVP_PKEY_get_raw_public_key(key.get(), out.data(), &length) != 1 || length != out.size()) {
    throw InternalFault("Ed25519 public key export failed");
  }
  return out;
}

Signature sign(std::span<const std::uint8_t> message, const SecretKey& secret) {
  const Key key = private_key(secret);
  const Context ctx(EVP_MD_CTX_new());
  Signature out;
  std::size_t length = out.size();
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(ctx.get(), out.data(), &length, message_pointer(message), message.size()) != 1 ||
      length != out.size()) {
    throw InternalFault("signature operation failed");
  }
  return out;
}

bool point_decodes(const PublicKey& key) {
  // y must be below p = 2^255 - 19: the encodings of p to 2^255 - 1 are
  // EDFF...FF7F to FFFF...FF7F (sign bit aside), little-endian.
  bool y_at_least_p = key[0] >= 0xED && (key[31] & 0x7F) == 0x7F;
  for (int i = 1; i < 31 && y_at_least_p; ++i) y_at_least_p = key[i] == 0xFF;
  if (y_at_least_p) return false;

  // x^2 = u / v with u = y^2 - 1 and v = d y^2 + 1; v is never zero on this
  // curve. A root exists when u is zero or u v is a square.
  static const Fe d = load(kD);
  const Fe one{{1, 0, 0, 0, 0}};
  const Fe y = load(key.data());
  const Fe y2 = square(y);
  const Fe u = sub(y2, one);
  if (is_zero(u)) return (key[31] & 0x80) == 0;  // x = 0 has no negative form
  const Fe v = add(mul(d, y2), one);
  return is_nonzero_square(mul(u, v));
}

bool verify(std::span<const std::uint8_t> message, const PublicKey& key, const Signature& signature) {
  const Key public_key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()));
  const Context ctx(EVP_MD_CTX_new());
  if (!public_key || !ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, public_key.get()) != 1) {
    throw InternalFault("Ed25519 verification setup failed");
  }
  return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message_pointer(message), message.size()) == 1;
}

}  // namespace vessolin::ed25519
