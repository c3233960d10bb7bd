#include "crypto/blake2b_batch.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "cpu/kernels.hpp"
#include "error/error.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vessolin::crypto {

namespace {

constexpr std::uint64_t kIv[8] = {
    0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL, 0xa54ff53a5f1d36f1ULL,
    0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL, 0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL,
};

// The chaining value before the first block: the IV with the parameter block
// folded in. Only its first word differs: digest length 64, key length 0,
// fanout 1, depth 1; everything else (leaf length, node offset and depth,
// inner length, salt, personalisation) is zero.
constexpr std::uint64_t kParameterWord0 = 0x01010040;
constexpr std::uint64_t kH[8] = {
    kIv[0] ^ kParameterWord0, kIv[1], kIv[2], kIv[3], kIv[4], kIv[5], kIv[6], kIv[7],
};

constexpr int kRounds = 12;

// The message schedule; rounds 10 and 11 reuse rows 0 and 1.
constexpr std::uint8_t kSigma[kRounds][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
    {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
    {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
    {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
    {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
};

constexpr bool sigma_rows_are_permutations() {
  for (const auto& row : kSigma) {
    bool seen[16] = {};
    for (std::uint8_t i : row) {
      if (i >= 16 || seen[i]) return false;
      seen[i] = true;
    }
  }
  return true;
}
static_assert(sigma_rows_are_permutations());

// The state words that each of the eight G steps of a round mixes: four
// columns, then four diagonals. G step i takes message words sigma[2i] and
// sigma[2i + 1].
constexpr std::uint8_t kMix[8][4] = {
    {0, 4, 8, 12}, {1, 5, 9, 13}, {2, 6, 10, 14}, {3, 7, 11, 15},
    {0, 5, 10, 15}, {1, 6, 11, 12}, {2, 7, 8, 13}, {3, 4, 9, 14},
};

// A message of at most 16 bytes: every shingle and most structural features.
constexpr std::size_t kShortBytes = 16;
constexpr std::size_t kShortWords = kShortBytes / 8;

// Whether round 0's G steps on columns 1 to 3 can be skipped for a message
// whose words from kWords on are zero: those steps read message words 2 to
// 7 and state words that start as constants (not the byte counter, which is
// in column 0), so their results are constants, in kStart.
constexpr bool constant_columns(std::size_t words, int round, int step) {
  return words <= kShortWords && round == 0 && step >= 1 && step <= 3;
}

constexpr std::uint64_t rotr64(std::uint64_t x, int n) { return (x >> n) | (x << (64 - n)); }

// The state at the start of the final block's compression, byte counter and
// message left out (zero), with round 0's column steps 1 to 3 done.
struct StartState {
  std::uint64_t v[16]{};
  constexpr StartState() {
    for (int i = 0; i < 8; ++i) v[i] = kH[i];
    for (int i = 0; i < 8; ++i) v[8 + i] = kIv[i];
    v[14] = ~kIv[6];
    for (int i = 1; i <= 3; ++i) {
      std::uint64_t &a = v[kMix[i][0]], &b = v[kMix[i][1]], &c = v[kMix[i][2]], &d = v[kMix[i][3]];
      a = a + b;
      d = rotr64(d ^ a, 32);
      c = c + d;
      b = rotr64(b ^ c, 24);
      a = a + b;
      d = rotr64(d ^ a, 16);
      c = c + d;
      b = rotr64(b ^ c, 63);
    }
  }
};
constexpr StartState kStart;

// Every kernel runs the same twelve rounds over its own word type with its
// own G step; the loops are unrolled in full so that every state and message
// index is a constant and the state stays in registers. A short message's
// state starts from kStart, past the steps that constant_columns() skips.
#define VESSOLIN_BLAKE2B_ROUNDS(g, v, m, words)                                                            \
  _Pragma("GCC unroll 12") for (int r = 0; r < kRounds; ++r) {                                            \
    _Pragma("GCC unroll 8") for (int i = 0; i < 8; ++i) {                                                 \
      if (constant_columns(words, r, i)) continue;                                                        \
      g(v[kMix[i][0]], v[kMix[i][1]], v[kMix[i][2]], v[kMix[i][3]], m[kSigma[r][2 * i]],                  \
        m[kSigma[r][2 * i + 1]]);                                                                          \
    }                                                                                                     \
  }

// The same rounds for two sets of lanes at once (the vector lanes and one
// more message in scalar words), their G steps side by side so that the
// processor can run the two independent streams of work together.
#define VESSOLIN_BLAKE2B_ROUNDS_SIDE_BY_SIDE(g, v, m, s, n, words)                                         \
  _Pragma("GCC unroll 12") for (int r = 0; r < kRounds; ++r) {                                            \
    _Pragma("GCC unroll 8") for (int i = 0; i < 8; ++i) {                                                 \
      if (constant_columns(words, r, i)) continue;                                                        \
      g(v[kMix[i][0]], v[kMix[i][1]], v[kMix[i][2]], v[kMix[i][3]], m[kSigma[r][2 * i]],                  \
        m[kSigma[r][2 * i + 1]], s[kMix[i][0]], s[kMix[i][1]], s[kMix[i][2]], s[kMix[i][3]],               \
        n[kSigma[r][2 * i]], n[kSigma[r][2 * i + 1]]);                                                     \
    }                                                                                                     \
  }

// The state word i at the start of a compression of a message with `words`
// nonzero words, the byte counter left out.
constexpr std::uint64_t start_word(std::size_t words, int i) {
  if (words <= kShortWords) return kStart.v[i];
  if (i < 8) return kH[i];
  return i == 14 ? ~kIv[6] : kIv[i - 8];
}

template <class Word>
inline Word load_little_endian(const std::uint8_t* p) {
  Word x;
  std::memcpy(&x, p, sizeof x);
  if constexpr (std::endian::native == std::endian::big) x = std::byteswap(x);
  return x;
}

// Word i of the block that holds `message` (at most one block), zero-padded
// as the final block is. Reads only the message's own bytes, without a
// variable-length copy: a partial word is put together from two loads that
// may overlap.
inline std::uint64_t block_word(ByteView message, std::size_t i) {
  const std::size_t begin = 8 * i;
  const std::size_t size = message.size();
  if (begin + 8 <= size) return load_little_endian<std::uint64_t>(message.data() + begin);
  if (begin >= size) return 0;
  const std::uint8_t* p = message.data() + begin;
  const std::size_t r = size - begin;  // 1 to 7 bytes
  if (r >= 4) {
    return load_little_endian<std::uint32_t>(p) |
           std::uint64_t{load_little_endian<std::uint32_t>(p + r - 4)} << (8 * (r - 4));
  }
  return p[0] | std::uint64_t{p[r / 2]} << (8 * (r / 2)) | std::uint64_t{p[r - 1]} << (8 * (r - 1));
}

// The first 32 bytes of the digest are the first four chaining words, little-endian.
inline void store_head(const std::uint64_t words[4], Digest32& out) {
  for (int i = 0; i < 4; ++i) {
    std::uint64_t w = words[i];
    if constexpr (std::endian::native == std::endian::big) w = std::byteswap(w);
    std::memcpy(out.data() + 8 * i, &w, 8);
  }
}

// One compression of a message of at most one block, as the final block,
// with the byte counter t equal to its length (the empty message is one
// all-zero block with t = 0), into the first four chaining words. Message
// words from kWords on are zero: compiled with that known, a short
// message's rounds lose the additions of the fourteen zero words.
template <std::size_t kWords>
void compress_scalar(const std::uint64_t* words, std::uint64_t length, std::uint64_t h[4]) {
  const auto g = [](std::uint64_t& a, std::uint64_t& b, std::uint64_t& c, std::uint64_t& d, std::uint64_t x,
                    std::uint64_t y) {
    a = a + b + x;
    d = std::rotr(d ^ a, 32);
    c = c + d;
    b = std::rotr(b ^ c, 24);
    a = a + b + y;
    d = std::rotr(d ^ a, 16);
    c = c + d;
    b = std::rotr(b ^ c, 63);
  };
  std::uint64_t m[16];
  for (std::size_t i = 0; i < 16; ++i) m[i] = i < kWords ? words[i] : 0;
  std::uint64_t v[16];
  for (int i = 0; i < 16; ++i) v[i] = start_word(kWords, i);
  v[12] ^= length;
  VESSOLIN_BLAKE2B_ROUNDS(g, v, m, kWords)
  for (int i = 0; i < 4; ++i) h[i] = kH[i] ^ v[i] ^ v[i + 8];
}

Digest32 head_of_block(ByteView message) {
  std::uint64_t m[16];
  std::uint64_t h[4];
  if (message.size() <= kShortBytes) {
    for (std::size_t i = 0; i < kShortWords; ++i) m[i] = block_word(message, i);
    compress_scalar<kShortWords>(m, message.size(), h);
  } else {
    for (std::size_t i = 0; i < 16; ++i) m[i] = block_word(message, i);
    compress_scalar<16>(m, message.size(), h);
  }
  Digest32 out;
  store_head(h, out);
  return out;
}

// Hashes `count` messages of at most one block each into `out`.
using HeadKernel = void (*)(const ByteView* messages, std::size_t count, Digest32* out);

void heads_portable(const ByteView* messages, std::size_t count, Digest32* out) {
  for (std::size_t i = 0; i < count; ++i) out[i] = head_of_block(messages[i]);
}

// The same for messages of at most 16 bytes given as words.
using ShortKernel = void (*)(const ShortMessage* messages, std::size_t count, Digest32* out);

void shorts_portable(const ShortMessage* messages, std::size_t count, Digest32* out) {
  for (std::size_t i = 0; i < count; ++i) {
    std::uint64_t h[4];
    compress_scalar<kShortWords>(messages[i].word, messages[i].length, h);
    store_head(h, out[i]);
  }
}

#if defined(__x86_64__)

// The messages of one vector step, transposed so that a vector load takes
// the same word of every lane's message. Lanes past the last message hold
// the empty message; their results are dropped.
template <std::size_t Lanes>
class LaneBlocks {
 public:
  alignas(64) std::uint64_t word[16][Lanes];
  alignas(64) std::uint64_t length[Lanes];
  alignas(64) std::uint64_t head[4][Lanes];  // the kernel's results

  // Returns how many leading words hold message bytes in some lane: every
  // word from there on is zero in all lanes.
  std::size_t load(const ByteView* messages, std::size_t count) {
    std::size_t longest = 0;
    for (std::size_t lane = 0; lane < count; ++lane) longest = std::max(longest, messages[lane].size());
    const std::size_t words = (longest + 7) / 8;
    for (std::size_t lane = 0; lane < Lanes; ++lane) {
      const ByteView message = lane < count ? messages[lane] : ByteView();
      for (std::size_t i = 0; i < words; ++i) word[i][lane] = block_word(message, i);
      length[lane] = message.size();
    }
    // Short messages, the usual case, leave most rows zero: only those that
    // the previous step filled need clearing.
    for (std::size_t i = words; i < filled_; ++i) std::memset(word[i], 0, sizeof word[i]);
    filled_ = words;
    return words;
  }

  // The same for messages of at most two words.
  void load(const ShortMessage* messages, std::size_t count) {
    for (std::size_t lane = 0; lane < Lanes; ++lane) {
      const ShortMessage message = lane < count ? messages[lane] : ShortMessage{};
      word[0][lane] = message.word[0];
      word[1][lane] = message.word[1];
      length[lane] = message.length;
    }
    filled_ = std::max(filled_, kShortWords);
  }

  void store(Digest32* out, std::size_t count) const {
    for (std::size_t lane = 0; lane < count; ++lane) {
      const std::uint64_t h[4] = {head[0][lane], head[1][lane], head[2][lane], head[3][lane]};
      store_head(h, out[lane]);
    }
  }

 private:
  std::size_t filled_ = 16;  // the rows from this one on are all zero
};

// GCC 12 warns about the deliberately undefined lanes inside its own
// broadcast intrinsics.
//
// The helper lambdas inside the kernels capture by default, although they
// capture nothing, so that they have no conversion to a plain function
// pointer: that would be compiled without the kernel's instruction set.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// One compression of the messages in `blocks`, whose words from kWords on
// are all zero.
template <std::size_t kWords>
__attribute__((target("avx512f"))) void compress_avx512(LaneBlocks<8>& blocks) {
  const auto g = [&](__m512i& a, __m512i& b, __m512i& c, __m512i& d, __m512i x, __m512i y)
                     __attribute__((target("avx512f"), always_inline)) {
                       a = _mm512_add_epi64(_mm512_add_epi64(a, b), x);
                       d = _mm512_ror_epi64(_mm512_xor_si512(d, a), 32);
                       c = _mm512_add_epi64(c, d);
                       b = _mm512_ror_epi64(_mm512_xor_si512(b, c), 24);
                       a = _mm512_add_epi64(_mm512_add_epi64(a, b), y);
                       d = _mm512_ror_epi64(_mm512_xor_si512(d, a), 16);
                       c = _mm512_add_epi64(c, d);
                       b = _mm512_ror_epi64(_mm512_xor_si512(b, c), 63);
                     };
  const auto splat = [&](std::uint64_t x) __attribute__((target("avx512f"), always_inline)) {
    return _mm512_set1_epi64(static_cast<long long>(x));
  };
  __m512i m[16];
  for (std::size_t i = 0; i < 16; ++i) {
    m[i] = i < kWords ? _mm512_load_si512(blocks.word[i]) : _mm512_setzero_si512();
  }
  __m512i v[16];
  for (int i = 0; i < 16; ++i) v[i] = splat(start_word(kWords, i));
  v[12] = _mm512_xor_si512(v[12], _mm512_load_si512(blocks.length));
  VESSOLIN_BLAKE2B_ROUNDS(g, v, m, kWords)
  for (int i = 0; i < 4; ++i)
    _mm512_store_si512(blocks.head[i], _mm512_xor_si512(splat(kH[i]), _mm512_xor_si512(v[i], v[i + 8])));
}

__attribute__((target("avx512f"))) void heads_avx512(const ByteView* messages, std::size_t count,
                                                     Digest32* out) {
  constexpr std::size_t kLanes = 8;
  LaneBlocks<kLanes> blocks;
  for (std::size_t first = 0; first < count; first += kLanes) {
    const std::size_t lanes = std::min(kLanes, count - first);
    if (blocks.load(messages + first, lanes) <= kShortWords) {
      compress_avx512<kShortWords>(blocks);
    } else {
      compress_avx512<16>(blocks);
    }
    blocks.store(out + first, lanes);
  }
}

__attribute__((target("avx512f"))) void shorts_avx512(const ShortMessage* messages, std::size_t count,
                                                      Digest32* out) {
  constexpr std::size_t kLanes = 8;
  LaneBlocks<kLanes> blocks;
  for (std::size_t first = 0; first < count; first += kLanes) {
    const std::size_t lanes = std::min(kLanes, count - first);
    blocks.load(messages + first, lanes);
    compress_avx512<kShortWords>(blocks);
    blocks.store(out + first, lanes);
  }
}

template <std::size_t kWords>
__attribute__((target("avx2"))) void compress_avx2(LaneBlocks<4>& blocks) {
  // Rotations by whole bytes are byte shuffles; by 63, a shift and an add.
  const __m256i rot24 = _mm256_setr_epi8(3, 4, 5, 6, 7, 0, 1, 2, 11, 12, 13, 14, 15, 8, 9, 10,  //
                                         3, 4, 5, 6, 7, 0, 1, 2, 11, 12, 13, 14, 15, 8, 9, 10);
  const __m256i rot16 = _mm256_setr_epi8(2, 3, 4, 5, 6, 7, 0, 1, 10, 11, 12, 13, 14, 15, 8, 9,  //
                                         2, 3, 4, 5, 6, 7, 0, 1, 10, 11, 12, 13, 14, 15, 8, 9);
  const auto g = [&](__m256i& a, __m256i& b, __m256i& c, __m256i& d, __m256i x, __m256i y)
                     __attribute__((target("avx2"), always_inline)) {
                       a = _mm256_add_epi64(_mm256_add_epi64(a, b), x);
                       d = _mm256_shuffle_epi32(_mm256_xor_si256(d, a), _MM_SHUFFLE(2, 3, 0, 1));
                       c = _mm256_add_epi64(c, d);
                       b = _mm256_shuffle_epi8(_mm256_xor_si256(b, c), rot24);
                       a = _mm256_add_epi64(_mm256_add_epi64(a, b), y);
                       d = _mm256_shuffle_epi8(_mm256_xor_si256(d, a), rot16);
                       c = _mm256_add_epi64(c, d);
                       b = _mm256_xor_si256(b, c);
                       b = _mm256_or_si256(_mm256_srli_epi64(b, 63), _mm256_add_epi64(b, b));
                     };
  const auto splat = [&](std::uint64_t x) __attribute__((target("avx2"), always_inline)) {
    return _mm256_set1_epi64x(static_cast<long long>(x));
  };
  const auto load = [&](const std::uint64_t* p) __attribute__((target("avx2"), always_inline)) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(p));
  };
  __m256i m[16];
  for (std::size_t i = 0; i < 16; ++i) {
    m[i] = i < kWords ? load(blocks.word[i]) : _mm256_setzero_si256();
  }
  __m256i v[16];
  for (int i = 0; i < 16; ++i) v[i] = splat(start_word(kWords, i));
  v[12] = _mm256_xor_si256(v[12], load(blocks.length));
  VESSOLIN_BLAKE2B_ROUNDS(g, v, m, kWords)
  for (int i = 0; i < 4; ++i)
    _mm256_store_si256(reinterpret_cast<__m256i*>(blocks.head[i]),
                       _mm256_xor_si256(splat(kH[i]), _mm256_xor_si256(v[i], v[i + 8])));
}

// compress_avx2<kShortWords>() and, beside it, compress_scalar() of one more
// message. The vector lanes keep the vector units busy, but the processor
// has more integer units than vector ones, and those would stand idle: the
// fifth message's scalar G steps run on them in the same time, nearly free.
__attribute__((target("avx2"))) void compress_avx2_and_one(LaneBlocks<4>& blocks, const ShortMessage& extra,
                                                           std::uint64_t h[4]) {
  constexpr std::size_t kWords = kShortWords;
  const __m256i rot24 = _mm256_setr_epi8(3, 4, 5, 6, 7, 0, 1, 2, 11, 12, 13, 14, 15, 8, 9, 10,  //
                                         3, 4, 5, 6, 7, 0, 1, 2, 11, 12, 13, 14, 15, 8, 9, 10);
  const __m256i rot16 = _mm256_setr_epi8(2, 3, 4, 5, 6, 7, 0, 1, 10, 11, 12, 13, 14, 15, 8, 9,  //
                                         2, 3, 4, 5, 6, 7, 0, 1, 10, 11, 12, 13, 14, 15, 8, 9);
  const auto g = [&](__m256i& a, __m256i& b, __m256i& c, __m256i& d, __m256i x, __m256i y, std::uint64_t& sa,
                     std::uint64_t& sb, std::uint64_t& sc, std::uint64_t& sd, std::uint64_t sx, std::uint64_t sy)
                     __attribute__((target("avx2"), always_inline)) {
                       a = _mm256_add_epi64(_mm256_add_epi64(a, b), x);
                       sa = sa + sb + sx;
                       d = _mm256_shuffle_epi32(_mm256_xor_si256(d, a), _MM_SHUFFLE(2, 3, 0, 1));
                       sd = std::rotr(sd ^ sa, 32);
                       c = _mm256_add_epi64(c, d);
                       sc = sc + sd;
                       b = _mm256_shuffle_epi8(_mm256_xor_si256(b, c), rot24);
                       sb = std::rotr(sb ^ sc, 24);
                       a = _mm256_add_epi64(_mm256_add_epi64(a, b), y);
                       sa = sa + sb + sy;
                       d = _mm256_shuffle_epi8(_mm256_xor_si256(d, a), rot16);
                       sd = std::rotr(sd ^ sa, 16);
                       c = _mm256_add_epi64(c, d);
                       sc = sc + sd;
                       b = _mm256_xor_si256(b, c);
                       b = _mm256_or_si256(_mm256_srli_epi64(b, 63), _mm256_add_epi64(b, b));
                       sb = std::rotr(sb ^ sc, 63);
                     };
  const auto splat = [&](std::uint64_t x) __attribute__((target("avx2"), always_inline)) {
    return _mm256_set1_epi64x(static_cast<long long>(x));
  };
  const auto load = [&](const std::uint64_t* p) __attribute__((target("avx2"), always_inline)) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(p));
  };
  __m256i m[16];
  std::uint64_t n[16];
  for (std::size_t i = 0; i < 16; ++i) {
    m[i] = i < kWords ? load(blocks.word[i]) : _mm256_setzero_si256();
    n[i] = i < kWords ? extra.word[i] : 0;
  }
  __m256i v[16];
  std::uint64_t s[16];
  for (int i = 0; i < 16; ++i) {
    v[i] = splat(start_word(kWords, i));
    s[i] = start_word(kWords, i);
  }
  v[12] = _mm256_xor_si256(v[12], load(blocks.length));
  s[12] ^= extra.length;
  VESSOLIN_BLAKE2B_ROUNDS_SIDE_BY_SIDE(g, v, m, s, n, kWords)
  for (int i = 0; i < 4; ++i) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(blocks.head[i]),
                       _mm256_xor_si256(splat(kH[i]), _mm256_xor_si256(v[i], v[i + 8])));
    h[i] = kH[i] ^ s[i] ^ s[i + 8];
  }
}

__attribute__((target("avx2"))) void heads_avx2(const ByteView* messages, std::size_t count, Digest32* out) {
  constexpr std::size_t kLanes = 4;
  LaneBlocks<kLanes> blocks;
  for (std::size_t first = 0; first < count; first += kLanes) {
    const std::size_t lanes = std::min(kLanes, count - first);
    if (blocks.load(messages + first, lanes) <= kShortWords) {
      compress_avx2<kShortWords>(blocks);
    } else {
      compress_avx2<16>(blocks);
    }
    blocks.store(out + first, lanes);
  }
}

// Five messages a step, four in the vector lanes and one in scalar words;
// what is left at the end, four lanes at a time.
__attribute__((target("avx2"))) void shorts_avx2(const ShortMessage* messages, std::size_t count, Digest32* out) {
  constexpr std::size_t kLanes = 4;
  LaneBlocks<kLanes> blocks;
  std::size_t first = 0;
  for (; count - first >= kLanes + 1; first += kLanes + 1) {
    blocks.load(messages + first, kLanes);
    std::uint64_t h[4];
    compress_avx2_and_one(blocks, messages[first + kLanes], h);
    blocks.store(out + first, kLanes);
    store_head(h, out[first + kLanes]);
  }
  for (; first < count; first += kLanes) {
    const std::size_t lanes = std::min(kLanes, count - first);
    blocks.load(messages + first, lanes);
    compress_avx2<kShortWords>(blocks);
    blocks.store(out + first, lanes);
  }
}

#pragma GCC diagnostic pop

#endif  // __x86_64__

#undef VESSOLIN_BLAKE2B_ROUNDS
#undef VESSOLIN_BLAKE2B_ROUNDS_SIDE_BY_SIDE

// Fastest first.
const cpu::Kernel<HeadKernel> kKernels[] = {
#if defined(__x86_64__)
    {"avx512", heads_avx512, cpu::Isa::Avx512f},
    {"avx2", heads_avx2, cpu::Isa::Avx2},
#endif
    {"portable", heads_portable, cpu::Isa::Baseline},
};

// The same kernels, by the same names, for messages given as words.
const cpu::Kernel<ShortKernel> kShortKernels[] = {
#if defined(__x86_64__)
    {"avx512", shorts_avx512, cpu::Isa::Avx512f},
    {"avx2", shorts_avx2, cpu::Isa::Avx2},
#endif
    {"portable", shorts_portable, cpu::Isa::Baseline},
};

HeadKernel fastest_kernel() {
  static const HeadKernel kernel = cpu::fastest(kKernels);
  return kernel;
}

ShortKernel fastest_short_kernel() {
  static const ShortKernel kernel = cpu::fastest(kShortKernels);
  return kernel;
}

void shorts_with(ShortKernel kernel, std::span<const ShortMessage> messages, std::span<Digest32> out) {
  if (messages.size() != out.size()) throw InternalFault("BLAKE2b batch: as many outputs as messages");
  for (const ShortMessage& m : messages)
    if (m.length > kShortBytes) throw InternalFault("BLAKE2b batch: a short message of more than 16 bytes");
  kernel(messages.data(), messages.size(), out.data());
}

Digest32 head_of_long(ByteView message) {
  const Digest64 full = blake2b512(message);
  Digest32 out;
  std::copy_n(full.begin(), out.size(), out.begin());
  return out;
}

// Hands each run of short messages to the kernel whole, and each long
// message to libcrypto.
void heads_with(HeadKernel kernel, std::span<const ByteView> messages, std::span<Digest32> out) {
  if (messages.size() != out.size()) throw InternalFault("BLAKE2b batch: as many outputs as messages");
  const std::size_t n = messages.size();
  std::size_t i = 0;
  while (i < n) {
    std::size_t end = i;
    while (end < n && messages[end].size() <= kBlake2bBlockBytes) ++end;
    if (end > i) kernel(messages.data() + i, end - i, out.data() + i);
    if (end == n) break;
    out[end] = head_of_long(messages[end]);
    i = end + 1;
  }
}

}  // namespace

Digest32 blake2b512_head(ByteView message) {
  return message.size() <= kBlake2bBlockBytes ? head_of_block(message) : head_of_long(message);
}

void blake2b512_head_batch(std::span<const ByteView> messages, std::span<Digest32> out) {
  heads_with(fastest_kernel(), messages, out);
}

void blake2b512_head_batch(std::span<const ShortMessage> messages, std::span<Digest32> out) {
  shorts_with(fastest_short_kernel(), messages, out);
}

std::vector<std::string_view> blake2b_kernels() { return cpu::usable_names(kKernels); }

bool blake2b512_head_batch_using(std::string_view kernel, std::span<const ByteView> messages,
                                 std::span<Digest32> out) {
  const HeadKernel k = cpu::usable(kKernels, kernel);
  if (k == nullptr) return false;
  heads_with(k, messages, out);
  return true;
}

bool blake2b512_head_batch_using(std::string_view kernel, std::span<const ShortMessage> messages,
                                 std::span<Digest32> out) {
  const ShortKernel k = cpu::usable(kShortKernels, kernel);
  if (k == nullptr) return false;
  shorts_with(k, messages, out);
  return true;
}

}  // namespace vessolin::crypto
