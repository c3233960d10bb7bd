// Reading COSE_Sign1 envelopes: the structure, its headers under the header
// rules, and the reason a reading fails.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vessolin::cose {

// A failed reading carries its reason, as it follows "COSE decode failed: ".
template <class T>
using Decoded = std::expected<T, std::string>;

// The parts of a COSE_Sign1 that verification uses.
struct Sign1 {
  std::vector<std::uint8_t> protected_header;         // the bytes as received
  std::optional<std::vector<std::uint8_t>> payload;  // absent when null
  std::vector<std::uint8_t> signature;               // any length
};

// Reads `bytes` as one tagged COSE_Sign1 (tag 18), and failing that as an
// untagged one; the reason reported is that of the untagged reading. The
// item must use up all the bytes. Both headers must follow the header rules;
// neither is otherwise interpreted.
Decoded<Sign1> decode_sign1(std::span<const std::uint8_t> bytes);

}  // namespace vessolin::cose
