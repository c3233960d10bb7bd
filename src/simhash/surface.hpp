// The surface fingerprint: a SimHash of the canonical stream over its
// overlapping four-code-point shingles, for the whole stream and, for long
// streams, for each window of 512 code points.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "simhash/fingerprint.hpp"

namespace vessolin {

// `start` and `length` count code points of the canonical stream.
struct WindowFingerprint {
  Fingerprint256 fingerprint;
  std::uint64_t start;
  std::uint64_t length;

  friend bool operator==(const WindowFingerprint&, const WindowFingerprint&) = default;
};

struct SurfaceFingerprint {
  Fingerprint256 whole;
  std::vector<WindowFingerprint> windows;  // in order of start; empty up to 512 code points
};

inline constexpr std::uint64_t kWindowLength = 512;
inline constexpr std::uint64_t kWindowStep = 256;

// The whole-text fingerprint and the windows of `text` (any valid UTF-8).
SurfaceFingerprint surface_fingerprint(std::string_view text);

// The whole-text fingerprint alone, without the cost of the windows.
Fingerprint256 surface_fingerprint_whole(std::string_view text);

// The window votes are counted by the fastest kernel the processor
// supports; all give the same windows. For tests that compare them: the
// names of the kernels usable here ("avx512", "portable"), and the
// fingerprints computed with a given one (nothing if it is unknown or
// unsupported).
std::vector<std::string_view> surface_kernels();
std::optional<SurfaceFingerprint> surface_fingerprint_using(std::string_view text, std::string_view kernel);

// The fingerprint of a code-point sequence given as UTF-8, taken as it is
// (no canonicalisation): what each window and the whole stream get.
Fingerprint256 sequence_fingerprint(std::string_view sequence);

// Its votes are summed by the fastest kernel the processor supports; all
// give the same fingerprint. For tests that compare them: the names of the
// kernels usable here ("avx2", "portable"), and the fingerprint computed
// with a given one (nothing if it is unknown or unsupported).
std::vector<std::string_view> sequence_kernels();
std::optional<Fingerprint256> sequence_fingerprint_using(std::string_view sequence, std::string_view kernel);

}  // namespace vessolin
