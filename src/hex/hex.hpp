// Hexadecimal text: the one form in which byte strings cross the Python boundary.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vessolin::hex {

using Bytes = std::vector<std::uint8_t>;

// Lowercase, two digits per byte, high nibble first.
std::string encode(std::span<const std::uint8_t> bytes);

// Decodes hexadecimal text after trimming White_Space at both ends; either
// case is accepted. On failure returns the reason: "Odd number of digits"
// (checked before any character), or "Invalid character C at position P" for
// the first offending byte of the trimmed text.
std::expected<Bytes, std::string> decode_trimmed(std::string_view text);

// Decodes exactly `text` (no trimming) into `out`, which must hold
// text.size() / 2 bytes; false on odd length or any non-digit.
bool decode_exact(std::string_view text, std::uint8_t* out);

// A byte shown as the Latin-1 character of the same value, written as a
// character literal between single quotes, with escapes for quotes,
// backslash, control and invisible characters.
std::string char_literal(std::uint8_t byte);

}  // namespace vessolin::hex
