#include "records/records.hpp"

#include "crypto/digest.hpp"
#include "simhash/structural.hpp"
#include "simhash/surface.hpp"

namespace vessolin {

RecordValues record_values(std::string_view text) {
  const std::string stream = canonical_stream(text);
  return {
      crypto::sha256(stream),
      sequence_fingerprint(stream),
      structural_fingerprint(text),
      minhash_sketch_of_stream(stream),
  };
}

}  // namespace vessolin
