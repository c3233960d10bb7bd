// Reading an assertion that stands exactly as encode_soft_binding writes it:
// every record a map of definite length with its keys in declaration order,
// no tags, optional fields as the encoder leaves them. Nearly every
// assertion met is in this form, since this module wrote it, and matching
// its bytes costs a fraction of walking it item by item. Any other form,
// and any input that is not a valid assertion, is declined, and the general
// reader takes over (and says what is wrong).
#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>

#include "cbor/cbor.hpp"
#include "softbinding/codec.hpp"
#include "unicode/utf8_fault.hpp"

namespace vessolin::softbinding {

namespace {

using namespace std::literals;
using cbor::Major;

class FormMatcher {
 public:
  explicit FormMatcher(std::span<const std::uint8_t> input) : in_(input) {}

  std::size_t remaining() const { return in_.size() - pos_; }

  // The next bytes are exactly `bytes`.
  bool literal(std::string_view bytes) {
    if (remaining() < bytes.size() || std::memcmp(in_.data() + pos_, bytes.data(), bytes.size()) != 0) return false;
    pos_ += bytes.size();
    return true;
  }

  // A head of `major` with a definite argument, in any of its widths.
  bool head(Major major, std::uint64_t& argument) {
    if (remaining() == 0 || in_[pos_] >> 5 != static_cast<std::uint8_t>(major)) return false;
    const std::uint8_t info = in_[pos_] & 0x1F;
    if (info < 24) {
      argument = info;
      ++pos_;
      return true;
    }
    if (info > 27) return false;
    const std::size_t length = std::size_t{1} << (info - 24);
    if (remaining() <= length) return false;
    argument = 0;
    for (std::size_t i = 1; i <= length; ++i) argument = (argument << 8) | in_[pos_ + i];
    pos_ += 1 + length;
    return true;
  }

  // The content of a definite string of `major`.
  bool string(Major major, std::span<const std::uint8_t>& out) {
    std::uint64_t length;
    if (!head(major, length) || length > remaining()) return false;
    out = in_.subspan(pos_, static_cast<std::size_t>(length));
    pos_ += static_cast<std::size_t>(length);
    return true;
  }

  bool text(std::string& out) {
    std::span<const std::uint8_t> bytes;
    if (!string(Major::Text, bytes) || !utf8::is_valid(bytes)) return false;
    out.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return true;
  }

  bool bytes(std::vector<std::uint8_t>& out) {
    std::span<const std::uint8_t> bytes;
    if (!string(Major::Bytes, bytes)) return false;
    out.assign(bytes.begin(), bytes.end());
    return true;
  }

  // A signed 32-bit integer, or null for none.
  bool position(std::optional<std::int32_t>& out) {
    if (literal("\xF6"sv)) return true;
    constexpr std::uint64_t kMax = std::numeric_limits<std::int32_t>::max();
    std::uint64_t n;
    if (head(Major::Unsigned, n)) {
      if (n > kMax) return false;
      out = static_cast<std::int32_t>(n);
      return true;
    }
    if (!head(Major::Negative, n) || n > kMax) return false;
    out = -1 - static_cast<std::int32_t>(n);
    return true;
  }

 private:
  std::span<const std::uint8_t> in_;
  std::size_t pos_ = 0;
};

// Each list item takes at least one byte, so the loops below end with the
// input however large a count it claims.

bool selector_range(FormMatcher& m, TextSelectorRange& out) {
  TextSelector& s = out.selector;
  return m.literal("\xA1" "\x68" "selector" "\xA3" "\x68" "fragment"sv) && m.text(s.fragment) &&
         m.literal("\x65" "start"sv) && m.position(s.start) && m.literal("\x63" "end"sv) && m.position(s.end);
}

bool range(FormMatcher& m, Range& out) {
  if (m.literal("\xA1" "\x64" "type" "\x67" "textual"sv)) return true;
  std::uint64_t count;
  if (!m.literal("\xA2" "\x64" "type" "\x67" "textual" "\x64" "text" "\xA1" "\x69" "selectors"sv) ||
      !m.head(Major::Array, count)) {
    return false;
  }
  Text& text = out.text.emplace();
  for (std::uint64_t i = 0; i < count; ++i) {
    if (!selector_range(m, text.selectors.emplace_back())) return false;
  }
  return true;
}

bool scope(FormMatcher& m, Scope& out) {
  if (m.literal("\xA0"sv)) return true;
  std::uint64_t count;
  if (!m.literal("\xA1" "\x66" "region" "\xA1" "\x66" "region"sv) || !m.head(Major::Array, count)) return false;
  RegionOfInterest& region = out.region.emplace();
  for (std::uint64_t i = 0; i < count; ++i) {
    if (!range(m, region.region.emplace_back())) return false;
  }
  return true;
}

bool block(FormMatcher& m, Block& out) {
  return m.literal("\xA2" "\x65" "scope"sv) && scope(m, out.scope) && m.literal("\x65" "value"sv) &&
         m.text(out.value);
}

}  // namespace

std::optional<SoftBinding> decode_encoder_form(std::span<const std::uint8_t> cbor) {
  FormMatcher m(cbor);
  SoftBinding out;
  const bool named = m.literal("\xA4"sv);
  std::uint64_t count;
  if ((!named && !m.literal("\xA3"sv)) || !m.literal("\x63" "alg"sv) || !m.text(out.alg) ||
      !m.literal("\x66" "blocks"sv) || !m.head(Major::Array, count)) {
    return std::nullopt;
  }
  // A block takes at least 15 bytes: room for what the input can hold.
  out.blocks.reserve(std::min<std::uint64_t>(count, m.remaining() / 15));
  for (std::uint64_t i = 0; i < count; ++i) {
    if (!block(m, out.blocks.emplace_back())) return std::nullopt;
  }
  if (named && !(m.literal("\x64" "name"sv) && m.text(out.name.emplace()))) return std::nullopt;
  if (!m.literal("\x63" "pad"sv) || !m.bytes(out.pad)) return std::nullopt;
  return out;
}

}  // namespace vessolin::softbinding
