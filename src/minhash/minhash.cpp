#include "minhash/minhash.hpp"

#include <immintrin.h>

#include <algorithm>
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

inline std::uint64_t fnv1a(std::string_view s, std::uint64_t h = kFnvOffset) {
  for (unsigned char c : s) h = (h ^ c) * kFnvPrime;
  return h;
}

inline std::uint64_t mod_p(std::uint64_t h) {
  const std::uint64_t r = (h & kPrime) + (h >> 61);  // 2^61 = 1 (mod P); r <= P + 7
  return r >= kPrime ? r - kPrime : r;
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

// The vector kernels multiply with 32 x 32 -> 64-bit lanes, so each a_j is
// kept as its low 30 bits and the rest (below 2^31).
struct SplitFamily {
  alignas(64) std::uint64_t a_lo[kMinHashPermutations];
  alignas(64) std::uint64_t a_hi[kMinHashPermutations];
  alignas(64) std::uint64_t b[kMinHashPermutations];
};

constexpr SplitFamily split_family() {
  SplitFamily s{};
  for (std::size_t j = 0; j < kMinHashPermutations; ++j) {
    s.a_lo[j] = kFamily.a[j] & ((std::uint64_t{1} << 30) - 1);
    s.a_hi[j] = kFamily.a[j] >> 30;
    s.b[j] = kFamily.b[j];
  }
  return s;
}
constexpr SplitFamily kSplit = split_family();

struct ByteRange {
  std::size_t begin, end;
};

// FNV-1a of one shingle, advanced a few bytes at a time. The vector kernels
// hash the shingle after next this way between their vector steps for the
// current one: the hash is a chain of dependent scalar multiplications,
// which then runs beside the vector work, a whole shingle ahead of its use,
// instead of stalling it.
class FnvCursor {
 public:
  FnvCursor(const char* text, ByteRange r)
      : p_(reinterpret_cast<const unsigned char*>(text) + r.begin),
        end_(reinterpret_cast<const unsigned char*>(text) + r.end) {}
  FnvCursor() = default;

  void step2() {
    if (end_ - p_ >= 2) {
      h_ = (h_ ^ p_[0]) * kFnvPrime;
      h_ = (h_ ^ p_[1]) * kFnvPrime;
      p_ += 2;
    }
  }
  // The shingle's hash reduced modulo P: the t of the hash family.
  std::uint64_t finish() {
    while (p_ != end_) h_ = (h_ ^ *p_++) * kFnvPrime;
    return mod_p(h_);
  }

 private:
  const unsigned char* p_ = nullptr;
  const unsigned char* end_ = nullptr;
  std::uint64_t h_ = kFnvOffset;
};

// Lowers each signature value to its hash of each of `count` shingles, given
// as byte ranges of `text`.
using AbsorbKernel = void (*)(std::uint64_t* signature, const char* text, const ByteRange* shingles,
                              std::size_t count);

void absorb_portable(std::uint64_t* sig, const char* text, const ByteRange* shingles, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t t = FnvCursor(text, shingles[i]).finish();
    for (std::size_t j = 0; j < kMinHashPermutations; ++j) {
      const std::uint64_t v = affine_mod_p(kFamily.a[j], t, kFamily.b[j]);
      sig[j] = v < sig[j] ? v : sig[j];
    }
  }
}

// The vector kernels compute the same exact value as affine_mod_p. With
// a = a1 2^30 + a0 (a0 < 2^30, a1 < 2^31), t = t1 2^31 + t0 (t0 < 2^31,
// t1 < 2^30) and 2^61 = 1 (mod P):
//   a t = a1 t1 2^61 + (a1 t0 + a0 2t1) 2^30 + a0 t0
//       = a1 t1 + c 2^30 + a0 t0                        with c = a1 t0 + a0 2t1 < 2^63
//   c 2^30 = (c >> 31) 2^61 + (c mod 2^31) 2^30 = (c >> 31) + (c mod 2^31) 2^30.
// Every product fits a 32 x 32-bit multiplication, and
//   x = a1 t1 + a0 t0 + b + (c mod 2^31) 2^30 + (c >> 31)
// is congruent to a t + b: four terms below 2^61 and one below 2^32, so
// x < 2^63 + 2^32 does not overflow, and x is then reduced as in affine_mod_p
// (its top three bits are at most 4, so one fold leaves it below 2P).

// GCC 12 warns about the deliberately undefined lanes inside its own
// broadcast intrinsics.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

__attribute__((target("avx512f"))) void absorb_avx512(std::uint64_t* sig, const char* text,
                                                      const ByteRange* shingles, std::size_t count) {
  const __m512i p = _mm512_set1_epi64(static_cast<long long>(kPrime));
  __m512i s[kMinHashPermutations / 8];
  for (std::size_t k = 0; k < kMinHashPermutations / 8; ++k) s[k] = _mm512_loadu_si512(sig + 8 * k);
  std::uint64_t t = count > 0 ? FnvCursor(text, shingles[0]).finish() : 0;
  std::uint64_t t_next = count > 1 ? FnvCursor(text, shingles[1]).finish() : 0;
  for (std::size_t i = 0; i < count; ++i) {
    const __m512i t0 = _mm512_set1_epi64(static_cast<long long>(t & 0x7FFFFFFF));
    const __m512i t1 = _mm512_set1_epi64(static_cast<long long>(t >> 31));
    const __m512i t1x2 = _mm512_set1_epi64(static_cast<long long>((t >> 31) * 2));
    FnvCursor next = i + 2 < count ? FnvCursor(text, shingles[i + 2]) : FnvCursor();
    for (std::size_t k = 0; k < kMinHashPermutations / 8; ++k) {
      next.step2();
      const __m512i a0 = _mm512_load_si512(kSplit.a_lo + 8 * k);
      const __m512i a1 = _mm512_load_si512(kSplit.a_hi + 8 * k);
      const __m512i b = _mm512_load_si512(kSplit.b + 8 * k);
      const __m512i c = _mm512_add_epi64(_mm512_mul_epu32(a1, t0), _mm512_mul_epu32(a0, t1x2));
      __m512i x = _mm512_add_epi64(_mm512_mul_epu32(a1, t1), _mm512_mul_epu32(a0, t0));
      x = _mm512_add_epi64(x, b);
      x = _mm512_add_epi64(x, _mm512_srli_epi64(_mm512_slli_epi64(c, 33), 3));
      x = _mm512_add_epi64(x, _mm512_srli_epi64(c, 31));
      x = _mm512_add_epi64(_mm512_and_si512(x, p), _mm512_srli_epi64(x, 61));
      x = _mm512_min_epu64(x, _mm512_sub_epi64(x, p));  // x - P wraps to a large value when x < P
      s[k] = _mm512_min_epu64(s[k], x);
    }
    t = t_next;
    t_next = next.finish();
  }
  for (std::size_t k = 0; k < kMinHashPermutations / 8; ++k) _mm512_storeu_si512(sig + 8 * k, s[k]);
}

#pragma GCC diagnostic pop

// `if_set` where the top bit of `mask` is set, else `if_clear`.
__attribute__((target("avx2"))) inline __m256i select_by_sign(__m256i if_clear, __m256i if_set, __m256i mask) {
  return _mm256_castpd_si256(
      _mm256_blendv_pd(_mm256_castsi256_pd(if_clear), _mm256_castsi256_pd(if_set), _mm256_castsi256_pd(mask)));
}

// AVX2 has no unsigned 64-bit minimum; every value met here is below 2^63,
// so signed comparisons serve once the starting values are clamped to it.
__attribute__((target("avx2"))) void absorb_avx2(std::uint64_t* sig, const char* text, const ByteRange* shingles,
                                                  std::size_t count) {
  const __m256i p = _mm256_set1_epi64x(static_cast<long long>(kPrime));
  const __m256i max_signed = _mm256_set1_epi64x(INT64_MAX);
  __m256i s[kMinHashPermutations / 4];
  for (std::size_t k = 0; k < kMinHashPermutations / 4; ++k) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sig + 4 * k));
    s[k] = select_by_sign(v, max_signed, v);
  }
  std::uint64_t t = count > 0 ? FnvCursor(text, shingles[0]).finish() : 0;
  std::uint64_t t_next = count > 1 ? FnvCursor(text, shingles[1]).finish() : 0;
  for (std::size_t i = 0; i < count; ++i) {
    const __m256i t0 = _mm256_set1_epi64x(static_cast<long long>(t & 0x7FFFFFFF));
    const __m256i t1 = _mm256_set1_epi64x(static_cast<long long>(t >> 31));
    const __m256i t1x2 = _mm256_set1_epi64x(static_cast<long long>((t >> 31) * 2));
    FnvCursor next = i + 2 < count ? FnvCursor(text, shingles[i + 2]) : FnvCursor();
    for (std::size_t k = 0; k < kMinHashPermutations / 4; ++k) {
      if (k % 2 == 0) next.step2();
      const __m256i a0 = _mm256_load_si256(reinterpret_cast<const __m256i*>(kSplit.a_lo + 4 * k));
      const __m256i a1 = _mm256_load_si256(reinterpret_cast<const __m256i*>(kSplit.a_hi + 4 * k));
      const __m256i b = _mm256_load_si256(reinterpret_cast<const __m256i*>(kSplit.b + 4 * k));
      const __m256i c = _mm256_add_epi64(_mm256_mul_epu32(a1, t0), _mm256_mul_epu32(a0, t1x2));
      __m256i x = _mm256_add_epi64(_mm256_mul_epu32(a1, t1), _mm256_mul_epu32(a0, t0));
      x = _mm256_add_epi64(x, b);
      x = _mm256_add_epi64(x, _mm256_srli_epi64(_mm256_slli_epi64(c, 33), 3));
      x = _mm256_add_epi64(x, _mm256_srli_epi64(c, 31));
      x = _mm256_add_epi64(_mm256_and_si256(x, p), _mm256_srli_epi64(x, 61));
      const __m256i reduced = _mm256_sub_epi64(x, p);
      x = select_by_sign(reduced, x, reduced);  // x - P is negative exactly when x < P
      s[k] = select_by_sign(s[k], x, _mm256_cmpgt_epi64(s[k], x));
    }
    t = t_next;
    t_next = next.finish();
  }
  for (std::size_t k = 0; k < kMinHashPermutations / 4; ++k)
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(sig + 4 * k), s[k]);
}

// Fastest first.
const cpu::Kernel<AbsorbKernel> kKernels[] = {
    {"avx512", absorb_avx512, cpu::Isa::Avx512f},
    {"avx2", absorb_avx2, cpu::Isa::Avx2},
    {"portable", absorb_portable, cpu::Isa::Baseline},
};

AbsorbKernel absorb_kernel() {
  static const AbsorbKernel kernel = cpu::fastest(kKernels);
  return kernel;
}

MinHashSketch sketch_with(std::string_view text, AbsorbKernel absorb) {
  const std::string stream = canonical_stream(text);
  MinHashSketch sketch;
  sketch.signature.fill(~std::uint64_t{0});

  // Shingles are hashed and absorbed in batches, so that memory does not
  // grow with the text beyond its canonical stream.
  constexpr std::size_t kBatch = 256;
  ByteRange ranges[kBatch];
  std::size_t pending = 0;
  const auto flush = [&] {
    absorb(sketch.signature.data(), stream.data(), ranges, pending);
    pending = 0;
  };

  // Byte offsets at which the last five tokens start: shingle i runs from
  // the start of token i to the end of token i + 4.
  std::array<std::size_t, kShingleWords> starts{};
  std::size_t tokens = 0;
  std::size_t begin = 0;
  for (;;) {
    const std::size_t space = stream.find(' ', begin);
    const std::size_t end = space == std::string::npos ? stream.size() : space;
    starts[tokens % kShingleWords] = begin;
    ++tokens;
    if (tokens >= kShingleWords) {
      ranges[pending++] = {starts[(tokens - kShingleWords) % kShingleWords], end};
      if (pending == kBatch) flush();
    }
    if (space == std::string::npos) break;
    begin = space + 1;
  }
  // Fewer than five tokens: the one shingle is the whole stream.
  if (tokens < kShingleWords) ranges[pending++] = {0, stream.size()};
  if (pending != 0) flush();

  for (std::size_t k = 0; k < kMinHashBands; ++k) {
    const std::uint64_t* s = &sketch.signature[kMinHashRowsPerBand * k];
    sketch.bands[k] = band_key(s[0], s[1], s[2], s[3]);
  }
  return sketch;
}

}  // namespace

const MinHashFamily& minhash_family() { return kFamily; }

std::uint64_t band_key(std::uint64_t v0, std::uint64_t v1, std::uint64_t v2, std::uint64_t v3) {
  std::uint64_t h = kFnvOffset;
  for (std::uint64_t v : {v0, v1, v2, v3})
    for (int i = 0; i < 8; ++i) h = (h ^ ((v >> (8 * i)) & 0xFF)) * kFnvPrime;
  return h;
}

MinHashSketch minhash_sketch(std::string_view text) { return sketch_with(text, absorb_kernel()); }

std::vector<std::string_view> minhash_kernels() { return cpu::usable_names(kKernels); }

std::optional<MinHashSketch> minhash_sketch_using(std::string_view text, std::string_view kernel) {
  const AbsorbKernel absorb = cpu::usable(kKernels, kernel);
  if (absorb == nullptr) return std::nullopt;
  return sketch_with(text, absorb);
}

}  // namespace vessolin
