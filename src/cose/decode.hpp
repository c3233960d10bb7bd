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

// A byte string as read: where it stands in the input, or joined from the
// chunks of an indefinite-length string.
class ByteString {
 public:
  ByteString() = default;
  static ByteString in_input(std::span<const std::uint8_t> where) {
    ByteString b;
    b.input_ = where;
    return b;
  }
  static ByteString joined(std::vector<std::uint8_t> bytes) {
    ByteString b;
    b.joined_ = std::move(bytes);
    b.is_joined_ = true;
    return b;
  }
  std::span<const std::uint8_t> bytes() const { return is_joined_ ? std::span<const std::uint8_t>(joined_) : input_; }

 private:
  std::span<const std::uint8_t> input_;
  std::vector<std::uint8_t> joined_;
  bool is_joined_ = false;
};

// The parts of a COSE_Sign1 that verification uses. They may point into the
// bytes that were read, which must outlive them.
struct Sign1 {
  ByteString protected_header;         // the bytes as received
  std::optional<ByteString> payload;  // absent when null
  ByteString signature;               // any length
};

// Reads `bytes` as one tagged COSE_Sign1 (tag 18), and failing that as an
// untagged one; the reason reported is that of the untagged reading. The
// item must use up all the bytes. Both headers must follow the header rules;
// neither is otherwise interpreted.
Decoded<Sign1> decode_sign1(std::span<const std::uint8_t> bytes);

}  // namespace vessolin::cose
