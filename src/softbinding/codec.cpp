#include "softbinding/codec.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>

#include "cbor/cbor.hpp"
#include "unicode/utf8_fault.hpp"

namespace vessolin::softbinding {

// ---------------------------------------------------------------------------
// Writing

namespace {

bool valid_text(std::string_view s) {
  return utf8::is_valid({reinterpret_cast<const std::uint8_t*>(s.data()), s.size()});
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

// The reader writes a head's major type and additional information as two
// bytes. Compared together they would be read back as one 16-bit word,
// which the processor cannot forward from its store buffer and waits for;
// compared one after the other, each byte is forwarded at once. Thousands
// of items pass through these tests in a large assertion.
bool is_simple(const Head& h, std::uint8_t value) {
  const Major major = h.major;
  if (major != Major::Simple) return false;
  const std::uint8_t info = h.info;  // simple values below 24; the reader refuses two-byte ones below 32
  return info == value;
}

bool is_break(const Head& h) { return is_simple(h, 31); }

// Null and undefined leave an optional field absent.
bool is_absent(const Head& h) { return is_simple(h, 22) || is_simple(h, 23); }

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
// allocation is sized by a length that the input claims. Its steps return
// whether they succeeded and leave the first failure in `error_`: thousands
// of items pass through them in a large assertion, and a plain flag is what
// keeps that cheap.
class AssertionReader {
 public:
  explicit AssertionReader(cbor::Reader& reader) : r_(reader) {}

  Decoded<SoftBinding> assertion() {
    SoftBinding out;
    if (!item([&](const Head& h) { return soft_binding(h, out); })) return std::unexpected(std::move(*error_));
    return out;
  }

 private:
  bool fail(DecodeError e) {
    error_ = std::move(e);
    return false;
  }
  bool fail_semantic(std::string message) { return fail(DecodeError::semantic(std::move(message))); }
  // Keeps the failure of a step of the pull reader.
  template <class T>
  bool ok(const Decoded<T>& step) {
    if (step) return true;
    error_ = step.error();
    return false;
  }

  // The head of the next item after any tags, each tag one nesting level
  // until the item is read. With `break_ends`, a break code in place of the
  // item is returned (it ends an indefinite container); a break after a
  // tag, or where it may not stand, is malformed.
  //
  // One result object is returned from every path, so that it is built in
  // the caller's frame and the head is never copied: a copy reads the
  // fields just written byte by byte as wider words, which the processor
  // cannot forward from its store buffer and waits for.
  Decoded<Head> head_after_tags(TagLevels& tags, bool break_ends) {
    Decoded<Head> h = r_.head();
    while (h && h->major == Major::Tag) {
      if (auto entered = r_.enter(); !entered) {
        h = std::unexpected(entered.error());
        return h;
      }
      ++tags.count();
      h = r_.head();
    }
    if (h && is_break(*h) && !(break_ends && tags.count() == 0)) h = std::unexpected(DecodeError::syntax(h->offset));
    return h;
  }

  // Reads one item with `read(head)`, tags in front of it skipped.
  template <class Read>
  bool item(Read read) {
    TagLevels tags(r_);
    const Decoded<Head> h = head_after_tags(tags, false);
    return ok(h) && read(*h);
  }

  // A type mismatch. A string found is read to its end first, as a reader
  // that meets it must before it can tell what it holds.
  bool mismatch(const Head& h, std::string_view wanted) {
    if ((h.major == Major::Bytes || h.major == Major::Text) && !ok(r_.skip_after(h))) return false;
    return fail_semantic("invalid type: " + found(h) + ", expected " + std::string(wanted));
  }

  // Text without a copy of its own, valid until the next string is read.
  bool text_view(const Head& h, std::string_view& out) {
    auto t = r_.text_view_after(h, joined_);
    if (!ok(t)) return false;
    out = *t;
    return true;
  }

  bool text(const Head& h, std::string& out) {
    if (h.major != Major::Text) return mismatch(h, "str");
    std::string_view t;
    if (!text_view(h, t)) return false;
    out.assign(t);
    return true;
  }

  bool bytes(const Head& h, std::vector<std::uint8_t>& out) {
    if (h.major != Major::Bytes) return mismatch(h, "bytes");
    auto b = r_.bytes_after(h);
    if (!ok(b)) return false;
    out = std::move(*b);
    return true;
  }

  bool i32(const Head& h, std::optional<std::int32_t>& out) {
    if (h.major != Major::Unsigned && h.major != Major::Negative) return mismatch(h, "integer");
    constexpr std::uint64_t kMax = std::numeric_limits<std::int32_t>::max();
    if (h.argument > kMax) return fail_semantic("invalid value: integer `" + integer_text(h) + "`, expected i32");
    const auto n = static_cast<std::int32_t>(h.argument);
    out = h.major == Major::Unsigned ? n : -1 - n;
    return true;
  }

  bool range_type(const Head& h, RangeType& out) {
    if (h.major != Major::Text) return mismatch(h, "enum");
    std::string_view t;
    if (!text_view(h, t)) return false;
    if (t != "textual") return fail_semantic("unknown variant `" + std::string(t) + "`, expected `textual`");
    out = RangeType::Textual;
    return true;
  }

  // An array, `element(head)` called once per item.
  template <class Element>
  bool array(const Head& h, Element element) {
    if (h.major != Major::Array) return mismatch(h, "array");
    if (!ok(r_.enter())) return false;
    // Every item takes at least one byte, so a huge count ends at the end
    // of the input.
    for (std::uint64_t i = 0; h.indefinite || i < h.argument; ++i) {
      TagLevels tags(r_);
      const Decoded<Head> e = head_after_tags(tags, h.indefinite);
      if (!ok(e)) return false;
      if (is_break(*e)) break;
      if (!element(*e)) return false;
    }
    r_.leave();
    return true;
  }

  // A record's map. `field(index, head)` reads the value of field `index`
  // (in declaration order, as named in `names`); unknown and non-text keys
  // are skipped with their values. A field met twice fails when its second
  // key is read; missing required fields are reported once the whole map
  // has been read, the first in declaration order.
  template <std::size_t N, class Field>
  bool record(const Head& h, const std::string_view (&names)[N], const bool (&required)[N], Field field) {
    if (h.major != Major::Map) return mismatch(h, "map");
    if (!ok(r_.enter())) return false;
    bool seen[N] = {};
    // Every pair takes at least two bytes, so a huge count ends at the end
    // of the input.
    for (std::uint64_t i = 0; h.indefinite || i < h.argument; ++i) {
      std::size_t index;
      bool ended = false;
      if (!key(h.indefinite, names, index, ended)) return false;
      if (ended) break;
      if (index == N) {
        if (!ok(r_.skip())) return false;
        continue;
      }
      if (seen[index]) return fail_semantic("duplicate field `" + std::string(names[index]) + "`");
      seen[index] = true;
      if (!item([&](const Head& value) { return field(index, value); })) return false;
    }
    r_.leave();
    for (std::size_t i = 0; i < N; ++i) {
      if (required[i] && !seen[i]) return fail_semantic("missing field `" + std::string(names[i]) + "`");
    }
    return true;
  }

  // Reads a key: `index` becomes the index of the field it names, N for
  // any other key (also one that is not text); `ended` is set by the break
  // that ends an indefinite map. Tags in front of the key nest only the key.
  template <std::size_t N>
  bool key(bool break_ends, const std::string_view (&names)[N], std::size_t& index, bool& ended) {
    TagLevels tags(r_);
    const Decoded<Head> h = head_after_tags(tags, break_ends);
    if (!ok(h)) return false;
    index = N;
    if (is_break(*h)) {
      ended = true;
      return true;
    }
    if (h->major != Major::Text) return ok(r_.skip_after(*h));
    std::string_view name;
    if (!text_view(*h, name)) return false;
    for (std::size_t i = 0; i < N; ++i) {
      if (names[i] == name) index = i;
    }
    return true;
  }

  // -------------------------------------------------------------------------
  // The records

  bool soft_binding(const Head& h, SoftBinding& out) {
    static constexpr std::string_view kNames[] = {"alg", "blocks", "name", "pad"};
    static constexpr bool kRequired[] = {true, true, false, true};
    return record(h, kNames, kRequired, [&](std::size_t field, const Head& v) {
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
          return is_absent(v) || text(v, out.name.emplace());
        default:
          return bytes(v, out.pad);
      }
    });
  }

  bool block(const Head& h, Block& out) {
    static constexpr std::string_view kNames[] = {"scope", "value"};
    static constexpr bool kRequired[] = {true, true};
    return record(h, kNames, kRequired, [&](std::size_t field, const Head& v) {
      return field == 0 ? scope(v, out.scope) : text(v, out.value);
    });
  }

  bool scope(const Head& h, Scope& out) {
    static constexpr std::string_view kNames[] = {"region"};
    static constexpr bool kRequired[] = {false};
    return record(h, kNames, kRequired, [&](std::size_t, const Head& v) {
      return is_absent(v) || region_of_interest(v, out.region.emplace());
    });
  }

  bool region_of_interest(const Head& h, RegionOfInterest& out) {
    static constexpr std::string_view kNames[] = {"region"};
    static constexpr bool kRequired[] = {true};
    return record(h, kNames, kRequired, [&](std::size_t, const Head& v) {
      return array(v, [&](const Head& e) { return range(e, out.region.emplace_back()); });
    });
  }

  bool range(const Head& h, Range& out) {
    static constexpr std::string_view kNames[] = {"type", "text"};
    static constexpr bool kRequired[] = {true, false};
    return record(h, kNames, kRequired, [&](std::size_t field, const Head& v) {
      if (field == 0) return range_type(v, out.type);
      return is_absent(v) || text_range(v, out.text.emplace());
    });
  }

  bool text_range(const Head& h, Text& out) {
    static constexpr std::string_view kNames[] = {"selectors"};
    static constexpr bool kRequired[] = {true};
    return record(h, kNames, kRequired, [&](std::size_t, const Head& v) {
      return array(v, [&](const Head& e) { return selector_range(e, out.selectors.emplace_back()); });
    });
  }

  bool selector_range(const Head& h, TextSelectorRange& out) {
    static constexpr std::string_view kNames[] = {"selector"};
    static constexpr bool kRequired[] = {true};
    return record(h, kNames, kRequired, [&](std::size_t, const Head& v) { return selector(v, out.selector); });
  }

  bool selector(const Head& h, TextSelector& out) {
    static constexpr std::string_view kNames[] = {"fragment", "start", "end"};
    static constexpr bool kRequired[] = {true, false, false};
    return record(h, kNames, kRequired, [&](std::size_t field, const Head& v) {
      if (field == 0) return text(v, out.fragment);
      return is_absent(v) || i32(v, field == 1 ? out.start : out.end);
    });
  }

  cbor::Reader& r_;
  std::optional<DecodeError> error_;
  std::string joined_;  // the chunks of the last indefinite-length text
};

}  // namespace

Result<SoftBinding> decode_soft_binding(std::span<const std::uint8_t> cbor_bytes) {
  if (auto assertion = decode_encoder_form(cbor_bytes)) return std::move(*assertion);
  return decode_any_form(cbor_bytes);
}

Result<SoftBinding> decode_any_form(std::span<const std::uint8_t> cbor_bytes) {
  cbor::Reader reader(cbor_bytes);
  auto decoded = AssertionReader(reader).assertion();
  if (!decoded) return std::unexpected(Error::invalid_input("soft-binding CBOR decode: " + decoded.error().display()));
  return std::move(*decoded);
}

}  // namespace vessolin::softbinding
