#include "minhash/minhash.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "canonical/canonical.hpp"
#include "cpu/kernels.hpp"

namespace vessolin {

namespace {

// Exact 128-bit products (a compiler extension, hence the marker).
__extension__ typedef unsigned __int128 Uint128;

constexpr std::uint64_t kPrime = (std::uint64_t{1} << 61) - 1;
constexpr std::uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
constexpr std::uint64_t kFnvPrime = 0x100000001b3ULL;
constexpr std::size_t kShingleWords = 5;

constexpr std::uint64_t split_mix(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// One SplitMix64 stream drawing a_0, b_0, a_1, b_1, ...: a in [1, P - 1]
// (never 0, which would make a hash constant), b in [0, P - 1].
constexpr MinHashFamily make_family() {
  constexpr std::uint64_t kStep = 0x3c6ef372fe94f82aULL;
  MinHashFamily f{};
  for (std::uint64_t j = 0; j < kMinHashPermutations; ++j) {
    f.a[j] = split_mix(0x9f5abf2108f64a04ULL + j * kStep) % (kPrime - 1) + 1;
    f.b[j] = split_mix(0x3d9238da8840c619ULL + j * kStep) % kPrime;
  }
  return f;
}

constexpr MinHashFamily kFamily = make_family();
static_assert(kFamily.a[0] == 0x157a3807a48faa9eULL && kFamily.b[0] == 0x1573529b34a1d099ULL);
static_assert(kFamily.a[1] == 0xf90b72e996dccc1ULL && kFamily.b[1] == 0x2d419334c4667f1ULL);

inline std::uint64_t mod_p(std::uint64_t h) {
  const std::uint64_t r = (h & kPrime) + (h >> 61);  // 2^61 = 1 (mod P); r <= P + 7
  return r >= kPrime ? r - kPrime : r;
}

inline std::uint64_t fnv1a(const unsigned char* p, const unsigned char* end, std::uint64_t h = kFnvOffset) {
  for (; p != end; ++p) h = (h ^ *p) * kFnvPrime;
  return h;
}

// (a * t + b) mod P for a, t, b < P. The 122-bit product is folded through
// 2^61 = 1 (mod P): its high part (below 2^61), low 61 bits and b sum to
// below 2^63, and one more fold and one subtraction finish the reduction.
inline std::uint64_t affine_mod_p(std::uint64_t a, std::uint64_t t, std::uint64_t b) {
  const Uint128 p = static_cast<Uint128>(a) * t;
  const std::uint64_t x = (static_cast<std::uint64_t>(p) & kPrime) + static_cast<std::uint64_t>(p >> 61) + b;
  const std::uint64_t r = (x & kPrime) + (x >> 61);
  return r >= kPrime ? r - kPrime : r;
}

// ---------------------------------------------------------------------------
// Screening
//
// Past the first few shingles a signature value is rarely lowered (at the
// n-th distinct shingle, with chance about 1/n), so the kernels first
// estimate each value cheaply and compute it exactly only where the estimate
// says it might fall below the current minimum s. Two screens follow, each
// suited to the multiplications its instructions have: a 16-bit one from
// 16-bit products (the vector kernels, see Sixteen-bit fractions) and an all
// but exact one from a scalar 128-bit product (portable).

// ---------------------------------------------------------------------------
// Sixteen-bit fractions
//
// The vector kernels' screen, in 16-bit lanes with 16-bit products only
// (neither AVX2 nor every AVX-512 processor multiplies 64-bit lanes
// cheaply): past a few hundred shingles each minimum s is a small part of
// P, so an estimate of v / P to 16 bits rejects nearly every lane, and a
// vector holds four times as many 16-bit lanes as 64-bit ones.
//
// With t's base-2^16 digits h_k (h_0, h_1, h_2 below 2^16, h_3 below 2^13),
// c_k = a 2^16k mod P and F_k = 2^32 c_k / P rounded (F_k = 2^32 c_k / P
// + f_k, |f_k| <= 1/2), the 16-bit digit product
//   e_k = (h_k hi(F_k) + floor(h_k lo(F_k) / 2^16)) mod 2^16
// is floor(h_k F_k / 2^16) mod 2^16 = 2^16 h_k c_k / P + h_k f_k / 2^16 - u
// with u in [0, 1): off by more than -3/2 and less than 1/2 (h_3's rounding
// share is below 1/16). As a t + b = sum h_k c_k + b (mod P), with B =
// 2^16 b / P rounded (within 1/2) and V = 2^16 v / P, the sum
//   G = e_0 + e_1 + e_2 + e_3 + B + 7  (mod 2^16)
// is congruent to V + e with e in (1/2, 9 + 1/8].
//
// If v < s, with x = floor(s / 2^45) and s < 2^61, then V < 2^16 s / P
// < x + 1 + 2^-44, so V + e < x + 10 + 1/4. When x + 10 < 2^16 - 1 that
// sum cannot wrap, G equals it, and G <= x + 10: a lane with G > x + 10
// cannot lower s. Otherwise (at the start, s = 2^64 - 1) the bound is
// 2^16 - 1, which every G meets. The kernels compare signed, so 2^15 is
// added to G (folded into B) and to the bound.
constexpr std::uint16_t kFraction16Offset = 7;

struct Fraction16Family {
  alignas(64) std::uint16_t hi[4][kMinHashPermutations];  // hi(F_k)
  alignas(64) std::uint16_t lo[4][kMinHashPermutations];  // lo(F_k)
  alignas(64) std::uint16_t b[kMinHashPermutations];      // B + 7 + 2^15
};

// x 2^32 / P rounded to the nearest integer, modulo 2^32 (x < P).
constexpr std::uint32_t fraction32(std::uint64_t x) {
  return static_cast<std::uint32_t>(((static_cast<Uint128>(x) << 33) + kPrime) / (2 * static_cast<Uint128>(kPrime)));
}

// x 2^16 / P rounded, modulo 2^16.
constexpr std::uint16_t fraction16(std::uint64_t x) {
  return static_cast<std::uint16_t>(((static_cast<Uint128>(x) << 17) + kPrime) / (2 * static_cast<Uint128>(kPrime)));
}

constexpr Fraction16Family fraction16_family() {
  Fraction16Family f{};
  for (std::size_t j = 0; j < kMinHashPermutations; ++j) {
    std::uint64_t c = kFamily.a[j];
    for (std::size_t k = 0; k < 4; ++k) {
      const std::uint32_t a = fraction32(c);
      f.hi[k][j] = static_cast<std::uint16_t>(a >> 16);
      f.lo[k][j] = static_cast<std::uint16_t>(a);
      c = static_cast<std::uint64_t>((static_cast<Uint128>(c) << 16) % kPrime);
    }
    f.b[j] = static_cast<std::uint16_t>(fraction16(kFamily.b[j]) + kFraction16Offset + 0x8000);
  }
  return f;
}
constexpr Fraction16Family kFractions16 = fraction16_family();

// The signed bound x + 10 - 2^15 (x + 10 + 2^15 modulo 2^16) for a running
// minimum s (see above).
inline std::int16_t fraction16_bound(std::uint64_t s) {
  const std::uint64_t last = std::min((std::min(s, kPrime) >> 45) + 10, std::uint64_t{0xFFFF});
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(last ^ 0x8000));
}

// ---------------------------------------------------------------------------
// Kernels
//
// An absorb kernel lowers each signature value to its hash of each of
// `count` shingles, given by t = FNV-1a(shingle) mod P.
using AbsorbKernel = void (*)(std::uint64_t* signature, const std::uint64_t* ts, std::size_t count);

// The portable screen is all but exact, at one 64 x 64 -> 128-bit product a
// lane. (8a) t = hi 2^64 + lo gives hi = floor(a t / 2^61) and
// lo = 8 (a t mod 2^61), so
//   y = lo + 8 (hi + b + 3)  (mod 2^64)  =  8 ((w + 3) mod 2^61)
// with w = (a t mod 2^61) + hi + b, congruent to v modulo P. As w < 3 2^61 =
// 3P + 3, w = v + mP with m in [0, 3], and w mod 2^61 = v - m modulo 2^61,
// so y / 8 = v + 3 - m as long as v + 3 < 2^61. If v < s <= P - 4, that
// holds and y <= 8 (v + 3) < 8 (s + 3): a lane with y >= 8 (s + 3) cannot
// lower s. With s > P - 4 (at the start, 2^64 - 1) every lane passes.
constexpr std::uint64_t kNearSlack = 3;

struct NearFamily {
  std::uint64_t a8[kMinHashPermutations];  // 8 a
  std::uint64_t b[kMinHashPermutations];   // b + 3
};

constexpr NearFamily near_family() {
  NearFamily f{};
  for (std::size_t j = 0; j < kMinHashPermutations; ++j) {
    f.a8[j] = kFamily.a[j] << 3;
    f.b[j] = kFamily.b[j] + kNearSlack;
  }
  return f;
}
constexpr NearFamily kNear = near_family();

inline std::uint64_t near_bound(std::uint64_t s) {
  return s > kPrime - 1 - kNearSlack ? ~std::uint64_t{0} : (s + kNearSlack) << 3;
}

// Lane j lowered to its exact value for t, and its bound renewed. Out of
// line: it runs rarely, and the unrolled screen stays small.
[[gnu::noinline]] void lower_portable(std::uint64_t* sig, std::uint64_t* bound, std::size_t j, std::uint64_t t) {
  const std::uint64_t v = affine_mod_p(kFamily.a[j], t, kFamily.b[j]);
  if (v < sig[j]) {
    sig[j] = v;
    bound[j] = near_bound(v);
  }
}

// Unrolled so that each lane costs its product, three integer operations
// and one compare-and-branch.
void absorb_portable(std::uint64_t* sig, const std::uint64_t* ts, std::size_t count) {
  std::uint64_t bound[kMinHashPermutations];
  for (std::size_t j = 0; j < kMinHashPermutations; ++j) bound[j] = near_bound(sig[j]);
  // Through a pointer the compiler cannot see into, so that the constants
  // stay operands in memory (a load folded into the instruction) rather than
  // becoming 64-bit immediates, one more instruction each.
  const NearFamily* family = &kNear;
  asm("" : "+r"(family));
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t t = ts[i];
#pragma GCC unroll 128
    for (std::size_t j = 0; j < kMinHashPermutations; ++j) {
      const Uint128 p = static_cast<Uint128>(family->a8[j]) * t;
      const std::uint64_t y = static_cast<std::uint64_t>(p) + ((static_cast<std::uint64_t>(p >> 64) + family->b[j]) << 3);
      if (y < bound[j]) [[unlikely]] lower_portable(sig, bound, j, t);
    }
  }
}

#if defined(__x86_64__)
// GCC 12 warns about the deliberately undefined lanes inside its own
// broadcast intrinsics.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

// The 16-bit screen of lanes 16v to 16v + 15 (see Sixteen-bit fractions):
// eight 16-bit products, eight adds and a compare. Returns the lanes that
// cannot be lowered: G > bound, compared signed.
__attribute__((target("avx2"))) inline __m256i reject16_avx2(std::size_t v, const __m256i* h,
                                                               const std::int16_t* bound) {
  constexpr std::size_t kRow = kMinHashPermutations / 16;  // vectors from one digit's constants to the next
  const auto* hi = reinterpret_cast<const __m256i*>(kFractions16.hi[0] + 16 * v);
  const auto* lo = reinterpret_cast<const __m256i*>(kFractions16.lo[0] + 16 * v);
  __m256i e[4];
  for (std::size_t k = 0; k < 4; ++k)
    e[k] = _mm256_add_epi16(_mm256_mullo_epi16(h[k], _mm256_load_si256(hi + kRow * k)),
                            _mm256_mulhi_epu16(h[k], _mm256_load_si256(lo + kRow * k)));
  const __m256i b = _mm256_load_si256(reinterpret_cast<const __m256i*>(kFractions16.b + 16 * v));
  const __m256i g = _mm256_add_epi16(_mm256_add_epi16(_mm256_add_epi16(e[0], e[1]), _mm256_add_epi16(e[2], e[3])), b);
  return _mm256_cmpgt_epi16(g, _mm256_load_si256(reinterpret_cast<const __m256i*>(bound + 16 * v)));
}

// Sixteen lanes per screen, two screens tested with one branch; a lane that
// may pass is computed exactly on its own (about one lane in a few thousand
// once the minima have settled).
__attribute__((target("avx2"))) inline void absorb_one_avx2(std::uint64_t* sig, std::int16_t* bound,
                                                             std::uint64_t t) {
  const __m256i h[4] = {_mm256_set1_epi16(static_cast<short>(t & 0xFFFF)),
                        _mm256_set1_epi16(static_cast<short>((t >> 16) & 0xFFFF)),
                        _mm256_set1_epi16(static_cast<short>((t >> 32) & 0xFFFF)),
                        _mm256_set1_epi16(static_cast<short>(t >> 48))};
#pragma GCC unroll 4
  for (std::size_t v = 0; v < kMinHashPermutations / 16; v += 2) {
    const __m256i r0 = reject16_avx2(v, h, bound);
    const __m256i r1 = reject16_avx2(v + 1, h, bound);
    if (_mm256_movemask_epi8(_mm256_and_si256(r0, r1)) != -1) [[unlikely]] {
      for (std::size_t w = 0; w < 2; ++w) {
        // Two mask bits per 16-bit lane; the even ones tell which may pass.
        auto pass = ~static_cast<std::uint32_t>(_mm256_movemask_epi8(w == 0 ? r0 : r1)) & 0x55555555U;
        for (; pass != 0; pass &= pass - 1) {
          const std::size_t j = 16 * (v + w) + static_cast<std::size_t>(std::countr_zero(pass)) / 2;
          const std::uint64_t value = affine_mod_p(kFamily.a[j], t, kFamily.b[j]);
          if (value < sig[j]) {
            sig[j] = value;
            bound[j] = fraction16_bound(value);
          }
        }
      }
    }
  }
}

__attribute__((target("avx2"))) void absorb_avx2(std::uint64_t* sig, const std::uint64_t* ts, std::size_t count) {
  alignas(32) std::int16_t bound[kMinHashPermutations];
  for (std::size_t j = 0; j < kMinHashPermutations; ++j) bound[j] = fraction16_bound(sig[j]);
  for (std::size_t i = 0; i < count; ++i) absorb_one_avx2(sig, bound, ts[i]);
}

#pragma GCC diagnostic pop
#endif  // __x86_64__

// ---------------------------------------------------------------------------
// Hashing the shingles
//
// A hash kernel computes t = FNV-1a(shingle) mod P for `count` shingles of
// the canonical stream `text` (of `size` bytes), shingle i running from
// starts[i] to starts[i + 5] - 1 (the start of the token after its last, less
// the space).
using HashKernel = void (*)(const char* text, std::size_t size, const std::size_t* starts, std::size_t count,
                            std::uint64_t* ts);

// FNV-1a is a chain of dependent multiplications, one per byte, so four
// shingles are hashed side by side: through their common length in step,
// then on to the longest, every step's values kept in a small table from
// which each lane's own is read at its length (no branch or select per
// byte). The lanes past their end read bytes after their shingle, so a group
// whose last shingle would read past the stream, or whose lengths differ by
// more than the table holds, finishes each lane alone. Kept out of line and
// unspecialised: the vector kernel calls it only for groups it cannot take.
[[gnu::noinline, gnu::noclone]] void hash_portable(const char* text, std::size_t size, const std::size_t* starts,
                                                   std::size_t count, std::uint64_t* ts) {
  constexpr std::size_t kTail = 64;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    const unsigned char* p[4];
    std::size_t n[4];
    for (std::size_t l = 0; l < 4; ++l) {
      p[l] = bytes + starts[i + l];
      n[l] = starts[i + l + kShingleWords] - 1 - starts[i + l];
    }
    const std::size_t common = std::min(std::min(n[0], n[1]), std::min(n[2], n[3]));
    const std::size_t longest = std::max(std::max(n[0], n[1]), std::max(n[2], n[3]));
    std::uint64_t h0 = kFnvOffset, h1 = kFnvOffset, h2 = kFnvOffset, h3 = kFnvOffset;
    for (std::size_t k = 0; k < common; ++k) {
      h0 = (h0 ^ p[0][k]) * kFnvPrime;
      h1 = (h1 ^ p[1][k]) * kFnvPrime;
      h2 = (h2 ^ p[2][k]) * kFnvPrime;
      h3 = (h3 ^ p[3][k]) * kFnvPrime;
    }
    if (longest - common <= kTail && starts[i + 3] + longest <= size) {
      // Row r holds the values after byte common + r - 1 (row 0: at common).
      std::uint64_t tail[kTail + 1][4];
      tail[0][0] = h0, tail[0][1] = h1, tail[0][2] = h2, tail[0][3] = h3;
      for (std::size_t k = common; k < longest; ++k) {
        h0 = (h0 ^ p[0][k]) * kFnvPrime;
        h1 = (h1 ^ p[1][k]) * kFnvPrime;
        h2 = (h2 ^ p[2][k]) * kFnvPrime;
        h3 = (h3 ^ p[3][k]) * kFnvPrime;
        std::uint64_t* row = tail[k - common + 1];
        row[0] = h0, row[1] = h1, row[2] = h2, row[3] = h3;
      }
      for (std::size_t l = 0; l < 4; ++l) ts[i + l] = mod_p(tail[n[l] - common][l]);
    } else {
      ts[i] = mod_p(fnv1a(p[0] + common, p[0] + n[0], h0));
      ts[i + 1] = mod_p(fnv1a(p[1] + common, p[1] + n[1], h1));
      ts[i + 2] = mod_p(fnv1a(p[2] + common, p[2] + n[2], h2));
      ts[i + 3] = mod_p(fnv1a(p[3] + common, p[3] + n[3], h3));
    }
  }
  for (; i < count; ++i)
    ts[i] = mod_p(fnv1a(bytes + starts[i], bytes + starts[i + kShingleWords] - 1));
}

#if defined(__x86_64__)
// Hashing is scalar and waits on its multiplications; the screen keeps the
// vector ports busy. Four shingles are hashed, then screened, in turn, in
// the hope that the processor overlaps the two. Measured on a Xeon it
// hardly does (the time is the sum of the two, as for whole batches of
// each), and spreading the hashing steps between the screens by hand was
// slower still.
__attribute__((target("avx2"))) void hash_absorb_avx2(const char* text, std::size_t size, const std::size_t* starts,
                                                      std::size_t count, std::uint64_t* sig) {
  alignas(32) std::int16_t bound[kMinHashPermutations];
  for (std::size_t j = 0; j < kMinHashPermutations; ++j) bound[j] = fraction16_bound(sig[j]);
  std::uint64_t ts[4];
  for (std::size_t i = 0; i < count; i += 4) {
    const std::size_t n = std::min<std::size_t>(4, count - i);
    hash_portable(text, size, starts + i, n, ts);
    for (std::size_t l = 0; l < n; ++l) absorb_one_avx2(sig, bound, ts[l]);
  }
}

// The 16-bit screen in 512-bit vectors, thirty-two lanes each, where the
// processor runs two 512-bit multiplies a cycle beside the scalar one that
// the hashing uses: lanes 32v to 32v + 31 that may be lowered, as a mask.
__attribute__((target("avx512f,avx512bw"))) inline __mmask32 pass16_avx512(std::size_t v, const __m512i* h,
                                                                           const std::int16_t* bound) {
  constexpr std::size_t kRow = kMinHashPermutations / 32;
  const auto* hi = reinterpret_cast<const __m512i*>(kFractions16.hi[0] + 32 * v);
  const auto* lo = reinterpret_cast<const __m512i*>(kFractions16.lo[0] + 32 * v);
  __m512i e[4];
  for (std::size_t k = 0; k < 4; ++k)
    e[k] = _mm512_add_epi16(_mm512_mullo_epi16(h[k], _mm512_load_si512(hi + kRow * k)),
                            _mm512_mulhi_epu16(h[k], _mm512_load_si512(lo + kRow * k)));
  const __m512i b = _mm512_load_si512(kFractions16.b + 32 * v);
  const __m512i g = _mm512_add_epi16(_mm512_add_epi16(_mm512_add_epi16(e[0], e[1]), _mm512_add_epi16(e[2], e[3])), b);
  return _mm512_cmple_epi16_mask(g, _mm512_load_si512(bound + 32 * v));
}

__attribute__((target("avx512f,avx512bw"))) inline void absorb_one_avx512(std::uint64_t* sig, std::int16_t* bound,
                                                                          std::uint64_t t) {
  const __m512i h[4] = {_mm512_set1_epi16(static_cast<short>(t & 0xFFFF)),
                        _mm512_set1_epi16(static_cast<short>((t >> 16) & 0xFFFF)),
                        _mm512_set1_epi16(static_cast<short>((t >> 32) & 0xFFFF)),
                        _mm512_set1_epi16(static_cast<short>(t >> 48))};
  __mmask32 pass[kMinHashPermutations / 32];
#pragma GCC unroll 4
  for (std::size_t v = 0; v < kMinHashPermutations / 32; ++v) pass[v] = pass16_avx512(v, h, bound);
  if (((pass[0] | pass[1]) | (pass[2] | pass[3])) != 0) [[unlikely]] {
    for (std::size_t v = 0; v < kMinHashPermutations / 32; ++v) {
      for (std::uint32_t m = pass[v]; m != 0; m &= m - 1) {
        const std::size_t j = 32 * v + static_cast<std::size_t>(std::countr_zero(m));
        const std::uint64_t value = affine_mod_p(kFamily.a[j], t, kFamily.b[j]);
        if (value < sig[j]) {
          sig[j] = value;
          bound[j] = fraction16_bound(value);
        }
      }
    }
  }
}

__attribute__((target("avx512f,avx512bw"))) void absorb_avx512(std::uint64_t* sig, const std::uint64_t* ts,
                                                                 std::size_t count) {
  alignas(64) std::int16_t bound[kMinHashPermutations];
  for (std::size_t j = 0; j < kMinHashPermutations; ++j) bound[j] = fraction16_bound(sig[j]);
  for (std::size_t i = 0; i < count; ++i) absorb_one_avx512(sig, bound, ts[i]);
}

// As hash_absorb_avx2.
__attribute__((target("avx512f,avx512bw"))) void hash_absorb_avx512(const char* text, std::size_t size,
                                                                    const std::size_t* starts, std::size_t count,
                                                                    std::uint64_t* sig) {
  alignas(64) std::int16_t bound[kMinHashPermutations];
  for (std::size_t j = 0; j < kMinHashPermutations; ++j) bound[j] = fraction16_bound(sig[j]);
  std::uint64_t ts[4];
  for (std::size_t i = 0; i < count; i += 4) {
    const std::size_t n = std::min<std::size_t>(4, count - i);
    hash_portable(text, size, starts + i, n, ts);
    for (std::size_t l = 0; l < n; ++l) absorb_one_avx512(sig, bound, ts[l]);
  }
}
#endif  // __x86_64__

// A kernel: a way to hash the shingles and a way to absorb their hashes,
// and, where the two run better interleaved, a way to do both for a batch.
using BatchKernel = void (*)(const char* text, std::size_t size, const std::size_t* starts, std::size_t count,
                             std::uint64_t* signature);

struct Kernel {
  HashKernel hash;
  AbsorbKernel absorb;
  BatchKernel both = nullptr;
};

constexpr Kernel kPortable{hash_portable, absorb_portable};
#if defined(__x86_64__)
constexpr Kernel kAvx512{hash_portable, absorb_avx512, hash_absorb_avx512};
constexpr Kernel kAvx2{hash_portable, absorb_avx2, hash_absorb_avx2};
#endif

// Fastest first.
const cpu::Kernel<const Kernel*> kKernels[] = {
#if defined(__x86_64__)
    {"avx512", &kAvx512, cpu::Isa::Avx512bw},
    {"avx2", &kAvx2, cpu::Isa::Avx2},
#endif
    {"portable", &kPortable, cpu::Isa::Baseline},
};

const Kernel& best_kernel() {
  static const Kernel& kernel = *cpu::fastest(kKernels);
  return kernel;
}

const Kernel* find_kernel(std::string_view name) {
  return cpu::usable(kKernels, name);
}

MinHashSketch sketch_of_stream(std::string_view stream, const Kernel& kernel) {
  const char* data = stream.data();
  const std::size_t size = stream.size();
  MinHashSketch sketch;
  sketch.signature.fill(~std::uint64_t{0});

  // Token starts are collected in one pass over the stream, and shingles
  // hashed and absorbed in batches, so that memory does not grow with the
  // text beyond its canonical stream.
  constexpr std::size_t kBatch = 512;
  std::size_t starts[kBatch + kShingleWords];
  std::uint64_t ts[kBatch];
  std::size_t held = 0;     // starts in the buffer
  std::size_t tokens = 0;   // tokens seen in all
  const auto absorb = [&](std::size_t shingles) {
    if (kernel.both != nullptr) {
      kernel.both(data, size, starts, shingles, sketch.signature.data());
    } else {
      kernel.hash(data, size, starts, shingles, ts);
      kernel.absorb(sketch.signature.data(), ts, shingles);
    }
    std::copy(starts + shingles, starts + held, starts);
    held -= shingles;
  };
  const auto add_start = [&](std::size_t at) {
    starts[held++] = at;
    ++tokens;
    if (held == kBatch + kShingleWords) absorb(kBatch);
  };

  add_start(0);
  std::size_t at = 0;
#if defined(__SSE2__)
  const __m128i space = _mm_set1_epi8(' ');
  for (; at + 16 <= size; at += 16) {
    unsigned bits = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at)), space)));
    for (; bits != 0; bits &= bits - 1) add_start(at + static_cast<std::size_t>(std::countr_zero(bits)) + 1);
  }
#endif
  for (; at < size; ++at)
    if (data[at] == ' ') add_start(at + 1);

  if (tokens < kShingleWords) {
    // Fewer than five tokens: the one shingle is the whole stream.
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    ts[0] = mod_p(fnv1a(bytes, bytes + size));
    kernel.absorb(sketch.signature.data(), ts, 1);
  } else {
    // The last token ends where the stream does, as if a space followed it.
    starts[held++] = size + 1;
    if (held > kShingleWords) absorb(held - kShingleWords);
  }

  for (std::size_t k = 0; k < kMinHashBands; ++k) {
    const std::uint64_t* s = &sketch.signature[kMinHashRowsPerBand * k];
    sketch.bands[k] = band_key(s[0], s[1], s[2], s[3]);
  }
  return sketch;
}

MinHashSketch sketch_with(std::string_view text, const Kernel& kernel) {
  return sketch_of_stream(canonical_stream(text), kernel);
}

}  // namespace

std::uint64_t band_key(std::uint64_t v0, std::uint64_t v1, std::uint64_t v2, std::uint64_t v3) {
  std::uint64_t h = kFnvOffset;
  for (std::uint64_t v : {v0, v1, v2, v3})
    for (int i = 0; i < 8; ++i) h = (h ^ ((v >> (8 * i)) & 0xFF)) * kFnvPrime;
  return h;
}

MinHashSketch minhash_sketch(std::string_view text) { return sketch_with(text, best_kernel()); }

MinHashSketch minhash_sketch_of_stream(std::string_view stream) { return sketch_of_stream(stream, best_kernel()); }

std::vector<std::string_view> minhash_kernels() {
  return cpu::usable_names(kKernels);
}

std::optional<MinHashSketch> minhash_sketch_using(std::string_view text, std::string_view kernel) {
  const Kernel* k = find_kernel(kernel);
  if (k == nullptr) return std::nullopt;
  return sketch_with(text, *k);
}

std::optional<std::array<std::uint64_t, kMinHashPermutations>> minhash_absorb_using(
    std::span<const std::uint64_t> hashes, std::string_view kernel) {
  const Kernel* k = find_kernel(kernel);
  if (k == nullptr) return std::nullopt;
  std::array<std::uint64_t, kMinHashPermutations> signature;
  signature.fill(~std::uint64_t{0});
  k->absorb(signature.data(), hashes.data(), hashes.size());
  return signature;
}

}  // namespace vessolin
