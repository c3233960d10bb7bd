// The `vessolin` module: its function table, in registration order.
#include "canonical/canonical.hpp"
#include "cose/envelope.hpp"
#include "crosscheck/crosscheck.hpp"
#include "crypto/digest.hpp"
#include "hex/hex.hpp"
#include "minhash/minhash.hpp"
#include "python/frame.hpp"
#include "simhash/fingerprint.hpp"
#include "simhash/structural.hpp"
#include "simhash/surface.hpp"
#include "softbinding/builders.hpp"
#include "softbinding/tier.hpp"
#include "stego/watermark.hpp"

namespace vessolin::python {
namespace {

constexpr Param kText[] = {{"text", ParamKind::Text}};
constexpr Param kFingerprintPair[] = {{"a", ParamKind::Fingerprint}, {"b", ParamKind::Fingerprint}};
constexpr Param kSecret[] = {{"secret_hex", ParamKind::Key32}};
constexpr Param kSign[] = {{"payload", ParamKind::Text}, {"secret_hex", ParamKind::Key32}};
constexpr Param kVerify[] = {{"cose_hex", ParamKind::Hex, "cose"}, {"public_hex", ParamKind::Key32}};
constexpr std::uint8_t kKeyBeforeEnvelope[] = {1, 0};
constexpr Param kCrossCheck[] = {
    {"key_hex", ParamKind::Hex, "key"},
    {"repo_id", ParamKind::Text},
    {"content_hash_hex", ParamKind::Hex, "content hash"},
};
constexpr Param kPointer[] = {{"pointer_hex", ParamKind::Hex, "pointer"}};
constexpr Param kVerifyTier[] = {
    {"text", ParamKind::Text},
    {"assertion_cbor_hex", ParamKind::Hex, "assertion"},
    {"watermark_verified", ParamKind::Bool},
    {"crosscheck_ok", ParamKind::Bool},
};

constexpr Param kEmbed[] = {
    {"text", ParamKind::Text},
    {"pointer_hex", ParamKind::Hex, "pointer"},
    {"key_hex", ParamKind::Hex, "key"},
};
constexpr std::uint8_t kKeyBeforePointer[] = {2, 1};
constexpr Param kExtract[] = {{"text", ParamKind::Text}, {"key_hex", ParamKind::Hex, "key"}};

Outcome embed(const Args& a) {
  auto groups = stego::watermark_insertions(a.text(0), a.bytes(1), a.bytes(2));
  if (!groups) return fail(groups.error());
  InsertedText marked{0, {}};
  marked.insertions.reserve(groups->size());
  for (stego::GroupInsertion& g : *groups) marked.insertions.emplace_back(g.code_points, std::move(g.group));
  return marked;
}

Outcome extract(const Args& a) {
  const auto found = stego::extract_watermark(a.text(0), a.bytes(1));
  if (!found) return fail(found.error());
  return std::tuple{hex::encode(found->pointer), found->tag_verified, found->shards_recovered};
}

std::vector<std::uint64_t> to_list(std::span<const std::uint64_t> values) { return {values.begin(), values.end()}; }

Outcome verify(std::span<const std::uint8_t> envelope, const Bytes32& key) {
  const Result<cose::ByteString> payload = cose::verify_envelope(envelope, key);
  if (!payload) return fail(payload.error());
  auto text = cose::payload_text(payload->bytes());
  if (!text) return fail(ValueErrorText{"payload not utf-8: " + text.error()});
  return std::move(*text);
}

constexpr FunctionSpec kFunctions[] = {
    {"text_fingerprint", kText, {},
     "`com.tessaline.text-fingerprint.1` \u2014 256-bit surface SimHash, hex.",
     [](const Args& a) -> Outcome { return fingerprint_hex(surface_fingerprint_whole(a.text(0))); }},
    {"text_structure", kText, {},
     "`com.tessaline.text-structure.1` \u2014 256-bit structural SimHash, hex.",
     [](const Args& a) -> Outcome { return fingerprint_hex(structural_fingerprint(a.text(0))); }},
    {"minhash_signature", kText, {},
     "`com.tessaline.text-minhash.1` \u2014 the 128 signature values.",
     [](const Args& a) -> Outcome { return to_list(minhash_sketch(a.text(0)).signature); }},
    {"minhash_bands", kText, {},
     "The 32 LSH band hashes \u2014 index keys for discovery.",
     [](const Args& a) -> Outcome { return to_list(minhash_sketch(a.text(0)).bands); }},
    {"hamming_hex", kFingerprintPair, {},
     "Hamming distance in bits between two 256-bit hex fingerprints.",
     [](const Args& a) -> Outcome { return std::uint64_t{hamming_distance(a.bytes32(0), a.bytes32(1))}; }},
    {"content_hash", kText, {},
     "SHA-256 of the canonical stream (the blind-recoverable content hash), hex.",
     [](const Args& a) -> Outcome { return hex::encode(content_digest(a.text(0))); }},
    {"embed_watermark", kEmbed, kKeyBeforePointer,
     "Embed a `zwc-watermark.2` carrying `pointer_hex`, bound to the content by\n"
     "`key_hex`. Returns the watermarked text.",
     embed},
    {"extract_watermark", kExtract, {},
     "Blind-extract and verify a `zwc-watermark.2`.\n"
     "Returns `(pointer_hex, tag_verified, shards_recovered)`.",
     extract},
    {"public_key", kSecret, {},
     "Derive the Ed25519 public key (hex) from a 32-byte secret key (hex).",
     [](const Args& a) -> Outcome { return hex::encode(ed25519::derive_public_key(a.bytes32(0))); }},
    {"sign", kSign, {},
     "Sign a payload as tagged COSE_Sign1 / EdDSA. Returns the envelope as hex.",
     [](const Args& a) -> Outcome { return hex::encode(cose::sign_envelope(crypto::as_bytes(a.text(0)), a.bytes32(1))); }},
    {"verify", kVerify, kKeyBeforeEnvelope,
     "Verify a hex COSE_Sign1 envelope against a hex public key; returns the\n"
     "payload string on success, raises on failure.",
     [](const Args& a) -> Outcome { return verify(a.bytes(0), a.bytes32(1)); }},
    {"cross_check", kCrossCheck, {},
     "Anti-transfer cross-check tag (hex): `HMAC(key, repo_id \u2016 content_hash)`.",
     [](const Args& a) -> Outcome { return hex::encode(cross_check_tag(a.bytes(0), a.text(1), a.bytes(2))); }},
    {"soft_binding_fingerprint", kText, {},
     "Build the `c2pa.soft-binding` assertion (id 41, surface fingerprint) as CBOR,\n"
     "hex-encoded. Sign the result with [`sign`]; includes per-window blocks.",
     [](const Args& a) -> Outcome {
       return softbinding::encode_hex_or_fault(softbinding::fingerprint_assertion(a.text(0)));
     }},
    {"soft_binding_structure", kText, {},
     "Build the `c2pa.soft-binding` assertion (id 43, structural) as CBOR hex.",
     [](const Args& a) -> Outcome {
       return softbinding::encode_hex_or_fault(softbinding::structure_assertion(a.text(0)));
     }},
    {"soft_binding_minhash", kText, {},
     "Build the `c2pa.soft-binding` assertion (id 44, MinHash) as CBOR hex.",
     [](const Args& a) -> Outcome {
       return softbinding::encode_hex_or_fault(softbinding::minhash_assertion(a.text(0)));
     }},
    {"soft_binding_watermark", kPointer, {},
     "Build the `c2pa.soft-binding` assertion (id 42, ZWC watermark) for a routing\n"
     "`pointer_hex`, as CBOR hex.",
     [](const Args& a) -> Outcome {
       auto encoded = softbinding::encode_hex(softbinding::watermark_assertion(a.bytes(0)));
       if (!encoded) return fail(encoded.error());
       return std::move(*encoded);
     }},
    {"verify_tier", kVerifyTier, {},
     "Recompute the fingerprint from `text`, compare against a candidate\n"
     "`c2pa.soft-binding` assertion (hex CBOR), and classify. Returns\n"
     "`\"BOUND\"`, `\"LIKELY\"`, or `\"REVIEW\"`.",
     [](const Args& a) -> Outcome {
       const auto tier = softbinding::verify_tier(a.text(0), a.bytes(1), a.flag(2), a.flag(3));
       if (!tier) return fail(tier.error());
       return std::string(softbinding::tier_text(*tier));
     }},
};

PyModuleDef kDefinition = {
    PyModuleDef_HEAD_INIT,
    "vessolin",
    "The `vessolin` native module.",
    0,        // no per-module state
    nullptr,  // no method table: functions are added one by one
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vessolin::python

PyMODINIT_FUNC PyInit_vessolin() {
  using namespace vessolin::python;
  return init_module<kFunctions>(kDefinition, "Tessaline C2PA text soft-binding family (native bindings).");
}
