// The structural fingerprint: a SimHash over the shape of a text (sentence
// lengths, paragraph sizes, punctuation, the pattern of English function
// words) rather than over its words, so that it survives rewording.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "simhash/fingerprint.hpp"
#include "simhash/simhash.hpp"

namespace vessolin {

// The 124 function words, lowercase ASCII, in their fixed order.
inline constexpr std::array<std::string_view, 124> kFunctionWords = {
    "the", "a", "an", "and", "or", "but", "nor", "so", "yet", "for", "of", "to", "in", "on", "at", "by",
    "as", "is", "are", "was", "were", "be", "been", "being", "am", "do", "does", "did", "have", "has", "had",
    "will", "would", "shall", "should", "can", "could", "may", "might", "must", "with", "from", "into", "onto",
    "upon", "over", "under", "above", "below", "between", "through", "during", "before", "after", "about",
    "against", "among", "around", "because", "if", "then", "than", "that", "this", "these", "those", "it",
    "its", "he", "she", "they", "them", "his", "her", "their", "our", "your", "my", "we", "you", "i", "me",
    "us", "who", "whom", "whose", "which", "what", "when", "where", "why", "how", "not", "no", "yes", "all",
    "any", "some", "each", "every", "both", "few", "many", "more", "most", "other", "such", "only", "own",
    "same", "too", "very", "just", "also", "here", "there", "up", "down", "out", "off", "again", "once",
    "while", "until",
};

// The weighted features of `text`, one per occurrence (equal features are not
// merged), in no particular order.
std::vector<Feature> structural_features(std::string_view text);

Fingerprint256 structural_fingerprint(std::string_view text);

// The fingerprint with the word counts of the same walk: how many words the
// text has and how many of them are function words. The counts tell whether
// the fingerprint describes anything (a text without function words leaves
// only the "_ _ _" trigram, whatever it says).
struct StructuralProfile {
  Fingerprint256 fingerprint;
  std::uint64_t words = 0;
  std::uint64_t function_words = 0;
};
StructuralProfile structural_profile(std::string_view text);

}  // namespace vessolin
