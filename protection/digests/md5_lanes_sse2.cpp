// The SSE2, 2 x 4 lanes.
#include <stdint.h>
#include <string.h>

#include "protection/digests/md5_lanes.h"

#if defined(__x86_64__) || defined(__i386__)
#pragma GCC push_options
#pragma GCC target("sse2")
namespace {
#include "protection/digests/md5_lanes_body.h"
}  // namespace

__attribute__((target("sse2"))) void Md5LanesSse2(LaneState* state, const unsigned char* const* data, size_t blocks) {
  HashLanes<4, 2>(state, data, blocks);
}
#pragma GCC pop_options
#endif
