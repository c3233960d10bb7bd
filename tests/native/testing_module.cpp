// `_vessolin_testing`: reaches the internals that the public functions do not
// expose, through the same calling frame as `vessolin`. Built only with
// -DVESSOLIN_TESTING=ON; never shipped as part of `vessolin`.
#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include "canonical/canonical.hpp"
#include "error/error.hpp"
#include "hex/hex.hpp"
#include "python/frame.hpp"
#include "unicode/properties.hpp"
#include "unicode/utf8.hpp"

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

// Code points whose context-free full lowercase mapping (ICU's string
// lowercasing of the lone character) differs from what the canonical stream uses.
std::vector<std::uint64_t> lowercase_mismatches() {
  std::vector<std::uint64_t> bad;
  for (UChar32 c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    UChar src[2];
    int32_t n = 0;
    U16_APPEND_UNSAFE(src, n, c);
    UChar dst[8];
    UErrorCode status = U_ZERO_ERROR;
    const int32_t len = u_strToLower(dst, 8, src, n, "", &status);
    if (U_FAILURE(status)) throw InternalFault("u_strToLower failed");
    char32_t expected[4];
    int count = 0;
    for (int32_t i = 0; i < len && count < 4;) {
      UChar32 d;
      U16_NEXT(dst, i, len, d);
      expected[count++] = static_cast<char32_t>(d);
    }
    char32_t got[3];
    const int got_count = unicode::lowercase_full(static_cast<char32_t>(c), got);
    if (got_count != count || !std::equal(got, got + got_count, expected)) bad.push_back(static_cast<std::uint64_t>(c));
  }
  return bad;
}

constexpr FunctionSpec kFunctions[] = {
    {"canonical_stream", kText, {}, "The canonical stream of `text`.",
     [](const Args& a) -> Outcome { return canonical_stream(a.text(0)); }},
    {"normalized_text", kText, {}, "The normalised text of `text`.",
     [](const Args& a) -> Outcome { return normalized_text(a.text(0)); }},
    {"lowercase_mismatches", {}, {}, "Code points where the per-character lowercase mapping disagrees with ICU.",
     [](const Args&) -> Outcome { return lowercase_mismatches(); }},
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
