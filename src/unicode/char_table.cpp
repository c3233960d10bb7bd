#include "unicode/char_table.hpp"

#include <unicode/uchar.h>
#include <unicode/unorm2.h>

#include "unicode/properties.hpp"
#include "unicode/utf8.hpp"

namespace vessolin::unicode {

CharInfo CharInfo::make(char32_t lower, std::uint64_t flags) {
  char bytes[4];
  const std::size_t length = utf8::encode(lower, bytes);
  std::uint64_t packed = 0;
  for (std::size_t i = 0; i < length; ++i) packed |= std::uint64_t{static_cast<unsigned char>(bytes[i])} << (8 * i);
  CharInfo info;
  info.bits_ = packed | (std::uint64_t{length} << 32) | flags | (std::uint64_t{lower} << 40);
  return info;
}

}  // namespace vessolin::unicode

namespace vessolin::unicode::detail {

std::atomic<const CharInfo*> char_blocks[kBlockCount];

namespace {

CharInfo compute(char32_t c) {
  const auto cp = static_cast<UChar32>(c);
  char32_t lower[3];
  const int count = lowercase_full(c, lower);
  std::uint64_t flags = 0;
  if (count > 1) flags |= CharInfo::kMultiLower;
  if (is_word_char(lower[0])) flags |= CharInfo::kLowerIsWord;
  if (is_invisible(c)) flags |= CharInfo::kInvisible;
  if (u_getIntPropertyValue(cp, UCHAR_NFC_QUICK_CHECK) == UNORM_YES && u_getCombiningClass(cp) == 0) {
    flags |= CharInfo::kNfcStable;
  }
  return CharInfo::make(lower[0], flags);
}

}  // namespace

const CharInfo* load_char_block(std::size_t block) {
  auto* entries = new CharInfo[std::size_t{1} << kBlockBits];
  const char32_t first = static_cast<char32_t>(block << kBlockBits);
  for (std::size_t i = 0; i < (std::size_t{1} << kBlockBits); ++i) entries[i] = compute(first + static_cast<char32_t>(i));
  // Two threads may fill the same block; both computed the same values, so
  // the loser drops its copy. Published blocks live as long as the process.
  const CharInfo* expected = nullptr;
  if (!char_blocks[block].compare_exchange_strong(expected, entries, std::memory_order_acq_rel)) {
    delete[] entries;
    return expected;
  }
  return entries;
}

}  // namespace vessolin::unicode::detail
