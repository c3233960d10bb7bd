// The calling frame: one declarative table row per Python function, one
// generic binder that turns a Python call into native arguments, and one
// place that turns outcomes and failures into Python objects and exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "error/error.hpp"
#include "hex/hex.hpp"

namespace vessolin::python {

// How a parameter is converted and decoded.
enum class ParamKind {
  Text,         // str, passed on as its exact UTF-8 bytes
  Hex,          // str holding hexadecimal bytes of any length ("invalid <label>: ...")
  Key32,        // str holding exactly 32 hexadecimal bytes ("invalid hex: ...")
  Fingerprint,  // str holding a 256-bit fingerprint ("bad hex <name>")
  Bool,         // bool, or a numpy boolean scalar
};

struct Param {
  const char* name;
  ParamKind kind;
  const char* label = nullptr;  // for Hex: the word that names the argument in errors
};

inline constexpr std::size_t kMaxParams = 4;

using Bytes32 = std::array<std::uint8_t, 32>;

// The native arguments handed to a computation, by parameter index.
class Args {
 public:
  using Value = std::variant<std::monostate, std::string_view, hex::Bytes, Bytes32, bool>;

  Args() = default;
  Args(const Args&) = delete;
  Args& operator=(const Args&) = delete;
  // Decoded bytes may be key material: they are wiped, not just freed.
  ~Args();

  std::string_view text(std::size_t i) const { return std::get<std::string_view>(values_.at(i)); }
  std::span<const std::uint8_t> bytes(std::size_t i) const { return std::get<hex::Bytes>(values_.at(i)); }
  const Bytes32& bytes32(std::size_t i) const { return std::get<Bytes32>(values_.at(i)); }
  bool flag(std::size_t i) const { return std::get<bool>(values_.at(i)); }

  Value& operator[](std::size_t i) { return values_.at(i); }

 private:
  std::array<Value, kMaxParams> values_;
};

// A text argument with short strings inserted into it, for a result that is
// mostly its argument: the str is built from slices of the caller's own str,
// which copies code units where decoding the whole text again would cost as
// much as a pass of the computation.
struct InsertedText {
  std::size_t param;  // the text parameter the result is made from
  // (code-point index in that text, UTF-8 to insert there), ascending
  std::vector<std::pair<std::size_t, std::string>> insertions;
};

// A computation's result, converted to a new Python object by its alternative:
// str (from UTF-8), int (unsigned 64-bit), list of int, (str, bool, int), or
// str (a text argument with insertions).
using PyResult = std::variant<std::string, std::uint64_t, std::vector<std::uint64_t>,
                              std::tuple<std::string, bool, std::uint64_t>, InsertedText>;

// A ValueError raised with a text of its own rather than through Error.
struct ValueErrorText {
  std::string text;
};
using Failure = std::variant<Error, ValueErrorText>;
using Outcome = std::expected<PyResult, Failure>;

inline std::unexpected<Failure> fail(Error e) { return std::unexpected<Failure>(std::move(e)); }
inline std::unexpected<Failure> fail(ValueErrorText e) { return std::unexpected<Failure>(std::move(e)); }

struct FunctionSpec {
  const char* name;
  std::span<const Param> params;
  // Parameter indices in the order their hexadecimal forms are decoded;
  // empty means parameter order.
  std::span<const std::uint8_t> decode_order;
  const char* doc;  // the body; the text-signature line is derived from name and params
  Outcome (*compute)(const Args&);
};

// The whole life of one call: bind, convert, decode, compute, convert back.
// Internal faults are trapped here and raised as the internal-fault exception.
PyObject* call(const FunctionSpec& function, PyObject* args, PyObject* kwargs) noexcept;

// Creates the module once per process: `__doc__`, then one built-in function
// per table row, each name appended to `__all__`. Returns a new reference.
PyObject* create_module(PyModuleDef& definition, const char* doc, std::span<const FunctionSpec> functions,
                        std::span<const PyCFunctionWithKeywords> entries, bool& created) noexcept;

namespace detail {

template <const auto& Table, std::size_t I>
PyObject* entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return call(Table[I], args, kwargs);
}

template <const auto& Table, std::size_t... I>
constexpr std::array<PyCFunctionWithKeywords, sizeof...(I)> entries(std::index_sequence<I...>) {
  return {&entry<Table, I>...};
}

}  // namespace detail

// The module initialiser for a constexpr table of FunctionSpec.
template <const auto& Table>
PyObject* init_module(PyModuleDef& definition, const char* doc) noexcept {
  static constexpr auto entries = detail::entries<Table>(std::make_index_sequence<std::size(Table)>{});
  static bool created = false;
  return create_module(definition, doc, Table, entries, created);
}

}  // namespace vessolin::python
