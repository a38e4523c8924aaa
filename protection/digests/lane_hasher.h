// One worker's lanes: up to kMaxLanes files hashed side by side by the
// multi-buffer kernels, each lane refilled with the next file as soon as its
// own is done. The scheduler is apart from the kernels: it reads the files,
// pads each stream's tail, and picks the kernel for the lanes whose bytes
// are ready. It never waits for the device while another lane has bytes to
// hash: a read that would wait asks the device for the bytes ahead instead.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "protection/digests/io_ring.h"
#include "protection/digests/md5_lanes.h"

// The files that the lanes of every worker hold open, against how many they
// may: shared by all hashers, read and changed atomically.
struct FileBudget {
  int open;    // files the lanes hold
  int limit;   // at most this many; lowered when the system runs out
  int paused;  // nonzero: no lane opens a file for now
};

// What the lanes need from the queue of files to hash.
struct LaneJobs {
  // Claims the next file: writes its number, its size when it was given,
  // and its path (up to PATH_MAX bytes); 0 when there is none to take now.
  int (*take)(void* queue, uint32_t* job, uint64_t* size, char* path);
  // Hands back a file's digest, or nullptr when it could not be computed.
  // error is nonzero (an errno value) when that is our own failure rather
  // than the file's: the process had no descriptor left for it.
  void (*finish)(void* queue, uint32_t job, const unsigned char* digest, int error);
  // A lane has closed a file: someone may be waiting for a descriptor.
  void (*closed)(void* queue);
  void* queue;
  FileBudget* budget;
};

enum { kIdle = -1, kAwaitingDescriptor = -3, kOpening = -4 };
struct Lane {
  int fd;  // kIdle; kAwaitingDescriptor: its job is taken, its file not yet open; kOpening: by the ring
  uint32_t job;
  char* path;                 // PATH_MAX bytes, after its buffer
  uint64_t size;              // the file's size when it was given
  uint64_t length;            // bytes read so far
  uint64_t asked;             // the device has been asked for the bytes before this offset
  unsigned char* buffer;      // kLaneBuffer bytes, then its path
  const unsigned char* next;  // the next whole block
  size_t blocks;              // whole blocks ready at next
  uint8_t final;              // those blocks end the stream, padding included
  uint8_t blocking;           // its file cannot be read without waiting for it
  uint8_t reading;            // the ring is reading into its buffer
  uint8_t id;                 // which lane the ring's completions are for
};

// 32 KiB reads are as fast as 64 KiB ones here, and the memory they leave
// goes to the listing's window, which pays.
enum { kLaneRead = 32 * 1024, kLaneBuffer = 64 + kLaneRead + 128 };

struct LaneHasher {
  const Md5Kernel* kernels[8];
  double costs[8];     // what a step of each kernel costs, one block in each of its lanes
  double single_cost;  // and a block of the single-stream code
  int kernel_count;
  int lane_count;  // lanes with a buffer: at most the widest kernel's
  Lane lanes[kMaxLanes];
  LaneState state;
  IoRing ring;    // fd -1: the lanes make their calls one at a time
  int in_flight;  // requests queued in the ring (entered or not) and not yet done
};

// Measures, on this CPU, what a step of each kernel costs (seconds), and a
// block of the single-stream code: the lanes run the kernel that hashes the
// lanes ready at the least cost.
void MeasureKernels(const Md5Kernel* const* kernels, int kernel_count, double* costs, double* single_cost);

// Sets up at most max_lanes lanes for the kernels given (widest first; the
// last, scalar, one must be there) and their costs, fewer when memory runs
// short; with ring, the lanes open, read and close through an io_uring
// where the system has one. Returns how many lanes it has; 0 when not even
// one buffer could be had.
int BeginLaneHasher(LaneHasher* hasher, const Md5Kernel* const* kernels, const double* costs, double single_cost,
                    int kernel_count, int max_lanes, int ring);

enum { kPumpIdle = 0, kPumped = 1, kPumpAwaitsDescriptor = 2 };
// Fills idle lanes from jobs, reads, and hashes one step of the lanes whose
// bytes are ready, waiting for the device only when no lane has any.
// Returns kPumped when it hashed; kPumpIdle when it had nothing to do (no
// lane in use and no file to take); kPumpAwaitsDescriptor when it has no
// lane in use because it may not open a file until another lane closes one.
int PumpLanes(LaneHasher* hasher, const LaneJobs* jobs);
// Closes every file still open; their jobs are abandoned.
void EndLaneHasher(LaneHasher* hasher, const LaneJobs* jobs);

// A file part way through its hashing, handed from a hasher with many to
// one with none: its lane, buffer and all, and its state. The taker lends
// its first lane's buffer to the giver, so that each keeps as many.
struct LaneParcel {
  Lane lane;
  uint32_t words[4];
  unsigned char* spare;  // the taker's buffer, for the giver's lane
};
// Of a hasher's open lanes, when it has two or more, gives away the one
// with the most bytes left, if that is at least at_least and the ring is
// not busy with it: 1 when it did.
int GiveLane(LaneHasher* hasher, LaneParcel* parcel, uint64_t at_least);
// The taker, all its lanes idle: lends its first lane's buffer (OfferLane),
// then takes the parcel into that lane once given (TakeLane).
void OfferLane(LaneHasher* hasher, LaneParcel* parcel);
void TakeLane(LaneHasher* hasher, LaneParcel* parcel);
