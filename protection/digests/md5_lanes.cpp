#include "protection/digests/md5_lanes.h"

// Widest first. The vector kernels exist on x86 only and run where the CPU
// has their instructions; the scalar one runs everywhere.
int UsableMd5Kernels(const Md5Kernel** kernels) {
  static const Md5Kernel kAvx512 = {"AVX-512 2x16", 32, Md5LanesAvx512};
  static const Md5Kernel kAvx2 = {"AVX2 3x8", 24, Md5LanesAvx2};
  static const Md5Kernel kSse2 = {"SSE2 2x4", 8, Md5LanesSse2};
  static const Md5Kernel kScalar = {"scalar 2x1", 2, Md5LanesScalar};
  int count = 0;
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) kernels[count++] = &kAvx512;
  if (__builtin_cpu_supports("avx2")) kernels[count++] = &kAvx2;
  if (__builtin_cpu_supports("sse2")) kernels[count++] = &kSse2;
#endif
  kernels[count++] = &kScalar;
  return count;
}
