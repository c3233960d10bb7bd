// The two reduced forms of a text that every other computation starts from.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vessolin {

using Digest32 = std::array<std::uint8_t, 32>;

// NFC, invisible characters dropped, lowercased character by character, and
// reduced to its words joined by single spaces. `text` must be valid UTF-8.
std::string canonical_stream(std::string_view text);

// The canonical stream's kernel sets (for ASCII runs, and for runs of other
// text that stand as they are) this processor can run, fastest first, and
// the stream computed by a named one (none if it cannot run here).
std::vector<std::string_view> canonical_kernels();
std::optional<std::string> canonical_stream_using(std::string_view text, std::string_view kernel);

// NFC with the invisible characters dropped; nothing else changes.
std::string normalized_text(std::string_view text);

// SHA-256 of the canonical stream.
Digest32 content_digest(std::string_view text);

}  // namespace vessolin
