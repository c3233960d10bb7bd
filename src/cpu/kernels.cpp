#include "cpu/kernels.hpp"

namespace vessolin::cpu {

namespace {

struct Support {
  bool avx2 = false;
  bool avx512f = false;
  bool avx512dq = false;
  bool avx512bw = false;
};

Support detect() {
  Support s;
#if defined(__x86_64__) || defined(__i386__)
  // Also checks that the operating system saves the wider registers.
  __builtin_cpu_init();
  s.avx2 = __builtin_cpu_supports("avx2") != 0;
  s.avx512f = __builtin_cpu_supports("avx512f") != 0;
  s.avx512dq = s.avx512f && __builtin_cpu_supports("avx512dq") != 0;
  s.avx512bw = s.avx512f && __builtin_cpu_supports("avx512bw") != 0;
#endif
  return s;
}

}  // namespace

bool supports(Isa isa) {
  static const Support s = detect();
  switch (isa) {
    case Isa::Baseline: return true;
    case Isa::Avx2: return s.avx2;
    case Isa::Avx512f: return s.avx512f;
    case Isa::Avx512dq: return s.avx512dq;
    case Isa::Avx512bw: return s.avx512bw;
  }
  return false;
}

}  // namespace vessolin::cpu
