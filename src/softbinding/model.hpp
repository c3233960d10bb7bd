// The `c2pa.soft-binding` assertion as records. Field order is declaration
// order, which is also the order in which the keys are written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vessolin::softbinding {

enum class RangeType { Textual };

struct TextSelector {
  std::string fragment;
  std::optional<std::int32_t> start;  // code points of the canonical stream
  std::optional<std::int32_t> end;    // one past the last code point
  friend bool operator==(const TextSelector&, const TextSelector&) = default;
};

struct TextSelectorRange {
  TextSelector selector;
  friend bool operator==(const TextSelectorRange&, const TextSelectorRange&) = default;
};

struct Text {
  std::vector<TextSelectorRange> selectors;
  friend bool operator==(const Text&, const Text&) = default;
};

struct Range {
  RangeType type = RangeType::Textual;
  std::optional<Text> text;
  friend bool operator==(const Range&, const Range&) = default;
};

struct RegionOfInterest {
  std::vector<Range> region;
  friend bool operator==(const RegionOfInterest&, const RegionOfInterest&) = default;
};

struct Scope {
  std::optional<RegionOfInterest> region;  // absent: the whole text
  friend bool operator==(const Scope&, const Scope&) = default;
};

struct Block {
  Scope scope;
  std::string value;
  friend bool operator==(const Block&, const Block&) = default;
};

struct SoftBinding {
  std::string alg;
  std::vector<Block> blocks;
  std::optional<std::string> name;
  std::vector<std::uint8_t> pad;
  friend bool operator==(const SoftBinding&, const SoftBinding&) = default;
};

}  // namespace vessolin::softbinding
