// An owned Python reference, shared by the extension modules built here.
#pragma once

#include <Python.h>

#include <utility>

namespace vessolin::python {

// Owned reference that releases itself.
class Ref {
 public:
  explicit Ref(PyObject* o = nullptr) : o_(o) {}
  ~Ref() { Py_DecRef(o_); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  PyObject* get() const { return o_; }
  PyObject* release() { return std::exchange(o_, nullptr); }
  void reset(PyObject* o) {
    Py_DecRef(o_);
    o_ = o;
  }
  explicit operator bool() const { return o_ != nullptr; }

 private:
  PyObject* o_;
};

}  // namespace vessolin::python
