#include "hex/hex.hpp"

#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

#if defined(__SSE2__)
// Sixteen digits at a time in SSE2 lanes (every x86-64 processor has them):
// returns false, having written nothing, when any of them is not a digit,
// so that the byte-wise loop can find and report it.
bool decode16(const char* in, std::uint8_t* out) {
  const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  const __m128i digit = _mm_sub_epi8(c, _mm_set1_epi8('0'));
  // 'A' to 'F' and 'a' to 'f' both give 0 to 5.
  const __m128i letter = _mm_sub_epi8(_mm_or_si128(c, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
  const __m128i is_digit = _mm_cmpeq_epi8(_mm_min_epu8(digit, _mm_set1_epi8(9)), digit);
  const __m128i is_letter = _mm_cmpeq_epi8(_mm_min_epu8(letter, _mm_set1_epi8(5)), letter);
  if (_mm_movemask_epi8(_mm_or_si128(is_digit, is_letter)) != 0xFFFF) return false;
  const __m128i nibbles = _mm_or_si128(_mm_and_si128(digit, is_digit),
                                       _mm_and_si128(_mm_add_epi8(letter, _mm_set1_epi8(10)), is_letter));
  // Each 16-bit lane holds a pair: the high nibble in its low byte.
  const __m128i high = _mm_slli_epi16(_mm_and_si128(nibbles, _mm_set1_epi16(0x00FF)), 4);
  const __m128i low = _mm_srli_epi16(nibbles, 8);
  const __m128i bytes = _mm_packus_epi16(_mm_or_si128(high, low), _mm_setzero_si128());
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), bytes);
  return true;
}
#else
bool decode16(const char*, std::uint8_t*) { return false; }
#endif

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
    // Sixteen bytes at a time in vector lanes (a compiler extension, hence
    // the marker): signed digests and whole envelopes go out this way.
    __extension__ typedef std::uint8_t Lanes __attribute__((vector_size(16)));
    const auto digits = [](Lanes nibbles) {
      const Lanes letter = reinterpret_cast<Lanes>(nibbles > 9);  // all ones where a-f
      return nibbles + '0' + (letter & ('a' - '0' - 10));
    };
    std::size_t i = 0;
    for (; bytes.size() - i >= 16; i += 16) {
      Lanes in;
      __builtin_memcpy(&in, bytes.data() + i, 16);
      const Lanes high = digits(in >> 4);
      const Lanes low = digits(in & 0x0F);
      const Lanes first = __builtin_shuffle(high, low, Lanes{0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23});
      const Lanes second =
          __builtin_shuffle(high, low, Lanes{8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31});
      __builtin_memcpy(buf + 2 * i, &first, 16);
      __builtin_memcpy(buf + 2 * i + 16, &second, 16);
    }
    for (; i < bytes.size(); ++i) {
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
