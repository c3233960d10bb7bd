#include "records/records.hpp"

#include "crypto/digest.hpp"
#include "simhash/structural.hpp"
#include "simhash/surface.hpp"

namespace vessolin {

RecordValues record_values(std::string_view text) {
  const CanonicalForms forms = canonical_forms(text);
  return {
      crypto::sha256(forms.stream),
      sequence_fingerprint(forms.stream),
      structural_fingerprint_of_normalized(forms.normalized),
      minhash_sketch_of_stream(forms.stream),
  };
}

}  // namespace vessolin
