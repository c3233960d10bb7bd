#include "canonical/canonical.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "crypto/digest.hpp"
#include "unicode/char_table.hpp"
#include "unicode/nfc.hpp"
#include "unicode/properties.hpp"
#include "unicode/utf8.hpp"

namespace vessolin {

namespace {

using unicode::CharInfo;
using unicode::char_info;

// For each ASCII byte: its lowercase form if it is a word character, else a
// space (what the first separator of a run writes); and whether it is one.
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

bool is_ascii_at(std::string_view s, std::size_t pos) { return utf8::is_ascii(static_cast<unsigned char>(s[pos])); }

std::size_t find_non_ascii(std::string_view s, std::size_t pos) {
  const char* p = s.data();
  const std::size_t n = s.size();
#if defined(__SSE2__)
  for (; pos + 16 <= n; pos += 16) {
    const unsigned high = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + pos))));
    if (high != 0) return pos + static_cast<std::size_t>(__builtin_ctz(high));
  }
#endif
  for (; pos + 8 <= n; pos += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + pos, 8);
    if (w & 0x8080808080808080ULL) break;
  }
  while (pos < n && is_ascii_at(s, pos)) ++pos;
  return pos;
}

template <class Sink>
inline void emit(Sink& sink, std::string_view text, std::size_t pos, std::size_t after, char32_t c, CharInfo info) {
  if (c < 0x80) {
    sink.ascii_char(static_cast<char>(c));
  } else {
    sink.stable(c, info, text.substr(pos, after - pos));
  }
}

// Drives a sink through the NFC form of a text without normalising what is
// already normal. ASCII and the non-ASCII characters that are NFC-stable
// (quick-check Yes, combining class 0) pass straight through; only a run of
// other characters, together with the one character before it (the starter
// it may compose with), goes through the normaliser. Every stable character
// and every ASCII character begins a normalisation boundary, so these
// segments normalise independently of the rest.
//
// Sink: ascii(run of ASCII bytes), ascii_char(one ASCII byte),
// stable(code point, info, its bytes), normalised(NFC bytes of a segment).
template <class Sink>
void walk_nfc(std::string_view text, Sink& sink) {
  const std::size_t n = text.size();
  std::string scratch;
  std::u32string work;
  // The end of a segment whose first non-stable character ends at `pos`.
  auto segment_end = [&](std::size_t pos) {
    while (pos < n && !is_ascii_at(text, pos)) {
      std::size_t next = pos;
      if (char_info(utf8::decode(text, next)).nfc_stable()) break;
      pos = next;
    }
    return pos;
  };
  auto segment = [&](std::size_t start, std::size_t end) {
    scratch.clear();
    unicode::append_nfc(text.substr(start, end - start), work, scratch);
    sink.normalised(scratch);
  };

  std::size_t pos = 0;
  while (pos < n) {
    const std::size_t high = find_non_ascii(text, pos);
    if (high == n) {
      sink.ascii(text.substr(pos));
      return;
    }
    std::size_t after = high;
    char32_t c = utf8::decode(text, after);
    CharInfo info = char_info(c);
    if (!info.nfc_stable()) {
      const std::size_t start = high > pos ? high - 1 : high;
      if (start > pos) sink.ascii(text.substr(pos, start - pos));
      pos = segment_end(after);
      segment(start, pos);
      continue;
    }
    if (high > pos) sink.ascii(text.substr(pos, high - pos));
    pos = high;
    // Character by character while non-ASCII text goes on, with single
    // ASCII characters (the spaces between words) in between. A character is
    // passed on only once the next one is known not to need it as the
    // starter of a segment; two ASCII characters in a row return to the
    // fast path.
    while (true) {
      if (after == n) {
        emit(sink, text, pos, after, c, info);
        pos = n;
        break;
      }
      if (is_ascii_at(text, after)) {
        emit(sink, text, pos, after, c, info);
        pos = after;
        if (c < 0x80) break;
        c = static_cast<unsigned char>(text[after]);
        info = CharInfo();
        ++after;
        continue;
      }
      std::size_t next_after = after;
      const char32_t next = utf8::decode(text, next_after);
      const CharInfo next_info = char_info(next);
      if (!next_info.nfc_stable()) {
        const std::size_t end = segment_end(next_after);
        segment(pos, end);
        pos = end;
        break;
      }
      emit(sink, text, pos, after, c, info);
      pos = after;
      after = next_after;
      c = next;
      info = next_info;
    }
  }
}

// Writes the canonical stream. A separator right after a word writes the one
// space its run becomes; a trailing space is removed at the end. Invisible
// characters change nothing, so letters on both sides of one join.
//
// The output lives in a string whose whole size is usable room (sized
// without initialising it); `len_` is the part written so far.
class StreamSink {
 public:
  explicit StreamSink(std::size_t expected) { grow(expected + kSlack); }

  void ascii(std::string_view run) { len_ = static_cast<std::size_t>(write_ascii(run, room(run.size())) - buf_.data()); }

  void ascii_char(char b) {
    char* o = room(1);
    const auto u = static_cast<unsigned char>(b);
    *o = kAscii.out[u];
    len_ += kAscii.word[u] | prev_word_;
    prev_word_ = kAscii.word[u];
  }

  void stable(char32_t c, CharInfo info, std::string_view) {
    if (info.multi_lower()) [[unlikely]] {
      multi_lower(c);
      return;
    }
    char* o = room(4);
    if (info.lower_is_word()) {
      if (info.lowers()) {
        const std::uint32_t bytes = info.lower_utf8();
        std::memcpy(o, &bytes, 4);
        len_ += info.lower_utf8_length();
      } else {
        len_ += utf8::encode(c, o);
      }
      prev_word_ = true;
    } else if (!info.invisible()) {
      *o = ' ';
      len_ += prev_word_;
      prev_word_ = false;
    }
  }

  void normalised(std::string_view nfc) {
    for (std::size_t pos = 0; pos < nfc.size();) {
      const std::size_t start = pos;
      const char32_t c = utf8::decode(nfc, pos);
      if (c < 0x80) {
        ascii_char(nfc[start]);
      } else {
        stable(c, char_info(c), {});
      }
    }
  }

  std::string finish() && {
    if (len_ > 0 && buf_[len_ - 1] == ' ') --len_;
    buf_.resize(len_);
    return std::move(buf_);
  }

 private:
  // Room past the written part for the vector loop's full-width stores and
  // the four-byte copies of single characters.
  static constexpr std::size_t kSlack = 16;

  char* room(std::size_t extra) {
    if (len_ + extra + kSlack > buf_.size()) [[unlikely]] grow(std::max(2 * buf_.size(), len_ + extra + kSlack));
    return buf_.data() + len_;
  }

  void grow(std::size_t size) {
    buf_.resize_and_overwrite(size, [](char*, std::size_t n) { return n; });
  }

  void multi_lower(char32_t c) {
    char32_t lower[3];
    const int count = unicode::lowercase_full(c, lower);
    for (int i = 0; i < count; ++i) {
      char* o = room(4);
      if (unicode::is_word_char(lower[i])) {
        len_ += utf8::encode(lower[i], o);
        prev_word_ = true;
      } else {
        *o = ' ';
        len_ += prev_word_;
        prev_word_ = false;
      }
    }
  }

  // Every byte writes its output form; the output position advances unless
  // the byte is a separator following a separator.
  char* write_ascii(std::string_view run, char* o) {
    const auto* p = reinterpret_cast<const unsigned char*>(run.data());
    const std::size_t n = run.size();
    std::size_t i = 0;
    unsigned prev = prev_word_;
#if defined(__SSE2__)
    const __m128i space = _mm_set1_epi8(0x20);
    for (; i + 16 <= n; i += 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      const __m128i folded = _mm_or_si128(x, space);  // lowercase for letters, unchanged digits
      const __m128i alpha = _mm_and_si128(_mm_cmpgt_epi8(folded, _mm_set1_epi8('a' - 1)),
                                          _mm_cmplt_epi8(folded, _mm_set1_epi8('z' + 1)));
      const __m128i digit =
          _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(x, _mm_set1_epi8('9' + 1)));
      const __m128i word = _mm_or_si128(alpha, digit);
      const __m128i bytes = _mm_or_si128(_mm_and_si128(word, folded), _mm_andnot_si128(word, space));
      const unsigned words = static_cast<unsigned>(_mm_movemask_epi8(word));
      const unsigned keep = (words | (words << 1) | prev) & 0xFFFF;
      if (keep == 0xFFFF) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), bytes);
        o += 16;
      } else {
        alignas(16) char block[16];
        _mm_store_si128(reinterpret_cast<__m128i*>(block), bytes);
        for (int k = 0; k < 16; ++k) {
          *o = block[k];
          o += (keep >> k) & 1;
        }
      }
      prev = words >> 15;
    }
#endif
    for (; i < n; ++i) {
      const unsigned w = kAscii.word[p[i]];
      *o = kAscii.out[p[i]];
      o += w | prev;
      prev = w;
    }
    prev_word_ = prev;
    return o;
  }

  std::string buf_;
  std::size_t len_ = 0;
  bool prev_word_ = false;
};

class NormalizedSink {
 public:
  explicit NormalizedSink(std::size_t expected) { out_.reserve(expected); }
  void ascii(std::string_view run) { out_.append(run); }
  void ascii_char(char b) { out_.push_back(b); }
  void stable(char32_t, CharInfo info, std::string_view bytes) {
    if (!info.invisible()) out_.append(bytes);
  }
  void normalised(std::string_view nfc) {
    for (std::size_t pos = 0; pos < nfc.size();) {
      const std::size_t start = pos;
      if (!unicode::is_invisible(utf8::decode(nfc, pos))) out_.append(nfc.substr(start, pos - start));
    }
  }
  std::string finish() && { return std::move(out_); }

 private:
  std::string out_;
};

}  // namespace

std::string canonical_stream(std::string_view text) {
  StreamSink sink(text.size());
  walk_nfc(text, sink);
  return std::move(sink).finish();
}

std::string normalized_text(std::string_view text) {
  NormalizedSink sink(text.size());
  walk_nfc(text, sink);
  return std::move(sink).finish();
}

Digest32 content_digest(std::string_view text) { return crypto::sha256(canonical_stream(text)); }

}  // namespace vessolin
