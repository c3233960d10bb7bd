#include "simhash/structural.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "canonical/canonical.hpp"
#include "crypto/blake2b_batch.hpp"
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

// The function words by packed value, in a table where the multiplier gives
// every one of them a slot of its own: a lookup is one comparison, without
// the branches of probing, whose outcome (function word or not) prose makes
// a coin toss. The multiplier is the first that works in the sequence of odd
// numbers from 0x9E3779B97F4A7C15 in steps of 2 * 0x632BE59BD9B4E019 (the
// 4816th); the table checks it at compile time.
struct FunctionWordTable {
  static constexpr int kBits = 10;
  static constexpr std::uint64_t kMultiplier = 0x2B7EB66101506883ULL;
  std::array<std::uint64_t, std::size_t{1} << kBits> key{};
  std::array<std::uint8_t, std::size_t{1} << kBits> index{};
  bool one_slot_each = true;

  static constexpr std::size_t slot(std::uint64_t packed) { return (packed * kMultiplier) >> (64 - kBits); }

  constexpr explicit FunctionWordTable(const std::array<std::string_view, kWordCount>& words) {
    for (std::size_t i = 0; i < kWordCount; ++i) {
      const std::uint64_t packed = pack_word(words[i]);
      one_slot_each = one_slot_each && key[slot(packed)] == 0;
      key[slot(packed)] = packed;
      index[slot(packed)] = static_cast<std::uint8_t>(i);
    }
  }

  std::uint8_t find(std::uint64_t packed) const {
    const std::size_t s = slot(packed);
    return key[s] == packed ? index[s] : kOtherWord;
  }
};

constexpr FunctionWordTable kWordTable(kFunctionWords);
static_assert(kWordTable.one_slot_each);

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
constexpr char punctuation_class(char32_t c) {
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

struct AsciiClasses {
  char cls[128]{};
  constexpr AsciiClasses() {
    for (char32_t c = 0; c < 128; ++c) cls[c] = punctuation_class(c);
  }
};
constexpr AsciiClasses kAsciiClasses;

// How often each punctuation class occurs, indexed by its class character.
struct PunctuationCounts {
  std::uint64_t count[128] = {};
  void add(char32_t c) {
    const char cls = c < 0x80 ? kAsciiClasses.cls[c] : punctuation_class(c);
    if (cls != 0) ++count[static_cast<unsigned char>(cls)];  // rare: no store for the other characters
  }
};

bool is_word(char32_t c) {
  if (c < 0x80) return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
  return unicode::is_word_char(c);
}

// Which bytes are ASCII letters or digits, looked up once per byte of a run.
struct AsciiWordBytes {
  bool is_word[256]{};
  constexpr AsciiWordBytes() {
    for (unsigned b = 0; b < 128; ++b) is_word[b] = (b >= '0' && b <= '9') || ((b | 0x20) >= 'a' && (b | 0x20) <= 'z');
  }
};
constexpr AsciiWordBytes kAsciiWordBytes;

// A feature in structured form: its kind and numbers, from which its string
// is spelled. Equal keys spell equal strings.
struct FeatureKey {
  enum Kind : std::uint8_t { Sentence, SentencePair, Paragraph, Punctuation, Words };
  Kind kind;
  std::uint64_t x;  // a count, a class character, or the packed tokens
  std::uint64_t y;  // the second count of a pair; the token count of Words

  friend bool operator==(const FeatureKey&, const FeatureKey&) = default;
};

// The packed tokens of a function-word feature: seven bits each, the oldest
// in the highest place.
constexpr int kTokenBits = 7;
constexpr std::uint64_t kTokenMask = (std::uint64_t{1} << kTokenBits) - 1;
static_assert(kOtherWord <= kTokenMask);

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
      for (std::uint64_t i = key.y; i-- > 0;) {
        if (i + 1 != key.y) out += ' ';
        out += token_text(static_cast<std::uint8_t>(key.x >> (kTokenBits * i) & kTokenMask));
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
    window_ = (window_ << kTokenBits | token) & ((std::uint64_t{1} << (3 * kTokenBits)) - 1);
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

// A function-word feature (one to three tokens of kTokenBits bits each,
// and their count) as one number: below 2^23, and never 0.
using WordsTag = std::uint32_t;
static_assert((std::uint64_t{1} << (3 * kTokenBits)) * 4 + 4 < (std::uint64_t{1} << 32));

WordsTag words_tag(const FeatureKey& key) { return static_cast<WordsTag>(key.x * 4 + key.y + 1); }

// The other features as tags of their own, with the top bit set (function-
// word tags are below 2^23) and the kind in the two bits below it; 0 for one
// whose numbers do not fit, which is then not cached. A long text has some
// eight hundred distinct pairs of sentence lengths, and most recur in the
// next text.
WordsTag other_tag(const FeatureKey& key) {
  constexpr std::uint64_t kRoom = std::uint64_t{1} << 29;
  constexpr std::uint64_t kPairRoom = std::uint64_t{1} << 14;
  std::uint64_t value;
  if (key.kind == FeatureKey::SentencePair) {
    if (key.x >= kPairRoom || key.y >= kPairRoom) return 0;
    value = key.x << 14 | key.y;
  } else {
    if (key.x >= kRoom) return 0;
    value = key.x;
  }
  return static_cast<WordsTag>(std::uint64_t{1} << 31 | std::uint64_t{key.kind} << 29 | value);
}
FeatureKey words_key(WordsTag tag) { return {FeatureKey::Words, (tag - 1) / 4, (tag - 1) % 4}; }

std::size_t spread(WordsTag tag, int bits) { return (tag * 0x9E3779B97F4A7C15ULL) >> (64 - bits); }

// The hashes of features met before on this thread, under their tags
// (function-word features, and the others that other_tag can name). A
// thousand prose texts share most of their function-word trigrams, and
// spelling and hashing them anew is a quarter of the work on a long text.
// Two ways per set, fixed in size: a long text's five thousand trigrams
// collided in a direct-mapped table often enough to be hashed again, some
// six hundred on every call. An entry is found only under the exact feature
// it was stored for, so results never depend on what it holds.
class WordsHashCache {
 public:
  static WordsHashCache& of_this_thread() {
    thread_local WordsHashCache cache;
    return cache;
  }

  const FeatureHash* find(WordsTag tag) const {
    const Entry* set = &entries_[2 * spread(tag, kSetBits)];
    if (set[0].tag == tag) return &set[0].hash;
    if (set[1].tag == tag) return &set[1].hash;
    return nullptr;
  }

  // The newest entry of a set stands first; the older one gives way.
  void store(WordsTag tag, const FeatureHash& hash) {
    Entry* set = &entries_[2 * spread(tag, kSetBits)];
    set[1] = set[0];
    set[0] = {tag, hash};
  }

 private:
  static constexpr int kSetBits = 13;  // 16 384 entries of 36 bytes

  struct Entry {
    WordsTag tag;  // 0: empty
    FeatureHash hash;
  };

  std::unique_ptr<Entry[]> entries_ = std::make_unique<Entry[]>(std::size_t{2} << kSetBits);
};

// Sums the weights of equal features, so that each distinct feature string
// is spelled and hashed once; a SimHash counter gains the same from one
// feature of the summed weight as from each occurrence in turn. Prose
// repeats its function-word trigrams and sentence lengths so often that this
// removes most of the hashing.
//
// Function-word features, one per word, are most of them: they have a table
// of their own with 16-byte slots found by one multiplication.
class FeatureTally {
 public:
  // The function-word table is sized for a text of `bytes` (prose has about
  // one distinct trigram in twenty bytes), so that it rarely grows. One of
  // up to kKeptWordSlots is kept, emptied, for the next text of this thread
  // that wants one of the same size: a fresh one would be fresh pages from
  // the system on every call, each faulted in and cleared.
  explicit FeatureTally(std::size_t bytes) : seed_(simhash_detail::table_seed()) {
    // The other features are mostly pairs of sentence lengths, about one
    // distinct pair in a hundred bytes of prose.
    std::size_t slots = 256;
    while (slots < (std::size_t{1} << 16) && slots < bytes / 64) slots *= 2;
    resize(slots);
    std::size_t capacity = 256;
    while (capacity < kKeptWordSlots && capacity < bytes / 16) capacity *= 2;
    std::vector<WordSlot>& spare = spare_word_table();
    if (spare.size() == capacity) {
      word_slots_ = std::move(spare);
      spare = {};
      word_bits_ = std::countr_zero(capacity);
    } else {
      resize_words(capacity);
    }
  }

  ~FeatureTally() {
    if (word_slots_.size() > kKeptWordSlots) return;
    std::fill(word_slots_.begin(), word_slots_.end(), WordSlot{});
    spare_word_table() = std::move(word_slots_);
  }

  FeatureTally(const FeatureTally&) = delete;
  FeatureTally& operator=(const FeatureTally&) = delete;

  void add(const FeatureKey& key, std::int64_t weight) {
    if (key.kind == FeatureKey::Words) {
      add_words(words_tag(key), static_cast<std::uint64_t>(weight));
      return;
    }
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
    WordsHashCache& cache = WordsHashCache::of_this_thread();
    // Features the cache lacks are spelled one after another and hashed
    // together.
    std::string buf;
    std::string missed_bytes;
    std::vector<std::size_t> missed_ends;
    std::vector<std::pair<WordsTag, std::int64_t>> missed;  // tag (0: not to be cached), weight
    const auto add = [&](WordsTag tag, const FeatureKey& key, std::int64_t weight) {
      if (tag != 0) {
        if (const FeatureHash* hash = cache.find(tag)) {
          simhash.add_hash(*hash, weight);
          return;
        }
      }
      spell(key, buf);
      missed_bytes += buf;
      missed_ends.push_back(missed_bytes.size());
      missed.emplace_back(tag, weight);
    };
    for (const Slot& s : slots_) {
      if (s.used) add(other_tag(s.key), s.key, s.weight);
    }
    for (const WordSlot& s : word_slots_) {
      if (s.tag != 0) add(s.tag, words_key(s.tag), static_cast<std::int64_t>(s.weight));
    }
    std::vector<crypto::ByteView> views(missed.size());
    std::vector<FeatureHash> hashes(missed.size());
    const auto* data = reinterpret_cast<const std::uint8_t*>(missed_bytes.data());
    for (std::size_t i = 0, begin = 0; i < missed.size(); begin = missed_ends[i++])
      views[i] = crypto::ByteView(data + begin, missed_ends[i] - begin);
    crypto::blake2b512_head_batch(views, hashes);
    for (std::size_t i = 0; i < missed.size(); ++i) {
      if (missed[i].first != 0) cache.store(missed[i].first, hashes[i]);
      simhash.add_hash(hashes[i], missed[i].second);
    }
    return simhash.finish();
  }

 private:
  struct Slot {
    FeatureKey key;
    std::int64_t weight;
    bool used;
  };

  struct WordSlot {
    WordsTag tag;  // 0: empty
    std::uint64_t weight;
  };

  std::size_t word_start(WordsTag tag) const {
    // Seeded like every table here, so that no fixed set of texts crowds it.
    return ((tag ^ seed_.a) * seed_.b) >> (64 - word_bits_);
  }

  static constexpr std::size_t kKeptWordSlots = std::size_t{1} << 15;  // 512 KB

  static std::vector<WordSlot>& spare_word_table() {
    thread_local std::vector<WordSlot> spare;
    return spare;
  }

  void add_words(WordsTag tag, std::uint64_t weight) {
    const std::size_t mask = word_slots_.size() - 1;
    for (std::size_t i = word_start(tag);; i = (i + 1) & mask) {
      WordSlot& s = word_slots_[i];
      if (s.tag == tag) {
        s.weight += weight;
        return;
      }
      if (s.tag == 0) {
        s = {tag, weight};
        if (++word_count_ * 4 > word_slots_.size() * 3) resize_words(2 * word_slots_.size());
        return;
      }
    }
  }

  void resize_words(std::size_t capacity) {
    std::vector<WordSlot> old = std::exchange(word_slots_, std::vector<WordSlot>(capacity));
    word_bits_ = std::countr_zero(capacity);
    word_count_ = 0;
    for (const WordSlot& s : old)
      if (s.tag != 0) add_words(s.tag, s.weight);
  }

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
  std::vector<WordSlot> word_slots_;
  int word_bits_ = 0;
  std::size_t word_count_ = 0;
};

// Cuts paragraphs into sentences and sentences into words, one code point at
// a time, and reports sentence lengths, paragraph sizes and word tokens.
template <class Collector>
class SentenceSplitter {
 public:
  explicit SentenceSplitter(FeatureWriter<Collector>& out) : out_(out) {}

  void feed(char32_t c, std::size_t bytes) {
    if (is_word(c)) {
      buffer_bytes_ += bytes;
      seen_content_ = true;  // a word character is not white space
      add_to_word(c);
    } else {
      feed_non_word(c, bytes);
    }
  }

  // As feed() for a code point that is no word character: most of what is
  // not a letter, taken once per word, so kept inline.
  [[gnu::always_inline]] void feed_non_word(char32_t c, std::size_t bytes) {
    buffer_bytes_ += bytes;
    if (!seen_content_) {
      if (unicode::is_white_space(c)) {
        leading_space_bytes_ += bytes;
      } else {
        seen_content_ = true;
      }
    }
    end_word();
    // A terminator ends a sentence once the sentence, trimmed, holds at
    // least two bytes: the trimmed buffer ends with the terminator itself,
    // so it runs from the first non-space character to here.
    if ((c == '.' || c == '!' || c == '?') && buffer_bytes_ - leading_space_bytes_ >= 2) end_sentence();
  }

  void end_paragraph() {
    end_word();
    if (seen_content_) end_sentence();
    out_.paragraph(sentences_);
    sentences_ = 0;
  }

  // As feed() for each of the `n` bytes at `p`, all ASCII letters or digits;
  // when `readable` is at least 8, so many bytes may be read at `p`.
  void feed_ascii_word(const char* p, std::size_t n, std::size_t readable) {
    buffer_bytes_ += n;
    seen_content_ = true;  // a word character is not white space
    in_word_ = true;
    if (!could_be_function_word_) return;
    if (word_length_ + n > kLongestWord) {
      could_be_function_word_ = false;
      return;
    }
    if (word_length_ == 0 && readable >= 8) {
      // The whole word at once, first letter in the low byte. Letters have
      // bit 6 set and digits do not; setting bit 5 lowercases a letter.
      std::uint64_t bytes;
      std::memcpy(&bytes, p, 8);
      if constexpr (std::endian::native == std::endian::big) bytes = std::byteswap(bytes);
      const std::uint64_t mask = ~std::uint64_t{0} >> (64 - 8 * n);  // n is 1 to 7
      if ((~bytes & 0x4040404040404040ULL & mask) != 0) {
        could_be_function_word_ = false;
        return;
      }
      packed_ = (bytes | 0x2020202020202020ULL) & mask;
      word_length_ = n;
      return;
    }
    // In locals: the text's bytes could alias the members, which would
    // otherwise be loaded and stored again for every letter.
    std::uint64_t packed = packed_;
    std::size_t length = word_length_;
    for (std::size_t i = 0; i < n; ++i) {
      const auto c = static_cast<unsigned char>(p[i]);
      if (c <= '9') {  // a digit
        could_be_function_word_ = false;
        return;
      }
      packed |= static_cast<std::uint64_t>(c | 0x20) << (8 * length++);
    }
    packed_ = packed;
    word_length_ = length;
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

// The end of the run of ASCII letters and digits that starts at `pos`.
inline std::size_t ascii_word_end(std::string_view s, std::size_t pos) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
#if defined(__SSE2__)
  // Sixteen bytes at a time: most words end within the first sixteen. As
  // signed bytes everything beyond ASCII is negative, and stays so with bit
  // 5 set, so only ASCII falls in the ranges.
  const __m128i below_zero = _mm_set1_epi8('0' - 1), above_nine = _mm_set1_epi8('9' + 1);
  const __m128i below_a = _mm_set1_epi8('a' - 1), above_z = _mm_set1_epi8('z' + 1);
  const __m128i case_bit = _mm_set1_epi8(0x20);
  for (; pos + 16 <= s.size(); pos += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + pos));
    const __m128i lower = _mm_or_si128(v, case_bit);
    const __m128i word = _mm_or_si128(_mm_and_si128(_mm_cmpgt_epi8(v, below_zero), _mm_cmplt_epi8(v, above_nine)),
                                      _mm_and_si128(_mm_cmpgt_epi8(lower, below_a), _mm_cmplt_epi8(lower, above_z)));
    const auto others = static_cast<unsigned>(~_mm_movemask_epi8(word)) & 0xFFFFu;
    if (others != 0) return pos + static_cast<std::size_t>(__builtin_ctz(others));
  }
#endif
  while (pos < s.size() && kAsciiWordBytes.is_word[p[pos]]) ++pos;
  return pos;
}

// Feeds every code point of `s` to the splitter and tallies its
// punctuation, in the one pass.
template <class Collector>
void feed_text(SentenceSplitter<Collector>& split, PunctuationCounts& punctuation, std::string_view s) {
  const auto ascii_word = [](unsigned char b) { return kAsciiWordBytes.is_word[b]; };
  for (std::size_t pos = 0; pos < s.size();) {
    const auto b = static_cast<unsigned char>(s[pos]);
    if (ascii_word(b)) {
      // A run of ASCII letters and digits, most of any Latin-script text,
      // taken in one step.
      const std::size_t end = ascii_word_end(s, pos + 1);
      split.feed_ascii_word(s.data() + pos, end - pos, s.size() - pos);
      pos = end;
      continue;
    }
    if (b < 0x80) {
      ++pos;
      punctuation.add(b);
      split.feed_non_word(b, 1);
      continue;
    }
    const std::size_t start = pos;
    const char32_t c = utf8::decode(s, pos);
    punctuation.add(c);
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
  // Blank lines and line breaks hold no punctuation, so counting what the
  // splitter is fed counts the whole text.
  PunctuationCounts punctuation;

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
      feed_text(split, punctuation, line);
      split.feed_non_word(' ', 1);
    }
  }
  if (in_paragraph) split.end_paragraph();
  if (!any_paragraph) {
    // An empty or all-blank text is one paragraph (of no sentences).
    feed_text(split, punctuation, t);
    split.end_paragraph();
  }
  out.finish();

  for (char cls : kClasses) {
    const std::uint64_t n = punctuation.count[static_cast<unsigned char>(cls)];
    if (n != 0) out.punctuation(cls, n);
  }
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
  FeatureTally tally(text.size());
  const WordCounts counts = structural_walk(text, tally);
  return {tally.fingerprint(), counts.words, counts.function_words};
}

}  // namespace vessolin
