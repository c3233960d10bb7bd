#include "softbinding/builders.hpp"

#include <algorithm>
#include <array>
#include <limits>

#include "hex/hex.hpp"
#include "minhash/minhash.hpp"
#include "simhash/fingerprint.hpp"
#include "simhash/structural.hpp"
#include "simhash/surface.hpp"
#include "softbinding/codec.hpp"

namespace vessolin::softbinding {

SoftBinding single_block_assertion(std::string_view label, std::string value) {
  SoftBinding out;
  out.alg = label;
  out.blocks.push_back(Block{Scope{}, std::move(value)});
  return out;
}

namespace {

// Window positions are stored as signed 32-bit values; a stream too long
// for that is capped rather than wrapped.
std::int32_t capped(std::uint64_t position) {
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
  return static_cast<std::int32_t>(std::min(position, kMax));
}

Block window_block(const WindowFingerprint& window) {
  TextSelector selector{"", capped(window.start), capped(window.start + window.length)};
  Range range{RangeType::Textual, Text{{TextSelectorRange{std::move(selector)}}}};
  return Block{Scope{RegionOfInterest{{std::move(range)}}}, fingerprint_hex(window.fingerprint)};
}

}  // namespace

SoftBinding fingerprint_assertion(std::string_view text) {
  const SurfaceFingerprint fp = surface_fingerprint(text);
  SoftBinding out = single_block_assertion(kFingerprintLabel, fingerprint_hex(fp.whole));
  out.blocks.reserve(1 + fp.windows.size());
  for (const WindowFingerprint& window : fp.windows) out.blocks.push_back(window_block(window));
  return out;
}

SoftBinding structure_assertion(std::string_view text) {
  return single_block_assertion(kStructureLabel, fingerprint_hex(structural_fingerprint(text)));
}

SoftBinding minhash_assertion(std::string_view text) {
  const MinHashSketch sketch = minhash_sketch(text);
  std::array<std::uint8_t, kMinHashPermutations * 8> bytes;
  for (std::size_t j = 0; j < kMinHashPermutations; ++j) {
    for (int k = 0; k < 8; ++k) bytes[8 * j + k] = static_cast<std::uint8_t>(sketch.signature[j] >> (56 - 8 * k));
  }
  return single_block_assertion(kMinHashLabel, hex::encode(bytes));
}

SoftBinding watermark_assertion(std::span<const std::uint8_t> pointer) {
  return single_block_assertion(kWatermarkLabel, hex::encode(pointer));
}

Result<std::string> encode_hex(const SoftBinding& assertion) {
  const auto encoded = encode_soft_binding(assertion);
  if (!encoded) return std::unexpected(encoded.error());
  return hex::encode(*encoded);
}

std::string encode_hex_or_fault(const SoftBinding& assertion) {
  auto encoded = encode_hex(assertion);
  if (!encoded) throw InternalFault("soft-binding CBOR encode: " + encoded.error().debug());
  return std::move(*encoded);
}

}  // namespace vessolin::softbinding
