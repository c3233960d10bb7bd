#include "canonical/canonical.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "cpu/kernels.hpp"
#include "crypto/digest.hpp"
#include "unicode/nfc.hpp"
#include "unicode/properties.hpp"
#include "unicode/ucd.hpp"
#include "unicode/utf8.hpp"

namespace vessolin {

namespace {

namespace ucd = unicode::ucd;

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

// ---------------------------------------------------------------------------
// Stream kernels.
//
// A stream kernel writes the stream form of the longest prefix of p[0, n)
// (whole characters of valid UTF-8) made of NFC-stable characters that
// write as many bytes as they read if word characters: ASCII, characters
// that stand in the stream as they are (word characters that lowercase to
// themselves: the kCopiesAsIs bitmap in the BMP), capitals whose lowercase
// has the same length, separators and invisible characters. It returns how
// many bytes it read. A word character writes its lowercase form; a
// separator writes one space if it follows a word character and nothing
// otherwise, so a run of separators becomes one space; an invisible
// character that is no word character writes nothing.
// `prev` says whether the character before was a word character, in and out.
// The caller provides room for n bytes plus kSlack.
//
// Every kernel set writes the same bytes; the vector kernels classify whole
// blocks and leave to the per-character loop what a block cannot vouch for.
//
// Scan kernel: the offset of the first byte of p[0, n) that is not ASCII, or n.

constexpr std::size_t kSlack = 64;

using StreamKernel = std::size_t (*)(const unsigned char* p, std::size_t n, char*& o, unsigned& prev);
using ScanKernel = std::size_t (*)(const unsigned char* p, std::size_t n);

inline bool copies_bmp(char32_t c) { return ((ucd::kCopiesAsIs[c >> 6] >> (c & 63)) & 1) != 0; }

// The length of the non-ASCII character at p[i] if it stands as it is, else 0.
inline std::size_t copy_length(const unsigned char* p, std::size_t i) {
  const unsigned b = p[i];
  if (b < 0xE0) return copies_bmp((char32_t(b & 0x1F) << 6) | (p[i + 1] & 0x3F)) ? 2 : 0;
  if (b < 0xF0)
    return copies_bmp((char32_t(b & 0x0F) << 12) | (char32_t(p[i + 1] & 0x3F) << 6) | (p[i + 2] & 0x3F)) ? 3 : 0;
  return 0;  // outside the BMP: the caller looks it up
}

// A character outside ASCII that does not stand as it is, if a kernel may
// still write it: one that is NFC-stable, and either a separator, an
// invisible character (which writes nothing and leaves the word state as it
// is; the joiners inside emoji sequences are the common ones) or a word
// character whose lowercase is one character of the same length (a capital
// of Cyrillic or Greek). So a kernel writes as many bytes as it reads for
// every word character, which lets the stream take back the last one.
// Advances i and out and returns true, or returns false.
inline bool stream_other(const unsigned char* p, std::size_t& i, char*& out, unsigned& w) {
  const unsigned b = p[i];
  const std::size_t length = b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
  char32_t c = b & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (p[i + k] & 0x3F);
  const ucd::Record& r = ucd::record(c);
  if ((r.flags & (ucd::kNfcStable | ucd::kMultiLower)) != ucd::kNfcStable) return false;
  if (!(r.flags & ucd::kLowerIsWord)) {
    if (!(r.flags & ucd::kInvisible)) {
      *out = ' ';
      out += w;
      w = 0;
    }
  } else if (r.lower_utf8 == 0) {
    std::memcpy(out, p + i, length);
    out += length;
    w = 1;
  } else {
    const unsigned lead = r.lower_utf8 & 0xFF;
    if (1u + (lead >= 0xC0) + (lead >= 0xE0) + (lead >= 0xF0) != length) return false;
    std::memcpy(out, &r.lower_utf8, 4);
    out += length;
    w = 1;
  }
  i += length;
  return true;
}

// One character at p[i] the way every kernel's per-character loop takes it:
// advances i and out and returns true, or returns false where the prefix ends.
inline bool stream_one(const unsigned char* p, std::size_t& i, char*& out, unsigned& w) {
  const unsigned b = p[i];
  if (b < 0x80) {
    const unsigned word = kAscii.word[b];
    *out = kAscii.out[b];
    out += word | w;
    w = word;
    ++i;
    return true;
  }
  const std::size_t length = copy_length(p, i);
  if (length == 0) return stream_other(p, i, out, w);
  out[0] = static_cast<char>(b);
  out[1] = static_cast<char>(p[i + 1]);
  if (length == 3) out[2] = static_cast<char>(p[i + 2]);
  out += length;
  i += length;
  w = 1;
  return true;
}

std::size_t stream_portable(const unsigned char* p, std::size_t n, char*& o, unsigned& prev) {
  char* out = o;
  unsigned w = prev;
  std::size_t i = 0;
  while (i < n && stream_one(p, i, out, w)) {
  }
  o = out;
  prev = w;
  return i;
}

std::size_t scan_portable(const unsigned char* p, std::size_t n) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    if (w & 0x8080808080808080ULL) break;
  }
  while (i < n && p[i] < 0x80) ++i;
  return i;
}

#if defined(__x86_64__)
// For each lead byte of a two- or three-byte character (entry lead & 0x3F):
// a range [lo, hi] of the byte after it, less one `hole` byte, within which
// every character stands as it is. For a three-byte lead, every one of the
// 64 characters with that second byte must. The widest such range per lead,
// taken from the bitmap: a whole script's lowercase letters (Cyrillic,
// Greek, Latin-1 less the division sign), the CJK ideographs and Hangul
// syllables by blocks of 64. Empty: lo 0xFF, hi 0; no hole: 0. These are
// what a vector can test in one go; other characters are checked one by one.
struct LeadRanges {
  alignas(64) std::array<std::uint8_t, 64> lo, hi, hole;
};

LeadRanges make_lead_ranges() {
  LeadRanges r;
  r.lo.fill(0xFF);
  r.hi.fill(0);
  r.hole.fill(0);
  // The widest range is one run of bytes that pass, or two runs with one
  // byte between them, the hole.
  auto widest = [&](unsigned slot, const std::array<bool, 64>& ok) {
    unsigned best = 0, start = 0, previous_start = 0, previous_end = 0;
    bool has_previous = false;
    for (unsigned t = 0; t <= 64; ++t) {
      if (t < 64 && ok[t]) continue;
      if (t > start) {  // a run [start, t)
        const bool joined = has_previous && previous_end + 1 == start;
        const unsigned from = joined ? previous_start : start;
        const unsigned count = t - from - joined;
        if (count > best) {
          best = count;
          r.lo[slot] = static_cast<std::uint8_t>(0x80 + from);
          r.hi[slot] = static_cast<std::uint8_t>(0x80 + t - 1);
          r.hole[slot] = joined ? static_cast<std::uint8_t>(0x80 + previous_end) : 0;
        }
        previous_start = start;
        previous_end = t;
        has_previous = true;
      }
      start = t + 1;
    }
  };
  for (unsigned lead = 0xC2; lead < 0xE0; ++lead) {
    std::array<bool, 64> ok{};
    for (unsigned t = 0; t < 64; ++t) ok[t] = copies_bmp((char32_t(lead & 0x1F) << 6) | t);
    widest(lead & 0x3F, ok);
  }
  for (unsigned lead = 0xE1; lead < 0xF0; ++lead) {
    // Whole blocks of 64 code points: one bitmap word each.
    std::array<bool, 64> ok{};
    for (unsigned t = 0; t < 64; ++t) ok[t] = ucd::kCopiesAsIs[((lead & 0x0F) << 6) | t] == ~std::uint64_t{0};
    widest(lead & 0x3F, ok);
  }
  return r;
}

const LeadRanges kLeadRanges = make_lead_ranges();

// The flags that decide how an NFC-stable character stands in the stream.
constexpr unsigned kStandFlags = ucd::kNfcStable | ucd::kLowerIsWord | ucd::kMultiLower | ucd::kInvisible;

// Characters NFC-stable and plain in the stream: a separator writes a space
// after a word and nothing else, an invisible character writes nothing.
bool plain_separator(char32_t c) { return (ucd::record(c).flags & kStandFlags) == ucd::kNfcStable; }

bool plain_invisible(char32_t c) {
  return (ucd::record(c).flags & kStandFlags) == (ucd::kNfcStable | ucd::kInvisible);
}

// Three-byte punctuation that vectors write as separators: for a lead byte
// and a second byte, the widest range [lo, hi] of third bytes whose
// characters are all plain separators (NFC-stable, not word characters in
// any case, not invisible). The quotation marks and dashes of
// U+2010..U+2027, and the ideographic comma and full stop at U+3001 and
// U+3002, are most of the punctuation outside ASCII in running text.
struct SeparatorRange {
  std::uint8_t lead, second, lo, hi;
};

SeparatorRange make_separator_range(unsigned lead, unsigned second) {
  auto plain = [&](unsigned third) {
    return plain_separator((char32_t(lead & 0x0F) << 12) | (char32_t(second & 0x3F) << 6) | (third & 0x3F));
  };
  SeparatorRange best{static_cast<std::uint8_t>(lead), static_cast<std::uint8_t>(second), 0xFF, 0};
  for (unsigned from = 0x80; from < 0xC0;) {
    unsigned to = from;
    while (to < 0xC0 && plain(to)) ++to;
    if (to - from > unsigned(best.hi + 1 - best.lo) || (best.lo == 0xFF && to > from)) {
      best.lo = static_cast<std::uint8_t>(from);
      best.hi = static_cast<std::uint8_t>(to - 1);
    }
    from = to + 1;
  }
  return best;
}

const SeparatorRange kSeparators[2] = {make_separator_range(0xE2, 0x80), make_separator_range(0xE3, 0x80)};

// Shuffles that move the bytes selected by an 8-bit mask to the front of an
// 8-byte group, for compacting a block whose separator runs drop bytes.
struct CompactTable {
  std::array<std::uint64_t, 256> shuffle{};
  constexpr CompactTable() {
    for (unsigned m = 0; m < 256; ++m) {
      std::uint64_t s = 0;
      unsigned k = 0;
      for (unsigned b = 0; b < 8; ++b)
        if (m & (1u << b)) s |= std::uint64_t{b} << (8 * k++);
      shuffle[m] = s;
    }
  }
};
constexpr CompactTable kCompact;

// Every block below: bytes x = p[i, i + B) and next = p[i + 1, i + B + 1).
// A lead byte is vouched for when the byte after it falls in its range; its
// character's bytes are then covered, and so is every ASCII byte. The block
// is written up to its first byte not covered (a character boundary, since
// a vouched character covers all its bytes and a character that straddles
// the block's end carries its last bytes into the next block); the rest of
// the block goes to the per-character loop. Within the written part, word
// bytes (ASCII letters folded to lowercase, digits, every covered non-ASCII
// byte) are kept, and an ASCII separator is written as a space and kept only
// after a word byte.

__attribute__((target("avx2"))) inline __m256i table16(const std::uint8_t* t) {
  return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(t)));
}

// x in [lo, hi], unsigned.
__attribute__((target("avx2"))) inline __m256i in_range(__m256i x, __m256i lo, __m256i hi) {
  return _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_max_epu8(x, lo), x), _mm256_cmpeq_epi8(_mm256_min_epu8(x, hi), x));
}

// Entry (x & 0x3F) of a 48-entry table given as three 16-byte rows, for x a
// lead byte: the row by bits 4 and 5 (0xC0, 0xD0, 0xE0).
__attribute__((target("avx2"))) inline __m256i lookup48(const __m256i (&rows)[3], __m256i index, __m256i row_d,
                                                          __m256i row_e) {
  const __m256i cd = _mm256_blendv_epi8(_mm256_shuffle_epi8(rows[0], index), _mm256_shuffle_epi8(rows[1], index), row_d);
  return _mm256_blendv_epi8(cd, _mm256_shuffle_epi8(rows[2], index), row_e);
}

__attribute__((target("avx2,bmi,popcnt"))) std::size_t stream_avx2(const unsigned char* p, std::size_t n, char*& o,
                                                                     unsigned& prev) {
  char* out = o;
  unsigned w = prev;
  std::size_t i = 0;
  const LeadRanges& r = kLeadRanges;
  const __m256i lo[3] = {table16(&r.lo[0]), table16(&r.lo[16]), table16(&r.lo[32])};
  const __m256i hi[3] = {table16(&r.hi[0]), table16(&r.hi[16]), table16(&r.hi[32])};
  const __m256i hole[3] = {table16(&r.hole[0]), table16(&r.hole[16]), table16(&r.hole[32])};
  const __m256i nibble = _mm256_set1_epi8(0x0F), bit4 = _mm256_set1_epi8(0x10), space = _mm256_set1_epi8(0x20);
  // Bytes of the next block covered by a character that began in this one.
  std::uint64_t carry = 0;
  while (true) {
    while (i + 34 <= n) {
      const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
      const auto high = static_cast<std::uint32_t>(_mm256_movemask_epi8(x));
      // Letters folded to lowercase by setting bit 5 (which leaves the
      // digits as they are); no byte of 0x80 and up folds into a letter.
      const __m256i folded = _mm256_or_si256(x, space);
      const __m256i alpha = in_range(folded, _mm256_set1_epi8('a'), _mm256_set1_epi8('z'));
      const __m256i word = _mm256_or_si256(alpha, in_range(x, _mm256_set1_epi8('0'), _mm256_set1_epi8('9')));
      std::uint64_t covered = 0xFFFFFFFFu;
      __m256i bytes;
      std::uint32_t nonsep;
      if (high == 0 && carry == 0) {
        bytes = _mm256_blendv_epi8(space, folded, word);
        nonsep = static_cast<std::uint32_t>(_mm256_movemask_epi8(word));
      } else {
        const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 1));
        const __m256i index = _mm256_and_si256(x, nibble);
        const __m256i row_d = _mm256_cmpeq_epi8(_mm256_and_si256(x, bit4), bit4);
        const __m256i row_e = in_range(x, _mm256_set1_epi8(char(0xE0)), _mm256_set1_epi8(char(0xEF)));
        const __m256i lead = in_range(x, _mm256_set1_epi8(char(0xC0)), _mm256_set1_epi8(char(0xEF)));
        const __m256i ok = _mm256_andnot_si256(
            _mm256_cmpeq_epi8(next, lookup48(hole, index, row_d, row_e)),
            _mm256_and_si256(lead,
                             in_range(next, lookup48(lo, index, row_d, row_e), lookup48(hi, index, row_d, row_e))));
        const std::uint64_t leads = static_cast<std::uint32_t>(_mm256_movemask_epi8(ok));
        const std::uint64_t threes = leads & static_cast<std::uint32_t>(_mm256_movemask_epi8(row_e));
        const std::uint64_t spread = leads | (leads << 1) | (threes << 2) | carry;
        // Separators of three bytes wholly inside the block: a space at the
        // lead byte, the other two bytes dropped.
        __m256i sep3 = _mm256_setzero_si256();
        std::uint32_t seps = 0;
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_or_si256(x, _mm256_set1_epi8(1)), _mm256_set1_epi8(char(0xE3))))) {
          const __m256i next2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 2));
          for (const SeparatorRange& t : kSeparators)
            sep3 = _mm256_or_si256(
                sep3, _mm256_and_si256(_mm256_and_si256(_mm256_cmpeq_epi8(x, _mm256_set1_epi8(char(t.lead))),
                                                        _mm256_cmpeq_epi8(next, _mm256_set1_epi8(char(t.second)))),
                                       in_range(next2, _mm256_set1_epi8(char(t.lo)), _mm256_set1_epi8(char(t.hi)))));
          seps = static_cast<std::uint32_t>(_mm256_movemask_epi8(sep3)) & 0x3FFFFFFFu;
        }
        const std::uint32_t sep_bytes = seps | (seps << 1) | (seps << 2);
        covered = (~high & 0xFFFFFFFFu) | spread | sep_bytes;
        carry = spread >> 32;
        // Non-ASCII bytes as they are, ASCII separators as spaces, and so
        // the lead byte of a separator of three bytes.
        const __m256i high_or_word = _mm256_or_si256(word, _mm256_cmpgt_epi8(_mm256_setzero_si256(), x));
        bytes = _mm256_blendv_epi8(space, _mm256_blendv_epi8(x, folded, word), _mm256_andnot_si256(sep3, high_or_word));
        nonsep = static_cast<std::uint32_t>(_mm256_movemask_epi8(high_or_word)) & ~sep_bytes;
      }
      const auto limit = static_cast<unsigned>(std::countr_one(covered & 0xFFFFFFFFu));
      const std::uint32_t valid = limit >= 32 ? 0xFFFFFFFFu : (std::uint32_t{1} << limit) - 1;
      const std::uint32_t keep = (nonsep | (nonsep << 1) | w) & valid;
      if (keep == valid) {
        // Nothing to drop: the bytes past `limit` are overwritten later.
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), bytes);
        out += limit;
      } else {
        alignas(32) unsigned char block[32];
        _mm256_store_si256(reinterpret_cast<__m256i*>(block), bytes);
        for (unsigned g = 0; 8 * g < limit; ++g) {
          const unsigned m = (keep >> (8 * g)) & 0xFF;
          const __m128i group = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(block + 8 * g));
          const __m128i order = _mm_cvtsi64_si128(static_cast<long long>(kCompact.shuffle[m]));
          _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(group, order));
          out += std::popcount(m);
        }
      }
      if (limit < 32) {
        if (limit > 0) w = (nonsep >> (limit - 1)) & 1;
        i += limit;
        carry = 0;
        break;
      }
      w = nonsep >> 31;
      i += 32;
    }
    // The last bytes of a character that straddled the last block.
    for (; carry != 0; carry >>= 1) *out++ = static_cast<char>(p[i++]);
    // A character the vector could not vouch for, or the last bytes.
    if (i == n || !stream_one(p, i, out, w)) break;
  }
  o = out;
  prev = w;
  return i;
}

// The AVX-512 kernel's tables, looked up by byte permutes and built at load
// from the same character tables, so a vector vouches for exactly what the
// per-character loop would write.

// Lead bytes of two-byte characters whose capitals and punctuation are
// common enough in running text to be worth a table each: Latin-1
// (punctuation, signs, capitals), Greek and Cyrillic capitals.
constexpr std::uint8_t kTwoByteLeads[] = {0xC2, 0xC3, 0xCE, 0xD0};
// Lead and second byte of three-byte blocks of 64 holding separators and
// invisible characters: general punctuation with the zero-width joiners,
// CJK punctuation, variation selectors.
constexpr std::uint8_t kThreeBytePrefixes[][2] = {{0xE2, 0x80}, {0xE3, 0x80}, {0xEF, 0xB8}};
// Lead and second byte of the emoji planes' blocks of 4,096 (U+1F000..U+1FFFF).
constexpr std::uint8_t kEmojiPrefix[2] = {0xF0, 0x9F};

// An entry of the two-byte tables: kWord2 for an NFC-stable word character
// whose lowercase is two bytes, with kNextLead if its lead byte is one more
// than the character's and the low six bits of its second byte; kSep2 for a
// plain separator (an entry without kWord2); 0 for anything else.
constexpr std::uint8_t kWord2 = 0x80, kNextLead = 0x40, kSep2 = 0x01;

struct Avx512Tables {
  // kLeadRanges by the lead byte's low seven bits (entries 64..127 are the
  // leads 0xC0..0xFF; 0..63, the continuation bytes, are empty), as lo,
  // hi - lo and hole.
  alignas(64) std::array<std::uint8_t, 128> lo{}, width{}, hole{};
  // For each of kTwoByteLeads, by the second byte's low six bits.
  alignas(64) std::array<std::array<std::uint8_t, 64>, std::size(kTwoByteLeads)> two{};
  // By the third byte's low six bits: for kThreeBytePrefixes[k], bit 2k if
  // a plain separator and bit 2k + 1 if a plain invisible character; bit 6
  // if all 64 characters after kEmojiPrefix and that third byte are plain
  // separators.
  alignas(64) std::array<std::uint8_t, 64> third{};
};

Avx512Tables make_avx512_tables() {
  Avx512Tables t;
  t.lo.fill(0xFF);
  for (unsigned k = 0; k < 64; ++k) {
    const std::uint8_t lo = kLeadRanges.lo[k], hi = kLeadRanges.hi[k];
    if (lo > hi) continue;
    t.lo[64 + k] = lo;
    t.width[64 + k] = static_cast<std::uint8_t>(hi - lo);
    t.hole[64 + k] = kLeadRanges.hole[k];
  }
  for (std::size_t k = 0; k < std::size(kTwoByteLeads); ++k) {
    const unsigned lead = kTwoByteLeads[k];
    for (unsigned s = 0; s < 64; ++s) {
      const char32_t c = (char32_t(lead & 0x1F) << 6) | s;
      const ucd::Record& r = ucd::record(c);
      if (plain_separator(c)) {
        t.two[k][s] = kSep2;
        continue;
      }
      if ((r.flags & kStandFlags) != (ucd::kNfcStable | ucd::kLowerIsWord)) continue;
      const unsigned lower_lead = r.lower_utf8 == 0 ? lead : r.lower_utf8 & 0xFF;
      const unsigned lower_second = r.lower_utf8 == 0 ? 0x80 | s : (r.lower_utf8 >> 8) & 0xFF;
      if ((r.lower_utf8 >> 16) != 0 || (lower_lead != lead && lower_lead != lead + 1) ||
          (lower_second & 0xC0) != 0x80)
        continue;
      t.two[k][s] = static_cast<std::uint8_t>(kWord2 | (lower_lead != lead ? kNextLead : 0) | (lower_second & 0x3F));
    }
  }
  for (unsigned s = 0; s < 64; ++s) {
    for (std::size_t k = 0; k < std::size(kThreeBytePrefixes); ++k) {
      const char32_t c = (char32_t(kThreeBytePrefixes[k][0] & 0x0F) << 12) |
                         (char32_t(kThreeBytePrefixes[k][1] & 0x3F) << 6) | s;
      if (plain_separator(c)) t.third[s] |= static_cast<std::uint8_t>(1u << (2 * k));
      if (plain_invisible(c)) t.third[s] |= static_cast<std::uint8_t>(2u << (2 * k));
    }
    const char32_t block = (char32_t(kEmojiPrefix[0] & 0x07) << 18) | (char32_t(kEmojiPrefix[1] & 0x3F) << 12) |
                           (char32_t(s) << 6);
    bool all = true;
    for (char32_t c = block; c < block + 64; ++c) all = all && plain_separator(c);
    if (all) t.third[s] |= 0x40;
  }
  return t;
}

const Avx512Tables kAvx512Tables = make_avx512_tables();

// As the AVX2 kernel, 64 bytes at a time, with masks; the kept bytes are
// packed by one compress instruction, and the lead ranges looked up by one
// permute each. What the ranges cannot vouch for is classified only in the
// blocks that hold some: separators and invisible characters of three
// bytes, emoji, and the two-byte characters of kTwoByteLeads, capitals
// lowered in the vector.
__attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,bmi,popcnt"))) std::size_t stream_avx512(
    const unsigned char* p, std::size_t n, char*& o, unsigned& prev) {
  char* out = o;
  std::uint64_t w = prev;
  std::size_t i = 0;
  const Avx512Tables& t = kAvx512Tables;
  const __m512i lo0 = _mm512_load_si512(&t.lo[0]), lo1 = _mm512_load_si512(&t.lo[64]);
  const __m512i width0 = _mm512_load_si512(&t.width[0]), width1 = _mm512_load_si512(&t.width[64]);
  const __m512i hole0 = _mm512_load_si512(&t.hole[0]), hole1 = _mm512_load_si512(&t.hole[64]);
  const __m512i third = _mm512_load_si512(&t.third[0]);
  __m512i two[std::size(kTwoByteLeads)];
  for (std::size_t k = 0; k < std::size(kTwoByteLeads); ++k) two[k] = _mm512_load_si512(&t.two[k][0]);
  const __m512i space = _mm512_set1_epi8(0x20);
  // Byte k - 1 to place k: a lead byte's entry moved onto its second byte.
  alignas(64) static constexpr std::array<std::uint8_t, 64> kUpByOne = [] {
    std::array<std::uint8_t, 64> a{};
    for (unsigned k = 1; k < 64; ++k) a[k] = static_cast<std::uint8_t>(k - 1);
    return a;
  }();
  const __m512i up_by_one = _mm512_load_si512(kUpByOne.data());
  constexpr std::uint64_t kAll = ~std::uint64_t{0};
  std::uint64_t carry = 0;
  bool stopped = false;
  while (true) {
    while (i + 66 <= n) {
      const __m512i x = _mm512_loadu_si512(p + i);
      const std::uint64_t high = _mm512_movepi8_mask(x);
      const __m512i folded = _mm512_or_si512(x, space);
      const std::uint64_t alpha =
          _mm512_cmp_epu8_mask(_mm512_sub_epi8(folded, _mm512_set1_epi8('a')), _mm512_set1_epi8(25), _MM_CMPINT_LE);
      const std::uint64_t digit =
          _mm512_cmp_epu8_mask(_mm512_sub_epi8(x, _mm512_set1_epi8('0')), _mm512_set1_epi8(9), _MM_CMPINT_LE);
      std::uint64_t covered = ~high;
      // Bytes of separators outside ASCII (written as one space at most),
      // and of invisible characters (written as nothing).
      std::uint64_t sep_bytes = 0, drop = 0;
      __m512i lowered = x;
      if ((high | carry) != 0) {
        const __m512i next = _mm512_loadu_si512(p + i + 1);
        // Lead bytes whose next byte falls in their range; ASCII bytes
        // alias the leads' entries and are masked off by `high`.
        const __m512i lo = _mm512_permutex2var_epi8(lo0, x, lo1);
        const __m512i width = _mm512_permutex2var_epi8(width0, x, width1);
        const __m512i hole = _mm512_permutex2var_epi8(hole0, x, hole1);
        const std::uint64_t big = _mm512_cmp_epu8_mask(x, _mm512_set1_epi8(char(0xE0)), _MM_CMPINT_NLT);
        const std::uint64_t leads = high & _mm512_cmp_epu8_mask(_mm512_sub_epi8(next, lo), width, _MM_CMPINT_LE) &
                                    _mm512_cmpneq_epi8_mask(next, hole);
        const std::uint64_t threes = leads & big;
        covered |= leads | (leads << 1) | (threes << 2) | carry;
        carry = (leads >> 63) | (threes >> 62);
        if ((~covered & big) != 0) {
          // Separators and invisible characters of three bytes, and emoji,
          // wholly inside the block: each prefix selects its bit of the
          // table entry of the third byte.
          const __m512i next2 = _mm512_loadu_si512(p + i + 2);
          const __m512i entry = _mm512_permutexvar_epi8(next2, third);
          __m512i select = _mm512_setzero_si512();
          for (std::size_t k = 0; k < std::size(kThreeBytePrefixes); ++k) {
            const std::uint64_t at = _mm512_cmpeq_epi8_mask(x, _mm512_set1_epi8(char(kThreeBytePrefixes[k][0]))) &
                                     _mm512_cmpeq_epi8_mask(next, _mm512_set1_epi8(char(kThreeBytePrefixes[k][1])));
            select = _mm512_mask_mov_epi8(select, at, _mm512_set1_epi8(char(1u << (2 * k))));
          }
          const std::uint64_t emoji = _mm512_cmpeq_epi8_mask(x, _mm512_set1_epi8(char(kEmojiPrefix[0]))) &
                                      _mm512_cmpeq_epi8_mask(next, _mm512_set1_epi8(char(kEmojiPrefix[1])));
          select = _mm512_mask_mov_epi8(select, emoji, _mm512_set1_epi8(0x40));
          const std::uint64_t seps = _mm512_test_epi8_mask(entry, select);
          const std::uint64_t seps3 = seps & ~emoji & (kAll >> 2), seps4 = seps & emoji & (kAll >> 3);
          sep_bytes = seps3 | (seps3 << 1) | (seps3 << 2) | seps4 | (seps4 << 1) | (seps4 << 2) | (seps4 << 3);
          // An invisible character leaves the word state as it is. Vouched
          // for only where it follows a separator (or a run of invisible
          // characters after one), so that a separator after it is dropped
          // as the vector drops it; after a word it goes to the loop.
          const std::uint64_t invisible =
              _mm512_test_epi8_mask(entry, _mm512_add_epi8(select, select)) & ~emoji & (kAll >> 2);
          if (invisible != 0) {
            const std::uint64_t separator_state = (~high & ~(alpha | digit)) | sep_bytes;
            const std::uint64_t before = w ? 0 : 1;
            std::uint64_t run = 0;
            for (int pass = 0; pass < 2; ++pass) {
              const std::uint64_t starts = invisible & (((separator_state | run) << 1) | before);
              run = starts | (starts << 1) | (starts << 2);
            }
            drop = run;
          }
          covered |= sep_bytes | drop;
        }
        if ((~covered & high & ~big) != 0) {
          // Two-byte characters of kTwoByteLeads wholly inside the block.
          __m512i entry = _mm512_setzero_si512();
          std::uint64_t at_lead = 0;
          for (std::size_t k = 0; k < std::size(kTwoByteLeads); ++k) {
            const std::uint64_t at = _mm512_cmpeq_epi8_mask(x, _mm512_set1_epi8(char(kTwoByteLeads[k])));
            entry = _mm512_mask_permutexvar_epi8(entry, at, next, two[k]);
            at_lead |= at;
          }
          at_lead &= kAll >> 1;
          const std::uint64_t words = at_lead & _mm512_movepi8_mask(entry);
          const std::uint64_t seps2 = at_lead & ~words & _mm512_test_epi8_mask(entry, _mm512_set1_epi8(kSep2));
          if (words != 0) {
            // The lead byte plus one where the lowercase's is the next,
            // the second byte from the entry.
            const __m512i next_lead = _mm512_and_si512(_mm512_srli_epi16(entry, 6), _mm512_set1_epi8(1));
            lowered = _mm512_mask_add_epi8(lowered, words, lowered, next_lead);
            lowered = _mm512_mask_mov_epi8(lowered, words << 1,
                                           _mm512_and_si512(_mm512_permutexvar_epi8(up_by_one, entry),
                                                            _mm512_set1_epi8(char(0xBF))));
          }
          sep_bytes |= seps2 | (seps2 << 1);
          covered |= words | (words << 1) | seps2 | (seps2 << 1);
        }
      }
      const std::uint64_t nonsep = (alpha | digit | high) & ~(sep_bytes | drop);
      const __m512i bytes = _mm512_mask_blend_epi8(nonsep, space, _mm512_mask_blend_epi8(alpha, lowered, folded));
      if (~covered == 0) [[likely]] {
        const std::uint64_t keep = (nonsep | (nonsep << 1) | w) & ~drop;
        _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(keep, bytes));
        out += std::popcount(keep);
        w = nonsep >> 63;
        i += 64;
        continue;
      }
      // The block from byte `from` on is written up to its first byte not
      // covered; the character there goes to the per-character loop, and
      // the vector's bytes serve again for the rest of the block after it,
      // so that a rare character costs no second look at the block.
      unsigned from = 0;
      while (true) {
        const std::uint64_t done = from == 0 ? 0 : kAll >> (64 - from);
        const auto limit = static_cast<unsigned>(std::countr_one(covered | done));
        const std::uint64_t valid = (limit >= 64 ? kAll : (std::uint64_t{1} << limit) - 1) & ~done & ~drop;
        // A separator byte is kept after a word byte, or at `from` after a
        // word character.
        const std::uint64_t keep = (nonsep | ((nonsep << 1) & (~done << 1)) | (w << from)) & valid;
        _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(keep, bytes));
        out += std::popcount(keep);
        if (limit > from) w = (nonsep >> (limit - 1)) & 1;
        if (limit >= 64) break;
        std::size_t at = i + limit;
        unsigned w1 = static_cast<unsigned>(w);
        const bool written = stream_one(p, at, out, w1);
        w = w1;
        if (!written || at - i >= 64) {
          // The kernel ends here, or the character reached into the next
          // block, which carries nothing from this one.
          carry = 0;
          from = static_cast<unsigned>(at - i);
          stopped = !written;
          break;
        }
        from = static_cast<unsigned>(at - i);
      }
      if (stopped) {
        i += from;
        break;
      }
      i += from >= 64 ? from : 64;
    }
    if (stopped) break;
    for (; carry != 0; carry >>= 1) *out++ = static_cast<char>(p[i++]);
    unsigned w1 = static_cast<unsigned>(w);
    const bool more = i < n && stream_one(p, i, out, w1);
    w = w1;
    if (!more) break;
  }
  o = out;
  prev = static_cast<unsigned>(w);
  return i;
}

__attribute__((target("avx2,bmi"))) std::size_t scan_avx2(const unsigned char* p, std::size_t n) {
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const auto high = static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i))));
    if (high != 0) return i + static_cast<std::size_t>(std::countr_zero(high));
  }
  return i + scan_portable(p + i, n - i);
}
#endif

// The canonical stream's kernels, by name.
constexpr cpu::Kernel<StreamKernel> kStreamKernels[] = {
#if defined(__x86_64__)
    {"avx512", stream_avx512, cpu::Isa::Avx512vbmi2},
    {"avx2", stream_avx2, cpu::Isa::Avx2},
#endif
    {"portable", stream_portable, cpu::Isa::Baseline},
};

constexpr cpu::Kernel<ScanKernel> kScanKernels[] = {
#if defined(__x86_64__)
    {"avx2", scan_avx2, cpu::Isa::Avx2},
#endif
    {"portable", scan_portable, cpu::Isa::Baseline},
};

std::size_t find_non_ascii(std::string_view s, std::size_t pos) {
  static const ScanKernel kScan = cpu::fastest(kScanKernels);
  return pos + kScan(reinterpret_cast<const unsigned char*>(s.data()) + pos, s.size() - pos);
}

// ---------------------------------------------------------------------------
// The canonical stream.

// A character that the stream copies as it stands: a word character that
// lowercases to itself.
bool copies_as_is(const ucd::Record& r) {
  return (r.flags & (ucd::kLowerIsWord | ucd::kMultiLower)) == ucd::kLowerIsWord && r.lower_utf8 == 0;
}

// The output of the canonical stream: a string whose whole size is usable
// room (sized without initialising it), of which `len` bytes are written,
// and whether the last character was a word character. A separator right
// after a word writes the one space its run becomes; finish() removes a
// trailing one.
class StreamWriter {
 public:
  explicit StreamWriter(std::size_t expected) { grow(expected + kSlack); }

  // Room for `extra` more bytes plus kSlack.
  char* room(std::size_t extra) {
    if (len + extra + kSlack > buf_.size()) [[unlikely]] grow(std::max(2 * buf_.size(), len + extra + kSlack));
    return buf_.data() + len;
  }

  void ascii_char(unsigned char b) {
    char* o = room(1);
    *o = kAscii.out[b];
    len += kAscii.word[b] | prev_word;
    prev_word = kAscii.word[b];
  }


  // A character that is not copied as it stands; `bytes` is its UTF-8.
  void other(char32_t c, const ucd::Record& r, const char* bytes, std::size_t n) {
    if (r.flags & ucd::kMultiLower) [[unlikely]] {
      char32_t lower[3];
      const int count = unicode::lowercase_full(c, lower);
      for (int i = 0; i < count; ++i) {
        char* o = room(4);
        if (unicode::is_word_char(lower[i])) {
          len += utf8::encode(lower[i], o);
          prev_word = true;
        } else {
          *o = ' ';
          len += prev_word;
          prev_word = false;
        }
      }
      return;
    }
    char* o = room(4);
    if (r.flags & ucd::kLowerIsWord) {
      if (r.lower_utf8 != 0) {
        std::memcpy(o, &r.lower_utf8, 4);
        const unsigned lead = r.lower_utf8 & 0xFF;
        len += 1u + (lead >= 0xC0) + (lead >= 0xE0) + (lead >= 0xF0);
      } else {
        std::memcpy(o, bytes, n);
        len += n;
      }
      prev_word = true;
    } else if (!(r.flags & ucd::kInvisible)) {
      *o = ' ';
      len += prev_word;
      prev_word = false;
    }
  }

  // Any character, by its UTF-8 bytes.
  void any(char32_t c, const char* bytes, std::size_t n) {
    if (c < 0x80) return ascii_char(static_cast<unsigned char>(c));
    const ucd::Record& r = ucd::record(c);
    if (copies_as_is(r)) {
      std::memcpy(room(n), bytes, n);
      len += n;
      prev_word = true;
    } else {
      other(c, r, bytes, n);
    }
  }

  std::string finish() && {
    if (len > 0 && buf_[len - 1] == ' ') --len;
    buf_.resize(len);
    return std::move(buf_);
  }

  std::size_t len = 0;
  unsigned prev_word = 0;

 private:
  void grow(std::size_t size) {
    buf_.resize_and_overwrite(size, [](char*, std::size_t n) { return n; });
  }

  std::string buf_;
};

// What the character at `pos`, one that a stream kernel wrote, was: a word
// character (which wrote its own bytes, ASCII letters folded), an invisible
// character (which wrote nothing and left the word state alone), or a
// separator.
enum class Wrote { Word, Nothing, Separator };

Wrote kernel_wrote(std::string_view text, std::size_t pos) {
  const auto b = static_cast<unsigned char>(text[pos]);
  if (b < 0x80) return kAscii.word[b] ? Wrote::Word : Wrote::Separator;
  const unsigned flags = ucd::record(utf8::decode(text, pos)).flags;
  if (flags & ucd::kLowerIsWord) return Wrote::Word;
  return (flags & ucd::kInvisible) ? Wrote::Nothing : Wrote::Separator;
}

// One pass over the text. The stream kernel writes everything up to the
// first character that neither is ASCII nor stands as it is; that character
// is written the slow way, and the kernel goes on after it.
//
// NFC leaves alone every character that is NFC-stable (quick-check Yes,
// combining class 0) and does not join it to what precedes it, so only a run
// of other characters, with the one character before it (the starter it may
// compose with), goes through the normaliser; such a segment ends at the
// next ASCII or stable character. What the starter wrote is taken back
// first. The kernel writes only stable characters, so it stops at the first
// character of every segment after its starter.
std::string stream_with(std::string_view text, StreamKernel kernel) {
  const char* const p = text.data();
  const auto* const u = reinterpret_cast<const unsigned char*>(p);
  const std::size_t n = text.size();
  StreamWriter out(n);
  std::string nfc;
  std::u32string work;

  // The end of the segment whose first character after the starter ends at `pos`.
  auto segment_end = [&](std::size_t pos) {
    while (pos < n && !is_ascii_at(text, pos)) {
      std::size_t next = pos;
      if (ucd::record(utf8::decode(text, next)).flags & ucd::kNfcStable) break;
      pos = next;
    }
    return pos;
  };

  // The last character written, while it may still be taken back (none
  // right after a segment, whose characters are already normalised): where
  // it starts, and the output length and word state from before it. After
  // the kernel, these are worked out only when needed, from where the
  // kernel began and the word state then.
  enum class Last { None, Slow, Kernel } last = Last::None;
  std::size_t last_start = 0, undo_len = 0, kernel_from = 0;
  unsigned undo_word = 0, kernel_word_before = 0;
  std::size_t pos = 0;
  while (pos < n) {
    const std::size_t from = pos;
    const unsigned word_before = out.prev_word;
    {
      char* const first = out.room(n - pos);
      char* o = first;
      pos += kernel(u + pos, n - pos, o, out.prev_word);
      out.len += static_cast<std::size_t>(o - first);
    }
    if (pos == n) break;
    if (pos > from) {
      last = Last::Kernel;
      kernel_from = from;
      kernel_word_before = word_before;
    }
    // The kernel stops only at a character outside ASCII.
    std::size_t after = pos;
    const char32_t c = utf8::decode(text, after);
    const ucd::Record& r = ucd::record(c);
    if (!(r.flags & ucd::kNfcStable)) {
      if (last == Last::Kernel) {
        // The kernel's last character wrote its own bytes if a word
        // character (ASCII folded to lowercase), nothing if invisible, else
        // one space if it followed a word. The word state before it is
        // what the closest character before it that wrote something left,
        // or the state the kernel began with.
        last_start = pos - 1;
        while ((u[last_start] & 0xC0) == 0x80) --last_start;
        undo_word = kernel_word_before;
        for (std::size_t before = last_start; before > kernel_from;) {
          --before;
          while ((u[before] & 0xC0) == 0x80) --before;
          const Wrote wrote = kernel_wrote(text, before);
          if (wrote != Wrote::Nothing) {
            undo_word = wrote == Wrote::Word;
            break;
          }
        }
        const Wrote wrote = kernel_wrote(text, last_start);
        undo_len = out.len - (wrote == Wrote::Word ? pos - last_start : wrote == Wrote::Nothing ? 0 : undo_word);
      }
      std::size_t start = pos;
      if (last != Last::None) {
        out.len = undo_len;
        out.prev_word = undo_word;
        start = last_start;
      }
      pos = segment_end(after);
      nfc.clear();
      unicode::append_nfc(text.substr(start, pos - start), work, nfc);
      for (std::size_t at = 0; at < nfc.size();) {
        const std::size_t char_start = at;
        const char32_t d = utf8::decode(nfc, at);
        out.any(d, nfc.data() + char_start, at - char_start);
      }
      last = Last::None;
      continue;
    }
    last = Last::Slow;
    last_start = pos;
    undo_len = out.len;
    undo_word = out.prev_word;
    if (copies_as_is(r)) {
      // Outside the BMP: no bitmap, the record says the same.
      std::memcpy(out.room(4), p + pos, after - pos);
      out.len += after - pos;
      out.prev_word = 1;
    } else {
      out.other(c, r, p + pos, after - pos);
    }
    pos = after;
  }
  return std::move(out).finish();
}

// ---------------------------------------------------------------------------
// The normalised text.

// Drives a sink through the NFC form of a text without normalising what is
// already normal, by the same segments as the stream above.
//
// Sink: ascii(run of ASCII bytes), ascii_char(one ASCII byte),
// stable(code point, its bytes), normalised(NFC bytes of a segment).
template <class Sink>
void walk_nfc(std::string_view text, Sink& sink) {
  const std::size_t n = text.size();
  std::string scratch;
  std::u32string work;
  auto stable = [](char32_t c) { return (ucd::record(c).flags & ucd::kNfcStable) != 0; };
  // The end of a segment whose first non-stable character ends at `pos`.
  auto segment_end = [&](std::size_t pos) {
    while (pos < n && !is_ascii_at(text, pos)) {
      std::size_t next = pos;
      if (stable(utf8::decode(text, next))) break;
      pos = next;
    }
    return pos;
  };
  auto segment = [&](std::size_t start, std::size_t end) {
    scratch.clear();
    unicode::append_nfc(text.substr(start, end - start), work, scratch);
    sink.normalised(scratch);
  };
  auto emit = [&](std::size_t from, std::size_t to, char32_t c) {
    if (c < 0x80) {
      sink.ascii_char(static_cast<char>(c));
    } else {
      sink.stable(c, text.substr(from, to - from));
    }
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
    if (!stable(c)) {
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
        emit(pos, after, c);
        pos = n;
        break;
      }
      if (is_ascii_at(text, after)) {
        emit(pos, after, c);
        pos = after;
        if (c < 0x80) break;
        c = static_cast<unsigned char>(text[after]);
        ++after;
        continue;
      }
      std::size_t next_after = after;
      const char32_t next = utf8::decode(text, next_after);
      if (!stable(next)) {
        const std::size_t end = segment_end(next_after);
        segment(pos, end);
        pos = end;
        break;
      }
      emit(pos, after, c);
      pos = after;
      after = next_after;
      c = next;
    }
  }
}

class NormalizedSink {
 public:
  explicit NormalizedSink(std::size_t expected) { out_.reserve(expected); }
  void ascii(std::string_view run) { out_.append(run); }
  void ascii_char(char b) { out_.push_back(b); }
  void stable(char32_t c, std::string_view bytes) {
    if (!unicode::is_invisible(c)) out_.append(bytes);
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
  static const StreamKernel kFastest = cpu::fastest(kStreamKernels);
  return stream_with(text, kFastest);
}

std::vector<std::string_view> canonical_kernels() { return cpu::usable_names(kStreamKernels); }

std::optional<std::string> canonical_stream_using(std::string_view text, std::string_view kernel) {
  for (const auto& k : kStreamKernels)
    if (k.name == kernel && cpu::supports(k.needs)) return stream_with(text, k.fn);
  return std::nullopt;
}

std::string normalized_text(std::string_view text) {
  NormalizedSink sink(text.size());
  walk_nfc(text, sink);
  return std::move(sink).finish();
}

Digest32 content_digest(std::string_view text) { return crypto::sha256(canonical_stream(text)); }

}  // namespace vessolin
