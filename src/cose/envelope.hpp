// COSE_Sign1 envelopes signed with Ed25519: what `sign` writes and what
// `verify` accepts.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "cose/decode.hpp"
#include "cose/ed25519.hpp"
#include "error/error.hpp"

namespace vessolin::cose {

// The Sig_structure of a COSE_Sign1 with empty external data: the bytes that
// are signed and verified.
std::vector<std::uint8_t> sig_structure(std::span<const std::uint8_t> protected_header,
                                        std::span<const std::uint8_t> payload);

// The tagged envelope D2 84 43 A1 01 27 A0 <payload bstr> 58 40 <signature>,
// signed over its Sig_structure. Writing into memory cannot fail.
std::vector<std::uint8_t> sign_envelope(std::span<const std::uint8_t> payload, const ed25519::SecretKey& secret);

// The payload of an envelope, after the checks in this order: the key is a
// curve point, the envelope decodes, the signature has 64 bytes and
// verifies over the Sig_structure of the protected header bytes as received,
// the payload is not null. The payload may point into `envelope`.
Result<ByteString> verify_envelope(std::span<const std::uint8_t> envelope, const ed25519::PublicKey& key);

// The payload as text, or why it is not UTF-8: "invalid utf-8 sequence of N
// bytes from index I" or "incomplete utf-8 byte sequence from index I".
std::expected<std::string, std::string> payload_text(std::span<const std::uint8_t> payload);

}  // namespace vessolin::cose
