#include "erasure/shard_codec.hpp"

#include <algorithm>
#include <utility>

#include "erasure/gf256.hpp"
#include "error/error.hpp"

namespace vessolin::erasure {

std::string_view name(CodecError error) {
  switch (error) {
    case CodecError::TooFewShards: return "TooFewShards";
    case CodecError::TooManyShards: return "TooManyShards";
    case CodecError::TooFewDataShards: return "TooFewDataShards";
    case CodecError::TooManyDataShards: return "TooManyDataShards";
    case CodecError::TooFewParityShards: return "TooFewParityShards";
    case CodecError::TooManyParityShards: return "TooManyParityShards";
    case CodecError::TooFewBufferShards: return "TooFewBufferShards";
    case CodecError::TooManyBufferShards: return "TooManyBufferShards";
    case CodecError::IncorrectShardSize: return "IncorrectShardSize";
    case CodecError::TooFewShardsPresent: return "TooFewShardsPresent";
    case CodecError::EmptyShard: return "EmptyShard";
    case CodecError::InvalidShardFlags: return "InvalidShardFlags";
    case CodecError::InvalidIndex: return "InvalidIndex";
  }
  throw InternalFault("unknown CodecError");
}

namespace {

// row[c..] ^= factor * source[c..]
void add_scaled(std::uint8_t* row, const std::uint8_t* source, std::size_t count, std::uint8_t factor) {
  if (factor == 0) return;
  const unsigned log_factor = gf256::kTables.log[factor];
  for (std::size_t c = 0; c < count; ++c) {
    if (source[c] != 0) row[c] ^= gf256::kTables.exp[log_factor + gf256::kTables.log[source[c]]];
  }
}

}  // namespace

std::optional<Matrix> Matrix::inverse() const {
  if (rows_ != cols_) throw InternalFault("only a square matrix has an inverse");
  const std::size_t n = rows_;
  // [A | I], reduced until the left half is the identity.
  Matrix work(n, 2 * n);
  for (std::size_t r = 0; r < n; ++r) {
    std::copy_n(&cells_[r * n], n, &work.at(r, 0));
    work.at(r, n + r) = 1;
  }
  for (std::size_t c = 0; c < n; ++c) {
    std::size_t pivot = c;
    while (pivot < n && work.at(pivot, c) == 0) ++pivot;
    if (pivot == n) return std::nullopt;
    if (pivot != c) std::swap_ranges(&work.at(c, 0), &work.at(c, 0) + 2 * n, &work.at(pivot, 0));
    const std::uint8_t scale = gf256::div(1, work.at(c, c));
    for (std::size_t k = 0; k < 2 * n; ++k) work.at(c, k) = gf256::mul(work.at(c, k), scale);
    for (std::size_t r = 0; r < n; ++r) {
      if (r != c) add_scaled(&work.at(r, 0), &work.at(c, 0), 2 * n, work.at(r, c));
    }
  }
  Matrix out(n, n);
  for (std::size_t r = 0; r < n; ++r) std::copy_n(&work.at(r, n), n, &out.at(r, 0));
  return out;
}

std::expected<ShardCodec, CodecError> ShardCodec::create(std::size_t data_shards, std::size_t parity_shards) {
  if (data_shards == 0) return std::unexpected(CodecError::TooFewDataShards);
  if (parity_shards == 0) return std::unexpected(CodecError::TooFewParityShards);
  // Each row of the Vandermonde matrix needs its own field element.
  if (data_shards > 256 || parity_shards > 256 - data_shards) return std::unexpected(CodecError::TooManyShards);

  return ShardCodec(data_shards, parity_shards, encoding_matrix(data_shards, data_shards + parity_shards));
}

// E = V * T^-1, where V[r][c] = r^c for the N rows and T is its top D x D
// square. Column j of T^-1 holds the coefficients of the Lagrange polynomial
// L_j that is 1 at j and 0 at the other points 0..D-1, so E[r][j] = L_j(r):
// the identity in the top rows, and below them
//   L_j(r) = prod(r - m for m < D) / ((r - j) * prod(j - m for m < D, m != j)),
// which is the same matrix exactly, in O(N * D) steps instead of O(N * D^2).
Matrix ShardCodec::encoding_matrix(std::size_t data_shards, std::size_t total_shards) {
  const auto element = [](std::size_t i) { return static_cast<std::uint8_t>(i); };
  Matrix e(total_shards, data_shards);
  for (std::size_t r = 0; r < data_shards; ++r) e.at(r, r) = 1;
  std::vector<std::uint8_t> weight(data_shards, 1);  // prod(j - m for m != j)
  for (std::size_t j = 0; j < data_shards; ++j) {
    for (std::size_t m = 0; m < data_shards; ++m) {
      if (m != j) weight[j] = gf256::mul(weight[j], element(j) ^ element(m));
    }
  }
  for (std::size_t r = data_shards; r < total_shards; ++r) {
    std::uint8_t at_r = 1;  // prod(r - m for m < D); never 0, as r is not among the points
    for (std::size_t m = 0; m < data_shards; ++m) at_r = gf256::mul(at_r, element(r) ^ element(m));
    for (std::size_t j = 0; j < data_shards; ++j) {
      e.at(r, j) = gf256::div(at_r, gf256::mul(element(r) ^ element(j), weight[j]));
    }
  }
  return e;
}

void ShardCodec::combine(std::span<const std::uint8_t> row, std::span<const Shard* const> inputs, Shard& out) {
  std::ranges::fill(out, 0);
  for (std::size_t i = 0; i < row.size(); ++i) add_scaled(out.data(), inputs[i]->data(), out.size(), row[i]);
}

namespace {

// The checks shared by encode and reconstruct, on the shards that are there.
template <class Lengths>
std::expected<void, CodecError> check_lengths(const Lengths& lengths) {
  if (std::ranges::any_of(lengths, [](std::size_t n) { return n == 0; })) {
    return std::unexpected(CodecError::EmptyShard);
  }
  if (!lengths.empty() && std::ranges::any_of(lengths, [&](std::size_t n) { return n != lengths.front(); })) {
    return std::unexpected(CodecError::IncorrectShardSize);
  }
  return {};
}

std::expected<void, CodecError> check_count(std::size_t given, std::size_t expected) {
  if (given < expected) return std::unexpected(CodecError::TooFewShards);
  if (given > expected) return std::unexpected(CodecError::TooManyShards);
  return {};
}

}  // namespace

std::expected<void, CodecError> ShardCodec::encode(std::span<Shard> shards) const {
  if (auto ok = check_count(shards.size(), total_shards()); !ok) return ok;
  std::vector<std::size_t> lengths;
  lengths.reserve(shards.size());
  for (const Shard& s : shards) lengths.push_back(s.size());
  if (auto ok = check_lengths(lengths); !ok) return ok;

  std::vector<const Shard*> data(data_);
  for (std::size_t i = 0; i < data_; ++i) data[i] = &shards[i];
  for (std::size_t j = data_; j < total_shards(); ++j) combine(encoding_.row(j), data, shards[j]);
  return {};
}

std::expected<void, CodecError> ShardCodec::reconstruct(std::span<std::optional<Shard>> shards) const {
  if (auto ok = check_count(shards.size(), total_shards()); !ok) return ok;
  std::vector<std::size_t> lengths;
  std::vector<std::size_t> present;
  for (std::size_t i = 0; i < shards.size(); ++i) {
    if (!shards[i]) continue;
    lengths.push_back(shards[i]->size());
    present.push_back(i);
  }
  if (auto ok = check_lengths(lengths); !ok) return ok;
  if (present.size() == total_shards()) return {};
  if (present.size() < data_) return std::unexpected(CodecError::TooFewShardsPresent);

  // Rows of E for the first D present shards; its inverse maps those shards
  // back to the data.
  present.resize(data_);
  Matrix chosen(data_, data_);
  std::vector<const Shard*> inputs(data_);
  for (std::size_t k = 0; k < data_; ++k) {
    std::ranges::copy(encoding_.row(present[k]), &chosen.at(k, 0));
    inputs[k] = &*shards[present[k]];
  }
  std::optional<Matrix> decode = chosen.inverse();
  if (!decode) throw InternalFault("rows of the encoding matrix are dependent");

  const std::size_t length = lengths.front();
  for (std::size_t i = 0; i < data_; ++i) {
    if (shards[i]) continue;
    Shard rebuilt(length);
    combine(decode->row(i), inputs, rebuilt);
    shards[i] = std::move(rebuilt);
  }
  std::vector<const Shard*> data(data_);
  for (std::size_t i = 0; i < data_; ++i) data[i] = &*shards[i];
  for (std::size_t j = data_; j < total_shards(); ++j) {
    if (shards[j]) continue;
    Shard rebuilt(length);
    combine(encoding_.row(j), data, rebuilt);
    shards[j] = std::move(rebuilt);
  }
  return {};
}

}  // namespace vessolin::erasure
