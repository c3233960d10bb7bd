#include "stego/scan.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "error/error.hpp"
#include "stego/text_walk.hpp"
#include "unicode/nfc.hpp"
#include "unicode/properties.hpp"
#include "unicode/utf8.hpp"

namespace vessolin::stego {

namespace {

// Every member of the invisible set is three bytes of UTF-8 led by E2
// (U+200B to U+200D, U+2060) or EF (U+FEFF, U+FE00 to U+FE0F); neither byte
// can be a continuation byte, so a match is always a whole code point.
bool invisible_at(const unsigned char* p, std::size_t available) {
  if (available < 3) return false;
  if (p[0] == 0xE2) return (p[1] == 0x80 && p[2] >= 0x8B && p[2] <= 0x8D) || (p[1] == 0x81 && p[2] == 0xA0);
  if (p[0] == 0xEF) return (p[1] == 0xBB && p[2] == 0xBF) || (p[1] == 0xB8 && p[2] >= 0x80 && p[2] <= 0x8F);
  return false;
}

constexpr std::size_t kInvisibleBytes = 3;

// The offset of the first invisible code point at or after `pos`, or the
// text's length. English prose has many E2 bytes (typographic quotes and
// dashes), so candidates are found sixteen bytes at a time.
std::size_t find_invisible(std::string_view text, std::size_t pos) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
#if defined(__SSE2__)
  const __m128i e2 = _mm_set1_epi8(static_cast<char>(0xE2));
  const __m128i ef = _mm_set1_epi8(static_cast<char>(0xEF));
  for (; pos + 16 <= n; pos += 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + pos));
    unsigned leads = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(chunk, e2), _mm_cmpeq_epi8(chunk, ef))));
    while (leads != 0) {
      const std::size_t at = pos + static_cast<std::size_t>(__builtin_ctz(leads));
      if (invisible_at(p + at, n - at)) return at;
      leads &= leads - 1;
    }
  }
#endif
  for (; pos < n; ++pos) {
    if (invisible_at(p + pos, n - pos)) return pos;
  }
  return n;
}

// Whether NFC leaves what precedes `pos` and what follows it apart: at the
// end, before another invisible code point (the run goes on), or before a
// code point that is unchanged by NFC and never combined with what precedes
// it (all of ASCII among them).
bool nfc_boundary_at(std::string_view text, std::size_t pos) {
  if (pos == text.size() || static_cast<unsigned char>(text[pos]) < 0x80) return true;
  const char32_t c = utf8::decode(text, pos);
  return unicode::is_invisible(c) || unicode::nfc_stable(c);
}

}  // namespace

std::string strip_invisible(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t at = find_invisible(text, pos);
    out.append(text.substr(pos, at - pos));
    pos = std::min(text.size(), at + kInvisibleBytes);
  }
  return out;
}

TextCensus take_census(std::string_view text) {
  TextCensus census;
  // Word runs and scan words start together except around invisible code
  // points: a run ignores them, a scan word is also made of U+FEFF and the
  // variation selectors. The fast path takes text in which they agree.
  bool in_run = false;
  bool in_scan_word = false;
  std::size_t next_checkpoint = kCheckpointBytes;
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (in_run == in_scan_word) {
      if (pos >= next_checkpoint) {
        census.checkpoints.push_back({pos, census.scan_words, in_scan_word});
        next_checkpoint = pos + kCheckpointBytes;
      }
      const std::size_t before = census.scan_words;
      pos = skip_plain(text, pos, in_scan_word, census.scan_words, SIZE_MAX, next_checkpoint);
      census.slots += census.scan_words - before;
      in_run = in_scan_word;
      if (pos == text.size() || pos >= next_checkpoint) continue;
    }
    const CodePoint c = read_code_point(text, pos);
    switch (c.kind) {
      case Kind::Ordinary:
        census.slots += !in_run;
        census.scan_words += !in_scan_word;
        in_run = in_scan_word = true;
        break;
      case Kind::WhiteSpace:
        in_run = in_scan_word = false;
        break;
      case Kind::Invisible:
        census.scan_words += !in_scan_word;
        in_scan_word = true;
        [[fallthrough]];
      case Kind::Symbol:
        census.invisible_splits_nfc |= !nfc_boundary_at(text, c.end);
        break;
    }
    pos = c.end;
  }
  return census;
}

std::vector<ScanWord> scan_words(std::string_view text, std::span<const std::size_t> ordinals,
                                 std::span<const ScanCheckpoint> checkpoints) {
  std::vector<ScanWord> chosen(ordinals.size());
  // (ordinal, index of its record), ascending, met in that order by the walk.
  std::vector<std::pair<std::size_t, std::size_t>> wanted;
  wanted.reserve(ordinals.size());
  for (std::size_t i = 0; i < ordinals.size(); ++i) wanted.emplace_back(ordinals[i], i);
  std::ranges::sort(wanted);
  if (std::ranges::adjacent_find(wanted, {}, &std::pair<std::size_t, std::size_t>::first) != wanted.end()) {
    throw InternalFault("scan word ordinals must be distinct");
  }

  std::size_t next = 0;         // the first entry of `wanted` not met yet
  ScanWord* current = nullptr;  // the record of the scan word that started last, if it was asked for
  bool has_visible = false;     // whether `current` has a code point outside the invisible set yet
  bool in_word = false;
  std::size_t words = 0;  // scan words started before `pos`
  std::size_t checkpoint = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (current == nullptr) {
      if (next == wanted.size()) break;  // nothing more is filed under a word asked for
      // Jump to the last checkpoint before the next word asked for starts:
      // what lies between can only be filed under words not asked for.
      const std::size_t target = wanted[next].first;
      while (checkpoint < checkpoints.size() && checkpoints[checkpoint].scan_words <= target) ++checkpoint;
      if (checkpoint > 0 && checkpoints[checkpoint - 1].offset > pos) {
        const ScanCheckpoint& c = checkpoints[checkpoint - 1];
        pos = c.offset;
        words = c.scan_words;
        in_word = c.in_word;
      }
    }
    // Text that starts no word asked for is only counted; the words asked
    // for are followed code point by code point.
    if (current == nullptr || !in_word) {
      // Symbols filed under a word asked for end where the next word starts;
      // from there the next checkpoint may be nearer.
      const std::size_t stop_at = current != nullptr || next == wanted.size() ? words : wanted[next].first;
      const std::size_t words_before = words;
      pos = skip_plain(text, pos, in_word, words, stop_at);
      if (words != words_before) current = nullptr;
      if (pos == text.size()) break;
    }
    const CodePoint c = read_code_point(text, pos);
    pos = c.end;
    switch (c.kind) {
      case Kind::Symbol:
        if (current != nullptr) {
          if (current->symbol_count < kSymbolsPerGroup) current->first_symbols[current->symbol_count] = c.symbol;
          ++current->symbol_count;
        }
        break;
      case Kind::WhiteSpace:
        in_word = false;
        break;
      case Kind::Ordinary:
      case Kind::Invisible:
        if (!in_word) {
          in_word = true;
          const std::size_t ordinal = words++;
          current = nullptr;
          if (next < wanted.size() && wanted[next].first == ordinal) {
            current = &chosen[wanted[next++].second];
            current->found = true;
            has_visible = false;
          }
        }
        if (current != nullptr && (c.kind == Kind::Ordinary || !has_visible)) {
          current->mark_offset = c.end;
          has_visible |= c.kind == Kind::Ordinary;
        }
        break;
    }
  }
  return chosen;
}

}  // namespace vessolin::stego
