#include "protection/digests/lane_hasher.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "protection/digests/md5.h"
#include "protection/regular_file.h"

namespace {

const uint32_t kInitialState[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

// Where an idle lane points: as many readable blocks as a lane ever hashes.
alignas(64) const unsigned char kIdleBlocks[kLaneBuffer] = {};

void SetState(LaneHasher* hasher, int lane, const uint32_t words[4]) {
  for (int w = 0; w < 4; ++w) hasher->state.words[w][lane] = words[w];
}

void Finish(LaneHasher* hasher, int lane, const LaneJobs* jobs, int ok) {
  Lane* l = &hasher->lanes[lane];
  unsigned char digest[16];
  for (int w = 0; w < 4; ++w)
    for (int i = 0; i < 4; ++i) digest[4 * w + i] = static_cast<unsigned char>(hasher->state.words[w][lane] >> (8 * i));
  jobs->finish(jobs->queue, l->job, ok ? digest : nullptr);
  close(l->fd);
  l->fd = -1;
}

// Starts the next file in an idle lane; 0 when there is none to take. A
// file that cannot be opened as a regular file is finished at once.
int Refill(LaneHasher* hasher, int lane, const LaneJobs* jobs) {
  Lane* l = &hasher->lanes[lane];
  for (;;) {
    const char* path = jobs->take(jobs->queue, &l->job);
    if (path == nullptr) return 0;
    long long size;
    l->fd = OpenRegularFile(path, &size);  // never waits on a FIFO or a device
    if (l->fd >= 0) {
      posix_fadvise(l->fd, 0, 0, POSIX_FADV_SEQUENTIAL);
      l->length = 0;
      l->blocks = 0;
      l->final = 0;
      l->next = l->buffer + 64;
      SetState(hasher, lane, kInitialState);
      return 1;
    }
    jobs->finish(jobs->queue, l->job, nullptr);
  }
}

// Makes whole blocks ready in a lane whose blocks are used up: the bytes
// carried over from the last read (less than a block) go just before the
// read area, so that they and the new bytes are contiguous. The stream ends
// only when read says so: a short read is not the end. Returns 0 on a read
// error.
int ReadMore(Lane* l) {
  const size_t carried = static_cast<size_t>(l->length % 64);
  unsigned char* const area = l->buffer + 64;
  memmove(area - carried, l->next, carried);
  ssize_t got;
  do got = read(l->fd, area, kLaneRead);
  while (got < 0 && errno == EINTR);
  if (got < 0) return 0;
  if (got > 0) {
    l->length += static_cast<uint64_t>(got);
    l->next = area - carried;
    l->blocks = (carried + static_cast<size_t>(got)) / 64;
    return 1;
  }
  // The end: the tail, 0x80, zeros and the length in bits make one block,
  // or two when fewer than 9 bytes are left in the first.
  memmove(area, area - carried, carried);
  const size_t blocks = carried < 56 ? 1 : 2;
  memset(area + carried, 0, 64 * blocks - carried);
  area[carried] = 0x80;
  const uint64_t bits = l->length << 3;
  for (int i = 0; i < 8; ++i) area[64 * blocks - 8 + i] = static_cast<unsigned char>(bits >> (8 * i));
  l->next = area;
  l->blocks = blocks;
  l->final = 1;
  return 1;
}

void SwapLanes(LaneHasher* hasher, int x, int y) {
  const Lane lane = hasher->lanes[x];
  hasher->lanes[x] = hasher->lanes[y];
  hasher->lanes[y] = lane;
  for (int w = 0; w < 4; ++w) {
    const uint32_t word = hasher->state.words[w][x];
    hasher->state.words[w][x] = hasher->state.words[w][y];
    hasher->state.words[w][y] = word;
  }
}

}  // namespace

int BeginLaneHasher(LaneHasher* hasher, const Md5Kernel* const* kernels, int kernel_count) {
  hasher->kernel_count = kernel_count < 8 ? kernel_count : 8;
  for (int k = 0; k < hasher->kernel_count; ++k) hasher->kernels[k] = kernels[k];
  hasher->lane_count = kernels[0]->lanes;
  for (int lane = 0; lane < hasher->lane_count; ++lane) {
    hasher->lanes[lane].fd = -1;
    hasher->lanes[lane].buffer = static_cast<unsigned char*>(malloc(kLaneBuffer));
    if (hasher->lanes[lane].buffer == nullptr) {
      hasher->lane_count = lane;
      EndLaneHasher(hasher);
      return 0;
    }
  }
  return 1;
}

int PumpLanes(LaneHasher* hasher, const LaneJobs* jobs) {
  // Lanes in use come first, so that a narrower kernel covers them all.
  int active = 0;
  for (int lane = 0; lane < hasher->lane_count; ++lane) {
    Lane* l = &hasher->lanes[lane];
    while (l->fd < 0 || (l->blocks == 0 && !l->final)) {
      if (l->fd < 0 && !Refill(hasher, lane, jobs)) break;
      if (l->blocks == 0 && !l->final && !ReadMore(l)) Finish(hasher, lane, jobs, 0);
    }
    if (l->fd >= 0) SwapLanes(hasher, active++, lane);
  }
  if (active == 0) return 0;

  // The widest kernel that is at least half used; a lone file runs at
  // single-stream speed.
  size_t steps = SIZE_MAX;
  const unsigned char* data[kMaxLanes];
  int width = 1;
  const Md5Kernel* kernel = nullptr;
  if (active > 1) {
    for (int k = 0; k < hasher->kernel_count && kernel == nullptr; ++k)
      if (2 * active >= hasher->kernels[k]->lanes || k == hasher->kernel_count - 1) kernel = hasher->kernels[k];
    width = kernel->lanes;
  }
  for (int lane = 0; lane < width; ++lane) {
    const Lane* l = &hasher->lanes[lane];
    data[lane] = lane < active ? l->next : kIdleBlocks;
    if (lane < active && l->blocks < steps) steps = l->blocks;
  }
  if (kernel != nullptr) {
    kernel->run(&hasher->state, data, steps);
  } else {
    uint32_t words[4];
    for (int w = 0; w < 4; ++w) words[w] = hasher->state.words[w][0];
    Md5Blocks(words, data[0], steps);
    SetState(hasher, 0, words);
  }
  for (int lane = 0; lane < width && lane < active; ++lane) {
    Lane* l = &hasher->lanes[lane];
    l->next += 64 * steps;
    l->blocks -= steps;
    if (l->blocks == 0 && l->final) Finish(hasher, lane, jobs, 1);
  }
  return 1;
}

void EndLaneHasher(LaneHasher* hasher) {
  for (int lane = 0; lane < hasher->lane_count; ++lane) {
    if (hasher->lanes[lane].fd >= 0) close(hasher->lanes[lane].fd);
    hasher->lanes[lane].fd = -1;
    free(hasher->lanes[lane].buffer);
    hasher->lanes[lane].buffer = nullptr;
  }
  hasher->lane_count = 0;
}
