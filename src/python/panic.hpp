// The internal-fault exception: a class derived from BaseException, created
// on first use, under a runtime module name of its own; and the one trap that
// turns whatever a computation throws into a Python exception.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <source_location>
#include <string_view>

#include "error/error.hpp"

namespace vessolin::python {

// Reports the fault on standard error ("panicked at <place>:\n<message>") and
// sets the pending Python exception. `where` may be null when unknown.
void raise_panic(std::string_view message, const std::source_location* where) noexcept;

// Runs `body` at an entry point: memory exhaustion becomes MemoryError, any
// other C++ exception an internal fault; null is returned with the Python
// exception set.
template <class Body>
PyObject* guarded(Body body) noexcept {
  try {
    return body();
  } catch (const InternalFault& fault) {
    raise_panic(fault.what(), &fault.where());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what(), nullptr);
  } catch (...) {
    raise_panic({}, nullptr);
  }
  return nullptr;
}

}  // namespace vessolin::python
