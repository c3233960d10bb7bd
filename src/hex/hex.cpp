#include "hex/hex.hpp"

#include <array>
#include <cstring>

#include "unicode/properties.hpp"
#include "unicode/utf8.hpp"

namespace vessolin::hex {

namespace {

constexpr char kDigits[] = "0123456789abcdef";

// Nibble value of each byte, or -1.
constexpr std::array<std::int8_t, 256> kNibble = [] {
  std::array<std::int8_t, 256> t{};
  for (auto& v : t) v = -1;
  for (int i = 0; i < 10; ++i) t['0' + i] = static_cast<std::int8_t>(i);
  for (int i = 0; i < 6; ++i) {
    t['a' + i] = static_cast<std::int8_t>(10 + i);
    t['A' + i] = static_cast<std::int8_t>(10 + i);
  }
  return t;
}();

// Sixteen digits at a time, in vector lanes (a compiler extension, hence
// the markers): returns false, having written nothing, when any of them is
// not a digit, so that the byte-wise loop can find and report it.
__extension__ typedef std::uint8_t Bytes16 __attribute__((vector_size(16)));
__extension__ typedef std::int8_t Mask16 __attribute__((vector_size(16)));

bool decode16(const char* in, std::uint8_t* out) {
  Bytes16 c;
  std::memcpy(&c, in, 16);
  const Bytes16 digit = c - '0';
  const Bytes16 letter = (c | 0x20) - 'a';  // 'A' to 'F' and 'a' to 'f' both give 0 to 5
  const auto is_digit = reinterpret_cast<Bytes16>(static_cast<Mask16>(digit < 10));
  const auto is_letter = reinterpret_cast<Bytes16>(static_cast<Mask16>(letter < 6));
  const Bytes16 valid = is_digit | is_letter;
  std::uint64_t halves[2];
  std::memcpy(halves, &valid, 16);
  if ((halves[0] & halves[1]) != ~std::uint64_t{0}) return false;
  const Bytes16 nibbles = (digit & is_digit) | ((letter + 10) & is_letter);
  const Bytes16 high = __builtin_shuffle(nibbles, Bytes16{0, 2, 4, 6, 8, 10, 12, 14, 0, 2, 4, 6, 8, 10, 12, 14});
  const Bytes16 low = __builtin_shuffle(nibbles, Bytes16{1, 3, 5, 7, 9, 11, 13, 15, 1, 3, 5, 7, 9, 11, 13, 15});
  const Bytes16 bytes = (high << 4) | low;
  std::memcpy(out, &bytes, 8);
  return true;
}

// Decodes the leading 16-digit groups of `text`; returns how many digits it took.
std::size_t decode_groups(std::string_view text, std::uint8_t* out) {
  std::size_t i = 0;
  while (text.size() - i >= 16 && decode16(text.data() + i, out + i / 2)) i += 16;
  return i;
}

}  // namespace

std::string encode(std::span<const std::uint8_t> bytes) {
  const std::size_t length = bytes.size() * 2;
  std::string out;
  // The size handed to the callback can exceed the one asked for (libstdc++ 12
  // passes on the grown capacity when leaving the short-string buffer), so the
  // callback returns the length it wrote, never that size.
  out.resize_and_overwrite(length, [&](char* buf, std::size_t) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      buf[2 * i] = kDigits[bytes[i] >> 4];
      buf[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
    return length;
  });
  return out;
}

std::string char_literal(std::uint8_t byte) {
  std::string body;
  switch (byte) {
    case '\'': body = "\\'"; break;
    case '\\': body = "\\\\"; break;
    case '\t': body = "\\t"; break;
    case '\n': body = "\\n"; break;
    case '\r': body = "\\r"; break;
    case 0: body = "\\0"; break;
    default:
      if (byte < 0x20 || (byte >= 0x7F && byte <= 0xA0) || byte == 0xAD) {
        body = "\\u{";
        if (byte >= 0x10) body += kDigits[byte >> 4];
        body += kDigits[byte & 0x0F];
        body += '}';
      } else {
        utf8::append(body, byte);
      }
  }
  return "'" + body + "'";
}

std::expected<Bytes, std::string> decode_trimmed(std::string_view text) {
  const std::string_view digits = unicode::trim_white_space(text);
  if (digits.size() % 2 != 0) return std::unexpected(std::string("Odd number of digits"));
  Bytes out(digits.size() / 2);
  for (std::size_t i = decode_groups(digits, out.data()); i < digits.size(); i += 2) {
    const auto hi_byte = static_cast<std::uint8_t>(digits[i]);
    const auto lo_byte = static_cast<std::uint8_t>(digits[i + 1]);
    const int hi = kNibble[hi_byte];
    const int lo = kNibble[lo_byte];
    if (hi < 0 || lo < 0) {
      const std::size_t at = hi < 0 ? i : i + 1;
      return std::unexpected("Invalid character " + char_literal(hi < 0 ? hi_byte : lo_byte) +
                             " at position " + std::to_string(at));
    }
    out[i / 2] = static_cast<std::uint8_t>((hi << 4) | lo);
  }
  return out;
}

bool decode_exact(std::string_view text, std::uint8_t* out) {
  if (text.size() % 2 != 0) return false;
  for (std::size_t i = decode_groups(text, out); i < text.size(); i += 2) {
    const int hi = kNibble[static_cast<std::uint8_t>(text[i])];
    const int lo = kNibble[static_cast<std::uint8_t>(text[i + 1])];
    if (hi < 0 || lo < 0) return false;
    out[i / 2] = static_cast<std::uint8_t>((hi << 4) | lo);
  }
  return true;
}

}  // namespace vessolin::hex
