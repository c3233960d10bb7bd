#include "cose/decode.hpp"

#include <limits>
#include <set>
#include <string_view>
#include <utility>

#include "cbor/cbor.hpp"
#include "cose/algorithms.hpp"
#include "unicode/properties.hpp"

namespace vessolin::cose {

namespace {

using cbor::DecodeError;
using cbor::Value;
using Type = Value::Type;

constexpr std::uint64_t kCoseSign1Tag = 18;

// ---------------------------------------------------------------------------
// Reading items

// The CBOR data model of COSE knows false, true, null and undefined among
// the simple values; any other one fails the reading where it stands.
constexpr bool known_simple(std::uint64_t value) { return value >= 20 && value <= 23; }

cbor::Decoded<Value> read_after(cbor::Reader& reader, const cbor::Head& head, int depth);

cbor::Decoded<Value> read_next(cbor::Reader& reader, int depth) {
  auto head = reader.head();
  if (!head) return std::unexpected(head.error());
  if (head->is_break()) return std::unexpected(DecodeError::syntax(head->offset));
  return read_after(reader, *head, depth);
}

// One item as a tree. `depth` counts the arrays, maps and tags around it,
// also across byte strings that hold nested headers, so that nesting is
// bounded however it is built.
cbor::Decoded<Value> read_after(cbor::Reader& reader, const cbor::Head& head, int depth) {
  Value v;
  v.offset = head.offset;
  switch (head.major) {
    case cbor::Major::Unsigned:
    case cbor::Major::Negative:
      v.type = head.major == cbor::Major::Unsigned ? Type::Unsigned : Type::Negative;
      v.number = head.argument;
      return v;
    case cbor::Major::Bytes: {
      auto bytes = reader.bytes_after(head);
      if (!bytes) return std::unexpected(bytes.error());
      v.type = Type::Bytes;
      v.bytes = std::move(*bytes);
      return v;
    }
    case cbor::Major::Text: {
      auto text = reader.text_after(head);
      if (!text) return std::unexpected(text.error());
      v.type = Type::Text;
      v.bytes.assign(text->begin(), text->end());
      return v;
    }
    case cbor::Major::Simple:
      if (head.is_float()) {
        v.type = Type::Float;
        v.float_value = cbor::float_value(head);
        return v;
      }
      if (!known_simple(head.argument)) {
        return std::unexpected(
            DecodeError::semantic("unsupported simple value " + std::to_string(head.argument), head.offset));
      }
      v.type = Type::Simple;
      v.number = head.argument;
      return v;
    case cbor::Major::Tag:
    case cbor::Major::Array:
    case cbor::Major::Map:
      break;
  }

  if (depth >= cbor::kMaxDepth) return std::unexpected(DecodeError::recursion_limit());
  if (head.major == cbor::Major::Tag) {
    auto item = read_next(reader, depth + 1);
    if (!item) return std::unexpected(item.error());
    v.type = Type::Tag;
    v.number = head.argument;
    v.items.push_back(std::move(*item));
    return v;
  }
  v.type = head.major == cbor::Major::Map ? Type::Map : Type::Array;
  const int per_entry = head.major == cbor::Major::Map ? 2 : 1;
  // Items are appended as they arrive, never reserved from the claimed
  // count: a short input fails at its end, before anything large exists.
  for (std::uint64_t i = 0; head.indefinite || i < head.argument; ++i) {
    for (int k = 0; k < per_entry; ++k) {
      auto item_head = reader.head();
      if (!item_head) return std::unexpected(item_head.error());
      if (item_head->is_break()) {
        // Ends an indefinite container, but only where an entry would start.
        if (!head.indefinite || k != 0) return std::unexpected(DecodeError::syntax(item_head->offset));
        return v;
      }
      auto item = read_after(reader, *item_head, depth + 1);
      if (!item) return std::unexpected(item.error());
      v.items.push_back(std::move(*item));
    }
  }
  return v;
}

// One item that must use up all of `bytes`.
Decoded<Value> read_whole(std::span<const std::uint8_t> bytes, int depth) {
  cbor::Reader reader(bytes);
  auto value = read_next(reader, depth);
  if (!value) return std::unexpected("decode CBOR failure: " + value.error().display());
  if (!reader.at_end()) return std::unexpected(std::string("extraneous data in CBOR input"));
  return std::move(*value);
}

// ---------------------------------------------------------------------------
// Reasons

const char* kind(const Value& v) {
  switch (v.type) {
    case Type::Unsigned:
    case Type::Negative:
      return "int";
    case Type::Bytes:
      return "bstr";
    case Type::Text:
      return "tstr";
    case Type::Float:
      return "float";
    case Type::Tag:
      return "tag";
    case Type::Array:
      return "array";
    case Type::Map:
      return "map";
    case Type::Simple:
      return v.is_bool() ? "bool" : "nul";  // undefined counts as null
  }
  return "?";
}

std::unexpected<std::string> wrong(const Value& v, std::string_view wanted) {
  return std::unexpected("got " + std::string(kind(v)) + ", expected " + std::string(wanted));
}

std::unexpected<std::string> reason(std::string_view text) { return std::unexpected(std::string(text)); }

bool is_int(const Value& v) { return v.type == Type::Unsigned || v.type == Type::Negative; }
bool is_null(const Value& v) { return v.type == Type::Simple && (v.number == 22 || v.number == 23); }

// The value of an integer item, when it fits in 64 signed bits.
Decoded<std::int64_t> signed_value(const Value& v) {
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (v.number > kMax) return reason("out of range integer value");
  const auto n = static_cast<std::int64_t>(v.number);
  return v.type == Type::Unsigned ? n : -1 - n;
}

// ---------------------------------------------------------------------------
// Header rules

Decoded<void> check_header(const Value& map, int depth);

// Headers inside a byte string: nothing, or one map with nothing after it.
Decoded<void> check_protected(std::span<const std::uint8_t> bytes, int depth) {
  if (bytes.empty()) return {};
  auto header = read_whole(bytes, depth);
  if (!header) return std::unexpected(header.error());
  if (header->type != Type::Map) return wrong(*header, "map");
  return check_header(*header, depth);
}

Decoded<void> check_algorithm(const Value& v) {
  if (v.type == Type::Text) return {};
  if (!is_int(v)) return wrong(v, "int/tstr");
  auto value = signed_value(v);
  if (!value) return std::unexpected(value.error());
  if (!is_acceptable_algorithm(*value)) return reason("expected value in IANA or private use range");
  return {};
}

Decoded<void> check_label_list(const Value& v) {
  if (v.type != Type::Array) return wrong(v, "array value");
  if (v.items.empty()) return reason("got empty array, expected non-empty array");
  for (const Value& item : v.items) {
    if (item.type == Type::Text) continue;
    if (!is_int(item)) return wrong(item, "int/tstr");
    if (auto value = signed_value(item); !value) return std::unexpected(value.error());
  }
  return {};
}

// A CoAP content format number, or a media type of the form type/subtype.
Decoded<void> check_content_type(const Value& v) {
  if (v.type == Type::Unsigned && v.number <= 0xFFFF) return {};
  if (is_int(v)) return reason("expected recognized IANA value");
  if (v.type != Type::Text) return wrong(v, "int/tstr");
  const std::string_view text = v.text();
  if (text.empty()) return reason("got empty tstr, expected non-empty tstr");
  if (text.find('/') == std::string_view::npos) return reason("got arbitrary text, expected text of form type/subtype");
  if (unicode::trim_white_space(text).size() != text.size()) {
    return reason("got leading/trailing whitespace, expected no leading/trailing whitespace");
  }
  return {};
}

Decoded<void> check_nonempty_bytes(const Value& v) {
  if (v.type != Type::Bytes) return wrong(v, "bstr");
  if (v.bytes.empty()) return reason("got empty bstr, expected non-empty bstr");
  return {};
}

// A COSE_Signature: [protected bstr, unprotected map, signature bstr], its
// items checked from the last to the first.
Decoded<void> check_signature(const Value& v, int depth) {
  if (v.type != Type::Array) return wrong(v, "array");
  if (v.items.size() != 3) return reason("got array, expected array with 3 items");
  if (v.items[2].type != Type::Bytes) return wrong(v.items[2], "bstr");
  if (v.items[1].type != Type::Map) return wrong(v.items[1], "map");
  if (auto r = check_header(v.items[1], depth + 1); !r) return r;
  if (v.items[0].type != Type::Bytes) return wrong(v.items[0], "bstr");
  return check_protected(v.items[0].bytes, depth + 1);
}

// One COSE_Signature, or an array of them when the first item is an array.
Decoded<void> check_countersignatures(const Value& v, int depth) {
  if (v.type != Type::Array) return wrong(v, "array");
  if (v.items.empty()) return reason("got empty sig array, expected non-empty sig array");
  if (v.items[0].type != Type::Array) return check_signature(v, depth);
  for (const Value& signature : v.items) {
    if (auto r = check_signature(signature, depth + 1); !r) return r;
  }
  return {};
}

// `map` is a map at `depth`; its entries are checked in order.
Decoded<void> check_header(const Value& map, int depth) {
  std::set<std::int64_t> int_labels;
  std::set<std::string_view> text_labels;
  bool has_iv = false;
  bool has_partial_iv = false;
  for (std::size_t i = 0; i + 1 < map.items.size(); i += 2) {
    const Value& label = map.items[i];
    const Value& value = map.items[i + 1];
    if (label.type == Type::Text) {
      if (!text_labels.insert(label.text()).second) return reason("duplicate map key");
      continue;  // text labels may carry anything
    }
    if (!is_int(label)) return wrong(label, "int/tstr");
    auto number = signed_value(label);
    if (!number) return std::unexpected(number.error());
    if (!int_labels.insert(*number).second) return reason("duplicate map key");
    Decoded<void> checked;
    switch (*number) {
      case 1:  // alg
        checked = check_algorithm(value);
        break;
      case 2:  // crit
        checked = check_label_list(value);
        break;
      case 3:  // content type
        checked = check_content_type(value);
        break;
      case 4:  // key identifier
        checked = check_nonempty_bytes(value);
        break;
      case 5:  // IV
        checked = check_nonempty_bytes(value);
        has_iv = true;
        break;
      case 6:  // partial IV
        checked = check_nonempty_bytes(value);
        has_partial_iv = true;
        break;
      case 7:  // counter signature
        checked = check_countersignatures(value, depth + 1);
        break;
      default:
        break;
    }
    if (!checked) return checked;
  }
  if (has_iv && has_partial_iv) return reason("got IV and partial-IV specified, expected only one of IV and partial IV");
  return {};
}

// ---------------------------------------------------------------------------
// The envelope

// [protected bstr, unprotected map, payload bstr or null, signature bstr] at
// `depth`, its items checked from the last to the first.
Decoded<Sign1> sign1_from(Value& v, int depth) {
  if (v.type != Type::Array) return wrong(v, "array");
  if (v.items.size() != 4) return reason("got array, expected array with 4 items");
  Value& protected_header = v.items[0];
  Value& payload = v.items[2];
  Value& signature = v.items[3];
  if (signature.type != Type::Bytes) return wrong(signature, "bstr");
  if (payload.type != Type::Bytes && !is_null(payload)) return wrong(payload, "bstr or nil");
  if (v.items[1].type != Type::Map) return wrong(v.items[1], "map");
  if (auto r = check_header(v.items[1], depth + 1); !r) return std::unexpected(r.error());
  if (protected_header.type != Type::Bytes) return wrong(protected_header, "bstr");
  // The protected header is an item of its own, read from a fresh start.
  if (auto r = check_protected(protected_header.bytes, 0); !r) return std::unexpected(r.error());

  Sign1 out;
  out.protected_header = std::move(protected_header.bytes);
  if (payload.type == Type::Bytes) out.payload = std::move(payload.bytes);
  out.signature = std::move(signature.bytes);
  return out;
}

}  // namespace

Decoded<Sign1> decode_sign1(std::span<const std::uint8_t> bytes) {
  // Both readings see the same item, so a fault in the CBOR itself or bytes
  // left over fail them alike.
  auto item = read_whole(bytes, 0);
  if (!item) return std::unexpected(item.error());
  if (item->type == Type::Tag && item->number == kCoseSign1Tag) {
    if (auto tagged = sign1_from(item->items[0], 1)) return tagged;
  }
  return sign1_from(*item, 0);
}

}  // namespace vessolin::cose
