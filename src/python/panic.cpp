#include "python/panic.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <string>

namespace vessolin::python {

namespace {

constexpr const char* kGenericMessage = "internal fault without a message";

constexpr const char* kDoc =
    "Raised when native code called from Python fails internally.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so an\n"
    "ordinary `except Exception` does not catch it and it usually propagates to the\n"
    "top and ends the interpreter.";

PyObject* panic_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("vessolin_runtime.PanicException", kDoc, PyExc_BaseException, nullptr);
  }
  return type;
}

// Source paths are recorded as the compiler saw them; report them from the
// project root.
std::string_view project_path(const char* file) {
  std::string_view path(file);
  for (std::string_view root : {"/src/", "/tests/"}) {
    if (auto at = path.rfind(root); at != std::string_view::npos) return path.substr(at + 1);
  }
  return path;
}

}  // namespace

void raise_panic(std::string_view message, const std::source_location* where) noexcept {
  if (message.empty()) message = kGenericMessage;
  std::string place = "<unknown>";
  if (where != nullptr) {
    place = std::string(project_path(where->file_name())) + ":" + std::to_string(where->line()) + ":" +
            std::to_string(where->column());
  }
  std::fprintf(stderr, "panicked at %s:\n%.*s\n", place.c_str(), static_cast<int>(message.size()), message.data());
  std::fflush(stderr);

  PyErr_Clear();
  PyObject* type = panic_type();
  if (type == nullptr) return;  // creating the class failed; its exception is pending
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return;
  PyErr_SetObject(type, text);
  Py_DecRef(text);
}

}  // namespace vessolin::python
