// The AVX-512, 2 x 16 lanes.
#include <stdint.h>
#include <string.h>

#include "protection/digests/md5_lanes.h"

#if defined(__x86_64__) || defined(__i386__)
#pragma GCC push_options
#pragma GCC target("avx512f")
namespace {
#include "protection/digests/md5_lanes_body.h"
}  // namespace

__attribute__((target("avx512f"))) void Md5LanesAvx512(LaneState* state, const unsigned char* const* data,
                                                       size_t blocks) {
  HashLanes<16, 2>(state, data, blocks);
}
#pragma GCC pop_options
#endif
