// `vessolin._records`: the values the discovery index keeps for each text,
// for the index and the command line. Private to the package: `vessolin`
// itself gains no name from it.
//
// Unlike the functions of `vessolin`, which hold the interpreter lock from
// entry to return, these compute with the lock released (a batch in as many
// native threads as the caller asks for): the texts are pinned (by the
// caller, or in a tuple) and read through their UTF-8 forms, which the
// interpreter keeps with each str, and no Python object is touched until the
// lock is taken back.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "error/error.hpp"
#include "python/panic.hpp"
#include "python/ref.hpp"
#include "records/records.hpp"

namespace vessolin::python {
namespace {

constexpr std::size_t kSignatureBytes = 8 * kMinHashPermutations;
constexpr std::size_t kBandBytes = 8 * kMinHashBands;

template <std::size_t N>
void put_little_endian(const std::array<std::uint64_t, N>& values, char* out) {
  for (std::uint64_t v : values)
    for (int i = 0; i < 8; ++i) *out++ = static_cast<char>(v >> (8 * i));
}

PyObject* new_bytes(const void* data, std::size_t size) {
  return PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size));
}

// (content digest, surface, structure, signature, bands): three 32-byte
// values, then the 128 signature values and the 32 band keys as unsigned
// 64-bit little-endian integers, one after another.
PyObject* to_python(const RecordValues& v) {
  char signature[kSignatureBytes];
  char bands[kBandBytes];
  put_little_endian(v.sketch.signature, signature);
  put_little_endian(v.sketch.bands, bands);
  PyObject* items[5] = {
      new_bytes(v.content_digest.data(), v.content_digest.size()),
      new_bytes(v.surface.data(), v.surface.size()),
      new_bytes(v.structure.data(), v.structure.size()),
      new_bytes(signature, sizeof signature),
      new_bytes(bands, sizeof bands),
  };
  Ref tuple(PyTuple_New(5));
  if (!tuple || std::any_of(std::begin(items), std::end(items), [](PyObject* o) { return o == nullptr; })) {
    for (PyObject* o : items) Py_DecRef(o);
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < 5; ++i) PyTuple_SetItem(tuple.get(), i, items[i]);
  return tuple.release();
}

// The UTF-8 form of a str argument; a lone surrogate raises the
// interpreter's UnicodeEncodeError, as in the functions of `vessolin`.
bool utf8_of(PyObject* o, const char* name, std::string_view& out) {
  if (!PyUnicode_Check(o)) {
    Ref type_name(PyType_GetName(Py_TYPE(o)));
    if (type_name) PyErr_Format(PyExc_TypeError, "%s must be str, not %U", name, type_name.get());
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
  if (utf8 == nullptr) return false;
  out = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}

// Fills `out` from `texts`, in up to `threads` threads (the calling one
// included). The first failure of any thread stops the others and is
// rethrown here.
void compute(const std::vector<std::string_view>& texts, std::vector<RecordValues>& out, std::size_t threads) {
  std::atomic<std::size_t> next{0};
  std::vector<std::exception_ptr> failures(threads);
  const auto work = [&](std::size_t worker) {
    try {
      for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < texts.size();)
        out[i] = record_values(texts[i]);
    } catch (...) {
      failures[worker] = std::current_exception();
      next.store(texts.size(), std::memory_order_relaxed);
    }
  };
  {
    std::vector<std::jthread> pool;
    for (std::size_t t = 1; t < threads; ++t) {
      try {
        pool.emplace_back(work, t);
      } catch (const std::system_error&) {
        break;  // no more threads to be had: the ones running share the work
      }
    }
    work(0);
  }  // joins
  for (const std::exception_ptr& failure : failures)
    if (failure) std::rethrow_exception(failure);
}

// Runs `work` with the interpreter lock released; what it throws is
// rethrown once the lock is held again.
template <class Work>
void without_lock(Work work) {
  std::exception_ptr failure;
  PyThreadState* state = PyEval_SaveThread();
  try {
    work();
  } catch (...) {
    failure = std::current_exception();
  }
  PyEval_RestoreThread(state);
  if (failure) std::rethrow_exception(failure);
}

PyObject* values(PyObject*, PyObject* text) {
  return guarded([&]() -> PyObject* {
    std::string_view utf8;
    if (!utf8_of(text, "text", utf8)) return nullptr;
    // The caller's reference keeps the str, and so its UTF-8 form, alive.
    RecordValues result;
    without_lock([&] { result = record_values(utf8); });
    return to_python(result);
  });
}

PyObject* values_many(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"texts", "threads", nullptr};
    PyObject* iterable = nullptr;
    Py_ssize_t threads = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$n:values_many", const_cast<char**>(keywords), &iterable,
                                     &threads))
      return nullptr;
    if (threads < 1) {
      PyErr_Format(PyExc_ValueError, "threads must be at least 1, not %zd", threads);
      return nullptr;
    }
    // The tuple keeps every str alive while the lock is released.
    Ref texts(PySequence_Tuple(iterable));
    if (!texts) return nullptr;
    const Py_ssize_t count = PyTuple_Size(texts.get());
    if (count < 0) return nullptr;
    std::vector<std::string_view> utf8(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      const std::string name = "texts[" + std::to_string(i) + "]";
      if (!utf8_of(PyTuple_GetItem(texts.get(), i), name.c_str(), utf8[static_cast<std::size_t>(i)])) return nullptr;
    }

    std::vector<RecordValues> results(utf8.size());
    // More threads than texts or than processors would only wait.
    const std::size_t processors = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t workers =
        std::min({static_cast<std::size_t>(threads), std::max<std::size_t>(utf8.size(), 1), processors});
    without_lock([&] { compute(utf8, results, workers); });

    Ref list(PyList_New(count));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* item = to_python(results[static_cast<std::size_t>(i)]);
      if (item == nullptr) return nullptr;
      PyList_SetItem(list.get(), i, item);
    }
    return list.release();
  });
}

PyMethodDef kMethods[] = {
    {"values", values, METH_O,
     "values(text, /)\n--\n\n"
     "The stored values of one text, computed with the interpreter lock\n"
     "released: (content digest, surface fingerprint,\n"
     "structural fingerprint, signature, band keys), all bytes. The first three\n"
     "are 32 bytes; the 128 signature values and the 32 band keys are unsigned\n"
     "64-bit little-endian integers in order (1,024 and 256 bytes)."},
    {"values_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(values_many)),
     METH_VARARGS | METH_KEYWORDS,
     "values_many(texts, /, *, threads=1)\n--\n\n"
     "`values` of every text, in order, computed in up to `threads` native\n"
     "threads (no more than the processors) with the interpreter lock released."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kDefinition = {
    PyModuleDef_HEAD_INIT,
    "vessolin._records",
    "The values the discovery index keeps for a text, computed in one pass (private).",
    0,
    kMethods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vessolin::python

PyMODINIT_FUNC PyInit__records() { return PyModule_Create(&vessolin::python::kDefinition); }
