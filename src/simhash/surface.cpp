#include "simhash/surface.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "canonical/canonical.hpp"
#include "cpu/kernels.hpp"
#include "crypto/blake2b_batch.hpp"
#include "error/error.hpp"
#include "simhash/simhash.hpp"
#include "unicode/utf8.hpp"

namespace vessolin {

namespace {

constexpr int kShingle = 4;
// A window of 512 code points holds 509 shingle starts: the 256 of its first
// step and the first 253 of its second.
constexpr std::uint64_t kHeadPositions = kWindowLength - kWindowStep - (kShingle - 1);

// A shingle of up to four code points, kept as its UTF-8 bytes (at most 16)
// in the two words BLAKE2b reads them as, every byte past its end zero: the
// table compares and hashes two words, and the shingle goes into the
// compression as it is. No UTF-8 byte of the canonical stream is zero (it
// holds no U+0000), so the bytes end where the words' zero bytes begin, and
// a key with lo == 0 marks an empty slot.
struct ShingleKey {
  std::uint64_t lo;
  std::uint64_t hi;
};

// The number of bytes in a key: up to its last nonzero byte.
std::uint64_t key_length(ShingleKey key) {
  return key.hi != 0 ? 16 - std::countl_zero(key.hi) / 8 : 8 - std::countl_zero(key.lo) / 8;
}

crypto::ShortMessage key_message(ShingleKey key) { return {{key.lo, key.hi}, key_length(key)}; }

using simhash_detail::fold_multiply;
using simhash_detail::TableSeed;
using simhash_detail::table_seed;

// Open addressing with linear probing over packed shingle keys. `Value` is
// the occurrence count or the shingle's index in order of first occurrence;
// it is 32 bits wide unless the stream is too long for that.
template <class Value>
class ShingleTable {
 public:
  struct Slot {
    std::uint64_t lo;
    std::uint64_t hi;
    Value value;
  };

  explicit ShingleTable(std::uint64_t positions) : seed_(table_seed()) {
    // Sized for one distinct shingle in four positions, up to a megabyte
    // and a half, and grown from there: natural text repeats its shingles so
    // much that sizing for every position would waste memory and cache
    // (100 KB of English prose has some 90 000 positions but only about
    // 9 000 distinct shingles; text in scripts of many letters, about one in
    // four), while growing step by step from a small table rehashes every
    // shingle several times.
    const std::uint64_t expected = std::min<std::uint64_t>(positions / 4, kPresizedSlots / 4 * 3);
    std::size_t capacity = 64;
    while (capacity / 4 * 3 < expected) capacity *= 2;
    allocate(capacity);
  }

  // Where `key` starts its probe, before the table's size is applied: it
  // stays valid when the table grows.
  static std::uint64_t hash(TableSeed seed, ShingleKey key) { return fold_multiply(key.lo ^ seed.a, key.hi ^ seed.b); }
  std::uint64_t hash(ShingleKey key) const { return hash(seed_, key); }

  // hash() for a loop over many keys, as a value that keeps the seed and
  // the slots in registers; it also asks for the slot where each probe
  // starts to be brought into the cache. Valid until the next insertion.
  struct Hasher {
    TableSeed seed;
    const Slot* slots;
    std::size_t mask;
    std::uint64_t operator()(ShingleKey key) const {
      const std::uint64_t h = hash(seed, key);
      __builtin_prefetch(&slots[h & mask]);
      return h;
    }
  };
  Hasher hasher() const { return {seed_, slots_.get(), mask_}; }

  // Calls f(slot, inserted, k) for each keys[k], whose hash() is
  // hashes[k], in order: `slot` holds the key, inserted with value 0 if it
  // was absent, and `inserted` tells which. The probes keep the slots and
  // the mask in registers: they are reloaded only after an insertion, which
  // may have grown the table.
  template <class F>
  __attribute__((noinline)) void visit(const ShingleKey* keys, const std::uint64_t* hashes, std::size_t count, F f) {
    Slot* slots = slots_.get();
    std::size_t mask = mask_;
    for (std::size_t k = 0; k < count; ++k) {
      const ShingleKey key = keys[k];
      // A key is never empty, so a slot that matches it is taken: knowing
      // that spares the probe a test.
      if (key.lo == 0) __builtin_unreachable();
      std::size_t i = hashes[k] & mask;
      while (slots[i].lo != key.lo || slots[i].hi != key.hi) {
        if (slots[i].lo == 0) break;
        i = (i + 1) & mask;
      }
      if (slots[i].lo != 0) [[likely]] {
        f(slots[i], false, k);
        continue;
      }
      Slot& fresh = insert(key, hashes[k], i);
      slots = slots_.get();
      mask = mask_;
      f(fresh, true, k);
    }
  }

  std::size_t size() const { return size_; }

  template <class F>
  void for_each(F f) const {
    for (std::size_t i = 0; i <= mask_; ++i)
      if (slots_[i].lo != 0) f(ShingleKey{slots_[i].lo, slots_[i].hi}, slots_[i].value);
  }

 private:
  static constexpr std::size_t kPresizedSlots = std::size_t{1} << 16;

  std::size_t index(ShingleKey key) const { return hash(key) & mask_; }

  // Puts `key`, absent, into the empty slot `i` where its probe ended, or
  // into a grown table. Out of line, so that the probe loop keeps its
  // counters in registers rather than in memory.
  __attribute__((noinline)) Slot& insert(ShingleKey key, std::uint64_t hash, std::size_t i) {
    if (size_ + 1 > limit_) {
      grow();
      i = hash & mask_;
      while (slots_[i].lo != 0) i = (i + 1) & mask_;
    }
    ++size_;
    Slot& s = slots_[i];
    s.lo = key.lo;
    s.hi = key.hi;
    s.value = 0;
    return s;
  }

  void allocate(std::size_t capacity) {
    slots_ = std::make_unique<Slot[]>(capacity);  // value-initialised: all empty
    mask_ = capacity - 1;
    limit_ = capacity / 4 * 3;
    size_ = 0;
  }

  void grow() {
    std::unique_ptr<Slot[]> old = std::move(slots_);
    const std::size_t old_capacity = mask_ + 1;
    allocate(2 * old_capacity);
    for (std::size_t j = 0; j < old_capacity; ++j) {
      if (old[j].lo == 0) continue;
      std::size_t i = index(ShingleKey{old[j].lo, old[j].hi});
      while (slots_[i].lo != 0) i = (i + 1) & mask_;
      slots_[i] = old[j];
      ++size_;
    }
  }

  TableSeed seed_;
  std::unique_ptr<Slot[]> slots_;
  std::size_t mask_ = 0, limit_ = 0, size_ = 0;
};

template <class Word>
Word load_little_endian(const char* p) {
  Word x{};
  std::memcpy(&x, p, sizeof x);
  if constexpr (std::endian::native == std::endian::big) x = std::byteswap(x);
  return x;
}

// Cuts a stream of at least five code points into its shingle keys, in
// order, a block at a time. A shingle is the bytes from the start of one
// code point to the start of the fourth after it, so the cut needs only
// where code points start, never their values: those positions are read off
// 64 bytes at a time as a bit mask of the bytes that are not UTF-8
// continuation bytes.
//
// Each block's keys are hashed for the table and their slots prefetched
// before any of them is looked up: past the first kilobytes of a text, most
// probes would otherwise wait on a cache miss.
template <class Table>
class ShingleBlocks {
 public:
  static constexpr std::size_t kBlock = 256;

  ShingleBlocks(std::string_view stream, const Table& table) : s_(stream), table_(table) {
    // The first four starts, so that next() always has the four before its block.
    bits_ = lead_bits(0);
    for (int i = 0; i < kShingle; ++i) {
      starts_[i] = static_cast<std::size_t>(std::countr_zero(bits_));
      bits_ &= bits_ - 1;
    }
  }

  // Cuts the next `count` keys (at most kBlock, no more than remain) into
  // keys[] and their table hashes into hashes[]. Kept out of line, as the
  // table's probe loop is, so that each tight loop gets the registers to
  // itself.
  __attribute__((noinline)) void next(std::size_t count) {
    for (std::size_t done = 0; done < count; done += kRun) {
      const std::size_t n = std::min(kRun, count - done);
      if (all_ascii(starts_[0], n + kShingle - 1)) {
        cut_ascii(done, n);
      } else {
        cut(done, n);
      }
    }
  }

  ShingleKey keys[kBlock];
  std::uint64_t hashes[kBlock];

 private:
  // Whether the `n` bytes from `at` on are all in the stream and ASCII.
  bool all_ascii(std::size_t at, std::size_t n) const {
    if (at + n > s_.size()) return false;
    const char* p = s_.data() + at;
    std::uint64_t high = 0;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      std::uint64_t w;
      std::memcpy(&w, p + i, 8);
      high |= w;
    }
    for (; i < n; ++i) high |= static_cast<unsigned char>(p[i]);
    return (high & 0x8080808080808080ULL) == 0;
  }

  // Runs of kRun keys are cut each by the faster of two ways: a run
  // whose shingles are ASCII throughout, the common case in Latin-script
  // text, needs no search for where code points start.
  static constexpr std::size_t kRun = 64;

  // Cuts keys[at] to keys[at + n - 1] (and their hashes) from a run of ASCII
  // bytes: every byte is a code point, so each key is the four bytes at its
  // position.
  void cut_ascii(std::size_t at, std::size_t n) {
    const std::size_t first = starts_[0];
    const auto hash = table_.hasher();
    for (std::size_t i = 0; i < n; ++i) {
      keys[at + i] = {load_little_endian<std::uint32_t>(s_.data() + first + i), 0};
      hashes[at + i] = hash(keys[at + i]);
    }
    // The next run's first four starts follow one another; the walk over
    // the lead-byte mask resumes after the last of them.
    for (int i = 0; i < kShingle; ++i) starts_[i] = first + n + static_cast<std::size_t>(i);
    const std::size_t last = first + n + kShingle - 1;
    base_ = last & ~std::size_t{63};
    bits_ = lead_bits(base_) & (~std::uint64_t{1} << (last - base_));
  }

  // The same for any run, from the code point starts.
  void cut(std::size_t at, std::size_t n) {
    std::uint64_t bits = bits_;
    std::size_t base = base_;
    for (std::size_t i = 0; i < n; ++i) {
      while (bits == 0) {
        base += 64;
        bits = lead_bits(base);
      }
      starts_[kShingle + i] = base + static_cast<std::size_t>(std::countr_zero(bits));
      bits &= bits - 1;
    }
    bits_ = bits;
    base_ = base;
    const auto hash = table_.hasher();
    for (std::size_t i = 0; i < n; ++i) {
      keys[at + i] = key(starts_[i], starts_[i + kShingle]);
      hashes[at + i] = hash(keys[at + i]);
    }
    for (int i = 0; i < kShingle; ++i) starts_[i] = starts_[n + i];
  }

  // kKeep[n]: masks that keep the first n bytes of a key's two words
  // (little-endian) and clear the rest.
  struct KeepMasks {
    std::uint64_t word[17][2]{};
    constexpr KeepMasks() {
      for (int n = 0; n <= 16; ++n)
        for (int b = 0; b < n; ++b) word[n][b / 8] |= std::uint64_t{0xFF} << (8 * (b % 8));
    }
  };
  static constexpr KeepMasks kKeep{};

  ShingleKey key(std::size_t start, std::size_t end) const {
    const std::size_t length = end - start;  // 1 to 16
    ShingleKey key;
    if (start + 16 <= s_.size()) {
      key = {load_little_endian<std::uint64_t>(s_.data() + start),
             load_little_endian<std::uint64_t>(s_.data() + start + 8)};
    } else {  // near the end of the stream: no reading past it
      char bytes[16] = {};
      std::memcpy(bytes, s_.data() + start, s_.size() - start);
      key = {load_little_endian<std::uint64_t>(bytes), load_little_endian<std::uint64_t>(bytes + 8)};
    }
    key.lo &= kKeep.word[length][0];
    key.hi &= kKeep.word[length][1];
    return key;
  }

  // Bit i set when byte base + i starts a code point. Past the end of the
  // stream every byte counts as a start, so the end itself is one: it
  // closes the last shingle.
  std::uint64_t lead_bits(std::size_t base) const {
    const char* p = s_.data() + base;
    char tail[64];
    if (base + 64 > s_.size()) {
      std::memset(tail, 0, sizeof tail);
      if (base < s_.size()) std::memcpy(tail, p, s_.size() - base);
      p = tail;
    }
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) {
      const auto w = load_little_endian<std::uint64_t>(p + 8 * i);
      // A continuation byte is 10xxxxxx: its top bit set, the next clear.
      const std::uint64_t starts = ~(w & ~(w << 1)) & kHigh;
      // Gathers the eight top bits, byte j to bit j.
      const std::uint64_t packed = ((starts >> 7) * 0x0102040810204080ULL) >> 56;
      bits |= packed << (8 * i);
    }
    return bits;
  }


  std::string_view s_;
  const Table& table_;
  std::size_t base_ = 0;
  std::uint64_t bits_ = 0;
  std::size_t starts_[kRun + kShingle];  // code point starts of a run's keys, and four more
};

// A stream of at most four code points is its own single shingle, of weight
// 1: every counter is +1 or -1, so the fingerprint is the hash itself.
Fingerprint256 single_shingle_fingerprint(std::string_view stream) {
  if (stream.empty()) return Fingerprint256{};
  return feature_hash(stream);
}

// The SimHash counters of a whole stream, from its distinct shingles and
// their counts, kept bit-sliced: plane p holds bit p of all 256 counters of
// set votes at once (one vector), so that adding a hash is a few vector
// operations rather than 256 counter updates, and the fingerprint is read
// off the planes by one comparison rather than counter by counter.
//
// A hash of count w adds itself at every plane k where w has a binary
// digit. Most counts are small, so for the low digits the hashes are
// gathered sixteen at a time and summed by a tree of carry-save adders into
// running sums of weight 1, 2, 4 and 8 (in units of 2^k); only the sixteens
// carry into the planes. Higher digits, rare, are added into the planes
// directly.
//
// A counter never exceeds the total count, the number of positions, so no
// carry leaves the top plane.
class CountedVotes {
 public:
  using HashBits = simhash_detail::HashBits;

  explicit CountedVotes(std::uint64_t positions) : positions_(positions) {}

  // Inlined into each tally kernel below, so that the planes' vector
  // arithmetic is compiled for that kernel's vector unit.
  __attribute__((always_inline)) void add(const FeatureHash& hash, std::uint64_t count) {
    const HashBits bits = simhash_detail::load_bits(hash);
    std::uint64_t digits = count;
    for (; digits != 0 && std::countr_zero(digits) < kGathered; digits &= digits - 1) {
      const int k = std::countr_zero(digits);
      group_[k][filled_[k]] = bits;
      if (++filled_[k] == kGroup) reduce(k);
    }
    for (; digits != 0; digits &= digits - 1) add_at(bits, std::countr_zero(digits));
  }

  Fingerprint256 finish() {
    for (int k = 0; k < kGathered; ++k) {
      if (filled_[k] == 0) continue;
      for (std::size_t i = filled_[k]; i < kGroup; ++i) group_[k][i] = HashBits{};
      reduce(k);
    }
    for (int k = 0; k < kGathered; ++k) {
      for (int w = 0; w < 4; ++w) add_at(sums_[k][w], k + w);
    }
    // Bit i is set when 2 * set_i > positions, that is set_i > positions / 2
    // rounded down: compared plane by plane from the top.
    const std::uint64_t half = positions_ / 2;
    HashBits greater{}, equal = ~HashBits{};
    for (int p = kPlanes - 1; p >= 0; --p) {
      if ((half >> p) & 1) {
        equal &= planes_[p];
      } else {
        greater |= equal & planes_[p];
        equal &= ~planes_[p];
      }
    }
    // Bit t of byte b of the planes counts bit t of byte b of the hashes,
    // which is the fingerprint's bit at the same place.
    Fingerprint256 out;
    std::memcpy(out.data(), &greater, out.size());
    return out;
  }

 private:
  static constexpr int kPlanes = 64;
  static constexpr int kGathered = 8;  // digits of weight 1 to 128
  static constexpr std::size_t kGroup = 16;

  __attribute__((always_inline)) static bool none(HashBits x) { return (x[0] | x[1] | x[2] | x[3]) == 0; }

  // Adds the bits of `x` at plane p, carrying upwards.
  __attribute__((always_inline)) void add_at(HashBits x, int p) {
    for (; p < kPlanes && !none(x); ++p) {
      const HashBits carry = planes_[p] & x;
      planes_[p] ^= x;
      x = carry;
    }
  }

  // Sums the sixteen gathered hashes of digit k into its running sums.
  __attribute__((always_inline)) void reduce(int k) {
    const HashBits* g = group_[k];
    HashBits& ones = sums_[k][0];
    HashBits& twos = sums_[k][1];
    HashBits& fours = sums_[k][2];
    HashBits& eights = sums_[k][3];
    HashBits twos_a, twos_b, fours_a, fours_b, eights_a, eights_b, sixteens;
    VESSOLIN_CSA(twos_a, ones, ones, g[0], g[1]);
    VESSOLIN_CSA(twos_b, ones, ones, g[2], g[3]);
    VESSOLIN_CSA(fours_a, twos, twos, twos_a, twos_b);
    VESSOLIN_CSA(twos_a, ones, ones, g[4], g[5]);
    VESSOLIN_CSA(twos_b, ones, ones, g[6], g[7]);
    VESSOLIN_CSA(fours_b, twos, twos, twos_a, twos_b);
    VESSOLIN_CSA(eights_a, fours, fours, fours_a, fours_b);
    VESSOLIN_CSA(twos_a, ones, ones, g[8], g[9]);
    VESSOLIN_CSA(twos_b, ones, ones, g[10], g[11]);
    VESSOLIN_CSA(fours_a, twos, twos, twos_a, twos_b);
    VESSOLIN_CSA(twos_a, ones, ones, g[12], g[13]);
    VESSOLIN_CSA(twos_b, ones, ones, g[14], g[15]);
    VESSOLIN_CSA(fours_b, twos, twos, twos_a, twos_b);
    VESSOLIN_CSA(eights_b, fours, fours, fours_a, fours_b);
    VESSOLIN_CSA(sixteens, eights, eights, eights_a, eights_b);
    filled_[k] = 0;
    add_at(sixteens, k + 4);
  }

  std::uint64_t positions_;
  HashBits planes_[kPlanes]{};
  HashBits sums_[kGathered][4]{};  // weight 1, 2, 4, 8 in units of 2^k
  HashBits group_[kGathered][kGroup];
  std::size_t filled_[kGathered]{};
};

// Adds hashes[i] with count counts[i] to `votes`, for each i below n.
using TallyKernel = void (*)(const FeatureHash* hashes, const std::uint64_t* counts, std::size_t n,
                             CountedVotes& votes);

void tally_portable(const FeatureHash* hashes, const std::uint64_t* counts, std::size_t n, CountedVotes& votes) {
  for (std::size_t i = 0; i < n; ++i) votes.add(hashes[i], counts[i]);
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void tally_avx2(const FeatureHash* hashes, const std::uint64_t* counts,
                                                 std::size_t n, CountedVotes& votes) {
  for (std::size_t i = 0; i < n; ++i) votes.add(hashes[i], counts[i]);
}
#endif

constexpr cpu::Kernel<TallyKernel> kTallyKernels[] = {
#if defined(__x86_64__)
    {"avx2", tally_avx2, cpu::Isa::Avx2},
#endif
    {"portable", tally_portable, cpu::Isa::Baseline},
};

// The shingles first met in the current block, waiting to be hashed
// together when the block ends.
class NewShingles {
 public:
  void add(ShingleKey key) { messages_[count_++] = key_message(key); }
  std::size_t size() const { return count_; }
  // Appends their hashes to `hashes`, in the order they were added.
  void hash_into(std::vector<FeatureHash>& hashes) {
    const std::size_t first = hashes.size();
    hashes.resize(first + count_);
    crypto::blake2b512_head_batch(std::span(messages_, count_), std::span(hashes).subspan(first));
    count_ = 0;
  }

 private:
  // A block's worth, and as many again for the whole stream, which lets
  // them gather over blocks until the kernel can take them in full steps.
  crypto::ShortMessage messages_[2 * kWindowStep];
  std::size_t count_ = 0;
};

// The table numbers the distinct shingles by first occurrence; the new
// shingles are hashed as soon as a block's worth has gathered, so that the
// vector work of hashing alternates with the table's probes rather than
// waiting for all of them, and their counts are summed at the end.
template <class Value>
Fingerprint256 whole_fingerprint(std::string_view stream, std::uint64_t positions, TallyKernel tally) {
  ShingleTable<Value> table(positions);
  std::vector<FeatureHash> hashes;  // by order of first occurrence
  std::vector<std::uint64_t> counts;
  // Room for as many distinct shingles as natural text has (see the table).
  hashes.reserve(positions / 3 + kWindowStep);
  counts.reserve(positions / 3 + kWindowStep);
  NewShingles fresh;
  ShingleBlocks cut(stream, table);
  static_assert(cut.kBlock == kWindowStep);
  Value distinct = 0;
  for (std::uint64_t p = 0; p < positions; p += cut.kBlock) {
    const std::size_t count = std::min<std::uint64_t>(cut.kBlock, positions - p);
    cut.next(count);
    counts.resize(distinct + count);  // room for every key of the block to be new
    std::uint64_t* const c = counts.data();
    table.visit(cut.keys, cut.hashes, count, [&](auto& slot, bool inserted, std::size_t i) {
      if (inserted) {
        slot.value = distinct++;
        fresh.add(cut.keys[i]);
      }
      ++c[slot.value];
    });
    if (fresh.size() >= kWindowStep) fresh.hash_into(hashes);
  }
  fresh.hash_into(hashes);
  CountedVotes votes(positions);
  tally(hashes.data(), counts.data(), hashes.size(), votes);
  return votes.finish();
}

// Per-bit vote counts of up to 256 shingles of weight 1, in 16-bit lanes:
// adding a hash is 32 vector additions of a precomputed byte expansion.
using simhash_detail::Lanes;

struct BlockVotes {
  Lanes set[32];  // set[b][j]: shingles whose hash has bit 8b + j set
  void clear() { std::memset(set, 0, sizeof set); }
};

// Adds the bits of `count` hashes (fewer than 256) to `votes`.
using VoteKernel = void (*)(const FeatureHash* const* hashes, std::size_t count, BlockVotes& votes);


// The bit-sliced count, inlined into each kernel, so that each is compiled
// for its own vector unit from the same source.
void votes_portable(const FeatureHash* const* hashes, std::size_t count, BlockVotes& votes) {
  simhash_detail::count_bits(hashes, count, votes.set);
}

#if defined(__x86_64__)
// Each 64-bit quarter of a hash is a mask that adds one to the byte lanes of
// its set bits: four masked additions per hash. Fewer than 256 hashes cannot
// overflow a byte lane.
__attribute__((target("avx512f,avx512bw"))) void votes_avx512(const FeatureHash* const* hashes, std::size_t count,
                                                                BlockVotes& votes) {
  __m512i lanes[4] = {_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512()};
  const __m512i one = _mm512_set1_epi8(1);
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint8_t* h = hashes[k]->data();
    for (int q = 0; q < 4; ++q) {
      std::uint64_t bits;
      std::memcpy(&bits, h + 8 * q, 8);
      lanes[q] = _mm512_mask_add_epi8(lanes[q], bits, lanes[q], one);
    }
  }
  // Lane 8b + t counts bit t of byte b, least significant first; the vote
  // lanes run from the most significant bit.
  alignas(64) std::uint8_t counts[256];
  for (int q = 0; q < 4; ++q) _mm512_store_si512(counts + 64 * q, lanes[q]);
  for (int b = 0; b < 32; ++b) {
    Lanes add;
    for (int j = 0; j < 8; ++j) add[j] = counts[8 * b + 7 - j];
    votes.set[b] += add;
  }
}

__attribute__((target("avx2"))) void votes_avx2(const FeatureHash* const* hashes, std::size_t count,
                                                 BlockVotes& votes) {
  simhash_detail::count_bits(hashes, count, votes.set);
}
#endif

constexpr cpu::Kernel<VoteKernel> kVoteKernels[] = {
#if defined(__x86_64__)
    {"avx512", votes_avx512, cpu::Isa::Avx512bw},
    {"avx2", votes_avx2, cpu::Isa::Avx2},
#endif
    {"portable", votes_portable, cpu::Isa::Baseline},
};

// The fingerprint from the votes of `count` shingles given in parts (each
// counts some of the shingle starts): bit i is set when its votes are more
// than half of them, 2 * set - count > 0, that is set > count / 2 rounded
// down. A window holds at most 509 shingles, so the sums fit their lanes.
Fingerprint256 votes_fingerprint(std::initializer_list<const BlockVotes*> parts, std::uint64_t count) {
  using VoteMask = std::int16_t __attribute__((vector_size(16)));
  const Lanes half = Lanes{} + static_cast<std::uint16_t>(count / 2);
  const Lanes place = {0x80, 0x40, 0x20, 0x10, 0x08, 0x04, 0x02, 0x01};  // most significant bit first
  Fingerprint256 out{};
  for (int b = 0; b < 32; ++b) {
    Lanes set{};
    for (const BlockVotes* part : parts) set += part->set[b];
    const Lanes bits = reinterpret_cast<Lanes>(VoteMask(set > half)) & place;
    out[b] = static_cast<std::uint8_t>(bits[0] | bits[1] | bits[2] | bits[3] | bits[4] | bits[5] | bits[6] | bits[7]);
  }
  return out;
}

// Whole stream and windows for a stream of n > 512 code points.
//
// A SimHash counter is a sum over shingle occurrences, so the counters of a
// window are the sum of those of the shingles that start inside it. The
// shingle starts are cut into blocks of 256 (one window step): window w
// holds all of block w and the first 253 starts of block w + 1, or all that
// remain of it for the last window. Each block is summed once, with each
// distinct shingle still hashed only once for the whole stream, and each
// window is then the sum of two block sums.
//
// A block is walked first, numbering its shingles by first occurrence in
// the stream; the shingles new in it are then hashed together, and only
// then are its votes counted.
template <class Value>
SurfaceFingerprint windowed_fingerprint(std::string_view stream, std::uint64_t n, VoteKernel count_votes) {
  const std::uint64_t positions = n - (kShingle - 1);
  const std::uint64_t window_count = (n - kWindowLength + kWindowStep - 1) / kWindowStep + 1;

  ShingleTable<Value> table(positions);
  std::vector<FeatureHash> hashes;  // by order of first occurrence
  // Room for as many distinct shingles as natural text has (see the
  // table), so that the hashes are seldom copied to a larger vector.
  hashes.reserve(positions / 3 + kWindowStep);
  NewShingles fresh;
  Value shingles[kWindowStep];  // the current block's shingles, by number

  SurfaceFingerprint result{};
  result.windows.reserve(window_count);
  // The whole stream's votes: summed in 16-bit lanes, a block (at most 256
  // votes a lane) at a time, and moved to 64-bit sums before 255 blocks
  // could overflow a lane.
  std::array<std::uint64_t, 256> whole_set{};
  Lanes whole_lanes[32] = {};
  std::uint64_t blocks_in_lanes = 0;
  const auto flush_whole = [&] {
    for (int b = 0; b < 32; ++b) {
      for (int j = 0; j < 8; ++j) whole_set[8 * b + j] += whole_lanes[b][j];
      whole_lanes[b] = Lanes{};
    }
    blocks_in_lanes = 0;
  };

  // A block's votes in two parts, its head (the starts that the window
  // before it takes) and the rest; the previous block's are kept beside the
  // current one's, the two swapping roles from block to block.
  BlockVotes head[2], rest[2];
  std::uint64_t block = 0, in_block = 0;
  const auto finish_block = [&](bool last) {
    fresh.hash_into(hashes);
    const FeatureHash* block_hashes[kWindowStep];
    for (std::uint64_t k = 0; k < in_block; ++k) block_hashes[k] = &hashes[shingles[k]];
    const std::size_t now = block & 1, before = now ^ 1;
    // A short last block is all head.
    const std::uint64_t head_count = std::min(in_block, kHeadPositions);
    head[now].clear();
    count_votes(block_hashes, head_count, head[now]);
    rest[now].clear();
    count_votes(block_hashes + head_count, in_block - head_count, rest[now]);
    if (blocks_in_lanes == 255) flush_whole();
    for (int b = 0; b < 32; ++b) whole_lanes[b] += head[now].set[b] + rest[now].set[b];
    ++blocks_in_lanes;
    if (block >= 1 && block - 1 < window_count) {
      const std::uint64_t w = block - 1;
      const std::uint64_t length = std::min<std::uint64_t>(n - w * kWindowStep, kWindowLength);
      result.windows.push_back(
          {votes_fingerprint({&head[before], &rest[before], &head[now]}, length - (kShingle - 1)), w * kWindowStep,
           length});
    }
    if (last && block < window_count) {
      const std::uint64_t length = n - block * kWindowStep;
      result.windows.push_back(
          {votes_fingerprint({&head[now], &rest[now]}, length - (kShingle - 1)), block * kWindowStep, length});
    }
    ++block;
    in_block = 0;
  };

  ShingleBlocks cut(stream, table);
  static_assert(cut.kBlock == kWindowStep);
  Value distinct = 0;
  for (std::uint64_t p = 0; p < positions; p += kWindowStep) {
    const std::size_t count = std::min<std::uint64_t>(kWindowStep, positions - p);
    cut.next(count);
    table.visit(cut.keys, cut.hashes, count, [&](auto& slot, bool inserted, std::size_t i) {
      if (inserted) {
        slot.value = distinct++;
        fresh.add(cut.keys[i]);
      }
      shingles[i] = slot.value;
    });
    in_block = count;
    finish_block(p + count == positions);
  }

  flush_whole();
  for (int i = 0; i < 256; ++i) {
    if (static_cast<std::int64_t>(2 * whole_set[i] - positions) > 0)
      result.whole[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
  }
  return result;
}

bool needs_wide_values(std::uint64_t positions) { return positions >= std::numeric_limits<std::uint32_t>::max(); }

}  // namespace

namespace {

Fingerprint256 sequence_fingerprint_with(std::string_view sequence, TallyKernel tally) {
  const std::uint64_t n = utf8::count_code_points(sequence);
  if (n <= kShingle) return single_shingle_fingerprint(sequence);
  const std::uint64_t positions = n - (kShingle - 1);
  return needs_wide_values(positions) ? whole_fingerprint<std::uint64_t>(sequence, positions, tally)
                                      : whole_fingerprint<std::uint32_t>(sequence, positions, tally);
}

}  // namespace

Fingerprint256 sequence_fingerprint(std::string_view sequence) {
  static const TallyKernel kFastest = cpu::fastest(kTallyKernels);
  return sequence_fingerprint_with(sequence, kFastest);
}

std::vector<std::string_view> sequence_kernels() { return cpu::usable_names(kTallyKernels); }

std::optional<Fingerprint256> sequence_fingerprint_using(std::string_view sequence, std::string_view kernel) {
  const TallyKernel tally = cpu::usable(kTallyKernels, kernel);
  if (tally == nullptr) return std::nullopt;
  return sequence_fingerprint_with(sequence, tally);
}

Fingerprint256 surface_fingerprint_whole(std::string_view text) { return sequence_fingerprint(canonical_stream(text)); }

namespace {

SurfaceFingerprint surface_fingerprint_with(std::string_view text, VoteKernel count_votes) {
  const std::string stream = canonical_stream(text);
  const std::uint64_t n = utf8::count_code_points(stream);
  if (n <= kWindowLength) return {sequence_fingerprint(stream), {}};
  return needs_wide_values(n) ? windowed_fingerprint<std::uint64_t>(stream, n, count_votes)
                              : windowed_fingerprint<std::uint32_t>(stream, n, count_votes);
}

}  // namespace

SurfaceFingerprint surface_fingerprint(std::string_view text) {
  static const VoteKernel kFastest = cpu::fastest(kVoteKernels);
  return surface_fingerprint_with(text, kFastest);
}

std::vector<std::string_view> surface_kernels() { return cpu::usable_names(kVoteKernels); }

std::optional<SurfaceFingerprint> surface_fingerprint_using(std::string_view text, std::string_view kernel) {
  const VoteKernel count_votes = cpu::usable(kVoteKernels, kernel);
  if (count_votes == nullptr) return std::nullopt;
  return surface_fingerprint_with(text, count_votes);
}

}  // namespace vessolin
