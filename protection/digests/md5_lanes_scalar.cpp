// Two MD5 streams interleaved in plain integers: any processor runs them,
// and the two chains fill the gaps in each other's latency. Left to itself
// the compiler would pack the pair into 2-wide SIMD, which is slower.
#include <stdint.h>
#include <string.h>

#include "protection/digests/md5_lanes.h"

#pragma GCC push_options
#pragma GCC optimize("no-tree-slp-vectorize")
namespace {
#include "protection/digests/md5_lanes_body.h"
}  // namespace

__attribute__((optimize("no-tree-slp-vectorize"))) void Md5LanesScalar(LaneState* state,
                                                                       const unsigned char* const* data,
                                                                       size_t blocks) {
  HashLanes<1, 2>(state, data, blocks);
}
#pragma GCC pop_options
