#include "unicode/nfc.hpp"

#include <algorithm>

#include "unicode/ucd.hpp"
#include "unicode/utf8.hpp"

namespace vessolin::unicode {

namespace {

// Hangul syllables decompose and compose by arithmetic (Unicode 3.12).
constexpr char32_t kSBase = 0xAC00, kLBase = 0x1100, kVBase = 0x1161, kTBase = 0x11A7;
constexpr char32_t kLCount = 19, kVCount = 21, kTCount = 28, kNCount = kVCount * kTCount, kSCount = kLCount * kNCount;

void decompose(char32_t c, std::u32string& work) {
  if (c - kSBase < kSCount) {
    const char32_t s = c - kSBase;
    work.push_back(kLBase + s / kNCount);
    work.push_back(kVBase + (s % kNCount) / kTCount);
    if (s % kTCount != 0) work.push_back(kTBase + s % kTCount);
    return;
  }
  const std::uint16_t at = ucd::record(c).decomposition;
  if (at == 0) {
    work.push_back(c);
    return;
  }
  const char32_t* d = ucd::kDecompositions + at;
  work.append(d + 1, d + 1 + d[0]);
}

// What `first` followed by `second` composes to, or 0.
char32_t compose(char32_t first, char32_t second) {
  if (first - kLBase < kLCount && second - kVBase < kVCount) {
    return kSBase + ((first - kLBase) * kVCount + (second - kVBase)) * kTCount;
  }
  if (first - kSBase < kSCount && (first - kSBase) % kTCount == 0 && second - kTBase - 1 < kTCount - 1) {
    return first + (second - kTBase);
  }
  const std::uint64_t pair = (std::uint64_t{first} << 21) | second;
  const ucd::Composition* end = ucd::kCompositions + ucd::kCompositionCount;
  const ucd::Composition* it =
      std::lower_bound(ucd::kCompositions, end, pair, [](const ucd::Composition& e, std::uint64_t p) { return e.pair < p; });
  return it != end && it->pair == pair ? it->composite : 0;
}

// Sorts every run of non-starters by combining class, keeping the order of
// equal classes (insertion sort: the runs are short).
void reorder(std::u32string& work) {
  for (std::size_t i = 1; i < work.size(); ++i) {
    const char32_t c = work[i];
    const unsigned cc = combining_class(c);
    if (cc == 0) continue;
    std::size_t j = i;
    while (j > 0 && combining_class(work[j - 1]) > cc) {
      work[j] = work[j - 1];
      --j;
    }
    work[j] = c;
  }
}

// Composes in place: each character after a starter joins it if the pair
// composes and nothing between them blocks it (a blocker is a starter or a
// character of the same or a higher class). Returns the new length.
std::size_t compose_all(std::u32string& work) {
  if (work.empty()) return 0;
  std::size_t starter = 0;
  // The class of the last character kept after the starter: 0 when none is,
  // 256 when the text starts with a non-starter (nothing may compose then).
  unsigned last = combining_class(work[0]) == 0 ? 0 : 256;
  std::size_t kept = 1;
  for (std::size_t i = 1; i < work.size(); ++i) {
    const char32_t c = work[i];
    const unsigned cc = combining_class(c);
    if (last < cc || last == 0) {
      if (const char32_t composite = compose(work[starter], c); composite != 0) {
        work[starter] = composite;
        continue;
      }
    }
    if (cc == 0) {
      starter = kept;
      last = 0;
    } else {
      last = cc;
    }
    work[kept++] = c;
  }
  return kept;
}

}  // namespace

unsigned combining_class(char32_t c) { return ucd::record(c).combining_class; }

bool nfc_stable(char32_t c) { return ucd::record(c).flags & ucd::kNfcStable; }

void append_nfc(std::string_view text, std::u32string& work, std::string& out) {
  work.clear();
  for (std::size_t pos = 0; pos < text.size();) decompose(utf8::decode(text, pos), work);
  reorder(work);
  const std::size_t n = compose_all(work);
  for (std::size_t i = 0; i < n; ++i) utf8::append(out, work[i]);
}

}  // namespace vessolin::unicode
