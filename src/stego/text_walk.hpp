// How the watermark reads a text: each code point is white space, one of the
// four alphabet symbols, another invisible code point, or ordinary; words
// are runs of code points that are not white space.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "cpu/popcount.hpp"
#include "stego/alphabet.hpp"
#include "unicode/properties.hpp"
#include "unicode/utf8.hpp"

namespace vessolin::stego {

enum class Kind : std::uint8_t {
  Ordinary,    // neither white space nor invisible
  WhiteSpace,  // the White_Space property
  Symbol,      // one of the four alphabet characters
  Invisible,   // the rest of the invisible set: U+FEFF, U+FE00 to U+FE0F
};

struct CodePoint {
  Kind kind;
  std::uint8_t symbol;  // for Kind::Symbol
  std::size_t end;      // byte offset just past it
};

namespace detail {

constexpr std::array<Kind, 128> ascii_kinds() {
  std::array<Kind, 128> kinds{};
  for (char32_t b = 0; b < 128; ++b) kinds[b] = unicode::is_white_space(b) ? Kind::WhiteSpace : Kind::Ordinary;
  return kinds;
}
inline constexpr std::array<Kind, 128> kAsciiKinds = ascii_kinds();

}  // namespace detail

// The code point that starts at `pos` of valid UTF-8 text.
inline CodePoint read_code_point(std::string_view text, std::size_t pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  if (lead < 0x80) return {detail::kAsciiKinds[lead], 0, pos + 1};
  const char32_t c = utf8::decode(text, pos);
  const int symbol = symbol_of(c);
  if (symbol >= 0) return {Kind::Symbol, static_cast<std::uint8_t>(symbol), pos};
  if (unicode::is_invisible(c)) return {Kind::Invisible, 0, pos};
  return {unicode::is_white_space(c) ? Kind::WhiteSpace : Kind::Ordinary, 0, pos};
}

namespace detail {

// The index of the set bit of `mask` that has `k` set bits below it.
inline unsigned nth_set_bit(std::uint64_t mask, std::size_t k) {
  for (; k > 0; --k) mask &= mask - 1;
  return static_cast<unsigned>(__builtin_ctzll(mask));
}

// The lead bytes of the white space and invisible code points beyond ASCII.
constexpr bool is_candidate_lead(unsigned char b) {
  return b == 0xC2 || b == 0xE1 || b == 0xE2 || b == 0xE3 || b == 0xEF;
}

// Whether the UTF-8 code point at `p`, whose lead byte is a candidate, is
// white space (U+0085, U+00A0, U+1680, U+2000 to U+200A, U+2028, U+2029,
// U+202F, U+205F, U+3000) or invisible (U+200B to U+200D, U+2060, U+FEFF,
// U+FE00 to U+FE0F). Read from the bytes: the typographic quotes and dashes
// that share the lead byte E2 80 are met far more often than any of these.
constexpr bool white_or_invisible_bytes(const unsigned char* p) {
  switch (p[0]) {
    case 0xC2: return p[1] == 0x85 || p[1] == 0xA0;
    case 0xE1: return p[1] == 0x9A && p[2] == 0x80;
    case 0xE2:
      if (p[1] == 0x80) return p[2] <= 0x8D || p[2] == 0xA8 || p[2] == 0xA9 || p[2] == 0xAF;
      return p[1] == 0x81 && (p[2] == 0x9F || p[2] == 0xA0);
    case 0xE3: return p[1] == 0x80 && p[2] == 0x80;
    case 0xEF: return (p[1] == 0xBB && p[2] == 0xBF) || (p[1] == 0xB8 && p[2] <= 0x8F);
    default: return false;
  }
}

struct BlockMasks {
  std::uint64_t white;       // ASCII white space: U+0009 to U+000D, U+0020
  std::uint64_t candidates;  // lead bytes of possible non-ASCII white space or invisible code points
};

#if defined(__SSE2__)
// The masks of 64 bytes, sixteen at a time (SSE2 is part of x86-64).
struct Sse2Blocks {
  static BlockMasks masks(const unsigned char* p) {
    const __m128i space = _mm_set1_epi8(' ');
    const __m128i below_tab = _mm_set1_epi8(0x08);
    const __m128i above_cr = _mm_set1_epi8(0x0E);
    const __m128i c2 = _mm_set1_epi8(static_cast<char>(0xC2));
    const __m128i e1 = _mm_set1_epi8(static_cast<char>(0xE1));
    const __m128i e3 = _mm_set1_epi8(static_cast<char>(0xE3));
    const __m128i ef = _mm_set1_epi8(static_cast<char>(0xEF));
    BlockMasks m{0, 0};
    for (int i = 0; i < 4; ++i) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
      // As signed bytes every non-ASCII byte is negative, so only ASCII lands
      // between TAB and CR.
      const __m128i controls = _mm_and_si128(_mm_cmpgt_epi8(block, below_tab), _mm_cmplt_epi8(block, above_cr));
      const __m128i white = _mm_or_si128(_mm_cmpeq_epi8(block, space), controls);
      // E2 and E3 differ only in bit 0.
      const __m128i e2_e3 = _mm_cmpeq_epi8(_mm_or_si128(block, _mm_set1_epi8(1)), e3);
      const __m128i leads = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, c2), _mm_cmpeq_epi8(block, e1)),
                                         _mm_or_si128(e2_e3, _mm_cmpeq_epi8(block, ef)));
      m.white |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(white))) << (16 * i);
      m.candidates |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(leads))) << (16 * i);
    }
    return m;
  }
  static unsigned popcount(std::uint64_t x) { return cpu::popcount64(x); }
};
#endif

// The loop of skip_plain (below), over the masks of `Blocks`.
template <class Blocks>
inline std::size_t skip_plain_with(std::string_view text, std::size_t pos, bool& in_word, std::size_t& words,
                                   std::size_t stop_at, std::size_t stop_before) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  while (pos + 64 <= text.size() && pos < stop_before) {
    const BlockMasks m = Blocks::masks(p + pos);
    // Most candidates are typographic quotes and dashes (E2 80 xx): ordinary.
    unsigned taken = 64;
    for (std::uint64_t c = m.candidates; c != 0; c &= c - 1) {
      const auto at = static_cast<unsigned>(__builtin_ctzll(c));
      if (white_or_invisible_bytes(p + pos + at)) {
        taken = at;
        break;
      }
    }
    // Bytes beyond ASCII that are taken belong to ordinary code points, whose
    // bytes all count as not white space.
    const std::uint64_t taken_mask = taken == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << taken) - 1;
    const std::uint64_t starts = ~m.white & ((m.white << 1) | (in_word ? 0u : 1u)) & taken_mask;
    const unsigned count = Blocks::popcount(starts);
    if (count > stop_at - words) {
      const unsigned at = nth_set_bit(starts, stop_at - words);
      words = stop_at;
      in_word = false;  // the byte before a word start is white space, or the state was already so
      return pos + at;
    }
    words += count;
    if (taken > 0) in_word = (m.white >> (taken - 1) & 1u) == 0;
    pos += taken;
    if (taken < 64) return pos;  // at the lead byte of what stopped it
  }
  // A whole block may end inside an ordinary code point; the rest of it
  // starts no word, and the caller reads from the next code point.
  while (pos < text.size() && (p[pos] & 0xC0) == 0x80) ++pos;
  return pos;
}

}  // namespace detail

// Passes over text from `pos` 64 bytes at a time, counting in `words` the
// words that start there (a code point that is not white space after one
// that is, or first when `in_word` is false) and keeping `in_word` current.
// Stops at the first white space beyond ASCII and the first invisible code
// point, at the start of word number `stop_at` (counted from 0), at the
// first code point that starts in the last 63 bytes of the text, and at the
// first code point that starts at or after `stop_before` once it has passed
// it; returns where it stopped, always the start of a code point. Up to there,
// every word count of the watermark agrees (they differ only in how they
// treat invisible code points), so this serves each of them; the caller
// reads what follows code point by code point.
std::size_t skip_plain(std::string_view text, std::size_t pos, bool& in_word, std::size_t& words,
                       std::size_t stop_at, std::size_t stop_before = SIZE_MAX);

// The kernels of skip_plain this processor can run, fastest first, and a
// kernel by name (null when this processor cannot run it).
using SkipPlainKernel = std::size_t (*)(std::string_view, std::size_t, bool&, std::size_t&, std::size_t, std::size_t);
std::vector<std::string_view> skip_plain_kernel_names();
SkipPlainKernel skip_plain_kernel(std::string_view name);

}  // namespace vessolin::stego
