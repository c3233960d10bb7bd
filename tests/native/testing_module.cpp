// `_vessolin_testing`: reaches the internals that the public functions do not
// expose, through the same calling frame as `vessolin`. Built only with
// -DVESSOLIN_TESTING=ON; never shipped as part of `vessolin`.
#include <algorithm>
#include <chrono>
#include <charconv>
#include <cstdio>
#include <optional>

#include "canonical/canonical.hpp"
#include "cbor/cbor.hpp"
#include "cose/ed25519.hpp"
#include "cpu/kernels.hpp"
#include "crypto/blake2b_batch.hpp"
#include "crypto/digest.hpp"
#include "error/error.hpp"
#include "hex/hex.hpp"
#include "minhash/minhash.hpp"
#include "python/frame.hpp"
#include "simhash/simhash.hpp"
#include "simhash/structural.hpp"
#include "simhash/surface.hpp"
#include "softbinding/builders.hpp"
#include "softbinding/codec.hpp"
#include "softbinding/tier.hpp"
#include "unicode/properties.hpp"
#include "unicode/utf8.hpp"
#include "cbor_testing.hpp"
#include "decimal_list.hpp"
#include "erasure_testing.hpp"
#include "unicode_testing.hpp"
#include "watermark_testing.hpp"

namespace vessolin::python {
namespace {

constexpr Param kText[] = {{"text", ParamKind::Text}};
constexpr Param kErrorArgs[] = {{"variant", ParamKind::Text}, {"detail", ParamKind::Text}};
// The shapes of parameter lists that only later functions of vessolin use.
constexpr Param kFlags[] = {
    {"text", ParamKind::Text},
    {"watermark_verified", ParamKind::Bool},
    {"crosscheck_ok", ParamKind::Bool},
};
constexpr Param kEnvelopeAndKey[] = {{"cose_hex", ParamKind::Hex, "cose"}, {"public_hex", ParamKind::Key32}};
constexpr std::uint8_t kKeyFirst[] = {1, 0};
constexpr Param kFeatureLines[] = {{"features", ParamKind::Text}};
constexpr Param kNumbers[] = {{"numbers", ParamKind::Text}};
constexpr Param kTextAndKernel[] = {{"text", ParamKind::Text}, {"kernel", ParamKind::Text}};
constexpr Param kIterations[] = {{"iterations", ParamKind::Text}};
constexpr Param kMessage[] = {{"message_hex", ParamKind::Hex, "message"}};
constexpr Param kKernelAndMessages[] = {
    {"kernel", ParamKind::Text},
    {"messages_hex", ParamKind::Hex, "messages"},
    {"lengths", ParamKind::Text},
};
constexpr Param kNumbersAndKernel[] = {{"numbers", ParamKind::Text}, {"kernel", ParamKind::Text}};
constexpr Param kCbor[] = {{"cbor_hex", ParamKind::Hex, "cbor"}};
constexpr Param kCborItems[] = {{"items", ParamKind::Text}};
constexpr Param kAssertion[] = {{"assertion_cbor_hex", ParamKind::Hex, "assertion"}};
constexpr Param kBuilderKind[] = {{"builder", ParamKind::Text}};
constexpr Param kAssertionAndReader[] = {{"assertion_cbor_hex", ParamKind::Hex, "assertion"}, {"reader", ParamKind::Text}};
constexpr Param kPublicKey[] = {{"public_hex", ParamKind::Key32}};
constexpr Param kEd25519Timing[] = {
    {"operation", ParamKind::Text},
    {"size", ParamKind::Text},
    {"iterations", ParamKind::Text},
};
constexpr Param kRawSign[] = {{"message_hex", ParamKind::Hex, "message"}, {"secret_hex", ParamKind::Key32}};
constexpr Param kRawVerify[] = {
    {"message_hex", ParamKind::Hex, "message"},
    {"public_hex", ParamKind::Key32},
    {"signature_hex", ParamKind::Hex, "signature"},
};
constexpr Param kName[] = {{"name", ParamKind::Text}};
constexpr Param kCounts[] = {{"counts", ParamKind::Text}};
constexpr Param kCodecRun[] = {{"operation", ParamKind::Text}, {"counts", ParamKind::Text}, {"shards", ParamKind::Text}};
constexpr Param kPlacement[] = {
    {"n", ParamKind::Text}, {"key_hex", ParamKind::Hex, "key"}, {"digest_hex", ParamKind::Hex, "digest"}};
constexpr Param kBindingTag[] = {{"key_hex", ParamKind::Hex, "key"},
                                 {"digest_hex", ParamKind::Hex, "digest"},
                                 {"pointer_hex", ParamKind::Hex, "pointer"}};
constexpr Param kPayload[] = {{"payload_hex", ParamKind::Hex, "payload"}};
constexpr Param kTextAndOrdinals[] = {{"text", ParamKind::Text}, {"ordinals", ParamKind::Text}};

Error make_error(std::string_view variant, std::string detail) {
  if (variant == "ContentTooShort") return Error::content_too_short();
  if (variant == "GenerationFailed") return Error::generation_failed(std::move(detail));
  if (variant == "MatchFailed") return Error::match_failed(std::move(detail));
  if (variant == "Coding") return Error::coding(std::move(detail));
  if (variant == "TagMismatch") return Error::tag_mismatch();
  if (variant == "WatermarkUnrecoverable") return Error::watermark_unrecoverable();
  if (variant == "InvalidInput") return Error::invalid_input(std::move(detail));
  throw InternalFault("unknown Error variant " + std::string(variant));
}

// The surface fingerprint with its windows, one per line: the whole-text
// fingerprint first, then "fingerprint start length" per window.
std::string surface_lines(const SurfaceFingerprint& fp) {
  std::string out = fingerprint_hex(fp.whole) + "\n";
  for (const WindowFingerprint& w : fp.windows)
    out += fingerprint_hex(w.fingerprint) + " " + std::to_string(w.start) + " " + std::to_string(w.length) + "\n";
  return out;
}

// Features given one per line as "weight feature-string".
Result<Fingerprint256> simhash_of_lines(std::string_view lines) {
  std::vector<Feature> features;
  while (!lines.empty()) {
    const std::size_t eol = std::min(lines.find('\n'), lines.size());
    const std::string_view line = lines.substr(0, eol);
    lines.remove_prefix(std::min(eol + 1, lines.size()));
    const std::size_t space = line.find(' ');
    std::int64_t weight = 0;
    const auto r = std::from_chars(line.data(), line.data() + std::min(space, line.size()), weight);
    if (space == std::string_view::npos || r.ptr != line.data() + space) {
      return std::unexpected(Error::invalid_input("expected 'weight feature' lines"));
    }
    features.push_back({std::string(line.substr(space + 1)), weight});
  }
  return simhash256(features);
}

// The structural features, one per line as "feature-string<TAB>weight".
std::string structural_feature_lines(std::string_view text) {
  std::string out;
  for (const Feature& f : structural_features(text)) out += f.text + "\t" + std::to_string(f.weight) + "\n";
  return out;
}

Result<std::uint64_t> band_key_of(std::string_view numbers) {
  const auto v = decimal_list(numbers);
  if (!v || v->size() != 4) return std::unexpected(Error::invalid_input("expected four unsigned integers"));
  return band_key((*v)[0], (*v)[1], (*v)[2], (*v)[3]);
}

// The signature followed by the bands, as computed by the named kernel, or
// an empty list when this processor cannot run it.
std::vector<std::uint64_t> minhash_using(std::string_view text, std::string_view kernel) {
  const std::optional<MinHashSketch> sketch = minhash_sketch_using(text, kernel);
  if (!sketch) return {};
  std::vector<std::uint64_t> out(sketch->signature.begin(), sketch->signature.end());
  out.insert(out.end(), sketch->bands.begin(), sketch->bands.end());
  return out;
}

Result<std::uint64_t> parse_count(std::string_view text) {
  std::uint64_t v = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size() || v == 0) {
    return std::unexpected(Error::invalid_input("expected a positive decimal count"));
  }
  return v;
}

// Nanoseconds per call of libcrypto's one-shot BLAKE2b-512 on a 4-byte
// message, timed here rather than through Python so that the interpreter's
// call overhead does not count: what hashing one shingle through libcrypto
// costs at best.
Result<std::uint64_t> blake2b_floor_ns(std::string_view iterations) {
  const Result<std::uint64_t> count = parse_count(iterations);
  if (!count) return std::unexpected(count.error());
  std::uint8_t message[4] = {'a', 'b', 'c', 'd'};
  std::uint8_t sink = 0;
  const auto start = std::chrono::steady_clock::now();
  for (std::uint64_t i = 0; i < *count; ++i) {
    message[3] = static_cast<std::uint8_t>(i);  // distinct messages, as distinct shingles are
    sink ^= crypto::blake2b512(std::span<const std::uint8_t>(message, sizeof message))[0];
  }
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
  volatile std::uint8_t keep = sink;  // the digests must be computed
  (void)keep;
  return static_cast<std::uint64_t>(ns.count()) / *count;
}

std::string joined(const std::vector<std::string_view>& names) {
  std::string out;
  for (std::string_view name : names) {
    if (!out.empty()) out += ' ';
    out += name;
  }
  return out;
}

// The messages, given as their bytes one after another and their lengths in
// decimal, hashed as one batch by the named kernel: one hexadecimal digest
// head per message, separated by spaces. With `as_words`, the messages (at
// most 16 bytes each) go in as the two block words the surface fingerprint
// hands over.
Outcome blake2b_heads_using(std::string_view kernel, std::span<const std::uint8_t> bytes, std::string_view lengths,
                            bool as_words) {
  const auto sizes = decimal_list(lengths);
  std::vector<crypto::ByteView> messages;
  std::size_t used = 0;
  for (std::uint64_t n : sizes.value_or(std::vector<std::uint64_t>{})) {
    if (n > bytes.size() - used) break;
    messages.push_back(bytes.subspan(used, n));
    used += n;
  }
  if (!sizes || messages.size() != sizes->size()) {
    return fail(Error::invalid_input("lengths must be decimal and add up to the message bytes"));
  }
  if (used != bytes.size()) return fail(Error::invalid_input("lengths must add up to the message bytes"));
  std::vector<crypto::Digest32> heads(messages.size());
  std::vector<crypto::ShortMessage> words;
  for (const crypto::ByteView m : as_words ? messages : std::vector<crypto::ByteView>{}) {
    if (m.size() > 16) return fail(Error::invalid_input("a message given as words has at most 16 bytes"));
    crypto::ShortMessage w{{0, 0}, m.size()};
    for (std::size_t i = 0; i < m.size(); ++i) w.word[i / 8] |= std::uint64_t{m[i]} << (8 * (i % 8));
    words.push_back(w);
  }
  const bool known = as_words ? crypto::blake2b512_head_batch_using(kernel, words, heads)
                              : crypto::blake2b512_head_batch_using(kernel, messages, heads);
  if (!known) {
    return fail(Error::invalid_input("no such kernel here: " + std::string(kernel)));
  }
  std::string out;
  for (const crypto::Digest32& h : heads) {
    if (!out.empty()) out += ' ';
    out += hex::encode(h);
  }
  return out;
}

// The signature that the named kernel computes from shingle hashes given in
// decimal, separated by spaces; an empty list when this processor cannot run it.
Result<std::vector<std::uint64_t>> minhash_absorb_of(std::string_view numbers, std::string_view kernel) {
  const auto hashes = decimal_list(numbers);
  constexpr std::uint64_t kPrime = (std::uint64_t{1} << 61) - 1;
  if (!hashes || std::ranges::any_of(*hashes, [](std::uint64_t t) { return t >= kPrime; })) {
    return std::unexpected(Error::invalid_input("expected unsigned integers below 2^61 - 1"));
  }
  const auto signature = minhash_absorb_using(*hashes, kernel);
  if (!signature) return std::vector<std::uint64_t>{};
  return std::vector<std::uint64_t>(signature->begin(), signature->end());
}

// The verdict of the module's Ed25519 rules on a raw message: "valid", or
// the first check that refuses it.
std::string ed25519_verdict(std::span<const std::uint8_t> message, const Bytes32& key,
                            std::span<const std::uint8_t> signature) {
  if (!ed25519::point_decodes(key)) return "invalid public key";
  ed25519::Signature sig;
  if (signature.size() != sig.size()) return "malformed signature";
  std::copy(signature.begin(), signature.end(), sig.begin());
  return ed25519::verify(message, key, sig) ? "valid" : "signature mismatch";
}

// Nanoseconds per Ed25519 operation of the libcrypto the module links,
// timed here so that the interpreter does not count: "derive", "sign" or
// "verify" over `size` bytes, each with its key object made afresh, as the
// module's calls do. What public_key, sign and verify cost at least.
Result<std::uint64_t> ed25519_floor_ns(std::string_view operation, std::string_view size, std::string_view iterations) {
  const Result<std::uint64_t> count = parse_count(iterations);
  if (!count) return std::unexpected(count.error());
  std::uint64_t bytes = 0;
  if (std::from_chars(size.data(), size.data() + size.size(), bytes).ptr != size.data() + size.size() ||
      bytes > (std::uint64_t{1} << 30)) {
    return std::unexpected(Error::invalid_input("expected a size in bytes"));
  }
  const ed25519::SecretKey secret{1, 2, 3};
  const ed25519::PublicKey key = ed25519::derive_public_key(secret);
  const std::vector<std::uint8_t> message(bytes, 0x61);
  const ed25519::Signature signature = ed25519::sign(message, secret);
  std::uint8_t sink = 0;
  const auto start = std::chrono::steady_clock::now();
  for (std::uint64_t i = 0; i < *count; ++i) {
    if (operation == "derive") {
      sink ^= ed25519::derive_public_key(secret)[0];
    } else if (operation == "sign") {
      sink ^= ed25519::sign(message, secret)[0];
    } else if (operation == "verify") {
      sink ^= static_cast<std::uint8_t>(ed25519::verify(message, key, signature));
    } else {
      return std::unexpected(Error::invalid_input("expected derive, sign or verify"));
    }
  }
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
  volatile std::uint8_t keep = sink;
  (void)keep;
  return static_cast<std::uint64_t>(ns.count()) / *count;
}

// libcrypto's own verdict, without the strict key decoding in front of it.
std::uint64_t libcrypto_verdict(std::span<const std::uint8_t> message, const Bytes32& key,
                                std::span<const std::uint8_t> signature) {
  ed25519::Signature sig;
  if (signature.size() != sig.size()) return 0;
  std::copy(signature.begin(), signature.end(), sig.begin());
  return ed25519::verify(message, key, sig);
}

Outcome hex_or_error(const Result<Fingerprint256>& r) {
  if (!r) return fail(r.error());
  return fingerprint_hex(*r);
}

constexpr FunctionSpec kFunctions[] = {
    {"canonical_stream", kText, {}, "The canonical stream of `text`.",
     [](const Args& a) -> Outcome { return canonical_stream(a.text(0)); }},
    {"canonical_kernels", {}, {}, "The canonical stream's kernel sets this processor can run, fastest first.",
     [](const Args&) -> Outcome { return joined(canonical_kernels()); }},
    {"canonical_stream_using", kTextAndKernel, {}, "As canonical_stream, by the named kernel set; ValueError if unsupported.",
     [](const Args& a) -> Outcome {
       auto stream = canonical_stream_using(a.text(0), a.text(1));
       if (!stream) return fail(ValueErrorText{"kernel not usable here"});
       return std::move(*stream);
     }},
    {"normalized_text", kText, {}, "The normalised text of `text`.",
     [](const Args& a) -> Outcome { return normalized_text(a.text(0)); }},
    {"unicode_property", kName, {}, "Runs of code points with one value of a property, 'first last value' per line.",
     [](const Args& a) -> Outcome { return unicode_testing::property_runs(a.text(0)); }},
    {"error_debug", kErrorArgs, {}, "The debug form of an Error variant.",
     [](const Args& a) -> Outcome { return make_error(a.text(0), std::string(a.text(1))).debug(); }},
    {"raise_error", kErrorArgs, {}, "Fails with the given Error variant.",
     [](const Args& a) -> Outcome { return fail(make_error(a.text(0), std::string(a.text(1)))); }},
    {"probe_flags", kFlags, {}, "Echoes a text and two flags as 'text|flag|flag'.",
     [](const Args& a) -> Outcome {
       return std::string(a.text(0)) + "|" + (a.flag(1) ? "True" : "False") + "|" + (a.flag(2) ? "True" : "False");
     }},
    {"probe_envelope_and_key", kEnvelopeAndKey, kKeyFirst, "Echoes decoded bytes as 'cose:key' in hex, key decoded first.",
     [](const Args& a) -> Outcome { return hex::encode(a.bytes(0)) + ":" + hex::encode(a.bytes32(1)); }},
    {"feature_hash", kText, {}, "The 32-byte feature hash of `text`, hex.",
     [](const Args& a) -> Outcome { return hex::encode(feature_hash(a.text(0))); }},
    {"simhash256", kFeatureLines, {}, "SimHash of features given one per line as 'weight feature', hex.",
     [](const Args& a) -> Outcome { return hex_or_error(simhash_of_lines(a.text(0))); }},
    {"surface_fingerprint", kText, {}, "Whole-text fingerprint, then one 'fingerprint start length' line per window.",
     [](const Args& a) -> Outcome { return surface_lines(surface_fingerprint(a.text(0))); }},
    {"kernel_set", {}, {}, "The widest kernel set that runs here: 'avx512', 'avx2' or 'portable'.",
     [](const Args&) -> Outcome { return std::string(cpu::kernel_set()); }},
    {"max_isa", {}, {}, "The build's cap on the kernel set ('portable', 'avx2', 'avx512'), or '' for none.",
     [](const Args&) -> Outcome { return std::string(cpu::max_isa()); }},
    {"surface_kernels", {}, {}, "The window vote kernels this processor can run, fastest first.",
     [](const Args&) -> Outcome { return joined(surface_kernels()); }},
    {"surface_fingerprint_using", kTextAndKernel, {}, "As surface_fingerprint, by the named kernel; empty if unsupported.",
     [](const Args& a) -> Outcome {
       const auto fp = surface_fingerprint_using(a.text(0), a.text(1));
       return fp ? surface_lines(*fp) : std::string();
     }},
    {"sequence_kernels", {}, {}, "The kernels that sum a whole stream's shingle votes here, fastest first.",
     [](const Args&) -> Outcome { return joined(sequence_kernels()); }},
    {"sequence_fingerprint_using", kTextAndKernel, {}, "The fingerprint of a code-point sequence taken as it is, by the named kernel, in hexadecimal; empty if unsupported.",
     [](const Args& a) -> Outcome {
       const auto fp = sequence_fingerprint_using(a.text(0), a.text(1));
       return fp ? hex::encode(*fp) : std::string();
     }},
    {"structural_features", kText, {}, "The structural features, one 'feature<TAB>weight' line each.",
     [](const Args& a) -> Outcome { return structural_feature_lines(a.text(0)); }},
    {"structural_profile", kText, {}, "'fingerprint words function_words informative' of `text`.",
     [](const Args& a) -> Outcome {
       const StructuralProfile p = structural_profile(a.text(0));
       return hex::encode(p.fingerprint) + " " + std::to_string(p.words) + " " + std::to_string(p.function_words) +
              (softbinding::structure_is_informative(p.words, p.function_words) ? " yes" : " no");
     }},
    {"band_key", kNumbers, {}, "The band key of four unsigned integers given in decimal.",
     [](const Args& a) -> Outcome {
       const Result<std::uint64_t> key = band_key_of(a.text(0));
       if (!key) return fail(key.error());
       return *key;
     }},
    {"minhash_kernels", {}, {}, "The MinHash kernels this processor can run, fastest first.",
     [](const Args&) -> Outcome { return joined(minhash_kernels()); }},
    {"minhash_using", kTextAndKernel, {}, "Signature then bands from the named kernel; empty if unsupported.",
     [](const Args& a) -> Outcome { return minhash_using(a.text(0), a.text(1)); }},
    {"minhash_absorb_using", kNumbersAndKernel, {}, "Signature from shingle hashes in decimal, by the named kernel.",
     [](const Args& a) -> Outcome {
       auto signature = minhash_absorb_of(a.text(0), a.text(1));
       if (!signature) return fail(signature.error());
       return std::move(*signature);
     }},
    {"blake2b_kernels", {}, {}, "The BLAKE2b batch kernels this processor can run, fastest first.",
     [](const Args&) -> Outcome { return joined(crypto::blake2b_kernels()); }},
    {"blake2b_head", kMessage, {}, "The first 32 bytes of BLAKE2b-512 of one message, hex.",
     [](const Args& a) -> Outcome { return hex::encode(crypto::blake2b512_head(a.bytes(0))); }},
    {"blake2b_heads_using", kKernelAndMessages, {},
     "BLAKE2b-512 heads of a batch of messages (bytes and decimal lengths) by the named kernel.",
     [](const Args& a) -> Outcome { return blake2b_heads_using(a.text(0), a.bytes(1), a.text(2), false); }},
    {"blake2b_word_heads_using", kKernelAndMessages, {},
     "As blake2b_heads_using, for messages of at most 16 bytes handed over as two block words each.",
     [](const Args& a) -> Outcome { return blake2b_heads_using(a.text(0), a.bytes(1), a.text(2), true); }},
    {"blake2b512_libcrypto", kMessage, {}, "libcrypto's full BLAKE2b-512 of one message, hex.",
     [](const Args& a) -> Outcome { return hex::encode(crypto::blake2b512(a.bytes(0))); }},
    {"blake2b_floor_ns", kIterations, {}, "Nanoseconds per libcrypto BLAKE2b-512 of a 4-byte message.",
     [](const Args& a) -> Outcome {
       const Result<std::uint64_t> ns = blake2b_floor_ns(a.text(0));
       if (!ns) return fail(ns.error());
       return *ns;
     }},
    {"cbor_read", kCbor, {}, "The first CBOR item as JSON and the bytes it took, or the reader's diagnostic.",
     [](const Args& a) -> Outcome { return cbor_testing::cbor_read(a.bytes(0)); }},
    {"cbor_skip", kCbor, {}, "Bytes taken by skipping the first CBOR item, or the reader's diagnostic.",
     [](const Args& a) -> Outcome { return cbor_testing::cbor_skip(a.bytes(0)); }},
    {"cbor_write", kCborItems, {}, "CBOR written by the writer from 'kind:argument' items, hex.",
     [](const Args& a) -> Outcome { return cbor_testing::cbor_write(a.text(0)); }},
    {"soft_binding_reencode", kAssertion, {}, "Decodes an assertion and encodes the record again, hex.",
     [](const Args& a) -> Outcome {
       const auto record = softbinding::decode_soft_binding(a.bytes(0));
       if (!record) return fail(record.error());
       return softbinding::encode_hex_or_fault(*record);
     }},
    {"soft_binding_reencode_via", kAssertionAndReader, {},
     "As soft_binding_reencode with one reader, 'encoder-form' (empty if it declines) or 'any-form'.",
     [](const Args& a) -> Outcome {
       if (a.text(1) == "encoder-form") {
         const auto record = softbinding::decode_encoder_form(a.bytes(0));
         return record ? softbinding::encode_hex_or_fault(*record) : std::string();
       }
       if (a.text(1) != "any-form") return fail(Error::invalid_input("unknown reader"));
       const auto record = softbinding::decode_any_form(a.bytes(0));
       if (!record) return fail(record.error());
       return softbinding::encode_hex_or_fault(*record);
     }},
    {"soft_binding_unencodable", kBuilderKind, {},
     "Encodes an assertion whose label is not UTF-8 the way the 'text' or 'watermark' builders do.",
     [](const Args& a) -> Outcome {
       const softbinding::SoftBinding record = softbinding::single_block_assertion("\xff", "00");
       if (a.text(0) == "text") return softbinding::encode_hex_or_fault(record);
       auto encoded = softbinding::encode_hex(record);
       if (!encoded) return fail(encoded.error());
       return std::move(*encoded);
     }},
    {"ed25519_point_decodes", kPublicKey, {}, "1 if the key decodes strictly as a curve point, else 0.",
     [](const Args& a) -> Outcome { return std::uint64_t{ed25519::point_decodes(a.bytes32(0))}; }},
    {"ed25519_sign", kRawSign, {}, "The Ed25519 signature of a raw message, hex.",
     [](const Args& a) -> Outcome { return hex::encode(ed25519::sign(a.bytes(0), a.bytes32(1))); }},
    {"ed25519_verify", kRawVerify, {}, "The module's verdict on a raw Ed25519 signature.",
     [](const Args& a) -> Outcome { return ed25519_verdict(a.bytes(0), a.bytes32(1), a.bytes(2)); }},
    {"ed25519_libcrypto_verify", kRawVerify, {}, "1 if libcrypto alone accepts a raw Ed25519 signature, else 0.",
     [](const Args& a) -> Outcome { return libcrypto_verdict(a.bytes(0), a.bytes32(1), a.bytes(2)); }},
    {"ed25519_floor_ns", kEd25519Timing, {}, "Nanoseconds per libcrypto Ed25519 derive, sign or verify of `size` bytes.",
     [](const Args& a) -> Outcome {
       const Result<std::uint64_t> ns = ed25519_floor_ns(a.text(0), a.text(1), a.text(2));
       if (!ns) return fail(ns.error());
       return *ns;
     }},
    {"gf_table", kName, {}, "A GF(2^8) table, flattened: exp, log, mul, div or pow.",
     [](const Args& a) -> Outcome { return erasure_testing::gf_table(a.text(0)); }},
    {"codec_matrix", kCounts, {}, "The encoding matrix for 'data parity' counts, one hex row per line.",
     [](const Args& a) -> Outcome { return erasure_testing::codec_matrix(a.text(0)); }},
    {"codec_run", kCodecRun, {}, "'ok' or the CodecError, then the shards after encode or reconstruct.",
     [](const Args& a) -> Outcome { return erasure_testing::codec_run(a.text(0), a.text(1), a.text(2)); }},
    {"shuffled_order", kNumbers, {}, "The first entries of the placement shuffle for 'n seed keep'.",
     [](const Args& a) -> Outcome { return watermark_testing::shuffled(a.text(0)); }},
    {"remainders_by_reciprocal", kNumbers, {}, "x % k by the shuffle's reciprocal, for pairs 'x k x k ...'.",
     [](const Args& a) -> Outcome { return watermark_testing::remainders_by_reciprocal(a.text(0)); }},
    {"shuffle_kernels", {}, {}, "The placement shuffle's kernels this processor can run, fastest first.",
     [](const Args&) -> Outcome { return joined(stego::detail::shuffle_kernel_names()); }},
    {"remainders_using", kTextAndKernel, {}, "r % k by the named shuffle kernel, for pairs 'r k r k ...'.",
     [](const Args& a) -> Outcome { return watermark_testing::remainders_using(a.text(0), a.text(1)); }},
    {"shuffle_draws_using", kTextAndKernel, {}, "The shuffle's draws for 'x first count' by the named kernel, then the last state.",
     [](const Args& a) -> Outcome { return watermark_testing::shuffle_draws_using(a.text(0), a.text(1)); }},
    {"skip_plain_kernels", {}, {}, "The watermark's text-skipping kernels this processor can run, fastest first.",
     [](const Args&) -> Outcome { return joined(stego::skip_plain_kernel_names()); }},
    {"skip_plain_trace", kTextAndKernel, {}, "Every stop of the named skip_plain kernel over the text.",
     [](const Args& a) -> Outcome { return watermark_testing::skip_plain_trace(a.text(0), a.text(1)); }},
    {"placement_order", kPlacement, {}, "The placement order for n slots, a key and a content digest.",
     [](const Args& a) -> Outcome { return watermark_testing::placement_order(a.text(0), a.bytes(1), a.bytes(2)); }},
    {"binding_tag", kBindingTag, {}, "The 8-byte binding tag, hex.",
     [](const Args& a) -> Outcome { return watermark_testing::binding_tag(a.bytes(0), a.bytes(1), a.bytes(2)); }},
    {"encode_shards", kPayload, {}, "The 48 shards of a 24-byte payload, hex.",
     [](const Args& a) -> Outcome { return watermark_testing::encode_shards(a.bytes(0)); }},
    {"shard_group", kNumbers, {}, "The four zero-width characters that write a shard byte.",
     [](const Args& a) -> Outcome { return watermark_testing::shard_group(a.text(0)); }},
    {"find_slots", kText, {}, "The slots of a text: byte offsets just past each word run.",
     [](const Args& a) -> Outcome {
       const auto slots = stego::find_slots(a.text(0));
       return std::vector<std::uint64_t>(slots.begin(), slots.end());
     }},
    {"count_slots_without_invisible", kText, {}, "The slot count of the text with its invisible code points removed.",
     [](const Args& a) -> Outcome { return std::uint64_t{stego::take_census(a.text(0)).slots}; }},
    {"strip_invisible", kText, {}, "The text without its invisible code points.",
     [](const Args& a) -> Outcome { return stego::strip_invisible(a.text(0)); }},
    {"scan_words", kText, {}, "Every scan word as 'ordinal mark_offset symbol_count first-symbols' lines.",
     [](const Args& a) -> Outcome { return watermark_testing::scan_words(a.text(0)); }},
    {"white_or_invisible_mismatches", {}, {}, "Code points where the fast path's byte test is wrong.",
     [](const Args&) -> Outcome { return watermark_testing::white_or_invisible_mismatches(); }},
    {"scan_chosen_words", kTextAndOrdinals, {}, "The lines of scan_words for the given ordinals, read from checkpoints.",
     [](const Args& a) -> Outcome { return watermark_testing::scan_chosen_words(a.text(0), a.text(1)); }},
    {"internal_fault", kText, {}, "Breaks an internal invariant with the given message.",
     [](const Args& a) -> Outcome { throw InternalFault(std::string(a.text(0))); }},
};

PyModuleDef kDefinition = {
    PyModuleDef_HEAD_INIT, "_vessolin_testing", "Test-only access to vessolin internals.", 0, nullptr, nullptr,
    nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vessolin::python

PyMODINIT_FUNC PyInit__vessolin_testing() {
  using namespace vessolin::python;
  return init_module<kFunctions>(kDefinition, "Test-only access to vessolin internals.");
}
