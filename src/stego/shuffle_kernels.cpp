#include "stego/shuffle_kernels.hpp"

#include <algorithm>
#include <array>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "cpu/kernels.hpp"
#include "stego/placement.hpp"

namespace vessolin::stego::detail {

namespace {

std::uint64_t draws_portable(std::uint64_t x, std::uint32_t first, std::size_t count, std::uint32_t* out) {
  for (std::size_t i = 0; i < count; ++i) {
    x = xorshift(x);
    const std::uint64_t k = first - i;
    out[i] = static_cast<std::uint32_t>(
        remainder_by_reciprocal(x * kShuffleMultiplier, k, 1.0 / static_cast<double>(k)));
  }
  return x;
}

void remainders_portable(const std::uint64_t* r, const std::uint32_t* k, std::size_t count, std::uint32_t* out) {
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = static_cast<std::uint32_t>(remainder_by_reciprocal(r[i], k[i], 1.0 / static_cast<double>(k[i])));
  }
}

#if defined(__x86_64__)

// The xorshift step is linear over GF(2), so J steps are one 64 x 64 bit
// matrix, held as the images of the 64 unit vectors. Four lanes start J
// steps apart and run side by side in one vector, which breaks the
// dependency of each state on the one before. (Eight lanes in two vectors
// measured slower: the work is bound by the vector ports, not by latency.)
constexpr std::size_t kLaneSteps = 128;
constexpr std::size_t kLanes = 4;
constexpr std::size_t kBlockSteps = kLanes * kLaneSteps;

// The jump, as the images of every value of each of the sixteen nibbles of
// the state: sixteen loads and exclusive ors per jump (2 KB of tables).
using JumpTable = std::array<std::array<std::uint64_t, 16>, 16>;

constexpr JumpTable jump_table() {
  std::array<std::uint64_t, 64> columns{};
  for (std::size_t bit = 0; bit < 64; ++bit) {
    std::uint64_t x = std::uint64_t{1} << bit;
    for (std::size_t i = 0; i < kLaneSteps; ++i) x = xorshift(x);
    columns[bit] = x;
  }
  JumpTable table{};
  for (std::size_t nibble = 0; nibble < 16; ++nibble) {
    for (std::size_t value = 0; value < 16; ++value) {
      std::uint64_t image = 0;
      for (std::size_t bit = 0; bit < 4; ++bit) {
        if ((value >> bit) & 1) image ^= columns[4 * nibble + bit];
      }
      table[nibble][value] = image;
    }
  }
  return table;
}
constexpr JumpTable kJump = jump_table();

// The state kLaneSteps steps after x.
std::uint64_t jump(std::uint64_t x) {
  std::uint64_t y = 0;
  for (std::size_t nibble = 0; nibble < 16; ++nibble) y ^= kJump[nibble][(x >> (4 * nibble)) & 15];
  return y;
}

// r mod k in four lanes, for r < 2^64 and k from 4 to 2^31 - 1, given k
// and 1/k as doubles. r's halves become doubles by placing them in the
// mantissas of 2^84 and 2^52: the high half lands scaled by 2^32, exactly.
// A first quotient q, from that high half alone and rounded to an integer
// by adding and taking away 1.5 * 2^52, is within about 2^12 of r / k (the
// low half, 1/k rounded, the rounding to an integer step of up to 2^11), so
// r - q k is below 2^44 in magnitude: one fused multiply-add gives it
// exactly, and the low half is added. A second quotient from that, rounded
// to nearest, leaves a remainder in (-k, k), mended when negative.
__attribute__((target("avx2,fma"))) inline __m128i remainders_avx2(__m256i r, __m256d k, __m256d inv) {
  const __m256i magic52 = _mm256_set1_epi64x(0x4330000000000000LL);
  const __m256i magic84 = _mm256_set1_epi64x(0x4530000000000000LL);
  const __m256d round = _mm256_set1_pd(6755399441055744.0);  // 1.5 * 2^52
  const __m256d hi = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(_mm256_srli_epi64(r, 32), magic84)),
                                   _mm256_castsi256_pd(magic84));
  const __m256d lo = _mm256_sub_pd(
      _mm256_castsi256_pd(_mm256_blend_epi32(r, magic52, 0b10101010)), _mm256_castsi256_pd(magic52));
  const __m256d q = _mm256_sub_pd(_mm256_fmadd_pd(hi, inv, round), round);
  const __m256d e = _mm256_add_pd(_mm256_fnmadd_pd(q, k, hi), lo);
  const __m256d q2 = _mm256_sub_pd(_mm256_fmadd_pd(e, inv, round), round);
  __m256d j = _mm256_fnmadd_pd(q2, k, e);  // in (-k, k)
  j = _mm256_add_pd(j, _mm256_and_pd(_mm256_cmp_pd(j, _mm256_setzero_pd(), _CMP_LT_OQ), k));
  return _mm256_cvttpd_epi32(j);
}

// x * C mod 2^64 in four lanes, from 32-bit products.
__attribute__((target("avx2"))) inline __m256i times_multiplier_avx2(__m256i x) {
  const __m256i c_lo = _mm256_set1_epi64x(static_cast<std::int64_t>(kShuffleMultiplier & 0xFFFFFFFFu));
  const __m256i c_hi = _mm256_set1_epi64x(static_cast<std::int64_t>(kShuffleMultiplier >> 32));
  const __m256i low = _mm256_mul_epu32(x, c_lo);
  const __m256i cross = _mm256_add_epi64(_mm256_mul_epu32(_mm256_srli_epi64(x, 32), c_lo), _mm256_mul_epu32(x, c_hi));
  return _mm256_add_epi64(low, _mm256_slli_epi64(cross, 32));
}

__attribute__((target("avx2"))) inline __m256i xorshift_avx2(__m256i s) {
  s = _mm256_xor_si256(s, _mm256_srli_epi64(s, 12));
  s = _mm256_xor_si256(s, _mm256_slli_epi64(s, 25));
  return _mm256_xor_si256(s, _mm256_srli_epi64(s, 27));
}

// The draws of steps first, first - 1, ... first - kBlockSteps + 1 into
// `out`, from the state x before them; returns the eight lanes' states at
// the end, of which the last is the state after the whole block.
__attribute__((target("avx2,fma"))) inline __m256i block_avx2(std::uint64_t x, std::uint32_t first,
                                                             std::uint32_t* out) {
  alignas(32) std::uint64_t starts[kLanes];
  starts[0] = x;
  for (std::size_t lane = 1; lane < kLanes; ++lane) starts[lane] = jump(starts[lane - 1]);
  __m256i s = _mm256_load_si256(reinterpret_cast<const __m256i*>(starts));
  const __m256d one = _mm256_set1_pd(1.0);
  __m256d k = _mm256_sub_pd(_mm256_set1_pd(static_cast<double>(first)),
                            _mm256_setr_pd(0.0, 1.0 * kLaneSteps, 2.0 * kLaneSteps, 3.0 * kLaneSteps));
  for (std::size_t t = 0; t < kLaneSteps; t += 4) {
    // Four steps of every lane, then turned so that each lane's four draws
    // are stored together.
    __m128 j[4];
#pragma GCC unroll 4
    for (std::size_t step = 0; step < 4; ++step) {
      s = xorshift_avx2(s);
      j[step] = _mm_castsi128_ps(remainders_avx2(times_multiplier_avx2(s), k, _mm256_div_pd(one, k)));
      k = _mm256_sub_pd(k, one);
    }
    _MM_TRANSPOSE4_PS(j[0], j[1], j[2], j[3]);
#pragma GCC unroll 4
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
      _mm_storeu_ps(reinterpret_cast<float*>(out + lane * kLaneSteps + t), j[lane]);
    }
  }
  return s;
}

__attribute__((target("avx2,fma"))) std::uint64_t draws_avx2(std::uint64_t x, std::uint32_t first, std::size_t count,
                                                            std::uint32_t* out) {
  std::size_t done = 0;
  for (; count - done >= kBlockSteps; done += kBlockSteps) {
    x = static_cast<std::uint64_t>(_mm256_extract_epi64(block_avx2(x, first - done, out + done), 3));
  }
  const std::size_t rest = count - done;
  if (rest < kBlockSteps / 4) return draws_portable(x, static_cast<std::uint32_t>(first - done), rest, out + done);
  // A whole block, of which the first `rest` draws are kept; divisors past
  // the run's last give draws that are never read. The state after `rest`
  // steps is that of the lane it falls in, stepped on.
  std::uint32_t block[kBlockSteps];
  block_avx2(x, static_cast<std::uint32_t>(first - done), block);
  std::copy_n(block, rest, out + done);
  for (std::size_t lane = 0; lane < rest / kLaneSteps; ++lane) x = jump(x);
  for (std::size_t i = 0; i < rest % kLaneSteps; ++i) x = xorshift(x);
  return x;
}

__attribute__((target("avx2,fma"))) void remainders_avx2_all(const std::uint64_t* r, const std::uint32_t* k,
                                                            std::size_t count, std::uint32_t* out) {
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    const __m256d kd = _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(k + i)));
    const __m128i j = remainders_avx2(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(r + i)), kd,
                                      _mm256_div_pd(_mm256_set1_pd(1.0), kd));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), j);
  }
  remainders_portable(r + i, k + i, count - i, out + i);
}

#endif

constexpr cpu::Kernel<ShuffleKernels> kKernels[] = {
#if defined(__x86_64__)
    {"avx2", {draws_avx2, remainders_avx2_all}, cpu::Isa::Avx2},
#endif
    {"portable", {draws_portable, remainders_portable}, cpu::Isa::Baseline},
};

}  // namespace

const ShuffleKernels& shuffle_kernels() {
  static const ShuffleKernels kernels = cpu::fastest(kKernels);
  return kernels;
}

std::vector<std::string_view> shuffle_kernel_names() { return cpu::usable_names(kKernels); }

const ShuffleKernels* shuffle_kernels_named(std::string_view name) {
  for (const cpu::Kernel<ShuffleKernels>& k : kKernels)
    if (k.name == name && cpu::supports(k.needs)) return &k.fn;
  return nullptr;
}

}  // namespace vessolin::stego::detail
