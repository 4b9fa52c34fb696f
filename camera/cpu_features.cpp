// Camera data path: which vector instruction sets this processor and system run.
#include "camera/cpu_features.h"

namespace qmx {

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))

// The compiler's check of "avx" and "avx2" includes the system's saving of the AVX registers.
bool cpu_has_avx() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx") != 0;
  }();
  return has;
}

bool cpu_has_avx2() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("avx") != 0;
  }();
  return has;
}

#else

bool cpu_has_avx() {
  return false;
}
bool cpu_has_avx2() {
  return false;
}

#endif

} // namespace qmx
