// Arithmetic in GF(2^8) with the reduction polynomial x^8 + x^4 + x^3 + x^2 + 1
// (0x11D) and generator 2. The field is part of the watermark format: the
// parity bytes written into texts depend on this exact polynomial.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "error/error.hpp"

namespace vessolin::gf256 {

struct Tables {
  // exp is doubled (exp[i + 255] == exp[i]) so that exp[log a + log b]
  // never needs a reduction modulo 255.
  std::array<std::uint8_t, 510> exp{};
  // log[0] is meaningless and left at 0; every user tests for zero first.
  std::array<std::uint8_t, 256> log{};
};

constexpr Tables make_tables() {
  Tables t;
  unsigned b = 1;
  for (unsigned i = 0; i < 255; ++i) {
    t.log[b] = static_cast<std::uint8_t>(i);
    t.exp[i] = static_cast<std::uint8_t>(b);
    b <<= 1;
    if (b >= 256) b = (b - 256) ^ 0x1D;
  }
  for (unsigned i = 0; i < 255; ++i) t.exp[i + 255] = t.exp[i];
  return t;
}

inline constexpr Tables kTables = make_tables();

constexpr std::uint8_t mul(std::uint8_t a, std::uint8_t b) {
  if (a == 0 || b == 0) return 0;
  return kTables.exp[kTables.log[a] + kTables.log[b]];
}

constexpr std::uint8_t div(std::uint8_t a, std::uint8_t b) {
  if (b == 0) throw InternalFault("division by zero in GF(2^8)");
  if (a == 0) return 0;
  return kTables.exp[kTables.log[a] + 255 - kTables.log[b]];
}

// a raised to the count n; 0^0 is 1.
constexpr std::uint8_t pow(std::uint8_t a, std::size_t n) {
  if (n == 0) return 1;
  if (a == 0) return 0;
  return kTables.exp[(kTables.log[a] * (n % 255)) % 255];
}

}  // namespace vessolin::gf256
