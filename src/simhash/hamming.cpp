#include <bit>

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
  unsigned bits = 0;
  for (std::size_t i = 0; i < x.size(); ++i) bits += std::popcount(static_cast<unsigned>(x[i] ^ y[i]));
  return bits;
}

}  // namespace vessolin
