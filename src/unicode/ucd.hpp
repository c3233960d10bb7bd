// The Unicode character data the text computations are defined on, compiled
// into the module from the Unicode Character Database (the version is
// kVersion) by tools/unicode/generate.py, so that every build gives the same
// bytes whatever the machine has installed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vessolin::unicode::ucd {

// One per distinct combination of facts; most code points share a few.
struct Record {
  // The UTF-8 bytes of the simple lowercase mapping, first byte lowest; 0
  // where the character maps to itself.
  std::uint32_t lower_utf8;
  // Offset in kDecompositions of the full canonical decomposition (its
  // length, then its code points); 0 for none. Hangul syllables decompose
  // by arithmetic instead.
  std::uint16_t decomposition;
  std::uint8_t combining_class;
  std::uint8_t flags;
};

enum Flag : std::uint8_t {
  kWord = 1 << 0,          // Alphabetic, or General Category Nd, Nl or No
  kWhiteSpace = 1 << 1,    // White_Space
  kNfcNo = 1 << 2,         // NFC_Quick_Check = No
  kNfcMaybe = 1 << 3,      // NFC_Quick_Check = Maybe (may combine with what precedes)
  kNfcStable = 1 << 4,     // NFC_Quick_Check = Yes and combining class 0
  kLowerIsWord = 1 << 5,   // the first code point of the full lowercase mapping is a word character
  kMultiLower = 1 << 6,    // the full lowercase mapping has several code points (see kMultiLowercase)
  kInvisible = 1 << 7,     // one of the zero-width characters the text computations ignore
};

// A pair of code points that composes, `first << 21 | second`, and what it
// composes to; sorted by the pair.
struct Composition {
  std::uint64_t pair;
  char32_t composite;
};

struct MultiLower {
  char32_t code_point;
  std::uint8_t length;
  char32_t mapping[3];
};

inline constexpr unsigned kBlockBits = 7;

extern const char kVersion[];
extern const std::uint16_t kStage1[0x110000 >> kBlockBits];
extern const std::uint16_t kStage2[];
extern const Record kRecords[];
// Bit c of the BMP: the character stands in the canonical stream as it is
// (an NFC-stable word character that lowercases to itself).
extern const std::uint64_t kCopiesAsIs[0x10000 / 64];
extern const char32_t kDecompositions[];
extern const Composition kCompositions[];
extern const std::size_t kCompositionCount;
extern const MultiLower kMultiLowercase[];
extern const std::size_t kMultiLowercaseCount;

// `c` must be below 0x110000.
inline const Record& record(char32_t c) {
  const std::size_t block = kStage1[c >> kBlockBits];
  return kRecords[kStage2[(block << kBlockBits) | (c & ((1u << kBlockBits) - 1))]];
}

}  // namespace vessolin::unicode::ucd
