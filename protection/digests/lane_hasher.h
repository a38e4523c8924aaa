// One worker's lanes: up to kMaxLanes files hashed side by side by the
// multi-buffer kernels, each lane refilled with the next file as soon as its
// own is done. The scheduler is apart from the kernels: it reads the files,
// pads each stream's tail, and picks the kernel for the lanes in use.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "protection/digests/md5_lanes.h"

// What the lanes need from the queue of files to hash.
struct LaneJobs {
  // Claims the next file: writes its number and returns its path; nullptr
  // when there is none to take now.
  const char* (*take)(void* queue, uint32_t* job);
  // Hands back a file's digest, or nullptr when it could not be computed.
  void (*finish)(void* queue, uint32_t job, const unsigned char* digest);
  void* queue;
};

struct Lane {
  int fd;  // -1: idle
  uint32_t job;
  uint64_t length;            // bytes read so far
  unsigned char* buffer;      // kLaneBuffer bytes
  const unsigned char* next;  // the next whole block
  size_t blocks;              // whole blocks ready at next
  int final;                  // those blocks end the stream, padding included
};

enum { kLaneRead = 32 * 1024, kLaneBuffer = 64 + kLaneRead + 128 };

struct LaneHasher {
  const Md5Kernel* kernels[8];
  int kernel_count;
  int lane_count;  // lanes of the widest kernel
  Lane lanes[kMaxLanes];
  LaneState state;
};

// Sets up lanes for the kernels given (widest first; the last, scalar, one
// must be there). 0 when the buffers cannot be had.
int BeginLaneHasher(LaneHasher* hasher, const Md5Kernel* const* kernels, int kernel_count);
// Fills idle lanes from jobs, reads, and hashes one step of the lanes in use.
// Returns 0 when it had nothing to do: no lane in use and no file to take.
int PumpLanes(LaneHasher* hasher, const LaneJobs* jobs);
// Closes every file still open; their jobs are abandoned.
void EndLaneHasher(LaneHasher* hasher);
