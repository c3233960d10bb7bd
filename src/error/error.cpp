#include "error/error.hpp"

namespace vessolin {

namespace {

struct KindInfo {
  const char* name;
  const char* text;  // the whole text, or the prefix of the detail
};

constexpr KindInfo kKinds[] = {
    {"ContentTooShort", "text content too short for this soft-binding algorithm"},
    {"GenerationFailed", "fingerprint generation failed: "},
    {"MatchFailed", "fingerprint match failed: "},
    {"Coding", "reed-solomon coding failed: "},
    {"TagMismatch",
     "watermark content-binding tag did not verify (transferred or modified content)"},
    {"WatermarkUnrecoverable", "watermark could not be recovered from remaining positions"},
    {"InvalidInput", "invalid input: "},
};

const KindInfo& info(Error::Kind kind) { return kKinds[static_cast<int>(kind)]; }

bool carries_detail(Error::Kind kind) {
  switch (kind) {
    case Error::Kind::ContentTooShort:
    case Error::Kind::TagMismatch:
    case Error::Kind::WatermarkUnrecoverable:
      return false;
    default:
      return true;
  }
}

}  // namespace

std::string Error::display() const {
  std::string out = info(kind_).text;
  if (carries_detail(kind_)) out += detail_;
  return out;
}

std::string Error::debug() const {
  std::string out = info(kind_).name;
  if (carries_detail(kind_)) {
    out += "(\"";
    for (char c : detail_) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    out += "\")";
  }
  return out;
}

}  // namespace vessolin
