// Writing a watermark into a text and reading it back blindly.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "error/error.hpp"
#include "stego/payload.hpp"

namespace vessolin::stego {

struct ExtractedWatermark {
  PointerField pointer;
  bool tag_verified;
  // Shards that were missing or malformed at their place and were rebuilt.
  std::uint64_t shards_recovered;
};

// `text` with 48 groups of four zero-width characters inserted after the
// scan words that extraction will look at, carrying the pointer (cut or
// zero-filled to 16 bytes) and its binding tag under `key`.
Result<std::string> embed_watermark(std::string_view text, std::span<const std::uint8_t> pointer,
                                    std::span<const std::uint8_t> key);

// The pointer read back from `text` alone, whether its tag verifies under
// `key` for this content, and how many shards had to be rebuilt.
Result<ExtractedWatermark> extract_watermark(std::string_view text, std::span<const std::uint8_t> key);

}  // namespace vessolin::stego
