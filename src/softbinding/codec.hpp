// The CBOR form of the soft-binding assertion. The bytes written are part of
// the format (they are signed and compared elsewhere); the reader accepts
// every legal way of writing the same record.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "error/error.hpp"
#include "softbinding/model.hpp"

namespace vessolin::softbinding {

// Every record a map with a definite length, keys in declaration order,
// shortest heads, no tags; `name` and an absent `Range.text` left out, an
// absent `Scope.region` as the empty map, absent `start`/`end` as null.
// Fails (GenerationFailed, "soft-binding CBOR encode: ...") only for a text
// field that is not valid UTF-8, which CBOR text strings may not hold.
Result<std::vector<std::uint8_t>> encode_soft_binding(const SoftBinding& assertion);

// Reads the assertion from the first CBOR item of `cbor`; bytes after it are
// not looked at. Fails with InvalidInput("soft-binding CBOR decode: " + one
// of Io(EndOfFile), Syntax(<offset>), Semantic(None, "<message>"),
// RecursionLimitExceeded).
Result<SoftBinding> decode_soft_binding(std::span<const std::uint8_t> cbor);

// The two readers behind decode_soft_binding, which tries them in this
// order; tests compare them. The first matches the bytes that
// encode_soft_binding writes and declines everything else (any other legal
// form, and any input that is not a valid assertion); the second reads
// every form and gives the diagnostics.
std::optional<SoftBinding> decode_encoder_form(std::span<const std::uint8_t> cbor);
Result<SoftBinding> decode_any_form(std::span<const std::uint8_t> cbor);

}  // namespace vessolin::softbinding
