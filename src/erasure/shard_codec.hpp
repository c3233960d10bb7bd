// A systematic Reed-Solomon erasure code over GF(2^8): D data shards and P
// parity shards of equal length, any D of which rebuild the others. The
// encoding matrix (a Vandermonde matrix times the inverse of its top square)
// and the choice of rows for rebuilding are part of the watermark format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace vessolin::erasure {

// Declaration order is part of the interface; the name is what callers see.
enum class CodecError {
  TooFewShards,
  TooManyShards,
  TooFewDataShards,
  TooManyDataShards,
  TooFewParityShards,
  TooManyParityShards,
  TooFewBufferShards,
  TooManyBufferShards,
  IncorrectShardSize,
  TooFewShardsPresent,
  EmptyShard,
  InvalidShardFlags,
  InvalidIndex,
};

std::string_view name(CodecError error);

using Shard = std::vector<std::uint8_t>;

// A square or rectangular matrix of field elements, row-major.
class Matrix {
 public:
  Matrix(std::size_t rows, std::size_t cols) : rows_(rows), cols_(cols), cells_(rows * cols) {}
  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }
  std::uint8_t& at(std::size_t r, std::size_t c) { return cells_[r * cols_ + c]; }
  std::uint8_t at(std::size_t r, std::size_t c) const { return cells_[r * cols_ + c]; }
  std::span<const std::uint8_t> row(std::size_t r) const { return {cells_.data() + r * cols_, cols_}; }

  // The inverse by Gauss-Jordan elimination, or nothing if singular.
  std::optional<Matrix> inverse() const;

 private:
  std::size_t rows_, cols_;
  std::vector<std::uint8_t> cells_;
};

class ShardCodec {
 public:
  // Checks the counts (data, then parity, then their total) and builds the
  // encoding matrix.
  static std::expected<ShardCodec, CodecError> create(std::size_t data_shards, std::size_t parity_shards);

  std::size_t data_shards() const { return data_; }
  std::size_t parity_shards() const { return parity_; }
  std::size_t total_shards() const { return data_ + parity_; }
  const Matrix& encoding_matrix() const { return encoding_; }

  // Overwrites shards D..N-1 with the parity of shards 0..D-1.
  std::expected<void, CodecError> encode(std::span<Shard> shards) const;

  // Fills every absent shard from the first D present ones (in index order);
  // present shards are left as they are, even where they disagree with the
  // parity. On failure nothing changes.
  std::expected<void, CodecError> reconstruct(std::span<std::optional<Shard>> shards) const;

 private:
  ShardCodec(std::size_t data, std::size_t parity, Matrix encoding)
      : data_(data), parity_(parity), encoding_(std::move(encoding)) {}

  static Matrix encoding_matrix(std::size_t data_shards, std::size_t total_shards);

  // shard[t] = XOR over i of row[i] * data[i][t], for every byte t.
  static void combine(std::span<const std::uint8_t> row, std::span<const Shard* const> inputs, Shard& out);

  std::size_t data_;
  std::size_t parity_;
  Matrix encoding_;
};

}  // namespace vessolin::erasure
