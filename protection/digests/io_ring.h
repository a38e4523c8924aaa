// Linux's io_uring through its raw system calls: requests queued in memory
// shared with the kernel and handed to it many at a time in one call. The
// lanes open, read and close their files through one, since a system call
// costs more than most of what it does for a small file. Where there is no
// ring to be had (an old kernel, a sandbox that refuses it), the lanes make
// the calls one at a time.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct io_uring_sqe;
struct io_uring_cqe;

struct IoRing {
  int fd;           // -1: no ring
  unsigned queued;  // requests queued and not yet handed to the kernel
  unsigned entries;
  unsigned *sq_head, *sq_tail, *sq_mask, *sq_array, *cq_head, *cq_tail, *cq_mask;
  io_uring_sqe* sqes;
  io_uring_cqe* cqes;
  void* rings;
  size_t rings_size, sqes_size;
};

// Sets up a ring that takes entries requests at a time and can open, read
// and close files: 1, or 0 (and a ring whose fd is -1) when there is none.
int OpenIoRing(IoRing* ring, unsigned entries);
// Releases the ring; what is still in flight is cancelled.
void CloseIoRing(IoRing* ring);

// Queue a request, done once the kernel is entered, whose completion carries
// tag: 1, or 0 when the queue is full.
int QueueOpen(IoRing* ring, const char* path, int flags, uint64_t tag);
int QueueRead(IoRing* ring, int fd, void* into, uint32_t length, uint64_t offset, uint64_t tag);
int QueueClose(IoRing* ring, int fd, uint64_t tag);

// Hands the kernel what is queued; with wait, also waits until at least one
// request is done. 0 when the kernel could not be entered (errno).
int EnterIoRing(IoRing* ring, int wait);
// The next request done: 1 with its tag and its result (a descriptor, a
// byte count, 0, or -errno), 0 when no other is done yet.
int TakeCompletion(IoRing* ring, uint64_t* tag, int* result);
