// The one failure type of every computation, and the internal-fault exception.
#pragma once

#include <expected>
#include <source_location>
#include <stdexcept>
#include <string>

namespace vessolin {

// A failure that is a property of the input. Computations return it as a
// value; only the calling frame turns it into a Python exception.
class Error {
 public:
  // Declaration order is part of the interface.
  enum class Kind {
    ContentTooShort,
    GenerationFailed,
    MatchFailed,
    Coding,
    TagMismatch,
    WatermarkUnrecoverable,
    InvalidInput,
  };

  static Error content_too_short() { return Error(Kind::ContentTooShort, {}); }
  static Error generation_failed(std::string detail) { return Error(Kind::GenerationFailed, std::move(detail)); }
  static Error match_failed(std::string detail) { return Error(Kind::MatchFailed, std::move(detail)); }
  static Error coding(std::string detail) { return Error(Kind::Coding, std::move(detail)); }
  static Error tag_mismatch() { return Error(Kind::TagMismatch, {}); }
  static Error watermark_unrecoverable() { return Error(Kind::WatermarkUnrecoverable, {}); }
  static Error invalid_input(std::string detail) { return Error(Kind::InvalidInput, std::move(detail)); }

  Kind kind() const { return kind_; }
  const std::string& detail() const { return detail_; }

  // The single-line message a caller sees.
  std::string display() const;
  // The variant name, with the detail quoted for the variants that carry one;
  // only used inside internal-fault messages.
  std::string debug() const;

  friend bool operator==(const Error&, const Error&) = default;

 private:
  Error(Kind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}
  Kind kind_;
  std::string detail_;
};

template <class T>
using Result = std::expected<T, Error>;

// A broken invariant of the module itself, never a property of the input.
// The entry point of every Python function turns it into the internal-fault
// exception; nothing else catches it.
class InternalFault : public std::logic_error {
 public:
  explicit InternalFault(const std::string& message,
                         std::source_location where = std::source_location::current())
      : std::logic_error(message), where_(where) {}
  const std::source_location& where() const { return where_; }

 private:
  std::source_location where_;
};

}  // namespace vessolin
