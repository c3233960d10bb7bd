// The five values a discovery index keeps for one text, computed together:
// one canonical stream serves the content digest, the surface fingerprint
// and the MinHash sketch, and one sketch gives both the signature and the
// band keys.
#pragma once

#include "canonical/canonical.hpp"
#include "minhash/minhash.hpp"
#include "simhash/fingerprint.hpp"

namespace vessolin {

struct RecordValues {
  Digest32 content_digest;    // as content_digest()
  Fingerprint256 surface;     // as surface_fingerprint().whole
  Fingerprint256 structure;   // as structural_fingerprint()
  MinHashSketch sketch;       // as minhash_sketch()
};

// `text` must be valid UTF-8.
RecordValues record_values(std::string_view text);

}  // namespace vessolin
