// BLAKE2b-512 of short messages, many at a time.
//
// The fingerprints hash tens of thousands of distinct feature strings of a
// few bytes each. A message of at most one 128-byte block is a single
// compression, yet libcrypto's digest interface sets up a fresh context for
// every message, which costs more than the compression itself, and it has no
// way to hash several messages at once. Here a short message is exactly one
// compression, and the vector kernels run the compressions of 4 or 8
// messages side by side, one message per 64-bit lane.
//
// Only the first 32 bytes of each digest are produced: all that the
// fingerprints use. The digest is still BLAKE2b-512 (RFC 7693 with digest
// length 64 and no key, salt or personalisation), not BLAKE2b-256, whose
// parameter block and so every output byte differ.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "crypto/digest.hpp"

namespace vessolin::crypto {

inline constexpr std::size_t kBlake2bBlockBytes = 128;

using ByteView = std::span<const std::uint8_t>;

// The first 32 bytes of the BLAKE2b-512 digest of `message`, of any length:
// computed here up to one block, by libcrypto beyond.
Digest32 blake2b512_head(ByteView message);

// The same for every message: out[i] for messages[i]; `out` holds as many
// entries as `messages`. Lengths may be mixed freely; messages longer than a
// block are handed to libcrypto one by one.
void blake2b512_head_batch(std::span<const ByteView> messages, std::span<Digest32> out);

// A message of at most 16 bytes given as the two words of its block, each
// read little-endian as BLAKE2b reads them, every byte past `length` zero:
// the form in which the surface fingerprint keeps its shingles, so that
// they go into the compression without being copied out byte by byte.
struct ShortMessage {
  std::uint64_t word[2];
  std::uint64_t length;  // 0 to 16
};

// The same for messages given as two words.
void blake2b512_head_batch(std::span<const ShortMessage> messages, std::span<Digest32> out);

// The batch is hashed by the fastest kernel the processor supports; all give
// the same bytes. For tests that compare them: the names of the kernels
// usable here, fastest first ("avx512", "avx2", "portable"), and the batch
// hashed by a given one (false, with `out` untouched, if it is unknown or
// this processor cannot run it).
std::vector<std::string_view> blake2b_kernels();
bool blake2b512_head_batch_using(std::string_view kernel, std::span<const ByteView> messages,
                                 std::span<Digest32> out);
bool blake2b512_head_batch_using(std::string_view kernel, std::span<const ShortMessage> messages,
                                 std::span<Digest32> out);

}  // namespace vessolin::crypto
