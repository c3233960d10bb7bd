// The internal-fault exception: a class derived from BaseException, created
// on first use, under a runtime module name of its own.
#pragma once

#include <source_location>
#include <string_view>

namespace vessolin::python {

// Reports the fault on standard error ("panicked at <place>:\n<message>") and
// sets the pending Python exception. `where` may be null when unknown.
void raise_panic(std::string_view message, const std::source_location* where) noexcept;

}  // namespace vessolin::python
