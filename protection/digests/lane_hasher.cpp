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

int Load(const int* value) { return __atomic_load_n(value, __ATOMIC_ACQUIRE); }

// Counts a file about to be opened against the budget; 0 when there is no
// room for it now.
int Reserve(FileBudget* budget) {
  int open = Load(&budget->open);
  do {
    if (Load(&budget->paused) || open >= Load(&budget->limit)) return 0;
  } while (!__atomic_compare_exchange_n(&budget->open, &open, open + 1, true, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE));
  return 1;
}

void Release(const LaneJobs* jobs) {
  __atomic_sub_fetch(&jobs->budget->open, 1, __ATOMIC_ACQ_REL);
  jobs->closed(jobs->queue);
}

// The system had no descriptor to give: from now on the lanes keep no more
// files open than they hold now.
void LowerLimit(FileBudget* budget, int open) {
  int limit = Load(&budget->limit);
  const int lower = open > 1 ? open : 1;
  while (lower < limit &&
         !__atomic_compare_exchange_n(&budget->limit, &limit, lower, true, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
  }
}

void Finish(LaneHasher* hasher, int lane, const LaneJobs* jobs, int ok) {
  Lane* l = &hasher->lanes[lane];
  unsigned char digest[16];
  for (int w = 0; w < 4; ++w)
    for (int i = 0; i < 4; ++i) digest[4 * w + i] = static_cast<unsigned char>(hasher->state.words[w][lane] >> (8 * i));
  close(l->fd);
  l->fd = kIdle;
  Release(jobs);
  jobs->finish(jobs->queue, l->job, ok ? digest : nullptr, 0);
}

// Starts a file in a lane that is idle, or awaits a descriptor for its job:
// 1 when it did, 0 when there is no file to take, kNoRoom when the lanes may
// not open another file now. A file that cannot be opened as a regular file
// is finished at once, and the next one taken. Running out of descriptors is
// not the file's failure: the lane keeps its job and tries again once
// another lane has closed a file, unless no lane holds any.
enum { kNoRoom = -1 };
int Refill(LaneHasher* hasher, int lane, const LaneJobs* jobs) {
  Lane* l = &hasher->lanes[lane];
  for (;;) {
    if (!Reserve(jobs->budget)) return kNoRoom;
    if (l->fd == kIdle) {
      l->path = jobs->take(jobs->queue, &l->job);
      if (l->path == nullptr) {
        __atomic_sub_fetch(&jobs->budget->open, 1, __ATOMIC_ACQ_REL);
        return 0;
      }
    }
    long long size;
    l->fd = OpenRegularFile(l->path, &size);  // never opens a FIFO or a device
    if (l->fd >= 0) {
      posix_fadvise(l->fd, 0, 0, POSIX_FADV_SEQUENTIAL);
      l->length = 0;
      l->blocks = 0;
      l->final = 0;
      l->next = l->buffer + 64;
      SetState(hasher, lane, kInitialState);
      return 1;
    }
    const int error = l->fd == -1 ? errno : 0;
    const int ours = error == EMFILE || error == ENFILE || error == ENOMEM;  // not the file's
    const int open = __atomic_sub_fetch(&jobs->budget->open, 1, __ATOMIC_ACQ_REL);
    if (ours && open > 0) {
      LowerLimit(jobs->budget, open);
      l->fd = kAwaitingDescriptor;
      return kNoRoom;
    }
    l->fd = kIdle;
    jobs->finish(jobs->queue, l->job, nullptr, ours ? error : 0);
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

int BeginLaneHasher(LaneHasher* hasher, const Md5Kernel* const* kernels, int kernel_count, int max_lanes) {
  hasher->kernel_count = kernel_count < 8 ? kernel_count : 8;
  for (int k = 0; k < hasher->kernel_count; ++k) hasher->kernels[k] = kernels[k];
  const int lanes = kernels[0]->lanes < max_lanes ? kernels[0]->lanes : max_lanes;
  for (hasher->lane_count = 0; hasher->lane_count < lanes; ++hasher->lane_count) {
    Lane* l = &hasher->lanes[hasher->lane_count];
    l->fd = kIdle;
    l->buffer = static_cast<unsigned char*>(malloc(kLaneBuffer));
    if (l->buffer != nullptr) continue;
    // Memory is short: half the lanes, and the rest left for reading the
    // databases.
    const int keep = (hasher->lane_count + 1) / 2;
    while (hasher->lane_count > keep) free(hasher->lanes[--hasher->lane_count].buffer);
    break;
  }
  return hasher->lane_count;
}

int PumpLanes(LaneHasher* hasher, const LaneJobs* jobs) {
  // Lanes in use come first, so that a narrower kernel covers them all.
  int active = 0, no_room = 0;
  for (int lane = 0; lane < hasher->lane_count; ++lane) {
    Lane* l = &hasher->lanes[lane];
    while (l->fd < 0 || (l->blocks == 0 && !l->final)) {
      if (l->fd < 0) {
        const int refilled = Refill(hasher, lane, jobs);
        no_room |= refilled == kNoRoom;
        if (refilled != 1) break;
      }
      if (l->blocks == 0 && !l->final && !ReadMore(l)) Finish(hasher, lane, jobs, 0);
    }
    if (l->fd >= 0) SwapLanes(hasher, active++, lane);
  }
  if (active == 0) return no_room ? kPumpAwaitsDescriptor : kPumpIdle;
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

void EndLaneHasher(LaneHasher* hasher, const LaneJobs* jobs) {
  for (int lane = 0; lane < hasher->lane_count; ++lane) {
    Lane* l = &hasher->lanes[lane];
    if (l->fd >= 0) {
      close(l->fd);
      Release(jobs);
    }
    l->fd = kIdle;
    free(l->buffer);
    l->buffer = nullptr;
  }
  hasher->lane_count = 0;
}
