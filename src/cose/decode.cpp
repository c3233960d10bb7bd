#include "cose/decode.hpp"

#include <array>
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
using cbor::Head;
using cbor::Major;

constexpr std::uint64_t kCoseSign1Tag = 18;

// The failure of a check, or success.
using Verdict = Decoded<void>;

std::unexpected<std::string> reason(std::string_view text) { return std::unexpected(std::string(text)); }

// ---------------------------------------------------------------------------
// What the checks need to know of one item
//
// An envelope is read in one pass, and the reading is directed by where an
// item stands: the checks of a header map are made entry by entry as the map
// is read, and items that no rule looks into (a payload that is no byte
// string, values under labels without rules, ...) are only checked to be
// well-formed, never kept. So memory stays within a small multiple of the
// input whatever it holds. Failures of the rules are kept as verdicts and
// reported only once the whole item has been read, because malformed CBOR
// anywhere in it is reported first.

enum class Kind { Int, Bytes, Text, Float, Bool, Null, Tag, Array, Map };

const char* kind_name(Kind kind) {
  switch (kind) {
    case Kind::Int: return "int";
    case Kind::Bytes: return "bstr";
    case Kind::Text: return "tstr";
    case Kind::Float: return "float";
    case Kind::Bool: return "bool";
    case Kind::Null: return "nul";  // undefined counts as null
    case Kind::Tag: return "tag";
    case Kind::Array: return "array";
    case Kind::Map: return "map";
  }
  return "?";
}

struct Node {
  Kind kind = Kind::Null;
  bool negative = false;          // Int: the value is -1 - number
  std::uint64_t number = 0;       // Int: the argument; Tag: the tag number
  std::uint64_t count = 0;        // Array: items; Map: pairs
  ByteString string;               // Bytes and Text contents, where kept
  std::vector<Node> items;        // an envelope's or COSE_Signature's items, the envelope under tag 18
  Verdict verdict;                // the rules of the item's place, where it has any

  std::span<const std::uint8_t> bytes() const { return string.bytes(); }
  std::string_view text() const { return {reinterpret_cast<const char*>(bytes().data()), bytes().size()}; }
};

std::unexpected<std::string> wrong(const Node& n, std::string_view wanted) {
  return std::unexpected("got " + std::string(kind_name(n.kind)) + ", expected " + std::string(wanted));
}

// The value of an integer item, when it fits in 64 signed bits.
Decoded<std::int64_t> signed_value(const Node& n) {
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (n.number > kMax) return reason("out of range integer value");
  const auto v = static_cast<std::int64_t>(n.number);
  return n.negative ? -1 - v : v;
}

// Where an item stands, which decides what is kept of it and which rules apply.
enum class Place {
  Opaque,             // only its kind matters
  Scalar,             // its value matters: integers, and the contents of strings
  Envelope,           // COSE_Sign1: [protected, unprotected, payload, signature]
  Header,             // a header map
  LabelList,          // the crit array
  Countersignatures,  // one COSE_Signature or an array of them
  Signature,          // COSE_Signature: [protected, unprotected, signature]
};

Verdict check_protected(std::span<const std::uint8_t> bytes, int depth);

// ---------------------------------------------------------------------------
// Header rules on single values

Verdict check_algorithm(const Node& v) {
  if (v.kind == Kind::Text) return {};
  if (v.kind != Kind::Int) return wrong(v, "int/tstr");
  auto value = signed_value(v);
  if (!value) return std::unexpected(value.error());
  if (!is_acceptable_algorithm(*value)) return reason("expected value in IANA or private use range");
  return {};
}

// A CoAP content format number, or a media type of the form type/subtype.
Verdict check_content_type(const Node& v) {
  if (v.kind == Kind::Int) {
    if (!v.negative && v.number <= 0xFFFF) return {};
    return reason("expected recognized IANA value");
  }
  if (v.kind != Kind::Text) return wrong(v, "int/tstr");
  const std::string_view text = v.text();
  if (text.empty()) return reason("got empty tstr, expected non-empty tstr");
  if (text.find('/') == std::string_view::npos) return reason("got arbitrary text, expected text of form type/subtype");
  if (unicode::trim_white_space(text).size() != text.size()) {
    return reason("got leading/trailing whitespace, expected no leading/trailing whitespace");
  }
  return {};
}

Verdict check_nonempty_bytes(const Node& v) {
  if (v.kind != Kind::Bytes) return wrong(v, "bstr");
  if (v.bytes().empty()) return reason("got empty bstr, expected non-empty bstr");
  return {};
}

// crit: a non-empty array of labels; the items were judged as they came.
Verdict check_label_list(const Node& v) {
  if (v.kind != Kind::Array) return wrong(v, "array value");
  if (v.count == 0) return reason("got empty array, expected non-empty array");
  return v.verdict;
}

Verdict check_countersignatures(const Node& v) {
  if (v.kind != Kind::Array) return wrong(v, "array");
  if (v.count == 0) return reason("got empty sig array, expected non-empty sig array");
  return v.verdict;
}

// A COSE_Signature whose three items are kept; they are checked from the
// last to the first. `depth` is the array's.
Verdict check_signature(const Node& v, int depth) {
  if (v.count != 3) return reason("got array, expected array with 3 items");
  const Node& protected_header = v.items[0];
  const Node& unprotected = v.items[1];
  const Node& signature = v.items[2];
  if (signature.kind != Kind::Bytes) return wrong(signature, "bstr");
  if (unprotected.kind != Kind::Map) return wrong(unprotected, "map");
  if (!unprotected.verdict) return unprotected.verdict;
  if (protected_header.kind != Kind::Bytes) return wrong(protected_header, "bstr");
  return check_protected(protected_header.bytes(), depth + 1);
}

// Applies the rules of one header entry, in the order of the map: the label,
// whether it was seen before, then its value.
class HeaderRules {
 public:
  // The place of the value that follows `label`.
  static Place value_place(const Node& label) {
    if (label.kind != Kind::Int || label.negative) return Place::Opaque;
    switch (label.number) {
      case 1: case 3: case 4: case 5: case 6:
        return Place::Scalar;
      case 2:
        return Place::LabelList;
      case 7:
        return Place::Countersignatures;
      default:
        return Place::Opaque;
    }
  }

  void entry(const Node& label, const Node& value) {
    if (verdict_) verdict_ = check_entry(label, value);
  }

  Verdict finish() {
    if (verdict_ && has_iv_ && has_partial_iv_) {
      return reason("got IV and partial-IV specified, expected only one of IV and partial IV");
    }
    return std::move(verdict_);
  }

 private:
  Verdict check_entry(const Node& label, const Node& value) {
    if (label.kind == Kind::Text) {
      if (!text_labels_.emplace(label.text()).second) return reason("duplicate map key");
      return {};  // text labels may carry anything
    }
    if (label.kind != Kind::Int) return wrong(label, "int/tstr");
    auto number = signed_value(label);
    if (!number) return std::unexpected(number.error());
    if (!int_labels_.insert(*number).second) return reason("duplicate map key");
    switch (*number) {
      case 1:  // alg
        return check_algorithm(value);
      case 2:  // crit
        return check_label_list(value);
      case 3:  // content type
        return check_content_type(value);
      case 4:  // key identifier
        return check_nonempty_bytes(value);
      case 5:  // IV
        has_iv_ = true;
        return check_nonempty_bytes(value);
      case 6:  // partial IV
        has_partial_iv_ = true;
        return check_nonempty_bytes(value);
      case 7:  // counter signature
        return check_countersignatures(value);
      default:
        return {};
    }
  }

  Verdict verdict_;
  std::set<std::int64_t> int_labels_;
  std::set<std::string, std::less<>> text_labels_;
  bool has_iv_ = false;
  bool has_partial_iv_ = false;
};

// ---------------------------------------------------------------------------
// Reading

// The CBOR data model of COSE knows false, true, null and undefined among
// the simple values; any other one fails the reading where it stands.
constexpr bool known_simple(std::uint64_t value) { return value >= 20 && value <= 23; }

class Scanner {
 public:
  explicit Scanner(std::span<const std::uint8_t> bytes) : input_(bytes), reader_(bytes) {}

  bool at_end() const { return reader_.at_end(); }

  cbor::Decoded<Node> item(Place place, int depth) {
    auto head = next_head();
    if (!head) return std::unexpected(head.error());
    return item_after(*head, place, depth);
  }

 private:
  cbor::Decoded<Head> next_head() {
    auto head = reader_.head();
    if (head && head->is_break()) return std::unexpected(DecodeError::syntax(head->offset));
    return head;
  }

  // One item whose head was just read. `depth` counts the arrays, maps and
  // tags around it, also across the byte strings that hold nested headers,
  // so that nesting is bounded however it is built.
  cbor::Decoded<Node> item_after(const Head& head, Place place, int depth) {
    Node n;
    switch (head.major) {
      case Major::Unsigned:
      case Major::Negative:
        n.kind = Kind::Int;
        n.negative = head.major == Major::Negative;
        n.number = head.argument;
        return n;
      case Major::Bytes:
      case Major::Text: {
        n.kind = head.major == Major::Bytes ? Kind::Bytes : Kind::Text;
        if (place == Place::Opaque) {
          if (auto r = reader_.skip_after(head); !r) return std::unexpected(r.error());  // still checked
          return n;
        }
        if (head.major == Major::Bytes && !head.indefinite) {
          // Left where it stands: a payload is not copied to be looked at.
          const std::size_t start = reader_.offset();
          if (auto r = reader_.skip_after(head); !r) return std::unexpected(r.error());
          n.string = ByteString::in_input(input_.subspan(start, reader_.offset() - start));
        } else if (head.major == Major::Bytes) {
          auto bytes = reader_.bytes_after(head);
          if (!bytes) return std::unexpected(bytes.error());
          n.string = ByteString::joined(std::move(*bytes));
        } else {
          auto text = reader_.text_after(head);
          if (!text) return std::unexpected(text.error());
          const auto* data = reinterpret_cast<const std::uint8_t*>(text->data());
          n.string = ByteString::joined(std::vector<std::uint8_t>(data, data + text->size()));
        }
        return n;
      }
      case Major::Simple:
        if (head.is_float()) {
          n.kind = Kind::Float;
          return n;
        }
        if (!known_simple(head.argument)) {
          return std::unexpected(
              DecodeError::semantic("unsupported simple value " + std::to_string(head.argument), head.offset));
        }
        n.kind = head.argument == 20 || head.argument == 21 ? Kind::Bool : Kind::Null;
        return n;
      case Major::Tag:
      case Major::Array:
      case Major::Map:
        break;
    }
    if (depth >= cbor::kMaxDepth) return std::unexpected(DecodeError::recursion_limit());
    if (head.major == Major::Tag) {
      n.kind = Kind::Tag;
      n.number = head.argument;
      // Only the envelope's own tag leads to structure that is checked.
      const bool envelope = place == Place::Envelope && head.argument == kCoseSign1Tag;
      auto inner = item(envelope ? Place::Envelope : Place::Opaque, depth + 1);
      if (!inner) return std::unexpected(inner.error());
      if (envelope) n.items.push_back(std::move(*inner));
      return n;
    }
    if (head.major == Major::Map) return map_after(head, place, depth);
    return array_after(head, place, depth);
  }

  // Calls `each(item_head, index)` for every item head of a container (keys
  // and values alike in a map), until the count or the break; `each` reads
  // the item. Returns the number of entries.
  template <class Each>
  cbor::Decoded<std::uint64_t> items(const Head& head, int per_entry, Each each) {
    std::uint64_t index = 0;
    std::uint64_t entry = 0;
    for (; head.indefinite || entry < head.argument; ++entry) {
      for (int k = 0; k < per_entry; ++k, ++index) {
        auto item_head = reader_.head();
        if (!item_head) return std::unexpected(item_head.error());
        if (item_head->is_break()) {
          // Ends an indefinite container, but only where an entry would start.
          if (!head.indefinite || k != 0) return std::unexpected(DecodeError::syntax(item_head->offset));
          return entry;
        }
        if (auto r = each(*item_head, index); !r) return std::unexpected(r.error());
      }
    }
    return entry;
  }

  cbor::Decoded<Node> array_after(const Head& head, Place place, int depth) {
    Node n;
    n.kind = Kind::Array;
    // The places of the items of positional structures, by index.
    static constexpr std::array kEnvelopeItems = {Place::Scalar, Place::Header, Place::Scalar, Place::Scalar};
    static constexpr std::array kSignatureItems = {Place::Scalar, Place::Header, Place::Scalar};
    std::span<const Place> positions;
    if (place == Place::Envelope) positions = kEnvelopeItems;
    if (place == Place::Signature) positions = kSignatureItems;
    // Countersignatures are a list of COSE_Signatures when the first item is
    // an array, otherwise one COSE_Signature.
    bool list = false;
    Verdict listed;  // the first failure among listed signatures or crit labels

    auto count = items(head, 1, [&](const Head& item_head, std::uint64_t i) -> cbor::Decoded<void> {
      if (place == Place::Countersignatures && i == 0) {
        list = item_head.major == Major::Array;
        if (!list) positions = kSignatureItems;
      }
      Place item_place = Place::Opaque;
      if (i < positions.size()) {
        item_place = positions[i];
      } else if (list) {
        item_place = Place::Signature;
      } else if (place == Place::LabelList) {
        item_place = Place::Scalar;
      }
      auto item = item_after(item_head, item_place, depth + 1);
      if (!item) return std::unexpected(item.error());
      if (i < positions.size()) {
        n.items.push_back(std::move(*item));
      } else if (list && listed) {
        listed = item->kind == Kind::Array ? std::move(item->verdict) : wrong(*item, "array");
      } else if (place == Place::LabelList && listed) {
        if (item->kind == Kind::Int) {
          if (auto v = signed_value(*item); !v) listed = std::unexpected(v.error());
        } else if (item->kind != Kind::Text) {
          listed = wrong(*item, "int/tstr");
        }
      }
      return {};
    });
    if (!count) return std::unexpected(count.error());
    n.count = *count;

    if (place == Place::Signature || (place == Place::Countersignatures && !list && n.count > 0)) {
      n.verdict = check_signature(n, depth);
      n.items.clear();  // judged; only the verdict is kept
    } else {
      n.verdict = std::move(listed);
    }
    return n;
  }

  cbor::Decoded<Node> map_after(const Head& head, Place place, int depth) {
    Node n;
    n.kind = Kind::Map;
    HeaderRules rules;
    Node label;
    auto count = items(head, 2, [&](const Head& item_head, std::uint64_t i) -> cbor::Decoded<void> {
      const bool is_label = i % 2 == 0;
      Place item_place = Place::Opaque;
      if (place == Place::Header) item_place = is_label ? Place::Scalar : HeaderRules::value_place(label);
      auto item = item_after(item_head, item_place, depth + 1);
      if (!item) return std::unexpected(item.error());
      if (place == Place::Header) {
        if (is_label) {
          label = std::move(*item);
        } else {
          rules.entry(label, *item);
        }
      }
      return {};
    });
    if (!count) return std::unexpected(count.error());
    n.count = *count;
    if (place == Place::Header) n.verdict = rules.finish();
    return n;
  }

  std::span<const std::uint8_t> input_;
  cbor::Reader reader_;
};

// One item at `place` that must use up all of `bytes`.
Decoded<Node> read_whole(std::span<const std::uint8_t> bytes, Place place, int depth) {
  Scanner scanner(bytes);
  auto node = scanner.item(place, depth);
  if (!node) return std::unexpected("decode CBOR failure: " + node.error().display());
  if (!scanner.at_end()) return reason("extraneous data in CBOR input");
  return std::move(*node);
}

// Headers inside a byte string: nothing, or one map with nothing after it.
Verdict check_protected(std::span<const std::uint8_t> bytes, int depth) {
  if (bytes.empty()) return {};
  auto header = read_whole(bytes, Place::Header, depth);
  if (!header) return std::unexpected(header.error());
  if (header->kind != Kind::Map) return wrong(*header, "map");
  return std::move(header->verdict);
}

// ---------------------------------------------------------------------------
// The envelope

// [protected bstr, unprotected map, payload bstr or null, signature bstr],
// its items checked from the last to the first.
Decoded<Sign1> sign1_from(Node& v) {
  if (v.kind != Kind::Array) return wrong(v, "array");
  if (v.count != 4) return reason("got array, expected array with 4 items");
  Node& protected_header = v.items[0];
  Node& unprotected = v.items[1];
  Node& payload = v.items[2];
  Node& signature = v.items[3];
  if (signature.kind != Kind::Bytes) return wrong(signature, "bstr");
  if (payload.kind != Kind::Bytes && payload.kind != Kind::Null) return wrong(payload, "bstr or nil");
  if (unprotected.kind != Kind::Map) return wrong(unprotected, "map");
  if (!unprotected.verdict) return std::unexpected(unprotected.verdict.error());
  if (protected_header.kind != Kind::Bytes) return wrong(protected_header, "bstr");
  // The protected header is an item of its own, read from a fresh start.
  if (auto r = check_protected(protected_header.bytes(), 0); !r) return std::unexpected(r.error());

  Sign1 out;
  out.protected_header = std::move(protected_header.string);
  if (payload.kind == Kind::Bytes) out.payload = std::move(payload.string);
  out.signature = std::move(signature.string);
  return out;
}

}  // namespace

Decoded<Sign1> decode_sign1(std::span<const std::uint8_t> bytes) {
  // Both readings see the same item, so a fault in the CBOR itself or bytes
  // left over fail them alike, and one pass serves both.
  auto item = read_whole(bytes, Place::Envelope, 0);
  if (!item) return std::unexpected(item.error());
  if (item->kind == Kind::Tag && !item->items.empty()) {  // tag 18
    if (auto tagged = sign1_from(item->items[0])) return tagged;
  }
  return sign1_from(*item);
}

}  // namespace vessolin::cose
