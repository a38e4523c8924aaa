#include "protection/digests/io_ring.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/io_uring.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Whether the kernel knows how to open, read and close through a ring:
// reading and opening came after the ring itself.
int CanOpenReadAndClose(int fd) {
  enum { kOps = 64 };
  union {
    io_uring_probe probe;
    unsigned char bytes[sizeof(io_uring_probe) + kOps * sizeof(io_uring_probe_op)];
  } asked;
  memset(&asked, 0, sizeof asked);
  if (syscall(__NR_io_uring_register, fd, IORING_REGISTER_PROBE, &asked.probe, kOps) != 0) return 0;
  const int needed[] = {IORING_OP_OPENAT, IORING_OP_READ, IORING_OP_CLOSE};
  for (const int op : needed)
    if (op > asked.probe.last_op || !(asked.probe.ops[op].flags & IO_URING_OP_SUPPORTED)) return 0;
  return 1;
}

io_uring_sqe* Queue(IoRing* ring, uint8_t opcode, int fd, uint64_t tag) {
  const unsigned tail = *ring->sq_tail;
  if (tail - __atomic_load_n(ring->sq_head, __ATOMIC_ACQUIRE) >= ring->entries) return nullptr;
  const unsigned index = tail & *ring->sq_mask;
  io_uring_sqe* sqe = &ring->sqes[index];
  memset(sqe, 0, sizeof *sqe);
  sqe->opcode = opcode;
  sqe->fd = fd;
  sqe->user_data = tag;
  ring->sq_array[index] = index;
  __atomic_store_n(ring->sq_tail, tail + 1, __ATOMIC_RELEASE);
  ++ring->queued;
  return sqe;
}

}  // namespace

int OpenIoRing(IoRing* ring, unsigned entries) {
  memset(ring, 0, sizeof *ring);
  io_uring_params params;
  memset(&params, 0, sizeof params);
  ring->fd = static_cast<int>(syscall(__NR_io_uring_setup, entries, &params));
  if (ring->fd < 0) {
    ring->fd = -1;
    return 0;
  }
  // One mapping for both rings (Linux 5.4), and a kernel that keeps every
  // completion even when its ring is full.
  const unsigned needed = IORING_FEAT_SINGLE_MMAP | IORING_FEAT_NODROP;
  if ((params.features & needed) != needed || !CanOpenReadAndClose(ring->fd)) {
    CloseIoRing(ring);
    return 0;
  }
  const size_t sq_size = params.sq_off.array + params.sq_entries * sizeof(unsigned);
  const size_t cq_size = params.cq_off.cqes + params.cq_entries * sizeof(io_uring_cqe);
  ring->rings_size = sq_size > cq_size ? sq_size : cq_size;
  ring->sqes_size = params.sq_entries * sizeof(io_uring_sqe);
  void* rings =
      mmap(nullptr, ring->rings_size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, ring->fd, IORING_OFF_SQ_RING);
  void* sqes =
      mmap(nullptr, ring->sqes_size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, ring->fd, IORING_OFF_SQES);
  ring->rings = rings == MAP_FAILED ? nullptr : rings;
  ring->sqes = sqes == MAP_FAILED ? nullptr : static_cast<io_uring_sqe*>(sqes);
  if (ring->rings == nullptr || ring->sqes == nullptr) {
    CloseIoRing(ring);
    return 0;
  }
  char* at = static_cast<char*>(rings);
  ring->entries = params.sq_entries;
  ring->sq_head = reinterpret_cast<unsigned*>(at + params.sq_off.head);
  ring->sq_tail = reinterpret_cast<unsigned*>(at + params.sq_off.tail);
  ring->sq_mask = reinterpret_cast<unsigned*>(at + params.sq_off.ring_mask);
  ring->sq_array = reinterpret_cast<unsigned*>(at + params.sq_off.array);
  ring->cq_head = reinterpret_cast<unsigned*>(at + params.cq_off.head);
  ring->cq_tail = reinterpret_cast<unsigned*>(at + params.cq_off.tail);
  ring->cq_mask = reinterpret_cast<unsigned*>(at + params.cq_off.ring_mask);
  ring->cqes = reinterpret_cast<io_uring_cqe*>(at + params.cq_off.cqes);
  return 1;
}

void CloseIoRing(IoRing* ring) {
  if (ring->sqes != nullptr) munmap(ring->sqes, ring->sqes_size);
  if (ring->rings != nullptr) munmap(ring->rings, ring->rings_size);
  if (ring->fd >= 0) close(ring->fd);
  memset(ring, 0, sizeof *ring);
  ring->fd = -1;
}

int QueueOpen(IoRing* ring, const char* path, int flags, uint64_t tag) {
  io_uring_sqe* sqe = Queue(ring, IORING_OP_OPENAT, AT_FDCWD, tag);
  if (sqe == nullptr) return 0;
  sqe->addr = reinterpret_cast<uintptr_t>(path);
  sqe->open_flags = static_cast<uint32_t>(flags);
  return 1;
}

int QueueRead(IoRing* ring, int fd, void* into, uint32_t length, uint64_t offset, uint64_t tag) {
  io_uring_sqe* sqe = Queue(ring, IORING_OP_READ, fd, tag);
  if (sqe == nullptr) return 0;
  sqe->addr = reinterpret_cast<uintptr_t>(into);
  sqe->len = length;
  sqe->off = offset;
  return 1;
}

int QueueClose(IoRing* ring, int fd, uint64_t tag) { return Queue(ring, IORING_OP_CLOSE, fd, tag) != nullptr; }

int EnterIoRing(IoRing* ring, int wait) {
  long entered;
  do
    entered = syscall(__NR_io_uring_enter, ring->fd, ring->queued, wait ? 1 : 0, wait ? IORING_ENTER_GETEVENTS : 0,
                      nullptr, 0);
  while (entered < 0 && errno == EINTR);
  if (entered < 0) return 0;
  ring->queued -= static_cast<unsigned>(entered) < ring->queued ? static_cast<unsigned>(entered) : ring->queued;
  return 1;
}

int TakeCompletion(IoRing* ring, uint64_t* tag, int* result) {
  const unsigned head = *ring->cq_head;
  if (head == __atomic_load_n(ring->cq_tail, __ATOMIC_ACQUIRE)) return 0;
  const io_uring_cqe* cqe = &ring->cqes[head & *ring->cq_mask];
  *tag = cqe->user_data;
  *result = cqe->res;
  __atomic_store_n(ring->cq_head, head + 1, __ATOMIC_RELEASE);
  return 1;
}
