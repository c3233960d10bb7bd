// Helpers behind the erasure-code rows of `_vessolin_testing`: the field
// tables and the codec, reached with text arguments. Included by
// testing_module.cpp only.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "decimal_list.hpp"
#include "erasure/gf256.hpp"
#include "erasure/shard_codec.hpp"
#include "hex/hex.hpp"
#include "python/frame.hpp"

namespace vessolin::python::erasure_testing {


// Exactly `count` unsigned decimal numbers separated by spaces, or nothing.
inline std::optional<std::vector<std::uint64_t>> numbers(std::string_view text, std::size_t count) {
  auto values = decimal_list(text);
  if (!values || values->size() != count) return std::nullopt;
  return values;
}

inline std::vector<std::string_view> split_spaces(std::string_view text) {
  std::vector<std::string_view> out;
  while (!text.empty()) {
    const std::size_t space = std::min(text.find(' '), text.size());
    if (space > 0) out.push_back(text.substr(0, space));
    text.remove_prefix(std::min(space + 1, text.size()));
  }
  return out;
}

// One of the field's tables, flattened: "exp" (510), "log" (256), "mul"
// (a * 256 + b), "div" (a * 255 + b - 1, b from 1) and "pow" (a * 300 + n, n below 300).
inline Outcome gf_table(std::string_view name) {
  std::vector<std::uint64_t> out;
  if (name == "exp") {
    out.assign(gf256::kTables.exp.begin(), gf256::kTables.exp.end());
  } else if (name == "log") {
    out.assign(gf256::kTables.log.begin(), gf256::kTables.log.end());
  } else if (name == "mul" || name == "div" || name == "pow") {
    for (unsigned a = 0; a < 256; ++a) {
      if (name == "mul") {
        for (unsigned b = 0; b < 256; ++b) out.push_back(gf256::mul(std::uint8_t(a), std::uint8_t(b)));
      } else if (name == "div") {
        for (unsigned b = 1; b < 256; ++b) out.push_back(gf256::div(std::uint8_t(a), std::uint8_t(b)));
      } else {
        for (std::size_t n = 0; n < 300; ++n) out.push_back(gf256::pow(std::uint8_t(a), n));
      }
    }
  } else {
    return fail(Error::invalid_input("no such table: " + std::string(name)));
  }
  return out;
}

inline std::expected<erasure::ShardCodec, Failure> codec_of(std::string_view counts) {
  const auto n = numbers(counts, 2);
  if (!n) return std::unexpected<Failure>(Error::invalid_input("expected 'data parity' counts"));
  auto codec = erasure::ShardCodec::create((*n)[0], (*n)[1]);
  if (!codec) return std::unexpected<Failure>(Error::coding(std::string(erasure::name(codec.error()))));
  return std::move(*codec);
}

// The encoding matrix, one row of hex per line.
inline Outcome codec_matrix(std::string_view counts) {
  auto codec = codec_of(counts);
  if (!codec) return std::unexpected(codec.error());
  std::string out;
  for (std::size_t r = 0; r < codec->total_shards(); ++r) out += hex::encode(codec->encoding_matrix().row(r)) + "\n";
  return out;
}

// Shards as space-separated hex, "-" for an absent one and "" for an empty one.
inline std::optional<std::vector<std::optional<erasure::Shard>>> parse_shards(std::string_view text) {
  std::vector<std::optional<erasure::Shard>> shards;
  for (std::string_view piece : split_spaces(text)) {
    if (piece == "-") {
      shards.emplace_back();
    } else if (piece == "\"\"") {
      shards.emplace_back(erasure::Shard{});
    } else {
      auto bytes = hex::decode_trimmed(piece);
      if (!bytes) return std::nullopt;
      shards.emplace_back(std::move(*bytes));
    }
  }
  return shards;
}

inline std::string show_shards(std::string_view status, const std::vector<std::optional<erasure::Shard>>& shards) {
  std::string out(status);
  for (const auto& s : shards) {
    out += ' ';
    out += !s ? std::string("-") : s->empty() ? std::string("\"\"") : hex::encode(*s);
  }
  return out;
}

// "ok" or the CodecError's name, followed by the shards as they stand after
// the operation ("encode" or "reconstruct").
inline Outcome codec_run(std::string_view operation, std::string_view counts, std::string_view shard_text) {
  auto codec = codec_of(counts);
  if (!codec) return std::unexpected(codec.error());
  auto shards = parse_shards(shard_text);
  if (!shards) return fail(Error::invalid_input("bad shard list"));
  std::expected<void, erasure::CodecError> done;
  if (operation == "reconstruct") {
    done = codec->reconstruct(*shards);
  } else if (operation == "encode") {
    if (std::ranges::any_of(*shards, [](const auto& s) { return !s; })) {
      return fail(Error::invalid_input("encode takes no absent shards"));
    }
    std::vector<erasure::Shard> plain;
    for (auto& s : *shards) plain.push_back(*s);
    done = codec->encode(plain);
    for (std::size_t i = 0; i < plain.size(); ++i) (*shards)[i] = plain[i];
  } else {
    return fail(Error::invalid_input("no such operation"));
  }
  return show_shards(done ? std::string_view("ok") : erasure::name(done.error()), *shards);
}

}  // namespace vessolin::python::erasure_testing
