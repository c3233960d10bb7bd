// The kernels of skip_plain: the masks of 64 bytes of text at a time.
#include <string_view>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "cpu/kernels.hpp"
#include "stego/text_walk.hpp"

namespace vessolin::stego {

namespace {

std::size_t skip_plain_portable(std::string_view text, std::size_t pos, bool& in_word, std::size_t& words,
                                std::size_t stop_at, std::size_t stop_before) {
#if defined(__SSE2__)
  return detail::skip_plain_with<detail::Sse2Blocks>(text, pos, in_word, words, stop_at, stop_before);
#else
  // Without vectors the callers read every code point themselves.
  (void)text, (void)in_word, (void)words, (void)stop_at, (void)stop_before;
  return pos;
#endif
}

#if defined(__x86_64__)

// The same masks as Sse2Blocks, 32 bytes at a time.
struct Avx2Blocks {
  __attribute__((target("avx2"))) static detail::BlockMasks masks(const unsigned char* p) {
    const __m256i space = _mm256_set1_epi8(' ');
    const __m256i below_tab = _mm256_set1_epi8(0x08);
    const __m256i above_cr = _mm256_set1_epi8(0x0E);
    const __m256i c2 = _mm256_set1_epi8(static_cast<char>(0xC2));
    const __m256i e1 = _mm256_set1_epi8(static_cast<char>(0xE1));
    const __m256i e3 = _mm256_set1_epi8(static_cast<char>(0xE3));
    const __m256i ef = _mm256_set1_epi8(static_cast<char>(0xEF));
    detail::BlockMasks m{0, 0};
    for (int i = 0; i < 2; ++i) {
      const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * i));
      const __m256i controls = _mm256_and_si256(_mm256_cmpgt_epi8(block, below_tab), _mm256_cmpgt_epi8(above_cr, block));
      const __m256i white = _mm256_or_si256(_mm256_cmpeq_epi8(block, space), controls);
      const __m256i e2_e3 = _mm256_cmpeq_epi8(_mm256_or_si256(block, _mm256_set1_epi8(1)), e3);
      const __m256i leads = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(block, c2), _mm256_cmpeq_epi8(block, e1)),
                                            _mm256_or_si256(e2_e3, _mm256_cmpeq_epi8(block, ef)));
      m.white |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm256_movemask_epi8(white))) << (32 * i);
      m.candidates |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm256_movemask_epi8(leads))) << (32 * i);
    }
    return m;
  }
  __attribute__((target("popcnt"))) static unsigned popcount(std::uint64_t x) {
    return static_cast<unsigned>(_mm_popcnt_u64(x));
  }
};

__attribute__((target("avx2,popcnt"), flatten)) std::size_t skip_plain_avx2(std::string_view text, std::size_t pos,
                                                                   bool& in_word, std::size_t& words,
                                                                   std::size_t stop_at, std::size_t stop_before) {
  return detail::skip_plain_with<Avx2Blocks>(text, pos, in_word, words, stop_at, stop_before);
}

#endif

constexpr cpu::Kernel<SkipPlainKernel> kKernels[] = {
#if defined(__x86_64__)
    {"avx2", skip_plain_avx2, cpu::Isa::Avx2},
#endif
    {"portable", skip_plain_portable, cpu::Isa::Baseline},
};

}  // namespace

std::size_t skip_plain(std::string_view text, std::size_t pos, bool& in_word, std::size_t& words,
                       std::size_t stop_at, std::size_t stop_before) {
  static const SkipPlainKernel kernel = cpu::fastest(kKernels);
  return kernel(text, pos, in_word, words, stop_at, stop_before);
}

std::vector<std::string_view> skip_plain_kernel_names() { return cpu::usable_names(kKernels); }

SkipPlainKernel skip_plain_kernel(std::string_view name) { return cpu::usable(kKernels, name); }

}  // namespace vessolin::stego
