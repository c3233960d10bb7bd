// The one parser of the test module's number arguments.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace vessolin::python {

// Unsigned decimal numbers separated by spaces; nothing if any piece is not one.
inline std::optional<std::vector<std::uint64_t>> decimal_list(std::string_view text) {
  std::vector<std::uint64_t> values;
  const char* p = text.data();
  const char* end = p + text.size();
  for (;;) {
    while (p != end && *p == ' ') ++p;
    if (p == end) return values;
    std::uint64_t v = 0;
    const auto r = std::from_chars(p, end, v);
    if (r.ec != std::errc() || (r.ptr != end && *r.ptr != ' ')) return std::nullopt;
    values.push_back(v);
    p = r.ptr;
  }
}

}  // namespace vessolin::python
