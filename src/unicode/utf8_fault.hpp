// Where a byte string stops being UTF-8, and why.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

namespace vessolin::utf8 {

struct Fault {
  std::size_t valid_up_to;  // length of the longest valid prefix
  // The length of the invalid sequence that follows it (1 to 3 bytes: the
  // maximal subpart of an ill-formed sequence), or 0 when the input ends in
  // the middle of a sequence that was well-formed so far.
  std::size_t invalid_length;
};

// The first fault in `bytes`, or nothing when they are valid UTF-8 (no
// overlong forms, no surrogates, nothing above U+10FFFF).
inline std::optional<Fault> find_fault(std::span<const std::uint8_t> bytes) {
  constexpr std::uint64_t kHigh = 0x8080808080808080u;
  const std::uint8_t* p = bytes.data();
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    // Skip ASCII 32 bytes at a time, then 8, then byte by byte up to the
    // next byte with its high bit set, so that a run is never re-tested.
    std::uint64_t w[4];
    while (n - i >= 32 && (std::memcpy(w, p + i, 32), ((w[0] | w[1] | w[2] | w[3]) & kHigh) == 0)) i += 32;
    while (n - i >= 8 && (std::memcpy(w, p + i, 8), (w[0] & kHigh) == 0)) i += 8;
    while (i < n && p[i] < 0x80) ++i;
    if (i == n) break;

    // The second byte's range depends on the first (it excludes overlong
    // forms, surrogates and values past U+10FFFF); later bytes are any
    // continuation byte.
    const std::uint8_t first = p[i];
    std::size_t width;
    std::uint8_t low = 0x80, high = 0xBF;
    if (first >= 0xC2 && first <= 0xDF) {
      width = 2;
    } else if (first >= 0xE0 && first <= 0xEF) {
      width = 3;
      if (first == 0xE0) low = 0xA0;
      if (first == 0xED) high = 0x9F;
    } else if (first >= 0xF0 && first <= 0xF4) {
      width = 4;
      if (first == 0xF0) low = 0x90;
      if (first == 0xF4) high = 0x8F;
    } else {
      return Fault{i, 1};
    }
    for (std::size_t k = 1; k < width; ++k) {
      if (i + k >= n) return Fault{i, 0};
      const std::uint8_t b = p[i + k];
      const bool ok = k == 1 ? (b >= low && b <= high) : (b & 0xC0) == 0x80;
      if (!ok) return Fault{i, k};
    }
    i += width;
  }
  return std::nullopt;
}

// Whether `bytes` are valid UTF-8 throughout.
inline bool is_valid(std::span<const std::uint8_t> bytes) { return !find_fault(bytes); }

}  // namespace vessolin::utf8
