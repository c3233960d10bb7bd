// Kernels that compute the same result with different instruction sets, and
// the choice among them by what the processor at hand supports.
//
// Each kernel is compiled for its own instruction set through a function
// attribute, so the build needs no machine flags and the module still runs
// on any x86-64; the choice is made once, at run time.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace vessolin::cpu {

// What a kernel needs beyond the baseline of the target architecture.
// Avx512bw: the foundation plus byte and word lanes under 64-bit masks;
// Avx512vbmi2: Avx512bw plus the byte compress and expand instructions
// (VBMI2) and the byte permutes (VBMI).
enum class Isa { Baseline, Avx2, Avx512f, Avx512bw, Avx512vbmi2 };

// Whether kernels built for `isa` may run here: the processor, with its
// operating system's support, runs them, and the build's cap on dispatch
// (VESSOLIN_MAX_ISA) lets them. Baseline always; the others only on x86-64.
// Every kernel table asks this, so the cap holds for all of them alike.
bool supports(Isa isa);

// The build's cap on dispatch: "portable", "avx2" or "avx512", or "" when
// the build sets none.
std::string_view max_isa();

// The widest kernel set that may run here: "avx512", "avx2" or "portable".
std::string_view kernel_set();

template <class Fn>
struct Kernel {
  std::string_view name;
  Fn fn;
  Isa needs;
};

// The helpers below take a table of kernels ordered fastest first, whose
// last entry needs only the baseline.

template <class Fn, std::size_t N>
Fn fastest(const Kernel<Fn> (&table)[N]) {
  static_assert(N > 0);
  for (const Kernel<Fn>& k : table)
    if (supports(k.needs)) return k.fn;
  return table[N - 1].fn;
}

// The names of the kernels this processor can run, fastest first.
template <class Fn, std::size_t N>
std::vector<std::string_view> usable_names(const Kernel<Fn> (&table)[N]) {
  std::vector<std::string_view> names;
  for (const Kernel<Fn>& k : table)
    if (supports(k.needs)) names.push_back(k.name);
  return names;
}

// The kernel called `name`, or null when there is none or this processor
// cannot run it.
template <class Fn, std::size_t N>
Fn usable(const Kernel<Fn> (&table)[N], std::string_view name) {
  for (const Kernel<Fn>& k : table)
    if (k.name == name && supports(k.needs)) return k.fn;
  return nullptr;
}

}  // namespace vessolin::cpu
