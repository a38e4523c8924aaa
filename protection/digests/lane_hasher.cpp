#include "protection/digests/lane_hasher.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include "protection/digests/md5.h"
#include "protection/regular_file.h"

namespace {

const uint32_t kInitialState[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

// Where an idle lane points: as many readable blocks as a lane ever hashes.
alignas(64) const unsigned char kIdleBlocks[kLaneBuffer] = {};

// How far ahead of a lane the device is asked to read, once a read would
// have waited for it.
const uint64_t kReadAhead = 2 << 20;
// Files longer than this are told to the kernel to be read in sequence, for
// a wider read-ahead; the first read-ahead already covers shorter ones.
const uint64_t kSequentialFrom = 64 << 10;

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

// The tag of a close in the ring: a lane's own requests carry its id.
const uint64_t kClosing = 0xff;

// A lane is done with its file. Through the ring, the close goes with the
// next requests, and the file counts against the budget until it is done.
void CloseFile(LaneHasher* hasher, Lane* l, const LaneJobs* jobs) {
  if (hasher->ring.fd >= 0 && QueueClose(&hasher->ring, l->fd, kClosing)) {
    ++hasher->in_flight;
  } else {
    close(l->fd);
    Release(jobs);
  }
  l->fd = kIdle;
}

void Finish(LaneHasher* hasher, int lane, const LaneJobs* jobs, int ok) {
  Lane* l = &hasher->lanes[lane];
  unsigned char digest[16];
  for (int w = 0; w < 4; ++w)
    for (int i = 0; i < 4; ++i) digest[4 * w + i] = static_cast<unsigned char>(hasher->state.words[w][lane] >> (8 * i));
  CloseFile(hasher, l, jobs);
  jobs->finish(jobs->queue, l->job, ok ? digest : nullptr, 0);
}

void Unreserve(FileBudget* budget) { __atomic_sub_fetch(&budget->open, 1, __ATOMIC_ACQ_REL); }

// Claims a file for a lane that is idle, or awaits a descriptor for its job,
// and counts it against the budget: 1 when it did, 0 when there is no file
// to take, kNoRoom when the lanes may not open another file now.
enum { kNoRoom = -1 };
int Claim(Lane* l, const LaneJobs* jobs) {
  if (!Reserve(jobs->budget)) return kNoRoom;
  if (l->fd == kIdle) {
    if (!jobs->take(jobs->queue, &l->job, &l->size, l->path)) {
      Unreserve(jobs->budget);
      return 0;
    }
  }
  return 1;
}

// Starts the lane's claimed file, given what opening it gave: its
// descriptor, or -1 and why, or kNotRegularFile. Returns 1 when the lane
// holds it now. A file that cannot be opened as a regular file is finished
// at once (0). Running out of descriptors is not the file's failure: the
// lane keeps its job and tries again once another lane has closed a file
// (kNoRoom), unless no lane holds any.
int Opened(LaneHasher* hasher, int lane, const LaneJobs* jobs, int fd, int error) {
  Lane* l = &hasher->lanes[lane];
  l->fd = fd;
  if (fd >= 0) {
    if (l->size > kSequentialFrom) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    l->length = l->asked = 0;
    l->blocks = 0;
    l->final = l->blocking = 0;
    l->next = l->buffer + 64;
    SetState(hasher, lane, kInitialState);
    return 1;
  }
  const int ours = error == EMFILE || error == ENFILE || error == ENOMEM;  // not the file's
  const int open = __atomic_sub_fetch(&jobs->budget->open, 1, __ATOMIC_ACQ_REL);
  if (ours && open > 0) {
    LowerLimit(jobs->budget, open);
    l->fd = kAwaitingDescriptor;
    return kNoRoom;
  }
  l->fd = kIdle;
  jobs->finish(jobs->queue, l->job, nullptr, ours ? error : 0);
  return 0;
}

// Starts a file in a lane that is idle, or awaits a descriptor for its job,
// opening one file after another until one opens: 1 when it did, 0 when
// there is no file to take, kNoRoom when the lanes may not open one now.
int Refill(LaneHasher* hasher, int lane, const LaneJobs* jobs) {
  Lane* l = &hasher->lanes[lane];
  for (;;) {
    const int claimed = Claim(l, jobs);
    if (claimed != 1) return claimed;
    const int fd = OpenFileFoundRegular(l->path, nullptr);  // a FIFO put there meanwhile is not opened
    const int opened = Opened(hasher, lane, jobs, fd, fd == -1 ? errno : 0);
    if (opened != 0) return opened;
  }
}

// The end of a stream, after total bytes of which the last length % 64 lie
// at tail: 0x80, zeros and the length in bits make one block of them, or
// two when fewer than 9 bytes are left in the first.
size_t Pad(unsigned char* tail, uint64_t total) {
  const size_t carried = static_cast<size_t>(total % 64);
  const size_t blocks = carried < 56 ? 1 : 2;
  memset(tail + carried, 0, 64 * blocks - carried);
  tail[carried] = 0x80;
  const uint64_t bits = total << 3;
  for (int i = 0; i < 8; ++i) tail[64 * blocks - 8 + i] = static_cast<unsigned char>(bits >> (8 * i));
  return blocks;
}

// Asks the device for the bytes ahead of the lane, in the background.
void AskAhead(Lane* l) {
  if (l->asked > l->length) return;
  const uint64_t left = l->size > l->length ? l->size - l->length : uint64_t{kLaneRead};
  const uint64_t ahead = left < kReadAhead ? left : kReadAhead;
  posix_fadvise(l->fd, static_cast<off_t>(l->length), static_cast<off_t>(ahead), POSIX_FADV_WILLNEED);
  l->asked = l->length + ahead;
}

// Readies a lane whose blocks are used up for its next read: the bytes
// carried over from the last (less than a block) go just before the read
// area, so that they and the new bytes are contiguous. Returns the area.
unsigned char* Carry(Lane* l) {
  const size_t carried = static_cast<size_t>(l->length % 64);
  unsigned char* const area = l->buffer + 64;
  memmove(area - carried, l->next, carried);
  l->next = area - carried;
  return area;
}

// Takes the got bytes read into the area as whole blocks. The stream ends
// when a read gives nothing, or stops short at the size the file had when
// it was given; the padding follows in the lane's spare bytes.
void Got(Lane* l, size_t got) {
  const size_t carried = static_cast<size_t>(l->length % 64), bytes = carried + got;
  unsigned char* const start = l->buffer + 64 - carried;
  l->length += got;
  if (got == 0 || (got < kLaneRead && l->length == l->size && l->size > 0)) {
    const size_t whole = bytes / 64 * 64;
    l->blocks = whole / 64 + Pad(start + whole, l->length);
    l->final = 1;
  } else {
    l->blocks = bytes / 64;
  }
}

enum { kRead = 1, kOnItsWay = 0, kReadFailed = -1 };
// Makes whole blocks ready in a lane whose blocks are used up. Unless wait,
// a read that would wait for the device asks for the bytes ahead and
// returns kOnItsWay.
int ReadMore(Lane* l, int wait) {
  unsigned char* const area = Carry(l);
  ssize_t got = -1;
  if (!wait && !l->blocking) {
    struct iovec into = {area, kLaneRead};
    do got = preadv2(l->fd, &into, 1, static_cast<off_t>(l->length), RWF_NOWAIT);
    while (got < 0 && errno == EINTR);
    if (got < 0 && errno == EAGAIN) {
      AskAhead(l);
      return kOnItsWay;
    }
    l->blocking = got < 0 && errno != EIO;  // a file system that cannot say
  }
  if (got < 0 && (wait || l->blocking)) {
    do got = pread(l->fd, area, kLaneRead, static_cast<off_t>(l->length));
    while (got < 0 && errno == EINTR);
  }
  if (got < 0) return kReadFailed;
  Got(l, static_cast<size_t>(got));
  return kRead;
}

// Files into idle lanes and bytes into the lanes that need them, one at a
// time: a read that would wait for the device is left to the next step.
void RequestOneByOne(LaneHasher* hasher, const LaneJobs* jobs, int* no_room) {
  for (int lane = 0; lane < hasher->lane_count; ++lane) {
    Lane* l = &hasher->lanes[lane];
    while (l->fd < 0 || (l->blocks == 0 && !l->final)) {
      if (l->fd < 0) {
        const int refilled = Refill(hasher, lane, jobs);
        *no_room |= refilled == kNoRoom;
        if (refilled != 1) break;
      }
      const int read = ReadMore(l, 0);
      if (read == kOnItsWay) break;
      if (read == kReadFailed) Finish(hasher, lane, jobs, 0);
    }
  }
}

// Takes in what the ring has done: a file opened (checked to be a regular
// file still, as the one-at-a-time open does), bytes read, a file closed.
// A read that would have waited for the device asks for the bytes ahead
// and is asked again in a later step; a file system that cannot read
// without waiting is read one call at a time.
void Reap(LaneHasher* hasher, const LaneJobs* jobs) {
  uint64_t tag;
  int result;
  while (TakeCompletion(&hasher->ring, &tag, &result)) {
    --hasher->in_flight;
    if (tag == kClosing) {
      Release(jobs);
      continue;
    }
    int lane = 0;
    while (hasher->lanes[lane].id != tag) ++lane;
    Lane* l = &hasher->lanes[lane];
    if (l->fd == kOpening) {
      const int fd = result < 0 ? -1 : KeepIfRegular(result, nullptr);
      Opened(hasher, lane, jobs, fd, result < 0 ? -result : fd == -1 ? errno : 0);
      continue;
    }
    l->reading = 0;
    if (result >= 0)
      Got(l, static_cast<size_t>(result));
    else if (result == -EAGAIN)
      AskAhead(l);
    else if (result == -EIO)
      Finish(hasher, lane, jobs, 0);
    else if (result != -EINTR)
      l->blocking = 1;
  }
}

// The same through the ring: every lane's open or read, and the closes of
// the files finished since, go to the kernel in one call, and what it could
// do at once is taken in.
void RequestThroughRing(LaneHasher* hasher, const LaneJobs* jobs, int* no_room) {
  IoRing* ring = &hasher->ring;
  int ready = 0;
  for (int lane = 0; lane < hasher->lane_count; ++lane) {
    Lane* l = &hasher->lanes[lane];
    if (l->fd == kOpening || l->reading) continue;
    if (l->fd < 0) {
      const int claimed = Claim(l, jobs);
      *no_room |= claimed == kNoRoom;
      if (claimed != 1) continue;
      if (QueueOpen(ring, l->path, kOpenFoundRegular, l->id)) {
        l->fd = kOpening;
        ++hasher->in_flight;
      } else {  // the queue is full: the next step opens it
        Unreserve(jobs->budget);
        l->fd = kAwaitingDescriptor;
      }
    } else if (l->blocks == 0 && !l->final) {
      if (l->blocking) {
        if (ReadMore(l, 1) == kReadFailed) Finish(hasher, lane, jobs, 0);
      } else if (QueueRead(ring, l->fd, Carry(l), kLaneRead, l->length, l->id)) {
        l->reading = 1;
        ++hasher->in_flight;
      }
    }
    ready += l->fd >= 0 && l->blocks > 0;
  }
  // A call for one or two requests would cost as much as the hashing
  // between two steps: they wait for more, while the lanes ready keep the
  // kernel busy.
  const int quarter = hasher->lane_count > 4 ? hasher->lane_count / 4 : 1;
  if (ring->queued >= static_cast<unsigned>(quarter) || ready < quarter) EnterIoRing(ring, 0);
  Reap(hasher, jobs);
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

// A lane's buffer: kLaneBuffer bytes, then room for its file's path.
unsigned char* UseBuffer(Lane* l, unsigned char* buffer) {
  l->buffer = buffer;
  l->path = reinterpret_cast<char*>(buffer + kLaneBuffer);
  return buffer;
}

double Seconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

}  // namespace

void MeasureKernels(const Md5Kernel* const* kernels, int kernel_count, double* costs, double* single_cost) {
  enum { kSteps = 256, kTries = 3 };  // about a millisecond in all
  static LaneState state;
  const unsigned char* data[kMaxLanes];
  for (const unsigned char*& lane : data) lane = kIdleBlocks;
  for (int k = 0; k <= kernel_count; ++k) {
    double best = 1e9;
    for (int t = 0; t < kTries; ++t) {
      const double start = Seconds();
      if (k < kernel_count)
        kernels[k]->run(&state, data, kSteps);
      else
        Md5Blocks(state.words[0], kIdleBlocks, kSteps);
      const double seconds = (Seconds() - start) / kSteps;
      if (seconds < best) best = seconds;
    }
    (k < kernel_count ? costs[k] : *single_cost) = best;
  }
}

int BeginLaneHasher(LaneHasher* hasher, const Md5Kernel* const* kernels, const double* costs, double single_cost,
                    int kernel_count, int max_lanes, int ring) {
  hasher->kernel_count = kernel_count < 8 ? kernel_count : 8;
  for (int k = 0; k < hasher->kernel_count; ++k) {
    hasher->kernels[k] = kernels[k];
    hasher->costs[k] = costs[k];
  }
  hasher->single_cost = single_cost;
  const int lanes = kernels[0]->lanes < max_lanes ? kernels[0]->lanes : max_lanes;
  for (hasher->lane_count = 0; hasher->lane_count < lanes; ++hasher->lane_count) {
    Lane* l = &hasher->lanes[hasher->lane_count];
    l->fd = kIdle;
    l->reading = 0;
    l->id = static_cast<uint8_t>(hasher->lane_count);
    if (UseBuffer(l, static_cast<unsigned char*>(malloc(kLaneBuffer + PATH_MAX))) != nullptr) continue;
    // Memory is short: half the lanes, and the rest left for reading the
    // databases.
    const int keep = (hasher->lane_count + 1) / 2;
    while (hasher->lane_count > keep) free(hasher->lanes[--hasher->lane_count].buffer);
    break;
  }
  // Two requests a lane at most: its open or read, and a close.
  hasher->in_flight = 0;
  if (!ring || hasher->lane_count == 0 || !OpenIoRing(&hasher->ring, 2 * kMaxLanes)) hasher->ring.fd = -1;
  return hasher->lane_count;
}

int PumpLanes(LaneHasher* hasher, const LaneJobs* jobs) {
  // Files into idle lanes, then bytes into the lanes that need them, and
  // the lanes with bytes ready first, so that one kernel covers them all.
  int open = 0, ready = 0, no_room = 0;
  IoRing* ring = &hasher->ring;
  if (ring->fd >= 0)
    RequestThroughRing(hasher, jobs, &no_room);
  else
    RequestOneByOne(hasher, jobs, &no_room);
  for (int lane = 0; lane < hasher->lane_count; ++lane) {
    if (hasher->lanes[lane].fd < 0) continue;
    SwapLanes(hasher, open++, lane);
    if (hasher->lanes[open - 1].blocks > 0) SwapLanes(hasher, ready++, open - 1);
  }
  if (ready == 0 && hasher->in_flight > 0) {
    // Nothing to hash until the ring has done something.
    EnterIoRing(ring, 1);
    Reap(hasher, jobs);
    return kPumped;
  }
  if (open == 0) return no_room ? kPumpAwaitsDescriptor : kPumpIdle;
  if (ready == 0) {
    // Every lane waits for the device: wait for the first one's bytes.
    if (ReadMore(&hasher->lanes[0], 1) == kReadFailed) {
      Finish(hasher, 0, jobs, 0);
      return kPumped;
    }
    ready = 1;
  }

  // The kernel that hashes a block in every ready lane at the least cost; a
  // lone lane may be cheapest in the single-stream code.
  const Md5Kernel* kernel = nullptr;
  double cost = ready == 1 ? hasher->single_cost : 1e9;
  for (int k = 0; k < hasher->kernel_count; ++k)
    if (hasher->kernels[k]->lanes >= ready && hasher->costs[k] < cost) {
      kernel = hasher->kernels[k];
      cost = hasher->costs[k];
    }
  const int width = kernel != nullptr ? kernel->lanes : 1;
  size_t steps = SIZE_MAX;
  const unsigned char* data[kMaxLanes];
  for (int lane = 0; lane < width; ++lane) {
    const Lane* l = &hasher->lanes[lane];
    data[lane] = lane < ready ? l->next : kIdleBlocks;
    if (lane < ready && l->blocks < steps) steps = l->blocks;
  }
  if (kernel != nullptr) {
    // The kernel runs every lane of its width: the lanes waiting for the
    // device keep their state.
    const int waiting = (open < width ? open : width) - ready;
    uint32_t kept[4][kMaxLanes];
    for (int w = 0; w < 4; ++w) memcpy(kept[w], &hasher->state.words[w][ready], sizeof(uint32_t) * waiting);
    kernel->run(&hasher->state, data, steps);
    for (int w = 0; w < 4; ++w) memcpy(&hasher->state.words[w][ready], kept[w], sizeof(uint32_t) * waiting);
  } else {
    uint32_t words[4];
    for (int w = 0; w < 4; ++w) words[w] = hasher->state.words[w][0];
    Md5Blocks(words, data[0], steps);
    SetState(hasher, 0, words);
  }
  for (int lane = 0; lane < ready; ++lane) {
    Lane* l = &hasher->lanes[lane];
    l->next += 64 * steps;
    l->blocks -= steps;
    if (l->blocks == 0 && l->final) Finish(hasher, lane, jobs, 1);
  }
  return kPumped;
}

void EndLaneHasher(LaneHasher* hasher, const LaneJobs* jobs) {
  if (hasher->ring.fd >= 0) {
    // The kernel may still write into the lanes' buffers: every request is
    // waited for before they are freed, or, when it cannot be, they are
    // never freed.
    while (hasher->in_flight > 0) {
      if (!EnterIoRing(&hasher->ring, 1)) {
        for (int lane = 0; lane < hasher->lane_count; ++lane) hasher->lanes[lane].buffer = nullptr;
        break;
      }
      Reap(hasher, jobs);
    }
    CloseIoRing(&hasher->ring);
  }
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

int GiveLane(LaneHasher* hasher, LaneParcel* parcel, uint64_t at_least) {
  int open = 0, best = -1;
  uint64_t most = 0;
  for (int lane = 0; lane < hasher->lane_count; ++lane) {
    const Lane* l = &hasher->lanes[lane];
    if (l->fd < 0) continue;
    ++open;
    const uint64_t left = l->size > l->length ? l->size - l->length : 0;
    if (!l->reading && left >= at_least && left > most) {
      most = left;
      best = lane;
    }
  }
  if (open < 2 || best < 0) return 0;
  Lane* l = &hasher->lanes[best];
  parcel->lane = *l;
  for (int w = 0; w < 4; ++w) parcel->words[w] = hasher->state.words[w][best];
  UseBuffer(l, parcel->spare);
  l->fd = kIdle;
  return 1;
}

void OfferLane(LaneHasher* hasher, LaneParcel* parcel) { parcel->spare = hasher->lanes[0].buffer; }

void TakeLane(LaneHasher* hasher, LaneParcel* parcel) {
  const uint8_t id = hasher->lanes[0].id;  // the ring's tag for this lane
  hasher->lanes[0] = parcel->lane;
  hasher->lanes[0].id = id;
  SetState(hasher, 0, parcel->words);
}
