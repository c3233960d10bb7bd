#include "softbinding/codec.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>

#include "cbor/cbor.hpp"

namespace vessolin::softbinding {

// ---------------------------------------------------------------------------
// Writing

namespace {

bool valid_text(std::string_view s) {
  return cbor::valid_utf8({reinterpret_cast<const std::uint8_t*>(s.data()), s.size()});
}

// The first text field that CBOR could not carry, if any.
const char* invalid_text_field(const SoftBinding& a) {
  if (!valid_text(a.alg)) return "alg";
  if (a.name && !valid_text(*a.name)) return "name";
  for (const Block& block : a.blocks) {
    if (!valid_text(block.value)) return "value";
    if (!block.scope.region) continue;
    for (const Range& range : block.scope.region->region) {
      if (!range.text) continue;
      for (const TextSelectorRange& s : range.text->selectors) {
        if (!valid_text(s.selector.fragment)) return "fragment";
      }
    }
  }
  return nullptr;
}

void write_optional_int(cbor::Writer& w, const std::optional<std::int32_t>& v) {
  if (v) {
    w.signed_int(*v);
  } else {
    w.null();
  }
}

void write_scope(cbor::Writer& w, const Scope& scope) {
  if (!scope.region) {
    w.map(0);
    return;
  }
  w.map(1);
  w.text("region");
  w.map(1);  // RegionOfInterest
  w.text("region");
  w.array(scope.region->region.size());
  for (const Range& range : scope.region->region) {
    w.map(range.text ? 2 : 1);
    w.text("type");
    w.text("textual");
    if (!range.text) continue;
    w.text("text");
    w.map(1);  // Text
    w.text("selectors");
    w.array(range.text->selectors.size());
    for (const TextSelectorRange& s : range.text->selectors) {
      w.map(1);  // TextSelectorRange
      w.text("selector");
      w.map(3);  // TextSelector: start and end are never left out
      w.text("fragment");
      w.text(s.selector.fragment);
      w.text("start");
      write_optional_int(w, s.selector.start);
      w.text("end");
      write_optional_int(w, s.selector.end);
    }
  }
}

}  // namespace

Result<std::vector<std::uint8_t>> encode_soft_binding(const SoftBinding& a) {
  if (const char* field = invalid_text_field(a)) {
    return std::unexpected(Error::generation_failed(std::string("soft-binding CBOR encode: text field `") + field +
                                                    "` is not valid UTF-8"));
  }
  cbor::Writer w;
  std::size_t size = 64 + a.alg.size() + a.pad.size() + (a.name ? a.name->size() : 0);
  for (const Block& block : a.blocks) size += 160 + block.value.size();
  w.reserve(size);

  w.map(a.name ? 4 : 3);
  w.text("alg");
  w.text(a.alg);
  w.text("blocks");
  w.array(a.blocks.size());
  for (const Block& block : a.blocks) {
    w.map(2);
    w.text("scope");
    write_scope(w, block.scope);
    w.text("value");
    w.text(block.value);
  }
  if (a.name) {
    w.text("name");
    w.text(*a.name);
  }
  w.text("pad");
  w.bytes(a.pad);
  return w.take();
}

// ---------------------------------------------------------------------------
// Reading

namespace {

using cbor::Decoded;
using cbor::DecodeError;
using cbor::Head;
using cbor::Major;

std::unexpected<DecodeError> semantic(std::string message) {
  return std::unexpected(DecodeError::semantic(std::move(message)));
}

// The value of an integer head in decimal; a negative head's -1 - n may be
// as low as -2^64.
std::string integer_text(const Head& h) {
  if (h.major == Major::Unsigned) return std::to_string(h.argument);
  if (h.argument == std::numeric_limits<std::uint64_t>::max()) return "-18446744073709551616";
  return "-" + std::to_string(h.argument + 1);
}

// Shortest decimal that reads back as the same double, never in exponent
// form, with ".0" after an integral value.
std::string float_text(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buffer[400];  // the longest fixed form of a double is 1 + 309 + 1 + 17 digits
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::fixed);
  std::string out(buffer, r.ptr);
  if (out.find('.') == std::string::npos) out += ".0";
  return out;
}

// What stands where something else was wanted, as the type mismatch names it.
std::string found(const Head& h) {
  switch (h.major) {
    case Major::Unsigned:
    case Major::Negative:
      return "integer `" + integer_text(h) + "`";
    case Major::Bytes:
      return "bytes";
    case Major::Text:
      return "string";
    case Major::Array:
      return "sequence";
    case Major::Map:
      return "map";
    case Major::Tag:  // tags are skipped before an item is looked at
      return "tag";
    case Major::Simple:
      if (h.is_float()) return "floating point `" + float_text(cbor::float_value(h)) + "`";
      if (h.argument == 20) return "boolean `false`";
      if (h.argument == 21) return "boolean `true`";
      if (h.is_null()) return "null";
      if (h.is_undefined()) return "undefined";
      return "simple";
  }
  return "simple";
}

bool is_absent(const Head& h) { return h.is_null() || h.is_undefined(); }

// Ends the nesting levels of the tags read in front of one item.
class TagLevels {
 public:
  explicit TagLevels(cbor::Reader& reader) : reader_(reader) {}
  ~TagLevels() {
    for (int i = 0; i < count_; ++i) reader_.leave();
  }
  TagLevels(const TagLevels&) = delete;
  TagLevels& operator=(const TagLevels&) = delete;
  int& count() { return count_; }

 private:
  cbor::Reader& reader_;
  int count_ = 0;
};

// The typed reader: each record is read straight from the pull reader, one
// field at a time, so nothing is built for keys it does not know and no
// allocation is sized by a length that the input claims.
class AssertionReader {
 public:
  explicit AssertionReader(cbor::Reader& reader) : r_(reader) {}

  Decoded<SoftBinding> assertion() {
    SoftBinding out;
    if (auto done = item([&](const Head& h) { return soft_binding(h, out); }); !done) {
      return std::unexpected(done.error());
    }
    return out;
  }

 private:
  // The head of the next item after any tags, each tag one nesting level
  // until the item is read. With `break_ends`, a break code in place of the
  // item is returned (it ends an indefinite container); a break after a
  // tag, or where it may not stand, is malformed.
  Decoded<Head> head_after_tags(TagLevels& tags, bool break_ends) {
    for (;;) {
      auto h = r_.head();
      if (!h) return h;
      if (h->is_break()) {
        if (break_ends && tags.count() == 0) return h;
        return std::unexpected(DecodeError::syntax(h->offset));
      }
      if (h->major != Major::Tag) return h;
      if (auto entered = r_.enter(); !entered) return std::unexpected(entered.error());
      ++tags.count();
    }
  }

  // Reads one item with `read(head)`, tags in front of it skipped.
  template <class Read>
  Decoded<void> item(Read read) {
    TagLevels tags(r_);
    auto h = head_after_tags(tags, false);
    if (!h) return std::unexpected(h.error());
    return read(*h);
  }

  // A type mismatch. A string found is read to its end first, as a reader
  // that meets it must before it can tell what it holds.
  std::unexpected<DecodeError> mismatch(const Head& h, std::string_view wanted) {
    if (h.major == Major::Bytes || h.major == Major::Text) {
      if (auto skipped = r_.skip_after(h); !skipped) return std::unexpected(skipped.error());
    }
    return semantic("invalid type: " + found(h) + ", expected " + std::string(wanted));
  }

  // Text without a copy of its own, valid until the next string is read.
  Decoded<std::string_view> text_view(const Head& h) { return r_.text_view_after(h, joined_); }

  Decoded<void> text(const Head& h, std::string& out) {
    if (h.major != Major::Text) return mismatch(h, "str");
    auto t = text_view(h);
    if (!t) return std::unexpected(t.error());
    out.assign(*t);
    return {};
  }

  Decoded<void> bytes(const Head& h, std::vector<std::uint8_t>& out) {
    if (h.major != Major::Bytes) return mismatch(h, "bytes");
    auto b = r_.bytes_after(h);
    if (!b) return std::unexpected(b.error());
    out = std::move(*b);
    return {};
  }

  Decoded<void> i32(const Head& h, std::optional<std::int32_t>& out) {
    if (h.major != Major::Unsigned && h.major != Major::Negative) return mismatch(h, "integer");
    constexpr std::uint64_t kMax = std::numeric_limits<std::int32_t>::max();
    if (h.argument > kMax) return semantic("invalid value: integer `" + integer_text(h) + "`, expected i32");
    const auto n = static_cast<std::int32_t>(h.argument);
    out = h.major == Major::Unsigned ? n : -1 - n;
    return {};
  }

  Decoded<void> range_type(const Head& h, RangeType& out) {
    if (h.major != Major::Text) return mismatch(h, "enum");
    auto t = text_view(h);
    if (!t) return std::unexpected(t.error());
    if (*t != "textual") return semantic("unknown variant `" + std::string(*t) + "`, expected `textual`");
    out = RangeType::Textual;
    return {};
  }

  // An array, `element()` called once per item.
  template <class Element>
  Decoded<void> array(const Head& h, Element element) {
    if (h.major != Major::Array) return mismatch(h, "array");
    if (auto entered = r_.enter(); !entered) return entered;
    Decoded<void> result = h.indefinite ? indefinite_items(element) : definite_items(h.argument, element);
    r_.leave();
    return result;
  }

  template <class Element>
  Decoded<void> definite_items(std::uint64_t count, Element& element) {
    // Every item takes at least one byte, so a huge count ends at the end
    // of the input.
    for (std::uint64_t i = 0; i < count; ++i) {
      if (auto done = item(element); !done) return done;
    }
    return {};
  }

  template <class Element>
  Decoded<void> indefinite_items(Element& element) {
    for (;;) {
      TagLevels tags(r_);
      auto h = head_after_tags(tags, true);
      if (!h) return std::unexpected(h.error());
      if (h->is_break()) return {};
      if (auto done = element(*h); !done) return done;
    }
  }

  // A record's map. `field(index, head)` reads the value of field `index`
  // (in declaration order, as named in `names`); unknown and non-text keys
  // are skipped with their values. A field met twice fails when its second
  // key is read; missing required fields are reported once the whole map
  // has been read, the first in declaration order.
  template <std::size_t N, class Field>
  Decoded<void> record(const Head& h, const std::string_view (&names)[N], const bool (&required)[N], Field field) {
    if (h.major != Major::Map) return mismatch(h, "map");
    if (auto entered = r_.enter(); !entered) return entered;
    bool seen[N] = {};
    Decoded<void> result = pairs(h, names, seen, field);
    r_.leave();
    if (!result) return result;
    for (std::size_t i = 0; i < N; ++i) {
      if (required[i] && !seen[i]) return semantic("missing field `" + std::string(names[i]) + "`");
    }
    return {};
  }

  template <std::size_t N, class Field>
  Decoded<void> pairs(const Head& map, const std::string_view (&names)[N], bool (&seen)[N], Field& field) {
    // Every pair takes at least two bytes, so a huge count ends at the end
    // of the input.
    for (std::uint64_t i = 0; map.indefinite || i < map.argument; ++i) {
      auto index = key(map.indefinite, names);
      if (!index) return std::unexpected(index.error());
      if (!*index) return {};  // the break of an indefinite map
      if (**index == N) {
        if (auto skipped = r_.skip(); !skipped) return skipped;
        continue;
      }
      const std::size_t f = **index;
      if (seen[f]) return semantic("duplicate field `" + std::string(names[f]) + "`");
      seen[f] = true;
      if (auto done = item([&](const Head& value) { return field(f, value); }); !done) return done;
    }
    return {};
  }

  // Reads a key: the index of the field it names, N for any other key
  // (also one that is not text), nothing for the break that ends an
  // indefinite map. Tags in front of the key nest only the key.
  template <std::size_t N>
  Decoded<std::optional<std::size_t>> key(bool break_ends, const std::string_view (&names)[N]) {
    TagLevels tags(r_);
    auto h = head_after_tags(tags, break_ends);
    if (!h) return std::unexpected(h.error());
    if (h->is_break()) return std::nullopt;
    if (h->major != Major::Text) {
      if (auto skipped = r_.skip_after(*h); !skipped) return std::unexpected(skipped.error());
      return N;
    }
    auto name = text_view(*h);
    if (!name) return std::unexpected(name.error());
    for (std::size_t i = 0; i < N; ++i) {
      if (names[i] == *name) return i;
    }
    return N;
  }

  // -------------------------------------------------------------------------
  // The records

  Decoded<void> soft_binding(const Head& h, SoftBinding& out) {
    static constexpr std::string_view kNames[] = {"alg", "blocks", "name", "pad"};
    static constexpr bool kRequired[] = {true, true, false, true};
    return record(h, kNames, kRequired, [&](std::size_t field, const Head& v) -> Decoded<void> {
      switch (field) {
        case 0:
          return text(v, out.alg);
        case 1:
          if (v.major == Major::Array && !v.indefinite) {
            // Room for as many blocks as the input can still hold (a block
            // takes at least 15 bytes), never for a count it merely claims.
            out.blocks.reserve(std::min<std::uint64_t>(v.argument, r_.remaining() / 15));
          }
          return array(v, [&](const Head& e) { return block(e, out.blocks.emplace_back()); });
        case 2:
          if (is_absent(v)) return {};
          return text(v, out.name.emplace());
        default:
          return bytes(v, out.pad);
      }
    });
  }

  Decoded<void> block(const Head& h, Block& out) {
    static constexpr std::string_view kNames[] = {"scope", "value"};
    static constexpr bool kRequired[] = {true, true};
    return record(h, kNames, kRequired, [&](std::size_t field, const Head& v) -> Decoded<void> {
      if (field == 0) return scope(v, out.scope);
      return text(v, out.value);
    });
  }

  Decoded<void> scope(const Head& h, Scope& out) {
    static constexpr std::string_view kNames[] = {"region"};
    static constexpr bool kRequired[] = {false};
    return record(h, kNames, kRequired, [&](std::size_t, const Head& v) -> Decoded<void> {
      if (is_absent(v)) return {};
      return region_of_interest(v, out.region.emplace());
    });
  }

  Decoded<void> region_of_interest(const Head& h, RegionOfInterest& out) {
    static constexpr std::string_view kNames[] = {"region"};
    static constexpr bool kRequired[] = {true};
    return record(h, kNames, kRequired, [&](std::size_t, const Head& v) -> Decoded<void> {
      return array(v, [&](const Head& e) { return range(e, out.region.emplace_back()); });
    });
  }

  Decoded<void> range(const Head& h, Range& out) {
    static constexpr std::string_view kNames[] = {"type", "text"};
    static constexpr bool kRequired[] = {true, false};
    return record(h, kNames, kRequired, [&](std::size_t field, const Head& v) -> Decoded<void> {
      if (field == 0) return range_type(v, out.type);
      if (is_absent(v)) return {};
      return text_range(v, out.text.emplace());
    });
  }

  Decoded<void> text_range(const Head& h, Text& out) {
    static constexpr std::string_view kNames[] = {"selectors"};
    static constexpr bool kRequired[] = {true};
    return record(h, kNames, kRequired, [&](std::size_t, const Head& v) -> Decoded<void> {
      return array(v, [&](const Head& e) { return selector_range(e, out.selectors.emplace_back()); });
    });
  }

  Decoded<void> selector_range(const Head& h, TextSelectorRange& out) {
    static constexpr std::string_view kNames[] = {"selector"};
    static constexpr bool kRequired[] = {true};
    return record(h, kNames, kRequired,
                  [&](std::size_t, const Head& v) -> Decoded<void> { return selector(v, out.selector); });
  }

  Decoded<void> selector(const Head& h, TextSelector& out) {
    static constexpr std::string_view kNames[] = {"fragment", "start", "end"};
    static constexpr bool kRequired[] = {true, false, false};
    return record(h, kNames, kRequired, [&](std::size_t field, const Head& v) -> Decoded<void> {
      if (field == 0) return text(v, out.fragment);
      std::optional<std::int32_t>& position = field == 1 ? out.start : out.end;
      if (is_absent(v)) return {};
      return i32(v, position);
    });
  }

  cbor::Reader& r_;
  std::string joined_;  // the chunks of the last indefinite-length text
};

}  // namespace

Result<SoftBinding> decode_soft_binding(std::span<const std::uint8_t> cbor_bytes) {
  cbor::Reader reader(cbor_bytes);
  auto decoded = AssertionReader(reader).assertion();
  if (!decoded) return std::unexpected(Error::invalid_input("soft-binding CBOR decode: " + decoded.error().display()));
  return std::move(*decoded);
}

}  // namespace vessolin::softbinding
