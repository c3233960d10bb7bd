#include <openssl/crypto.h>

#include <cstring>
#include <new>
#include <string>

#include "python/frame.hpp"
#include "python/panic.hpp"
#include "python/ref.hpp"
#include "simhash/fingerprint.hpp"
#include "unicode/properties.hpp"
#include "unicode/utf8.hpp"

namespace vessolin::python {

Args::~Args() {
  for (Value& value : values_) {
    if (auto* bytes = std::get_if<hex::Bytes>(&value)) OPENSSL_cleanse(bytes->data(), bytes->size());
    if (auto* bytes = std::get_if<Bytes32>(&value)) OPENSSL_cleanse(bytes->data(), bytes->size());
  }
}

namespace {

void raise_value_error(std::string_view text) {
  Ref message(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (message) PyErr_SetObject(PyExc_ValueError, message.get());
}

void raise_type_error(const std::string& text) { PyErr_SetString(PyExc_TypeError, text.c_str()); }

std::string qualname_of(PyObject* o) {
  Ref name(PyType_GetQualName(Py_TYPE(o)));
  Py_ssize_t size = 0;
  const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

// Matches the positional tuple and keyword dictionary against the parameter
// list as the interpreter would for a Python function of the same signature.
bool bind(const FunctionSpec& f, PyObject* args, PyObject* kwargs, std::array<PyObject*, kMaxParams>& bound) {
  const std::string fname = std::string(f.name) + "()";
  const Py_ssize_t given = PyTuple_Size(args);
  if (given < 0) return false;
  const auto count = static_cast<Py_ssize_t>(f.params.size());
  if (given > count) {
    raise_type_error(fname + " takes " + std::to_string(count) + " positional arguments but " +
                     std::to_string(given) + (given == 1 ? " was given" : " were given"));
    return false;
  }
  for (Py_ssize_t i = 0; i < given; ++i) bound[i] = PyTuple_GetItem(args, i);

  if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        raise_type_error(fname + " keywords must be strings");
        return false;
      }
      Py_ssize_t index = 0;
      while (index < count && PyUnicode_CompareWithASCIIString(key, f.params[index].name) != 0) ++index;
      if (index == count) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", fname.c_str(), key);
        return false;
      }
      if (bound[index] != nullptr) {
        raise_type_error(fname + " got multiple values for argument '" + f.params[index].name + "'");
        return false;
      }
      bound[index] = value;
    }
  }

  std::vector<const char*> missing;
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (bound[i] == nullptr) missing.push_back(f.params[i].name);
  }
  if (!missing.empty()) {
    raise_type_error(fname + " missing " + std::to_string(missing.size()) + " required positional " +
                     (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(missing));
    return false;
  }
  return true;
}

bool convert_text(PyObject* o, Args::Value& out) {
  if (!PyUnicode_Check(o)) {
    raise_type_error("'" + qualname_of(o) + "' object cannot be converted to 'PyString'");
    return false;
  }
  // The interpreter keeps the UTF-8 form with the string (for ASCII strings it
  // is the string's own storage), so no copy is made; a lone surrogate raises
  // the interpreter's UnicodeEncodeError here.
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
  if (utf8 == nullptr) return false;
  out = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}

bool is_numpy_bool_type(PyObject* type) {
  Ref module(PyObject_GetAttrString(type, "__module__"));
  Ref name(PyObject_GetAttrString(type, "__name__"));
  if (!module || !name) {
    PyErr_Clear();
    return false;
  }
  const char* m = PyUnicode_Check(module.get()) ? PyUnicode_AsUTF8AndSize(module.get(), nullptr) : nullptr;
  const char* n = PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
  if (m == nullptr || n == nullptr) {
    PyErr_Clear();
    return false;
  }
  return std::strcmp(m, "numpy") == 0 && (std::strcmp(n, "bool_") == 0 || std::strcmp(n, "bool") == 0);
}

bool convert_bool(PyObject* o, Args::Value& out) {
  if (o == Py_True || o == Py_False) {
    out = (o == Py_True);
    return true;
  }
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
  if (is_numpy_bool_type(type)) {
    Ref method(PyObject_GetAttrString(type, "__bool__"));  // AttributeError propagates as it is
    if (!method) return false;
    Ref truth(PyObject_CallFunctionObjArgs(method.get(), o, nullptr));
    if (!truth) return false;
    if (truth.get() == Py_True || truth.get() == Py_False) {
      out = (truth.get() == Py_True);
      return true;
    }
  }
  raise_type_error("'" + qualname_of(o) + "' object cannot be converted to 'PyBool'");
  return false;
}

// A TypeError from converting a parameter is replaced by one that names the
// parameter, keeping the original's cause; other exceptions pass unchanged.
void name_parameter_in_type_error(const char* param) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref old_type(type), old_value(value), old_traceback(traceback);
  Ref text(old_value ? PyObject_Str(old_value.get()) : PyUnicode_FromString(""));
  if (!text) return;
  Ref message(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
  if (!message) return;
  Ref replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!replacement) return;
  if (old_value) {
    if (PyObject* cause = PyException_GetCause(old_value.get())) PyException_SetCause(replacement.get(), cause);
  }
  Py_IncRef(PyExc_TypeError);
  PyErr_Restore(PyExc_TypeError, replacement.release(), nullptr);
}

bool convert(const Param& p, PyObject* o, Args::Value& out) {
  const bool ok = p.kind == ParamKind::Bool ? convert_bool(o, out) : convert_text(o, out);
  if (!ok) name_parameter_in_type_error(p.name);
  return ok;
}

bool decode(const Param& p, Args::Value& value) {
  if (p.kind == ParamKind::Text || p.kind == ParamKind::Bool) return true;
  const std::string_view text = std::get<std::string_view>(value);
  switch (p.kind) {
    case ParamKind::Hex: {
      auto bytes = hex::decode_trimmed(text);
      if (!bytes) {
        raise_value_error(std::string("invalid ") + p.label + ": " + bytes.error());
        return false;
      }
      value = std::move(*bytes);
      return true;
    }
    case ParamKind::Key32: {
      auto bytes = hex::decode_trimmed(text);
      if (!bytes) {
        raise_value_error("invalid hex: " + bytes.error());
        return false;
      }
      if (bytes->size() != 32) {
        raise_value_error("expected a 32-byte (64 hex char) key");
        return false;
      }
      Bytes32 key;
      std::copy(bytes->begin(), bytes->end(), key.begin());
      OPENSSL_cleanse(bytes->data(), bytes->size());  // a copy of a secret key is not left behind
      value = key;
      return true;
    }
    case ParamKind::Fingerprint: {
      auto fp = decode_fingerprint_hex(unicode::trim_white_space(text));
      if (!fp) {
        raise_value_error(std::string("bad hex ") + p.name);
        return false;
      }
      value = *fp;
      return true;
    }
    default:
      throw InternalFault("unknown parameter kind");
  }
}

PyObject* new_str(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* inserted_text(PyObject* original, const InsertedText& r) {
  const Py_ssize_t length = PyUnicode_GetLength(original);
  if (length < 0) return nullptr;
  Ref parts(PyList_New(0));
  if (!parts) return nullptr;
  Py_ssize_t last = 0;
  const auto append = [&](PyObject* piece) {
    Ref owned(piece);
    return owned && PyList_Append(parts.get(), owned.get()) == 0;
  };
  for (const auto& [at, text] : r.insertions) {
    const auto index = static_cast<Py_ssize_t>(at);
    if (index < last || index > length) throw InternalFault("insertion outside its text or out of order");
    if (!append(PyUnicode_Substring(original, last, index)) || !append(new_str(text))) return nullptr;
    last = index;
  }
  if (!append(PyUnicode_Substring(original, last, length))) return nullptr;
  Ref empty(PyUnicode_FromStringAndSize("", 0));
  if (!empty) return nullptr;
  return PyUnicode_Join(empty.get(), parts.get());
}

PyObject* to_python(const PyResult& result, std::span<PyObject* const> bound) {
  struct Visitor {
    std::span<PyObject* const> bound;
    PyObject* operator()(const InsertedText& r) const {
      if (r.param >= bound.size() || bound[r.param] == nullptr || !PyUnicode_Check(bound[r.param])) {
        throw InternalFault("inserted text refers to no text argument");
      }
      return inserted_text(bound[r.param], r);
    }
    PyObject* operator()(const std::string& s) const { return new_str(s); }
    PyObject* operator()(std::uint64_t v) const { return PyLong_FromUnsignedLongLong(v); }
    PyObject* operator()(const std::vector<std::uint64_t>& values) const {
      Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
      if (!list) return nullptr;
      for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyLong_FromUnsignedLongLong(values[i]);
        if (item == nullptr || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item) < 0) return nullptr;
      }
      return list.release();
    }
    PyObject* operator()(const std::tuple<std::string, bool, std::uint64_t>& t) const {
      Ref tuple(PyTuple_New(3));
      if (!tuple) return nullptr;
      PyObject* items[3] = {new_str(std::get<0>(t)), PyBool_FromLong(std::get<1>(t)),
                            PyLong_FromUnsignedLongLong(std::get<2>(t))};
      for (Py_ssize_t i = 0; i < 3; ++i) {
        if (items[i] == nullptr) {
          for (PyObject* item : items) Py_DecRef(item);
          return nullptr;
        }
      }
      for (Py_ssize_t i = 0; i < 3; ++i) PyTuple_SetItem(tuple.get(), i, items[i]);
      return tuple.release();
    }
  };
  return std::visit(Visitor{bound}, result);
}

void raise_failure(const Failure& failure) {
  if (const auto* error = std::get_if<Error>(&failure)) {
    raise_value_error(error->display());
  } else {
    raise_value_error(std::get<ValueErrorText>(failure).text);
  }
}

PyObject* call_unguarded(const FunctionSpec& f, PyObject* args, PyObject* kwargs) {
  if (f.params.size() > kMaxParams) throw InternalFault("too many parameters");
  std::array<PyObject*, kMaxParams> bound{};
  if (!bind(f, args, kwargs, bound)) return nullptr;

  Args native;
  for (std::size_t i = 0; i < f.params.size(); ++i) {
    if (!convert(f.params[i], bound[i], native[i])) return nullptr;
  }
  if (f.decode_order.empty()) {
    for (std::size_t i = 0; i < f.params.size(); ++i) {
      if (!decode(f.params[i], native[i])) return nullptr;
    }
  } else {
    for (std::uint8_t i : f.decode_order) {
      if (!decode(f.params[i], native[i])) return nullptr;
    }
  }

  const Outcome outcome = f.compute(native);
  if (!outcome) {
    raise_failure(outcome.error());
    return nullptr;
  }
  return to_python(*outcome, bound);
}

std::string docstring(const FunctionSpec& f) {
  std::string doc = f.name;
  doc += '(';
  for (std::size_t i = 0; i < f.params.size(); ++i) {
    if (i > 0) doc += ", ";
    doc += f.params[i].name;
  }
  doc += ")\n--\n\n";
  doc += f.doc;
  return doc;
}

// Appends `name` to the module's `__all__` (creating it if missing) and sets the attribute.
bool add_name(PyObject* module, PyObject* name, PyObject* value) {
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all.reset(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  return PyList_Append(all.get(), name) == 0 && PyObject_SetAttr(module, name, value) == 0;
}

PyObject* create_module_unguarded(PyModuleDef& definition, const char* doc, std::span<const FunctionSpec> functions,
                                  std::span<const PyCFunctionWithKeywords> entries, bool& created) {
  if (created) {
    PyErr_Format(PyExc_ImportError, "module '%s' may be initialised only once per interpreter process",
                 definition.m_name);
    return nullptr;
  }
  Ref module(PyModule_Create(&definition));
  if (!module) return nullptr;
  created = true;

  {
    Ref name(PyUnicode_FromString("__doc__"));
    Ref text(PyUnicode_FromString(doc));
    if (!name || !text || !add_name(module.get(), name.get(), text.get())) return nullptr;
  }

  // Method records must outlive the function objects, that is the process.
  auto* records = new PyMethodDef[functions.size()]{};
  auto* docs = new std::string[functions.size()];
  Ref module_name(PyModule_GetNameObject(module.get()));
  if (!module_name) return nullptr;
  for (std::size_t i = 0; i < functions.size(); ++i) {
    docs[i] = docstring(functions[i]);
    records[i] = PyMethodDef{functions[i].name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entries[i])),
                             METH_VARARGS | METH_KEYWORDS, docs[i].c_str()};
    Ref function(PyCMethod_New(&records[i], module.get(), module_name.get(), nullptr));
    if (!function) return nullptr;
    Ref name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name || !add_name(module.get(), name.get(), function.get())) return nullptr;
  }

  // This reference is never released: the module lives as long as the process.
  Py_IncRef(module.get());
  return module.release();
}

}  // namespace

PyObject* call(const FunctionSpec& function, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] { return call_unguarded(function, args, kwargs); });
}

PyObject* create_module(PyModuleDef& definition, const char* doc, std::span<const FunctionSpec> functions,
                        std::span<const PyCFunctionWithKeywords> entries, bool& created) noexcept {
  return guarded([&] { return create_module_unguarded(definition, doc, functions, entries, created); });
}

}  // namespace vessolin::python
