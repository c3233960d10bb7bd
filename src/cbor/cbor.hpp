// A small CBOR (RFC 8949) writer and reader, shared by the soft-binding
// assertions and the COSE envelopes. It is ours rather than a library's
// because the exact bytes we write and the diagnostics we report on input
// are part of the module's interface.
//
// The writer emits only what those formats need: shortest heads, definite
// lengths, no floats. The reader accepts every well-formed item (definite
// and indefinite lengths, tags, floats, simple values), walks at most 256
// nested arrays, maps and tags, and never sizes an allocation by a length
// it has read before the bytes behind that length are known to be there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vessolin::cbor {

enum class Major : std::uint8_t {
  Unsigned = 0,
  Negative = 1,
  Bytes = 2,
  Text = 3,
  Array = 4,
  Map = 5,
  Tag = 6,
  Simple = 7,  // simple values, floats and the break code
};

// ---------------------------------------------------------------------------
// Writing

class Writer {
 public:
  // A head in its shortest form: the argument in the initial byte up to 23,
  // then in 1, 2, 4 or 8 big-endian bytes.
  void head(Major major, std::uint64_t argument);

  void unsigned_int(std::uint64_t v) { head(Major::Unsigned, v); }
  void signed_int(std::int64_t v);
  void bytes(std::span<const std::uint8_t> b);
  void text(std::string_view t);
  void array(std::uint64_t items) { head(Major::Array, items); }
  void map(std::uint64_t pairs) { head(Major::Map, pairs); }
  void tag(std::uint64_t number) { head(Major::Tag, number); }
  void null() { out_.push_back(0xF6); }
  // Bytes that are already CBOR, copied as they are.
  void raw(std::span<const std::uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }

  const std::vector<std::uint8_t>& bytes_written() const { return out_; }
  std::vector<std::uint8_t> take() { return std::move(out_); }
  void reserve(std::size_t n) { out_.reserve(n); }

 private:
  std::vector<std::uint8_t> out_;
};

// ---------------------------------------------------------------------------
// Reading: diagnostics

// Why reading failed. display() gives the forms callers show after their own
// prefix: "Io(EndOfFile)", "Syntax(<offset>)", "Semantic(None, \"<message>\")"
// (or with the offset in place of None when one is known), and
// "RecursionLimitExceeded".
struct DecodeError {
  enum class Kind { Io, Syntax, Semantic, RecursionLimitExceeded };
  Kind kind;
  std::optional<std::size_t> offset;  // of the item's initial byte, where known
  std::string message;                // Semantic only

  static DecodeError end_of_input() { return {Kind::Io, std::nullopt, {}}; }
  static DecodeError syntax(std::size_t offset) { return {Kind::Syntax, offset, {}}; }
  static DecodeError semantic(std::string message, std::optional<std::size_t> offset = std::nullopt) {
    return {Kind::Semantic, offset, std::move(message)};
  }
  static DecodeError recursion_limit() { return {Kind::RecursionLimitExceeded, std::nullopt, {}}; }

  std::string display() const;
  friend bool operator==(const DecodeError&, const DecodeError&) = default;
};

template <class T>
using Decoded = std::expected<T, DecodeError>;

// Arrays, maps and tags nested deeper than this fail with RecursionLimitExceeded.
inline constexpr int kMaxDepth = 256;

// ---------------------------------------------------------------------------
// Reading: the pull reader

// The head of one data item as it stands in the input.
struct Head {
  Major major;
  std::uint8_t info;          // the additional information (low five bits)
  std::uint64_t argument;     // value, length, tag number, simple value or float bits
  bool indefinite = false;    // strings, arrays and maps of indefinite length
  std::size_t offset = 0;     // of the initial byte

  bool is_break() const { return major == Major::Simple && info == 31; }
  bool is_null() const { return major == Major::Simple && info < 24 && argument == 22; }
  bool is_undefined() const { return major == Major::Simple && info < 24 && argument == 23; }
  bool is_float() const { return major == Major::Simple && info >= 25 && info <= 27; }
};

// Reads items one head at a time from a byte span; every failure carries the
// diagnostic the item deserves. Depth is tracked by the callers that descend
// (enter/leave), so that every format reader counts nesting the same way.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> input) : input_(input) {}

  std::size_t offset() const { return pos_; }
  bool at_end() const { return pos_ == input_.size(); }
  std::size_t remaining() const { return input_.size() - pos_; }

  // The next head. A break code is returned as a head (is_break()); callers
  // that did not expect one report Syntax at its offset. Reserved additional
  // information (28-30), an indefinite length on a major type that has none,
  // and a two-byte simple value below 32 are Syntax errors.
  Decoded<Head> head();

  // The content of a byte or text string whose head was just read. Chunks of
  // an indefinite-length string are joined; each chunk must be a definite
  // string of the same major type. Text must be valid UTF-8 (Syntax at the
  // string's head otherwise).
  Decoded<std::vector<std::uint8_t>> bytes_after(const Head& head);
  Decoded<std::string> text_after(const Head& head);
  // The same text as a view, without a copy for a definite-length string:
  // into the input, or for an indefinite-length one into `joined`, which
  // receives the chunks joined.
  Decoded<std::string_view> text_view_after(const Head& head, std::string& joined);

  // Skips the rest of an item whose head was just read: string content,
  // array items, map pairs, the item under a tag. Counts nesting.
  Decoded<void> skip_after(const Head& head);

  // Reads and skips one whole item.
  Decoded<void> skip();

  // Nesting bookkeeping for containers and tags: enter() fails once the
  // limit is reached.
  Decoded<void> enter();
  void leave() { --depth_; }

 private:
  Decoded<std::span<const std::uint8_t>> take(std::uint64_t n);
  Decoded<void> string_chunks(const Head& head, std::vector<std::uint8_t>* out);

  std::span<const std::uint8_t> input_;
  std::size_t pos_ = 0;
  int depth_ = 0;
};

// Defined here so that readers get the head in registers: every item
// passes through it.
inline Decoded<std::span<const std::uint8_t>> Reader::take(std::uint64_t n) {
  if (n > remaining()) return std::unexpected(DecodeError::end_of_input());
  const auto out = input_.subspan(pos_, static_cast<std::size_t>(n));
  pos_ += static_cast<std::size_t>(n);
  return out;
}

inline Decoded<Head> Reader::head() {
  const std::size_t start = pos_;
  if (at_end()) return std::unexpected(DecodeError::end_of_input());
  const std::uint8_t initial = input_[pos_++];
  Head h{static_cast<Major>(initial >> 5), static_cast<std::uint8_t>(initial & 0x1F), 0, false, start};
  if (h.info < 24) {
    h.argument = h.info;
  } else if (h.info <= 27) {
    const std::size_t length = std::size_t{1} << (h.info - 24);
    auto bytes = take(length);
    if (!bytes) return std::unexpected(bytes.error());
    for (std::uint8_t b : *bytes) h.argument = (h.argument << 8) | b;
    // A simple value in the extra byte must be 32 or more (RFC 8949 3.3).
    if (initial == 0xF8 && h.argument < 32) {
      return std::unexpected(DecodeError::syntax(start));
    }
  } else if (h.info == 31) {
    switch (h.major) {
      case Major::Bytes:
      case Major::Text:
      case Major::Array:
      case Major::Map:
        h.indefinite = true;
        break;
      case Major::Simple:
        break;  // the break code; the caller decides whether it may stand here
      default:
        return std::unexpected(DecodeError::syntax(start));
    }
  } else {
    return std::unexpected(DecodeError::syntax(start));  // 28-30 are reserved
  }
  return h;
}

// Floats: the value of a head whose is_float() holds (half, single, double).
double float_value(const Head& head);

}  // namespace vessolin::cbor
