// Minimal UTF-8 helpers for text that is already known to be valid UTF-8
// (every str reaches the core through the interpreter's strict encoder).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vessolin::utf8 {

inline bool is_ascii(unsigned char b) { return b < 0x80; }

// Decodes the code point at `pos` and advances `pos` past it.
inline char32_t decode(std::string_view s, std::size_t& pos) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + pos;
  unsigned char b = p[0];
  if (b < 0x80) {
    pos += 1;
    return b;
  }
  if (b < 0xE0) {
    pos += 2;
    return (char32_t(b & 0x1F) << 6) | (p[1] & 0x3F);
  }
  if (b < 0xF0) {
    pos += 3;
    return (char32_t(b & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
  }
  pos += 4;
  return (char32_t(b & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) |
         (char32_t(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
}

// Decodes the code point that ends just before `end` and moves `end` to its start.
inline char32_t decode_before(std::string_view s, std::size_t& end) {
  std::size_t start = end - 1;
  while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
  std::size_t pos = start;
  char32_t c = decode(s, pos);
  end = start;
  return c;
}

// Writes the UTF-8 form of `c` to `out` (room for 4 bytes) and returns its length.
inline std::size_t encode(char32_t c, char* out) {
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (c >> 18));
  out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (c & 0x3F));
  return 4;
}

inline void append(std::string& out, char32_t c) {
  char bytes[4];
  out.append(bytes, encode(c, bytes));
}

// The number of code points in valid UTF-8: the bytes that are not
// continuation bytes, counted sixteen at a time.
inline std::size_t count_code_points(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  std::size_t n = 0;
  std::size_t pos = 0;
#if defined(__SSE2__)
  // Per byte lane, a count of up to 255 blocks; summed across lanes before
  // it could wrap.
  const __m128i above_continuation = _mm_set1_epi8(static_cast<char>(0xBF));  // as signed: -65
  while (s.size() - pos >= 16) {
    const std::size_t blocks = std::min<std::size_t>((s.size() - pos) / 16, 255);
    __m128i counts = _mm_setzero_si128();
    for (std::size_t i = 0; i < blocks; ++i, pos += 16) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + pos));
      counts = _mm_sub_epi8(counts, _mm_cmpgt_epi8(block, above_continuation));
    }
    const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
    n += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
         static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
  }
#endif
  for (; pos < s.size(); ++pos) n += (p[pos] & 0xC0) != 0x80;
  return n;
}

}  // namespace vessolin::utf8
