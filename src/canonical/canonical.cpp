#include "canonical/canonical.hpp"

#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>

#include <array>
#include <cstring>

#include "crypto/digest.hpp"
#include "error/error.hpp"
#include "unicode/properties.hpp"
#include "unicode/utf8.hpp"

namespace vessolin {

namespace {

// For each ASCII byte: what it writes when it is the first character of a
// separator run or a word character (its lowercase form, or a space), and
// whether it is a word character.
struct AsciiTable {
  std::array<char, 128> out{};
  std::array<std::uint8_t, 128> word{};
  constexpr AsciiTable() {
    for (int b = 0; b < 128; ++b) {
      const bool is_word = (b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z');
      word[b] = is_word;
      out[b] = !is_word ? ' ' : (b >= 'A' && b <= 'Z') ? char(b + 32) : char(b);
    }
  }
};
constexpr AsciiTable kAscii;

const icu::Normalizer2& nfc() {
  static const icu::Normalizer2* instance = [] {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* n = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status) || n == nullptr) throw InternalFault("ICU NFC data unavailable");
    return n;
  }();
  return *instance;
}

// The NFC form of `segment`: the segment itself when it is already normal,
// otherwise its normalisation in `scratch`.
std::string_view to_nfc(std::string_view segment, std::string& scratch) {
  const icu::Normalizer2& n = nfc();
  UErrorCode status = U_ZERO_ERROR;
  const icu::StringPiece piece(segment.data(), static_cast<int32_t>(segment.size()));
  if (n.isNormalizedUTF8(piece, status) && U_SUCCESS(status)) return segment;
  status = U_ZERO_ERROR;
  scratch.clear();
  icu::StringByteSink<std::string> sink(&scratch, static_cast<int32_t>(segment.size()));
  n.normalizeUTF8(0, piece, sink, nullptr, status);
  if (U_FAILURE(status)) throw InternalFault(std::string("NFC normalisation failed: ") + u_errorName(status));
  return scratch;
}

std::size_t find_non_ascii(std::string_view s, std::size_t pos) {
  const char* p = s.data();
  const std::size_t n = s.size();
  for (; pos + 8 <= n; pos += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + pos, 8);
    if (w & 0x8080808080808080ULL) break;
  }
  while (pos < n && utf8::is_ascii(static_cast<unsigned char>(p[pos]))) ++pos;
  return pos;
}

// Splits a text into alternating pure-ASCII stretches, which need no
// normalisation, and mixed stretches, which go through NFC as a whole. Every
// ASCII character starts a normalisation boundary (nothing composes with what
// precedes it), but the ASCII character just before a non-ASCII one may
// compose with it ("e" + U+0301), so it travels with the mixed stretch. Short
// ASCII runs between non-ASCII characters (the spaces of a Greek sentence)
// stay inside the mixed stretch to keep the number of NFC calls low.
template <class OnAscii, class OnMixed>
void for_each_stretch(std::string_view text, OnAscii on_ascii, OnMixed on_mixed) {
  constexpr std::size_t kLongAsciiRun = 32;
  const std::size_t n = text.size();
  std::size_t pos = 0;
  while (pos < n) {
    const std::size_t first_high = find_non_ascii(text, pos);
    if (first_high == n) {
      on_ascii(text.substr(pos));
      return;
    }
    const std::size_t mixed_start = first_high > pos ? first_high - 1 : first_high;
    if (mixed_start > pos) on_ascii(text.substr(pos, mixed_start - pos));
    std::size_t mixed_end = first_high;
    while (mixed_end < n) {
      if (!utf8::is_ascii(static_cast<unsigned char>(text[mixed_end]))) {
        mixed_end += utf8::sequence_length(static_cast<unsigned char>(text[mixed_end]));
        continue;
      }
      const std::size_t run_end = find_non_ascii(text, mixed_end);
      if (run_end == n || run_end - mixed_end >= kLongAsciiRun) break;
      mixed_end = run_end;
    }
    on_mixed(text.substr(mixed_start, mixed_end - mixed_start));
    pos = mixed_end;
  }
}

// Writes the canonical stream. A separator right after a word writes the one
// space that the separator run becomes; a trailing space is removed at the end.
class StreamWriter {
 public:
  explicit StreamWriter(std::size_t expected) { out_.reserve(expected); }

  void ascii(std::string_view run) {
    const std::size_t start = out_.size();
    out_.resize_and_overwrite(start + run.size(), [&](char* buf, std::size_t) {
      char* o = buf + start;
      bool prev = prev_word_;
      for (unsigned char b : run) {
        const bool w = kAscii.word[b];
        *o = kAscii.out[b];
        o += w | prev;
        prev = w;
      }
      prev_word_ = prev;
      return static_cast<std::size_t>(o - buf);
    });
  }

  void code_point(char32_t c) {
    if (c < 0x80) {
      const bool w = kAscii.word[c];
      if (w || prev_word_) out_.push_back(kAscii.out[c]);
      prev_word_ = w;
      return;
    }
    if (unicode::is_invisible(c)) return;
    char32_t lower[3];
    const int count = unicode::lowercase_full(c, lower);
    for (int i = 0; i < count; ++i) {
      if (unicode::is_word_char(lower[i])) {
        utf8::append(out_, lower[i]);
        prev_word_ = true;
      } else {
        if (prev_word_) out_.push_back(' ');
        prev_word_ = false;
      }
    }
  }

  std::string finish() && {
    if (!out_.empty() && out_.back() == ' ') out_.pop_back();
    return std::move(out_);
  }

 private:
  std::string out_;
  bool prev_word_ = false;
};

}  // namespace

std::string canonical_stream(std::string_view text) {
  StreamWriter writer(text.size());
  std::string scratch;
  for_each_stretch(
      text, [&](std::string_view run) { writer.ascii(run); },
      [&](std::string_view mixed) {
        const std::string_view normal = to_nfc(mixed, scratch);
        for (std::size_t pos = 0; pos < normal.size();) writer.code_point(utf8::decode(normal, pos));
      });
  return std::move(writer).finish();
}

std::string normalized_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::string scratch;
  for_each_stretch(
      text, [&](std::string_view run) { out.append(run); },
      [&](std::string_view mixed) {
        const std::string_view normal = to_nfc(mixed, scratch);
        for (std::size_t pos = 0; pos < normal.size();) {
          const std::size_t start = pos;
          const char32_t c = utf8::decode(normal, pos);
          if (!unicode::is_invisible(c)) out.append(normal.substr(start, pos - start));
        }
      });
  return out;
}

Digest32 content_digest(std::string_view text) { return crypto::sha256(canonical_stream(text)); }

}  // namespace vessolin
