// The AVX2, 3 x 8 lanes.
#include <stdint.h>
#include <string.h>

#include "protection/digests/md5_lanes.h"

#if defined(__x86_64__) || defined(__i386__)
#pragma GCC push_options
#pragma GCC target("avx2")
namespace {
#include "protection/digests/md5_lanes_body.h"
}  // namespace

__attribute__((target("avx2"))) void Md5LanesAvx2(LaneState* state, const unsigned char* const* data, size_t blocks) {
  HashLanes<8, 3>(state, data, blocks);
}
#pragma GCC pop_options
#endif
