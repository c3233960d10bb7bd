#include "cbor/cbor.hpp"

#include <bit>
#include <cmath>
#include <cstring>

#include "unicode/utf8_fault.hpp"

namespace vessolin::cbor {

// ---------------------------------------------------------------------------
// Writing

void Writer::head(Major major, std::uint64_t argument) {
  const auto initial = static_cast<std::uint8_t>(static_cast<std::uint8_t>(major) << 5);
  if (argument < 24) {
    out_.push_back(static_cast<std::uint8_t>(initial | argument));
    return;
  }
  int length;
  std::uint8_t info;
  if (argument <= 0xFF) {
    length = 1, info = 24;
  } else if (argument <= 0xFFFF) {
    length = 2, info = 25;
  } else if (argument <= 0xFFFFFFFF) {
    length = 4, info = 26;
  } else {
    length = 8, info = 27;
  }
  out_.push_back(static_cast<std::uint8_t>(initial | info));
  for (int i = length - 1; i >= 0; --i) out_.push_back(static_cast<std::uint8_t>(argument >> (8 * i)));
}

void Writer::signed_int(std::int64_t v) {
  if (v >= 0) {
    head(Major::Unsigned, static_cast<std::uint64_t>(v));
  } else {
    // -1 - v, computed without overflow for the most negative value.
    head(Major::Negative, ~static_cast<std::uint64_t>(v));
  }
}

void Writer::bytes(std::span<const std::uint8_t> b) {
  head(Major::Bytes, b.size());
  raw(b);
}

void Writer::text(std::string_view t) {
  head(Major::Text, t.size());
  raw({reinterpret_cast<const std::uint8_t*>(t.data()), t.size()});
}

// ---------------------------------------------------------------------------
// Diagnostics

namespace {

// A message inside double quotes: quotes and backslashes escaped, and
// control characters and line separators (which may come from the input)
// escaped too, so that a diagnostic stays one line.
void append_quoted(std::string& out, std::string_view message) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const auto escape = [&](std::uint32_t c) {
    out += "\\u{";
    bool leading = true;
    for (int shift = 20; shift >= 0; shift -= 4) {
      const std::uint32_t digit = (c >> shift) & 0xF;
      if (leading && digit == 0 && shift > 0) continue;
      leading = false;
      out += kDigits[digit];
    }
    out += '}';
  };
  for (std::size_t i = 0; i < message.size(); ++i) {
    const auto b = static_cast<unsigned char>(message[i]);
    const auto next = i + 1 < message.size() ? static_cast<unsigned char>(message[i + 1]) : 0;
    const auto after = i + 2 < message.size() ? static_cast<unsigned char>(message[i + 2]) : 0;
    if (b == '"' || b == '\\') {
      out += '\\';
      out += static_cast<char>(b);
    } else if (b == '\n') {
      out += "\\n";
    } else if (b == '\r') {
      out += "\\r";
    } else if (b == '\t') {
      out += "\\t";
    } else if (b == 0) {
      out += "\\0";
    } else if (b < 0x20 || b == 0x7F) {
      escape(b);
    } else if (b == 0xC2 && next >= 0x80 && next <= 0x9F) {  // U+0080 to U+009F
      escape(next);
      ++i;
    } else if (b == 0xE2 && next == 0x80 && (after == 0xA8 || after == 0xA9)) {  // U+2028, U+2029
      escape(after == 0xA8 ? 0x2028 : 0x2029);
      i += 2;
    } else {
      out += static_cast<char>(b);
    }
  }
}

}  // namespace

std::string DecodeError::display() const {
  switch (kind) {
    case Kind::Io:
      return "Io(EndOfFile)";
    case Kind::Syntax:
      return "Syntax(" + std::to_string(offset.value_or(0)) + ")";
    case Kind::Semantic: {
      std::string out = "Semantic(";
      out += offset ? std::to_string(*offset) : "None";
      out += ", \"";
      append_quoted(out, message);
      out += "\")";
      return out;
    }
    case Kind::RecursionLimitExceeded:
      return "RecursionLimitExceeded";
  }
  return {};
}

// ---------------------------------------------------------------------------
// The pull reader

Decoded<void> Reader::string_chunks(const Head& h, std::vector<std::uint8_t>* out) {
  if (!h.indefinite) {
    auto content = take(h.argument);
    if (!content) return std::unexpected(content.error());
    if (out) out->insert(out->end(), content->begin(), content->end());
    return {};
  }
  for (;;) {
    auto chunk = head();
    if (!chunk) return std::unexpected(chunk.error());
    if (chunk->is_break()) return {};
    if (chunk->major != h.major || chunk->indefinite) return std::unexpected(DecodeError::syntax(chunk->offset));
    auto content = take(chunk->argument);
    if (!content) return std::unexpected(content.error());
    if (out) out->insert(out->end(), content->begin(), content->end());
  }
}

Decoded<std::vector<std::uint8_t>> Reader::bytes_after(const Head& h) {
  std::vector<std::uint8_t> out;
  if (auto r = string_chunks(h, &out); !r) return std::unexpected(r.error());
  return out;
}

Decoded<std::string> Reader::text_after(const Head& h) {
  std::vector<std::uint8_t> bytes;
  if (auto r = string_chunks(h, &bytes); !r) return std::unexpected(r.error());
  if (!utf8::is_valid(bytes)) return std::unexpected(DecodeError::syntax(h.offset));
  return std::string(bytes.begin(), bytes.end());
}

Decoded<std::string_view> Reader::text_view_after(const Head& h, std::string& joined) {
  if (h.indefinite) {
    auto text = text_after(h);
    if (!text) return std::unexpected(text.error());
    joined = std::move(*text);
    return std::string_view(joined);
  }
  auto content = take(h.argument);
  if (!content) return std::unexpected(content.error());
  if (!utf8::is_valid(*content)) return std::unexpected(DecodeError::syntax(h.offset));
  return std::string_view(reinterpret_cast<const char*>(content->data()), content->size());
}

Decoded<void> Reader::enter() {
  if (depth_ >= kMaxDepth) return std::unexpected(DecodeError::recursion_limit());
  ++depth_;
  return {};
}

Decoded<void> Reader::skip() {
  auto h = head();
  if (!h) return std::unexpected(h.error());
  if (h->is_break()) return std::unexpected(DecodeError::syntax(h->offset));
  return skip_after(*h);
}

Decoded<void> Reader::skip_after(const Head& h) {
  switch (h.major) {
    case Major::Unsigned:
    case Major::Negative:
    case Major::Simple:
      return {};
    case Major::Bytes:
      return string_chunks(h, nullptr);
    case Major::Text: {
      auto text = text_after(h);  // still checked: a skipped item must be well-formed
      if (!text) return std::unexpected(text.error());
      return {};
    }
    case Major::Tag: {
      if (auto r = enter(); !r) return r;
      auto r = skip();
      leave();
      return r;
    }
    case Major::Array:
    case Major::Map: {
      if (auto r = enter(); !r) return r;
      const std::uint64_t per_entry = h.major == Major::Map ? 2 : 1;
      Decoded<void> result;
      if (h.indefinite) {
        for (;;) {
          auto item = head();
          if (!item) {
            result = std::unexpected(item.error());
            break;
          }
          if (item->is_break()) break;
          result = skip_after(*item);
          if (result && per_entry == 2) result = skip();
          if (!result) break;
        }
      } else {
        // Each entry takes at least one byte, so this loop ends at the end of
        // the input however large the count claims to be.
        for (std::uint64_t i = 0; i < h.argument && result; ++i) {
          for (std::uint64_t k = 0; k < per_entry && result; ++k) result = skip();
        }
      }
      leave();
      return result;
    }
  }
  return {};
}

double float_value(const Head& h) {
  switch (h.info) {
    case 25: {
      // Half precision, RFC 8949 appendix D.
      const auto half = static_cast<std::uint16_t>(h.argument);
      const int exponent = (half >> 10) & 0x1F;
      const int mantissa = half & 0x3FF;
      double v;
      if (exponent == 0) {
        v = std::ldexp(mantissa, -24);
      } else if (exponent != 31) {
        v = std::ldexp(mantissa + 1024, exponent - 25);
      } else {
        v = mantissa == 0 ? INFINITY : NAN;
      }
      return (half & 0x8000) ? -v : v;
    }
    case 26:
      return std::bit_cast<float>(static_cast<std::uint32_t>(h.argument));
    default:
      return std::bit_cast<double>(h.argument);
  }
}

}  // namespace vessolin::cbor
