// Writing a watermark into a text and reading it back blindly.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error/error.hpp"
#include "stego/payload.hpp"

namespace vessolin::stego {

struct ExtractedWatermark {
  PointerField pointer;
  bool tag_verified;
  // Shards that were missing or malformed at their place and were rebuilt.
  std::uint64_t shards_recovered;
};

// One group of four zero-width characters and where it goes in the text it
// is written into: a byte offset, and the number of code points before it.
struct GroupInsertion {
  std::size_t offset;
  std::size_t code_points;
  std::string group;  // 12 bytes of UTF-8
};

// The 48 groups that write the watermark into `text`, in text order: after
// the scan words that extraction will look at, carrying the pointer (cut or
// zero-filled to 16 bytes) and its binding tag under `key`. Inserting them
// and nothing else gives the marked text.
Result<std::vector<GroupInsertion>> watermark_insertions(std::string_view text, std::span<const std::uint8_t> pointer,
                                                         std::span<const std::uint8_t> key);

// The pointer read back from `text` alone, whether its tag verifies under
// `key` for this content, and how many shards had to be rebuilt.
Result<ExtractedWatermark> extract_watermark(std::string_view text, std::span<const std::uint8_t> key);

}  // namespace vessolin::stego
