// The compiled Unicode tables as the code reads them, for comparison with the
// database files.
#pragma once

#include <string>
#include <string_view>

#include "error/error.hpp"
#include "unicode/nfc.hpp"
#include "unicode/properties.hpp"
#include "unicode/ucd.hpp"

namespace vessolin::unicode_testing {

inline std::string hex(char32_t c) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (int shift = 20; shift >= 0; shift -= 4) {
    if (out.empty() && shift > 12 && ((c >> shift) & 0xF) == 0) continue;
    out += kDigits[(c >> shift) & 0xF];
  }
  return out;
}

// The value of one property at `c` as text; empty for the property's default.
inline std::string property_value(std::string_view name, char32_t c) {
  using namespace unicode;
  const ucd::Record& r = ucd::record(c);
  if (name == "word") return is_word_char(c) ? "Y" : "";
  if (name == "white_space") return is_white_space(c) ? "Y" : "";
  if (name == "white_space_table") return r.flags & ucd::kWhiteSpace ? "Y" : "";
  if (name == "invisible") return is_invisible(c) != bool(r.flags & ucd::kInvisible) ? "mismatch" : is_invisible(c) ? "Y" : "";
  if (name == "combining_class") return combining_class(c) ? std::to_string(combining_class(c)) : "";
  if (name == "nfc_quick_check") return r.flags & ucd::kNfcNo ? "N" : r.flags & ucd::kNfcMaybe ? "M" : "";
  if (name == "nfc_stable") return nfc_stable(c) ? "Y" : "";
  if (name == "copies_as_is") return c < 0x10000 && (ucd::kCopiesAsIs[c >> 6] >> (c & 63)) & 1 ? "Y" : "";
  if (name == "lowercase") {
    char32_t lower[3];
    const int n = lowercase_full(c, lower);
    if (n == 1 && lower[0] == c) return "";
    std::string out;
    for (int i = 0; i < n; ++i) out += (i ? " " : "") + hex(lower[i]);
    // The flags the canonical stream reads must agree with the mapping.
    if (bool(r.flags & ucd::kLowerIsWord) != is_word_char(lower[0]) || bool(r.flags & ucd::kMultiLower) != (n > 1))
      out += " mismatch";
    return out;
  }
  if (name == "decomposition") {
    if (r.decomposition == 0) return "";
    const char32_t* d = ucd::kDecompositions + r.decomposition;
    std::string out;
    for (char32_t i = 1; i <= d[0]; ++i) out += (i > 1 ? " " : "") + hex(d[i]);
    return out;
  }
  throw InternalFault("unknown property " + std::string(name));
}

// Every run of code points with the same non-default value, one per line:
// "first last value" in hexadecimal.
inline std::string property_runs(std::string_view name) {
  std::string out;
  std::string value;
  char32_t first = 0;
  for (char32_t c = 0; c <= 0x110000; ++c) {
    std::string v = c < 0x110000 && (c < 0xD800 || c > 0xDFFF) ? property_value(name, c) : std::string();
    if (c > 0 && v == value) continue;
    if (!value.empty()) out += hex(first) + " " + hex(c - 1) + " " + value + "\n";
    value = std::move(v);
    first = c;
  }
  return out;
}

}  // namespace vessolin::unicode_testing
