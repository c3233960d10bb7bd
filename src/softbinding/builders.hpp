// The four soft-binding assertions: one binding value of a text (or of a
// watermark pointer) under its algorithm label, ready to be encoded.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "error/error.hpp"
#include "softbinding/model.hpp"

namespace vessolin::softbinding {

inline constexpr std::string_view kFingerprintLabel = "com.tessaline.text-fingerprint.1";  // id 41
inline constexpr std::string_view kWatermarkLabel = "com.tessaline.zwc-watermark.2";       // id 42
inline constexpr std::string_view kStructureLabel = "com.tessaline.text-structure.1";      // id 43
inline constexpr std::string_view kMinHashLabel = "com.tessaline.text-minhash.1";          // id 44

// One block over the whole text holding `value`; no name, empty pad.
SoftBinding single_block_assertion(std::string_view label, std::string value);

// The surface fingerprint of the whole text, then one block per window with
// its code-point range.
SoftBinding fingerprint_assertion(std::string_view text);
SoftBinding structure_assertion(std::string_view text);
// The 128 signature values, 8 bytes big-endian each, as hex.
SoftBinding minhash_assertion(std::string_view text);
SoftBinding watermark_assertion(std::span<const std::uint8_t> pointer);

// The encoded assertion as hex, for the builders of a text: their records
// always encode, so a failure is a broken invariant (InternalFault).
std::string encode_hex_or_fault(const SoftBinding& assertion);
// The encoded assertion as hex, or the encoder's failure.
Result<std::string> encode_hex(const SoftBinding& assertion);

}  // namespace vessolin::softbinding
