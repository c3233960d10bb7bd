#include "simhash/structural.hpp"

#include <array>
#include <charconv>
#include <cstring>
#include <string>
#include <utility>

#include "canonical/canonical.hpp"
#include "unicode/properties.hpp"
#include "unicode/utf8.hpp"

namespace vessolin {


namespace {

constexpr std::size_t kWordCount = kFunctionWords.size();
constexpr std::uint8_t kOtherWord = kWordCount;  // the token "_"
constexpr std::size_t kLongestWord = 7;

// A lowercase ASCII word of up to eight letters as one integer, first letter
// in the low byte.
constexpr std::uint64_t pack_word(std::string_view w) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < w.size(); ++i) v |= static_cast<std::uint64_t>(static_cast<unsigned char>(w[i])) << (8 * i);
  return v;
}

constexpr std::size_t word_slot(std::uint64_t packed) { return (packed * 0x9E3779B97F4A7C15ULL) >> 56; }

// The function words by packed value, in an open-addressing table built at
// compile time.
struct FunctionWordTable {
  std::array<std::uint64_t, 256> key{};
  std::array<std::uint8_t, 256> index{};
  constexpr explicit FunctionWordTable(const std::array<std::string_view, kWordCount>& words) {
    for (std::size_t i = 0; i < kWordCount; ++i) {
      std::size_t s = word_slot(pack_word(words[i]));
      while (key[s] != 0) s = (s + 1) & 255;
      key[s] = pack_word(words[i]);
      index[s] = static_cast<std::uint8_t>(i);
    }
  }
  std::uint8_t find(std::uint64_t packed) const {
    for (std::size_t s = word_slot(packed);; s = (s + 1) & 255) {
      if (key[s] == packed) return index[s];
      if (key[s] == 0) return kOtherWord;
    }
  }
};

constexpr FunctionWordTable kWordTable(kFunctionWords);

// The packed lookup relies on every function word being distinct, lowercase
// ASCII and at most kLongestWord letters long.
constexpr bool function_words_fit() {
  for (std::size_t i = 0; i < kWordCount; ++i) {
    const std::string_view w = kFunctionWords[i];
    if (w.empty() || w.size() > kLongestWord) return false;
    for (char c : w)
      if (c < 'a' || c > 'z') return false;
    for (std::size_t j = 0; j < i; ++j)
      if (kFunctionWords[j] == w) return false;
  }
  return true;
}
static_assert(function_words_fit());

std::string_view token_text(std::uint8_t token) { return token == kOtherWord ? "_" : kFunctionWords[token]; }

// The punctuation class of a code point, as its class character, or 0.
char punctuation_class(char32_t c) {
  switch (c) {
    case '!': return '!';
    case ',': return ',';
    case ':': return ':';
    case ';': return ';';
    case '?': return '?';
    case '"': case '\'': case 0x2018: case 0x2019: case 0x201C: case 0x201D: return '"';
    case '(': case ')': case '[': case ']': case '{': case '}': return '(';
    case '-': case 0x2013: case 0x2014: return '-';
    case '.': case 0x2026: return '.';
    default: return 0;
  }
}
constexpr char kClasses[] = {'!', '"', '(', ',', '-', '.', ':', ';', '?'};

bool is_word(char32_t c) {
  if (c < 0x80) return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
  return unicode::is_word_char(c);
}

// A feature in structured form: its kind and numbers, from which its string
// is spelled. Equal keys spell equal strings.
struct FeatureKey {
  enum Kind : std::uint8_t { Sentence, SentencePair, Paragraph, Punctuation, Words };
  Kind kind;
  std::uint64_t x;  // a count, a class character, or the packed tokens
  std::uint64_t y;  // the second count of a pair; the token count of Words

  friend bool operator==(const FeatureKey&, const FeatureKey&) = default;
};

constexpr std::uint64_t kTokenRadix = kWordCount + 1;

void append_number(std::string& out, std::uint64_t v) {
  char digits[20];
  const auto r = std::to_chars(digits, digits + sizeof digits, v);
  out.append(digits, r.ptr);
}

void spell(const FeatureKey& key, std::string& out) {
  out.clear();
  switch (key.kind) {
    case FeatureKey::Sentence:
      out += "SL1:";
      append_number(out, key.x);
      break;
    case FeatureKey::SentencePair:
      out += "SL2:";
      append_number(out, key.x);
      out += ',';
      append_number(out, key.y);
      break;
    case FeatureKey::Paragraph:
      out += "PL:";
      append_number(out, key.x);
      break;
    case FeatureKey::Punctuation:
      out += "PUNCT:";
      out += static_cast<char>(key.x);
      break;
    case FeatureKey::Words: {
      out += "FW:";
      std::uint64_t divisor = 1;
      for (std::uint64_t i = 1; i < key.y; ++i) divisor *= kTokenRadix;
      for (std::uint64_t i = 0; i < key.y; ++i, divisor /= kTokenRadix) {
        if (i != 0) out += ' ';
        out += token_text(static_cast<std::uint8_t>(key.x / divisor % kTokenRadix));
      }
      break;
    }
  }
}

// Turns what the text walk finds into features, one per occurrence.
template <class Collector>
class FeatureWriter {
 public:
  explicit FeatureWriter(Collector& out) : out_(out) {}

  void sentence_length(std::uint64_t words) {
    out_.add({FeatureKey::Sentence, words, 0}, 3);
    if (have_previous_) out_.add({FeatureKey::SentencePair, previous_, words}, 3);
    have_previous_ = true;
    previous_ = words;
  }

  void paragraph(std::uint64_t sentences) { out_.add({FeatureKey::Paragraph, sentences, 0}, 2); }

  void punctuation(char cls, std::uint64_t count) {
    out_.add({FeatureKey::Punctuation, static_cast<unsigned char>(cls), 0}, static_cast<std::int64_t>(count));
  }

  void word(std::uint8_t token) {
    function_words_ += token != kOtherWord;
    // The last three tokens, oldest in the highest digit.
    window_ = window_ % (kTokenRadix * kTokenRadix) * kTokenRadix + token;
    if (++tokens_ >= 3) out_.add({FeatureKey::Words, window_, 3}, 2);
  }

  // A sequence of one or two tokens is one feature of its own.
  void finish() {
    if (tokens_ == 1 || tokens_ == 2) out_.add({FeatureKey::Words, window_, tokens_}, 2);
  }

  std::uint64_t words() const { return tokens_; }
  std::uint64_t function_words() const { return function_words_; }

 private:
  Collector& out_;
  bool have_previous_ = false;
  std::uint64_t previous_ = 0;
  std::uint64_t window_ = 0;
  std::uint64_t tokens_ = 0;
  std::uint64_t function_words_ = 0;
};

// Spells every feature as it comes.
class FeatureList {
 public:
  void add(const FeatureKey& key, std::int64_t weight) {
    spell(key, buf_);
    features.push_back({buf_, weight});
  }
  std::vector<Feature> features;

 private:
  std::string buf_;
};

// Sums the weights of equal features, so that each distinct feature string
// is spelled and hashed once; a SimHash counter gains the same from one
// feature of the summed weight as from each occurrence in turn. Prose
// repeats its function-word trigrams and sentence lengths so often that this
// removes most of the hashing.
class FeatureTally {
 public:
  FeatureTally() : seed_(simhash_detail::table_seed()) { resize(256); }

  void add(const FeatureKey& key, std::int64_t weight) {
    for (std::size_t i = slot_of(key);; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (!s.used) {
        s = {key, weight, true};
        if (++size_ * 4 > slots_.size() * 3) resize(2 * slots_.size());
        return;
      }
      if (s.key == key) {
        s.weight = static_cast<std::int64_t>(static_cast<std::uint64_t>(s.weight) + static_cast<std::uint64_t>(weight));
        return;
      }
    }
  }

  Fingerprint256 fingerprint() const {
    SimHashBuilder simhash;
    std::string buf;
    for (const Slot& s : slots_) {
      if (!s.used) continue;
      spell(s.key, buf);
      simhash.add(buf, s.weight);
    }
    return simhash.finish();
  }

 private:
  struct Slot {
    FeatureKey key;
    std::int64_t weight;
    bool used;
  };

  std::size_t slot_of(const FeatureKey& key) const {
    std::uint64_t h = simhash_detail::fold_multiply(key.x ^ seed_.a, 0x9E3779B97F4A7C15ULL);
    h = simhash_detail::fold_multiply(h ^ key.y ^ (std::uint64_t{key.kind} << 56), seed_.b);
    return h & mask_;
  }

  void resize(std::size_t capacity) {
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(capacity));
    mask_ = capacity - 1;
    size_ = 0;
    for (const Slot& s : old)
      if (s.used) add(s.key, s.weight);
  }

  simhash_detail::TableSeed seed_;
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

// Cuts paragraphs into sentences and sentences into words, one code point at
// a time, and reports sentence lengths, paragraph sizes and word tokens.
template <class Collector>
class SentenceSplitter {
 public:
  explicit SentenceSplitter(FeatureWriter<Collector>& out) : out_(out) {}

  void feed(char32_t c, std::size_t bytes) {
    buffer_bytes_ += bytes;
    if (!seen_content_) {
      if (unicode::is_white_space(c)) {
        leading_space_bytes_ += bytes;
      } else {
        seen_content_ = true;
      }
    }
    if (is_word(c)) {
      add_to_word(c);
    } else {
      end_word();
      // A terminator ends a sentence once the sentence, trimmed, holds at
      // least two bytes: the trimmed buffer ends with the terminator itself,
      // so it runs from the first non-space character to here.
      if ((c == '.' || c == '!' || c == '?') && buffer_bytes_ - leading_space_bytes_ >= 2) end_sentence();
    }
  }

  void end_paragraph() {
    end_word();
    if (seen_content_) end_sentence();
    out_.paragraph(sentences_);
    sentences_ = 0;
  }

 private:
  void add_to_word(char32_t c) {
    in_word_ = true;
    if (!could_be_function_word_) return;
    // Only a word whose lowercase form is ASCII can equal a function word.
    // Its lowercase is taken character by character: the one contextual rule
    // that applies to every language, the final form of sigma, only ever
    // yields a non-ASCII letter, so it cannot change the outcome.
    char32_t lower[3];
    const int count = c < 0x80 ? (lower[0] = (c >= 'A' && c <= 'Z') ? c + 32 : c, 1) : unicode::lowercase_full(c, lower);
    for (int i = 0; i < count; ++i) {
      if (lower[i] < 'a' || lower[i] > 'z' || word_length_ == kLongestWord) {
        could_be_function_word_ = false;
        return;
      }
      packed_ |= static_cast<std::uint64_t>(lower[i]) << (8 * word_length_++);
    }
  }

  void end_word() {
    if (!in_word_) return;
    ++words_;
    out_.word(could_be_function_word_ ? kWordTable.find(packed_) : kOtherWord);
    in_word_ = false;
    could_be_function_word_ = true;
    packed_ = 0;
    word_length_ = 0;
  }

  void end_sentence() {
    out_.sentence_length(words_);
    ++sentences_;
    words_ = 0;
    buffer_bytes_ = 0;
    leading_space_bytes_ = 0;
    seen_content_ = false;
  }

  FeatureWriter<Collector>& out_;
  std::uint64_t sentences_ = 0;
  std::uint64_t words_ = 0;
  std::size_t buffer_bytes_ = 0;
  std::size_t leading_space_bytes_ = 0;
  bool seen_content_ = false;
  bool in_word_ = false;
  bool could_be_function_word_ = true;
  std::uint64_t packed_ = 0;
  std::size_t word_length_ = 0;
};

template <class Collector>
void feed_text(SentenceSplitter<Collector>& split, std::string_view s) {
  for (std::size_t pos = 0; pos < s.size();) {
    const std::size_t start = pos;
    const char32_t c = utf8::decode(s, pos);
    split.feed(c, pos - start);
  }
}

struct WordCounts {
  std::uint64_t words;
  std::uint64_t function_words;
};

template <class Collector>
WordCounts structural_walk(std::string_view text, Collector& collector) {
  const std::string t = normalized_text(text);
  FeatureWriter<Collector> out(collector);
  SentenceSplitter<Collector> split(out);

  // Paragraphs: runs of non-blank lines, each line followed by one space.
  bool in_paragraph = false;
  bool any_paragraph = false;
  std::size_t pos = 0;
  while (pos < t.size()) {
    const void* lf = std::memchr(t.data() + pos, '\n', t.size() - pos);
    const std::size_t end = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - t.data()) : t.size();
    std::string_view line(t.data() + pos, end - pos);
    if (lf && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos = lf ? end + 1 : end;
    if (unicode::is_blank(line)) {
      if (in_paragraph) split.end_paragraph();
      in_paragraph = false;
    } else {
      in_paragraph = any_paragraph = true;
      feed_text(split, line);
      split.feed(' ', 1);
    }
  }
  if (in_paragraph) split.end_paragraph();
  if (!any_paragraph) {
    // An empty or all-blank text is one paragraph (of no sentences).
    feed_text(split, t);
    split.end_paragraph();
  }
  out.finish();

  std::uint64_t counts[128] = {};
  for (std::size_t i = 0; i < t.size();) {
    const auto b = static_cast<unsigned char>(t[i]);
    if (b < 0x80) {
      ++counts[static_cast<unsigned char>(punctuation_class(b))];
      ++i;
    } else {
      ++counts[static_cast<unsigned char>(punctuation_class(utf8::decode(t, i)))];
    }
  }
  for (char cls : kClasses)
    if (counts[static_cast<unsigned char>(cls)] != 0) out.punctuation(cls, counts[static_cast<unsigned char>(cls)]);
  return {out.words(), out.function_words()};
}

}  // namespace

std::vector<Feature> structural_features(std::string_view text) {
  FeatureList list;
  structural_walk(text, list);
  return std::move(list.features);
}

Fingerprint256 structural_fingerprint(std::string_view text) { return structural_profile(text).fingerprint; }

StructuralProfile structural_profile(std::string_view text) {
  FeatureTally tally;
  const WordCounts counts = structural_walk(text, tally);
  return {tally.fingerprint(), counts.words, counts.function_words};
}

}  // namespace vessolin
