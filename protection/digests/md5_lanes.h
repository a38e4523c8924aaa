// Multi-buffer MD5: one independent MD5 stream per lane of a SIMD register,
// several registers ("groups") side by side, so that a listing of many files
// hashes many at once. A kernel only consumes whole 64-byte blocks; the
// caller pads each stream's tail itself.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum { kMaxLanes = 32 };

// Lane i's MD5 state words a, b, c, d are words[0][i] .. words[3][i].
struct LaneState {
  alignas(64) uint32_t words[4][kMaxLanes];
};

// Hashes blocks 64-byte blocks from data[i] into lane i, for each of the
// kernel's lanes; data[i] need not be aligned. An idle lane points at any
// readable buffer of that many blocks.
typedef void (*LaneKernel)(LaneState* state, const unsigned char* const* data, size_t blocks);

struct Md5Kernel {
  const char* name;
  int lanes;
  LaneKernel run;
};

// The kernels this CPU can run, widest first, ending with the portable
// scalar one (two interleaved streams). Returns how many there are.
int UsableMd5Kernels(const Md5Kernel** kernels);

// The kernels themselves, for tests and benchmarks; each exists only where
// the architecture has its instructions.
void Md5LanesAvx512(LaneState* state, const unsigned char* const* data, size_t blocks);
void Md5LanesAvx2(LaneState* state, const unsigned char* const* data, size_t blocks);
void Md5LanesSse2(LaneState* state, const unsigned char* const* data, size_t blocks);
void Md5LanesScalar(LaneState* state, const unsigned char* const* data, size_t blocks);
