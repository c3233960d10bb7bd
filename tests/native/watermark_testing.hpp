// Helpers behind the watermark rows of `_vessolin_testing`: payload, slots,
// placement and the scan, reached with text arguments. Included by
// testing_module.cpp only.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "erasure_testing.hpp"
#include "hex/hex.hpp"
#include "python/frame.hpp"
#include "stego/alphabet.hpp"
#include "stego/payload.hpp"
#include "stego/placement.hpp"
#include "stego/scan.hpp"
#include "stego/shuffle_kernels.hpp"
#include "stego/text_walk.hpp"
#include "unicode/properties.hpp"
#include "unicode/utf8.hpp"

namespace vessolin::python::watermark_testing {

using erasure_testing::numbers;

// The permutation drawn from a seed, first `keep` entries ("n seed keep").
inline Outcome shuffled(std::string_view text) {
  const auto v = numbers(text, 3);
  if (!v) return fail(Error::invalid_input("expected 'n seed keep'"));
  const auto order = stego::shuffled_order((*v)[0], (*v)[1], (*v)[2]);
  return std::vector<std::uint64_t>(order.begin(), order.end());
}

// x % k by the shuffle's reciprocal for each pair of "x k x k ..." (k from
// 4 to 2^32 - 1).
inline Outcome remainders_by_reciprocal(std::string_view text) {
  const auto v = decimal_list(text);
  if (!v || v->size() % 2 != 0) return fail(Error::invalid_input("expected pairs 'x k'"));
  std::vector<std::uint64_t> out;
  for (std::size_t i = 0; i < v->size(); i += 2) {
    const std::uint64_t x = (*v)[i], k = (*v)[i + 1];
    if (k < 4 || k > 0xFFFFFFFFu) return fail(Error::invalid_input("k must be from 4 to 2^32 - 1"));
    out.push_back(stego::remainder_by_reciprocal(x, k, 1.0 / static_cast<double>(k)));
  }
  return out;
}

// By the named shuffle kernel: the remainders of the pairs "r k r k ..." (k
// from 4 to 2^31 - 1), or the draws of "x first count" (first - count + 1
// at least 4).
inline Outcome remainders_using(std::string_view text, std::string_view kernel) {
  const stego::detail::ShuffleKernels* kernels = stego::detail::shuffle_kernels_named(kernel);
  if (kernels == nullptr) return fail(Error::invalid_input("no such shuffle kernel here"));
  const auto v = decimal_list(text);
  if (!v || v->size() % 2 != 0) return fail(Error::invalid_input("expected pairs 'r k'"));
  std::vector<std::uint64_t> r;
  std::vector<std::uint32_t> k;
  for (std::size_t i = 0; i < v->size(); i += 2) {
    if ((*v)[i + 1] < stego::detail::kMinDivisor || (*v)[i + 1] > stego::detail::kMaxDivisor) {
      return fail(Error::invalid_input("k out of the kernels' range"));
    }
    r.push_back((*v)[i]);
    k.push_back(static_cast<std::uint32_t>((*v)[i + 1]));
  }
  std::vector<std::uint32_t> out(r.size());
  kernels->remainders(r.data(), k.data(), r.size(), out.data());
  return std::vector<std::uint64_t>(out.begin(), out.end());
}

inline Outcome shuffle_draws_using(std::string_view text, std::string_view kernel) {
  const stego::detail::ShuffleKernels* kernels = stego::detail::shuffle_kernels_named(kernel);
  if (kernels == nullptr) return fail(Error::invalid_input("no such shuffle kernel here"));
  const auto v = numbers(text, 3);
  if (!v) return fail(Error::invalid_input("expected 'x first count'"));
  const std::uint64_t x = (*v)[0], first = (*v)[1], count = (*v)[2];
  if (first > stego::detail::kMaxDivisor || count > first || first - count + 1 < stego::detail::kMinDivisor) {
    return fail(Error::invalid_input("divisors out of the kernels' range"));
  }
  std::vector<std::uint32_t> out(count);
  const std::uint64_t last = kernels->draws(x, static_cast<std::uint32_t>(first), count, out.data());
  std::vector<std::uint64_t> result(out.begin(), out.end());
  result.push_back(last);
  return result;
}

// Every stop of the named skip_plain kernel over `text`: from each code
// point start, in and out of a word, under a few word and byte limits, one
// "pos words in_word" line per call. Kernels agree when their traces do.
inline Outcome skip_plain_trace(std::string_view text, std::string_view kernel) {
  const stego::SkipPlainKernel skip = stego::skip_plain_kernel(kernel);
  if (skip == nullptr) return fail(Error::invalid_input("no such skip_plain kernel here"));
  std::string out;
  for (std::size_t start = 0; start < text.size(); ++start) {
    if ((static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) continue;
    for (const bool word : {false, true}) {
      for (const std::size_t stop_at : {SIZE_MAX, std::size_t{0}, std::size_t{1}, std::size_t{3}}) {
        for (const std::size_t stop_before : {SIZE_MAX, start + 1, start + 100}) {
          bool in_word = word;
          std::size_t words = 0;
          const std::size_t pos = skip(text, start, in_word, words, stop_at, stop_before);
          out += std::to_string(pos) + ' ' + std::to_string(words) + ' ' + (in_word ? '1' : '0') + '\n';
        }
      }
    }
  }
  return out;
}

inline std::expected<Digest32, Failure> digest_of(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != 32) return std::unexpected<Failure>(Error::invalid_input("a digest is 32 bytes"));
  Digest32 d;
  std::ranges::copy(bytes, d.begin());
  return d;
}

inline Outcome placement_order(std::string_view n_text, std::span<const std::uint8_t> key,
                               std::span<const std::uint8_t> digest) {
  const auto n = numbers(n_text, 1);
  const auto d = digest_of(digest);
  if (!n) return fail(Error::invalid_input("expected a count"));
  if (!d) return std::unexpected(d.error());
  const auto order = stego::placement_order((*n)[0], key, *d);
  return std::vector<std::uint64_t>(order.begin(), order.end());
}

inline Outcome binding_tag(std::span<const std::uint8_t> key, std::span<const std::uint8_t> digest,
                           std::span<const std::uint8_t> pointer) {
  const auto d = digest_of(digest);
  if (!d) return std::unexpected(d.error());
  return hex::encode(stego::binding_tag(key, *d, stego::pointer_field(pointer)));
}

inline Outcome encode_shards(std::span<const std::uint8_t> payload) {
  if (payload.size() != stego::kPayloadBytes) return fail(Error::invalid_input("a payload is 24 bytes"));
  stego::Payload p;
  std::ranges::copy(payload, p.begin());
  const auto shards = stego::encode_shards(p);
  if (!shards) return fail(shards.error());
  return hex::encode(*shards);
}

inline Outcome shard_group(std::string_view byte_text) {
  const auto b = numbers(byte_text, 1);
  if (!b || (*b)[0] > 255) return fail(Error::invalid_input("expected a byte"));
  const auto group = stego::group_utf8(static_cast<std::uint8_t>((*b)[0]));
  return std::string(group.data(), group.size());
}

// Code points beyond ASCII on which the byte test of the fast path
// disagrees with the White_Space property and the invisible set.
inline std::vector<std::uint64_t> white_or_invisible_mismatches() {
  std::vector<std::uint64_t> bad;
  for (char32_t c = 0x80; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    unsigned char bytes[4];
    utf8::encode(c, reinterpret_cast<char*>(bytes));
    const bool expected = unicode::is_white_space(c) || unicode::is_invisible(c);
    const bool got = stego::detail::is_candidate_lead(bytes[0]) && stego::detail::white_or_invisible_bytes(bytes);
    if (got != expected) bad.push_back(c);
  }
  return bad;
}

inline std::string scan_word_line(std::size_t ordinal, const stego::ScanWord& w) {
  std::string out = std::to_string(ordinal) + " " + std::to_string(w.mark_offset) + " " +
                    std::to_string(w.symbol_count) + " ";
  for (std::size_t k = 0; k < std::min(w.symbol_count, stego::kSymbolsPerGroup); ++k) out += char('0' + w.first_symbols[k]);
  return out + "\n";
}

// Every scan word as "ordinal mark_offset symbol_count first-symbols", one per line.
inline std::string scan_words(std::string_view text) {
  std::vector<std::size_t> all(stego::take_census(text).scan_words);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
  const std::vector<stego::ScanWord> words = stego::scan_words(text, all);
  std::string out;
  for (std::size_t i = 0; i < all.size(); ++i) out += scan_word_line(i, words[i]);
  return out;
}

// The same lines for the scan words asked for (decimal ordinals), read the
// way embedding and extraction read them: from the census's checkpoints.
inline Outcome scan_chosen_words(std::string_view text, std::string_view ordinal_text) {
  const auto ordinals = decimal_list(ordinal_text);
  if (!ordinals) return fail(Error::invalid_input("expected decimal ordinals"));
  const std::vector<std::size_t> wanted(ordinals->begin(), ordinals->end());
  const std::vector<stego::ScanWord> words =
      stego::scan_words(text, wanted, stego::take_census(text).checkpoints);
  std::string out;
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    if (words[i].found) out += scan_word_line(wanted[i], words[i]);
  }
  return out;
}

}  // namespace vessolin::python::watermark_testing
