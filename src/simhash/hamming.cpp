#include <cstring>

#include "cpu/popcount.hpp"

#include "hex/hex.hpp"
#include "simhash/fingerprint.hpp"

namespace vessolin {

std::string fingerprint_hex(const Fingerprint256& fp) { return hex::encode(fp); }

std::optional<Fingerprint256> decode_fingerprint_hex(std::string_view text) {
  Fingerprint256 fp;
  if (text.size() != 2 * fp.size() || !hex::decode_exact(text, fp.data())) return std::nullopt;
  return fp;
}

unsigned hamming_distance(const Fingerprint256& x, const Fingerprint256& y) {
  // Word by word: a classification compares a text's print with every
  // window block of an assertion, hundreds for a long text.
  unsigned bits = 0;
  for (std::size_t i = 0; i < x.size(); i += 8) {
    std::uint64_t a, b;
    std::memcpy(&a, x.data() + i, 8);
    std::memcpy(&b, y.data() + i, 8);
    bits += cpu::popcount64(a ^ b);
  }
  return bits;
}

}  // namespace vessolin
