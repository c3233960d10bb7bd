#include "cpu/kernels.hpp"

// The build may cap the kernels that run, so that every set can be tested
// and timed on one machine: VESSOLIN_MAX_ISA_LEVEL is 0 for the portable
// kernels only, 1 up to AVX2, 2 (or unset) for everything the processor has.
#ifndef VESSOLIN_MAX_ISA_LEVEL
#define VESSOLIN_MAX_ISA_LEVEL 2
#define VESSOLIN_MAX_ISA_NAME ""
#endif

namespace vessolin::cpu {

namespace {

struct Support {
  bool avx2 = false;
  bool avx512f = false;
  bool avx512bw = false;
  bool avx512vbmi2 = false;
};

Support detect() {
  Support s;
#if defined(__x86_64__) || defined(__i386__)
  // Also checks that the operating system saves the wider registers.
  __builtin_cpu_init();
  // The AVX2 kernels may use fused multiply-add and popcnt: every processor
  // with AVX2 has them, but each is a feature flag of its own.
  s.avx2 = VESSOLIN_MAX_ISA_LEVEL >= 1 && __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("fma") != 0 &&
           __builtin_cpu_supports("popcnt") != 0;
  s.avx512f = VESSOLIN_MAX_ISA_LEVEL >= 2 && __builtin_cpu_supports("avx512f") != 0;
  s.avx512bw = s.avx512f && __builtin_cpu_supports("avx512bw") != 0;
  // Every processor with the byte compress instructions (VBMI2) has the byte
  // permutes (VBMI) too, but each is a feature flag of its own.
  s.avx512vbmi2 = s.avx512bw && __builtin_cpu_supports("avx512vbmi2") != 0 &&
                  __builtin_cpu_supports("avx512vbmi") != 0;
#endif
  return s;
}

const Support& support() {
  static const Support s = detect();
  return s;
}

}  // namespace

bool supports(Isa isa) {
  const Support& s = support();
  switch (isa) {
    case Isa::Baseline: return true;
    case Isa::Avx2: return s.avx2;
    case Isa::Avx512f: return s.avx512f;
    case Isa::Avx512bw: return s.avx512bw;
    case Isa::Avx512vbmi2: return s.avx512vbmi2;
  }
  return false;
}

std::string_view max_isa() { return VESSOLIN_MAX_ISA_NAME; }

std::string_view kernel_set() {
  const Support& s = support();
  return s.avx512f ? "avx512" : s.avx2 ? "avx2" : "portable";
}

}  // namespace vessolin::cpu
