#include "stego/watermark.hpp"

#include <algorithm>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "canonical/canonical.hpp"
#include "erasure/shard_codec.hpp"
#include "stego/alphabet.hpp"
#include "stego/placement.hpp"
#include "stego/scan.hpp"
#include "stego/text_walk.hpp"

namespace vessolin::stego {

namespace {

// What both sides derive from the text with its invisible code points
// removed, so that adding or removing zero-width marks changes neither: the
// content digest (which keys the tag and the order) and the slot count.
struct Basis {
  Digest32 digest;
  std::size_t slot_count;
  std::vector<ScanCheckpoint> checkpoints;  // for the scan that follows
};

Result<Basis> basis_of(std::string_view text) {
  TextCensus census = take_census(text);
  if (census.slots < kShards) return std::unexpected(Error::content_too_short());
  // An invisible code point can block a composition that the text without it
  // gets, so the digest is of the stripped text. Where no invisible code
  // point stands before one that NFC would combine (as around the groups of
  // a marked text), the text's own digest is the same and needs no copy.
  const Digest32 digest =
      census.invisible_splits_nfc ? content_digest(strip_invisible(text)) : content_digest(text);
  return Basis{digest, census.slots, std::move(census.checkpoints)};
}

// The 48 scan words that the key and the content choose.
std::vector<ScanWord> chosen_words(std::string_view text, std::span<const std::uint8_t> key, const Basis& basis) {
  const std::vector<std::size_t> order = placement_order(basis.slot_count, key, basis.digest, kShards);
  return scan_words(text, order, basis.checkpoints);
}

Error coding_error(erasure::CodecError e) { return Error::coding(std::string(erasure::name(e))); }

// A scan word that already holds symbols gives extraction five or more where
// it expects four: that shard is lost. Past 24 such words the watermark
// could not be read back at all.
constexpr std::size_t kMaxOccupied = kMaxErasures;

}  // namespace

Result<std::vector<GroupInsertion>> watermark_insertions(std::string_view text, std::span<const std::uint8_t> pointer,
                                                         std::span<const std::uint8_t> key) {
  const Result<Basis> basis = basis_of(text);
  if (!basis) return std::unexpected(basis.error());
  const PointerField field = pointer_field(pointer);
  const Result<ShardVector> shards = encode_shards(make_payload(field, binding_tag(key, basis->digest, field)));
  if (!shards) return std::unexpected(shards.error());

  const std::vector<ScanWord> chosen = chosen_words(text, key, *basis);
  // Every slot of the stripped text lies in its own scan word, so the
  // first slot-count scan words exist.
  if (!std::ranges::all_of(chosen, &ScanWord::found)) throw InternalFault("a chosen scan word is missing");
  const auto occupied = std::ranges::count_if(chosen, [](const ScanWord& w) { return w.symbol_count > 0; });
  if (static_cast<std::size_t>(occupied) > kMaxOccupied) {
    return std::unexpected(
        Error::invalid_input("the text already carries zero-width marks at too many watermark positions"));
  }

  // Distinct scan words end at distinct offsets, so each place gets one group.
  std::vector<GroupInsertion> insertions;
  insertions.reserve(kShards);
  for (std::size_t i = 0; i < kShards; ++i) {
    const auto group = group_utf8((*shards)[i]);
    insertions.push_back({chosen[i].mark_offset, 0, std::string(group.data(), group.size())});
  }
  std::ranges::sort(insertions, {}, &GroupInsertion::offset);
  std::size_t byte = 0, code_points = 0;
  for (GroupInsertion& g : insertions) {
    code_points += utf8::count_code_points(text.substr(byte, g.offset - byte));
    byte = g.offset;
    g.code_points = code_points;
  }
  return insertions;
}

Result<ExtractedWatermark> extract_watermark(std::string_view text, std::span<const std::uint8_t> key) {
  const Result<Basis> basis = basis_of(text);
  if (!basis) return std::unexpected(basis.error());
  const std::vector<ScanWord> chosen = chosen_words(text, key, *basis);

  std::vector<std::optional<erasure::Shard>> shards(kShards);
  std::uint64_t erased = 0;
  for (std::size_t i = 0; i < kShards; ++i) {
    const ScanWord& word = chosen[i];
    if (word.symbol_count == kSymbolsPerGroup) {
      shards[i] = erasure::Shard{*group_to_shard(word.first_symbols)};
    } else {
      ++erased;
    }
  }
  if (erased > kMaxErasures) return std::unexpected(Error::watermark_unrecoverable());

  const auto& codec = watermark_codec();
  if (!codec) return std::unexpected(coding_error(codec.error()));
  if (auto rebuilt = codec->reconstruct(shards); !rebuilt) return std::unexpected(coding_error(rebuilt.error()));

  Payload payload;
  for (std::size_t i = 0; i < kDataShards; ++i) {
    if (!shards[i]) return std::unexpected(Error::watermark_unrecoverable());
    payload[i] = (*shards[i])[0];
  }
  PointerField field;
  BindingTag stored;
  std::copy_n(payload.begin(), kPointerBytes, field.begin());
  std::copy_n(payload.begin() + kPointerBytes, kTagBytes, stored.begin());
  return ExtractedWatermark{field, tags_equal(binding_tag(key, basis->digest, field), stored), erased};
}

}  // namespace vessolin::stego
