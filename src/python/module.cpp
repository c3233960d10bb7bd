// The `vessolin` module: its function table, in registration order.
#include "canonical/canonical.hpp"
#include "crosscheck/crosscheck.hpp"
#include "hex/hex.hpp"
#include "minhash/minhash.hpp"
#include "python/frame.hpp"
#include "simhash/fingerprint.hpp"
#include "simhash/structural.hpp"
#include "simhash/surface.hpp"
#include "stego/watermark.hpp"

namespace vessolin::python {
namespace {

constexpr Param kText[] = {{"text", ParamKind::Text}};
constexpr Param kFingerprintPair[] = {{"a", ParamKind::Fingerprint}, {"b", ParamKind::Fingerprint}};
constexpr Param kCrossCheck[] = {
    {"key_hex", ParamKind::Hex, "key"},
    {"repo_id", ParamKind::Text},
    {"content_hash_hex", ParamKind::Hex, "content hash"},
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
  std::vector<std::pair<std::size_t, std::string>> at_bytes;
  at_bytes.reserve(groups->size());
  for (stego::GroupInsertion& g : *groups) at_bytes.emplace_back(g.offset, std::move(g.group));
  return insert_at_byte_offsets(0, a.text(0), std::move(at_bytes));
}

Outcome extract(const Args& a) {
  const auto found = stego::extract_watermark(a.text(0), a.bytes(1));
  if (!found) return fail(found.error());
  return std::tuple{hex::encode(found->pointer), found->tag_verified, found->shards_recovered};
}

std::vector<std::uint64_t> to_list(std::span<const std::uint64_t> values) { return {values.begin(), values.end()}; }

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
    {"cross_check", kCrossCheck, {},
     "Anti-transfer cross-check tag (hex): `HMAC(key, repo_id \u2016 content_hash)`.",
     [](const Args& a) -> Outcome { return hex::encode(cross_check_tag(a.bytes(0), a.text(1), a.bytes(2))); }},
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
