#include "cose/envelope.hpp"

#include <algorithm>

#include "cbor/cbor.hpp"
#include "unicode/utf8_fault.hpp"

namespace vessolin::cose {

namespace {

constexpr std::uint64_t kCoseSign1Tag = 18;
// {1: -8}: alg EdDSA, and nothing else.
constexpr std::uint8_t kProtectedHeader[] = {0xA1, 0x01, 0x27};
constexpr std::string_view kContext = "Signature1";
// The largest head of a byte string: the initial byte and 8 length bytes.
constexpr std::size_t kMaxHead = 9;

}  // namespace

std::vector<std::uint8_t> sig_structure(std::span<const std::uint8_t> protected_header,
                                        std::span<const std::uint8_t> payload) {
  cbor::Writer w;
  w.reserve(1 + 1 + kContext.size() + kMaxHead + protected_header.size() + 1 + kMaxHead + payload.size());
  w.array(4);
  w.text(kContext);
  w.bytes(protected_header);
  w.bytes({});  // external additional authenticated data
  w.bytes(payload);
  return w.take();
}

std::vector<std::uint8_t> sign_envelope(std::span<const std::uint8_t> payload, const ed25519::SecretKey& secret) {
  const ed25519::Signature signature = ed25519::sign(sig_structure(kProtectedHeader, payload), secret);
  cbor::Writer w;
  w.reserve(2 + 1 + sizeof kProtectedHeader + 1 + kMaxHead + payload.size() + 2 + signature.size());
  w.tag(kCoseSign1Tag);
  w.array(4);
  w.bytes(kProtectedHeader);
  w.map(0);  // unprotected header
  w.bytes(payload);
  w.bytes(signature);
  return w.take();
}

Result<ByteString> verify_envelope(std::span<const std::uint8_t> envelope, const ed25519::PublicKey& key) {
  if (!ed25519::point_decodes(key)) return std::unexpected(Error::invalid_input("invalid public key: signature::Error {}"));
  Decoded<Sign1> sign1 = decode_sign1(envelope);
  if (!sign1) return std::unexpected(Error::invalid_input("COSE decode failed: " + sign1.error()));
  const std::span<const std::uint8_t> payload =
      sign1->payload ? sign1->payload->bytes() : std::span<const std::uint8_t>();
  const std::span<const std::uint8_t> received_signature = sign1->signature.bytes();
  ed25519::Signature signature;
  if (received_signature.size() != signature.size()) {
    return std::unexpected(Error::invalid_input("malformed signature: signature::Error {}"));
  }
  std::ranges::copy(received_signature, signature.begin());
  if (!ed25519::verify(sig_structure(sign1->protected_header.bytes(), payload), key, signature)) {
    return std::unexpected(Error::tag_mismatch());
  }
  if (!sign1->payload) return std::unexpected(Error::invalid_input("COSE envelope has no payload"));
  return std::move(*sign1->payload);
}

std::expected<std::string, std::string> payload_text(std::span<const std::uint8_t> payload) {
  if (const auto fault = utf8::find_fault(payload)) {
    const std::string at = std::to_string(fault->valid_up_to);
    if (fault->invalid_length == 0) return std::unexpected("incomplete utf-8 byte sequence from index " + at);
    return std::unexpected("invalid utf-8 sequence of " + std::to_string(fault->invalid_length) +
                           " bytes from index " + at);
  }
  // From a char pointer: a copy from byte iterators would go one byte at a time.
  return std::string(reinterpret_cast<const char*>(payload.data()), payload.size());
}

}  // namespace vessolin::cose
