// Helpers behind the CBOR rows of `_vessolin_testing`: items read and
// written through the shared reader and writer, with text arguments.
// Included by testing_module.cpp only.
#pragma once

#include <charconv>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

#include "cbor/cbor.hpp"
#include "hex/hex.hpp"
#include "python/frame.hpp"

namespace vessolin::python::cbor_testing {

// -1 - n in decimal, written digit by digit so that n = 2^64 - 1 fits.
inline std::string negative_decimal(std::uint64_t n) {
  std::string digits = std::to_string(n);
  int carry = 1;
  for (auto it = digits.rbegin(); it != digits.rend() && carry; ++it) {
    const int d = (*it - '0') + carry;
    *it = static_cast<char>('0' + d % 10);
    carry = d / 10;
  }
  return (carry ? "-1" : "-") + digits;
}

inline void append_json_text(std::string& out, std::string_view text) {
  out += '"';
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

// The item whose head was just read, as JSON that the tests compare with
// Python values: integers as numbers, text as strings, arrays as lists,
// false/true/null as themselves, and the rest as one-key objects:
// {"bytes": hex}, {"tag": [number, item]}, {"float": text}, {"simple": n},
// {"map": [[k, v], ...]}. Nesting is counted as the product's readers count it.
inline cbor::Decoded<void> append_json(cbor::Reader& reader, const cbor::Head& h, std::string& out) {
  using cbor::Major;
  // The next whole item, where a break may not stand.
  const auto item = [&]() -> cbor::Decoded<void> {
    auto next = reader.head();
    if (!next) return std::unexpected(next.error());
    if (next->is_break()) return std::unexpected(cbor::DecodeError::syntax(next->offset));
    return append_json(reader, *next, out);
  };
  switch (h.major) {
    case Major::Unsigned:
      out += std::to_string(h.argument);
      return {};
    case Major::Negative:
      out += negative_decimal(h.argument);
      return {};
    case Major::Bytes: {
      auto bytes = reader.bytes_after(h);
      if (!bytes) return std::unexpected(bytes.error());
      out += "{\"bytes\": \"" + hex::encode(*bytes) + "\"}";
      return {};
    }
    case Major::Text: {
      auto text = reader.text_after(h);
      if (!text) return std::unexpected(text.error());
      append_json_text(out, *text);
      return {};
    }
    case Major::Simple:
      if (h.is_float()) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.17g", cbor::float_value(h));
        out += "{\"float\": \"" + std::string(buf) + "\"}";
      } else if (h.argument == 20 || h.argument == 21 || h.argument == 22) {
        out += h.argument == 20 ? "false" : h.argument == 21 ? "true" : "null";
      } else {
        out += "{\"simple\": " + std::to_string(h.argument) + "}";
      }
      return {};
    case Major::Tag: {
      if (auto r = reader.enter(); !r) return r;
      out += "{\"tag\": [" + std::to_string(h.argument) + ", ";
      auto r = item();
      reader.leave();
      if (!r) return r;
      out += "]}";
      return {};
    }
    case Major::Array:
    case Major::Map: {
      if (auto r = reader.enter(); !r) return r;
      const bool map = h.major == Major::Map;
      out += map ? "{\"map\": [" : "[";
      cbor::Decoded<void> result;
      for (std::uint64_t i = 0; h.indefinite || i < h.argument; ++i) {
        auto next = reader.head();
        if (!next) {
          result = std::unexpected(next.error());
          break;
        }
        if (next->is_break()) {
          if (!h.indefinite) result = std::unexpected(cbor::DecodeError::syntax(next->offset));
          break;  // the end of an indefinite container
        }
        out += i ? ", " : "";
        if (map) out += '[';
        result = append_json(reader, *next, out);
        if (result && map) {
          out += ", ";
          result = item();
          out += ']';
        }
        if (!result) break;
      }
      reader.leave();
      if (!result) return result;
      out += map ? "]}" : "]";
      return {};
    }
  }
  return {};
}

// The first item of the bytes as JSON, followed by a space and the number of
// bytes it took; or "error: " and the reader's diagnostic.
inline std::string cbor_read(std::span<const std::uint8_t> bytes) {
  cbor::Reader reader(bytes);
  std::string out;
  auto h = reader.head();
  cbor::Decoded<void> r = h ? (h->is_break() ? std::unexpected(cbor::DecodeError::syntax(h->offset))
                                              : append_json(reader, *h, out))
                            : std::unexpected(h.error());
  if (!r) return "error: " + r.error().display();
  return out + " " + std::to_string(reader.offset());
}

// Skips the first item: the number of bytes it took, or the diagnostic.
inline std::string cbor_skip(std::span<const std::uint8_t> bytes) {
  cbor::Reader reader(bytes);
  auto skipped = reader.skip();
  if (!skipped) return "error: " + skipped.error().display();
  return std::to_string(reader.offset());
}

// Writes space-separated items: "u:N" unsigned, "i:N" signed, "t:TEXT" (no
// spaces), "b:HEX", "a:N" array head, "m:N" map head, "tag:N", "null".
inline Outcome cbor_write(std::string_view items) {
  cbor::Writer w;
  while (!items.empty()) {
    const std::size_t space = std::min(items.find(' '), items.size());
    const std::string_view item = items.substr(0, space);
    items.remove_prefix(std::min(space + 1, items.size()));
    if (item.empty()) continue;
    const std::size_t colon = item.find(':');
    const std::string_view kind = item.substr(0, colon);
    const std::string_view arg = colon == std::string_view::npos ? std::string_view{} : item.substr(colon + 1);
    std::uint64_t u = 0;
    std::int64_t i = 0;
    const char* end = arg.data() + arg.size();
    if (kind == "u" && std::from_chars(arg.data(), end, u).ptr == end) {
      w.unsigned_int(u);
    } else if (kind == "i" && std::from_chars(arg.data(), end, i).ptr == end) {
      w.signed_int(i);
    } else if (kind == "t") {
      w.text(arg);
    } else if (kind == "b") {
      auto bytes = hex::decode_trimmed(arg);
      if (!bytes) return fail(Error::invalid_input("bad hex " + std::string(arg)));
      w.bytes(*bytes);
    } else if (kind == "a" && std::from_chars(arg.data(), end, u).ptr == end) {
      w.array(u);
    } else if (kind == "m" && std::from_chars(arg.data(), end, u).ptr == end) {
      w.map(u);
    } else if (kind == "tag" && std::from_chars(arg.data(), end, u).ptr == end) {
      w.tag(u);
    } else if (kind == "null") {
      w.null();
    } else {
      return fail(Error::invalid_input("unknown item " + std::string(item)));
    }
  }
  return hex::encode(w.bytes_written());
}

}  // namespace vessolin::python::cbor_testing
