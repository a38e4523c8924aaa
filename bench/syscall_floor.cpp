// What the listing's system calls cost on their own, with no hashing, no
// database and no output: for each of the NUL-separated paths on standard
// input, the calls the listing makes (stat; then, for a regular file, open,
// fstat, 64 KiB reads to the end, close), on one thread per CPU this process
// may use, as the listing's workers. A listing that must make these
// calls cannot be faster than this.
//
// With --batched, each thread takes 32 files at a time, as a worker's
// lanes, and submits their opens, their reads and their closes together
// through io_uring: what the same calls would cost if a listing batched
// them. The stat and the fstat stay plain calls, since io_uring always
// hands a statx to its own threads.
//   syscall_floor [--batched] < paths
#include <errno.h>
#include <fcntl.h>
#include <linux/io_uring.h>
#include <pthread.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "protection/regular_file.h"

namespace {

// The paths, NUL-terminated back to back, and where each starts.
char* names;
size_t* starts;
size_t path_count, next_path;
unsigned long long bytes_read;
int failed;

enum { kRead = 64 * 1024 };

// The next path, or nullptr when there are none.
const char* NextPath() {
  const size_t i = __atomic_fetch_add(&next_path, 1, __ATOMIC_RELAXED);
  return i < path_count ? names + starts[i] : nullptr;
}

// As the listing, a read that stops short at the file's size ends it
// without another read.
bool LastRead(long long at, long long size, long long got) { return at == size && got < kRead; }

void* ReadFiles(void*) {
  static thread_local unsigned char buffer[kRead];
  unsigned long long bytes = 0;
  while (const char* path = NextPath()) {
    long long size;
    const int fd = OpenRegularFile(path, &size);  // the listing's own stat, open and fstat
    if (fd < 0) continue;
    ssize_t got;
    off_t at = 0;
    while ((got = pread(fd, buffer, kRead, at)) > 0) {
      at += got;
      if (LastRead(at, size, got)) break;
    }
    bytes += static_cast<unsigned long long>(at);
    close(fd);
  }
  __atomic_fetch_add(&bytes_read, bytes, __ATOMIC_RELAXED);
  return nullptr;
}

enum { kBatch = 32 };

struct Ring {
  int fd;
  unsigned *sq_tail, *sq_mask, *sq_array, *cq_head, *cq_tail, *cq_mask;
  io_uring_sqe* sqes;
  io_uring_cqe* cqes;
};

int SetUpRing(Ring* ring) {
  io_uring_params params;
  memset(&params, 0, sizeof params);
  ring->fd = static_cast<int>(syscall(__NR_io_uring_setup, 4 * kBatch, &params));
  if (ring->fd < 0) return 0;
  if (!(params.features & IORING_FEAT_SINGLE_MMAP)) return 0;  // one mapping for both rings: Linux 5.4
  const size_t sq_size = params.sq_off.array + params.sq_entries * sizeof(unsigned);
  const size_t cq_size = params.cq_off.cqes + params.cq_entries * sizeof(io_uring_cqe);
  void* rings = mmap(nullptr, sq_size > cq_size ? sq_size : cq_size, PROT_READ | PROT_WRITE,
                     MAP_SHARED | MAP_POPULATE, ring->fd, IORING_OFF_SQ_RING);
  void* sqes = mmap(nullptr, params.sq_entries * sizeof(io_uring_sqe), PROT_READ | PROT_WRITE,
                    MAP_SHARED | MAP_POPULATE, ring->fd, IORING_OFF_SQES);
  if (rings == MAP_FAILED || sqes == MAP_FAILED) return 0;
  char* at = static_cast<char*>(rings);
  ring->sq_tail = reinterpret_cast<unsigned*>(at + params.sq_off.tail);
  ring->sq_mask = reinterpret_cast<unsigned*>(at + params.sq_off.ring_mask);
  ring->sq_array = reinterpret_cast<unsigned*>(at + params.sq_off.array);
  ring->cq_head = reinterpret_cast<unsigned*>(at + params.cq_off.head);
  ring->cq_tail = reinterpret_cast<unsigned*>(at + params.cq_off.tail);
  ring->cq_mask = reinterpret_cast<unsigned*>(at + params.cq_off.ring_mask);
  ring->cqes = reinterpret_cast<io_uring_cqe*>(at + params.cq_off.cqes);
  ring->sqes = static_cast<io_uring_sqe*>(sqes);
  return 1;
}

// Queues a request whose result will go to results[tag]. The kernel reads
// the queue only when it is entered (there is no polling thread), so the
// caller may finish the entry after this.
io_uring_sqe* Queue(Ring* ring, uint8_t opcode, int fd, uint64_t tag) {
  const unsigned tail = *ring->sq_tail, index = tail & *ring->sq_mask;
  io_uring_sqe* sqe = &ring->sqes[index];
  memset(sqe, 0, sizeof *sqe);
  sqe->opcode = opcode;
  sqe->fd = fd;
  sqe->user_data = tag;
  ring->sq_array[index] = index;
  __atomic_store_n(ring->sq_tail, tail + 1, __ATOMIC_RELEASE);
  return sqe;
}

// Submits the count requests queued and waits until all are done.
int Complete(Ring* ring, int count, int* results) {
  int submit = count;
  for (int done = 0; done < count;) {
    const long entered = syscall(__NR_io_uring_enter, ring->fd, submit, count - done, IORING_ENTER_GETEVENTS, nullptr, 0);
    if (entered < 0 && errno != EINTR) return 0;
    if (entered > 0) submit -= static_cast<int>(entered < submit ? entered : submit);
    unsigned head = *ring->cq_head;
    for (const unsigned tail = __atomic_load_n(ring->cq_tail, __ATOMIC_ACQUIRE); head != tail; ++head, ++done)
      results[ring->cqes[head & *ring->cq_mask].user_data] = ring->cqes[head & *ring->cq_mask].res;
    __atomic_store_n(ring->cq_head, head, __ATOMIC_RELEASE);
  }
  return 1;
}

void* ReadFilesBatched(void*) {
  static thread_local unsigned char buffers[kBatch][kRead];
  Ring ring;
  if (!SetUpRing(&ring)) {
    perror("syscall_floor: io_uring");
    __atomic_store_n(&failed, 1, __ATOMIC_RELAXED);
    return nullptr;
  }
  unsigned long long bytes = 0;
  const char* paths[kBatch];
  int fds[kBatch], results[kBatch], reading[kBatch];
  off_t at[kBatch], size[kBatch];
  int ok = 1;
  while (ok) {
    int count = 0;
    for (const char* path; count < kBatch && (path = NextPath()) != nullptr;) {
      struct stat status;
      if (stat(path, &status) == 0 && S_ISREG(status.st_mode)) paths[count++] = path;
    }
    if (count == 0) break;
    for (int k = 0; k < count; ++k) {
      io_uring_sqe* sqe = Queue(&ring, IORING_OP_OPENAT, AT_FDCWD, k);
      sqe->addr = reinterpret_cast<uintptr_t>(paths[k]);
      sqe->open_flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    }
    ok = Complete(&ring, count, fds);
    int open = 0;
    for (int k = 0; ok && k < count; ++k) {
      struct stat status;
      if (fds[k] < 0) continue;
      if (fstat(fds[k], &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fds[k]);
        continue;
      }
      fds[open] = fds[k];
      at[open] = 0;
      size[open] = status.st_size;
      reading[open] = open;
      ++open;
    }
    for (int left = open; ok && left > 0;) {
      for (int j = 0; j < left; ++j) {
        const int k = reading[j];
        io_uring_sqe* sqe = Queue(&ring, IORING_OP_READ, fds[k], j);
        sqe->addr = reinterpret_cast<uintptr_t>(buffers[k]);
        sqe->len = kRead;
        sqe->off = static_cast<uint64_t>(at[k]);
      }
      ok = Complete(&ring, left, results);
      int still = 0;
      for (int j = 0; ok && j < left; ++j) {
        const int k = reading[j];
        if (results[j] <= 0) continue;
        at[k] += results[j];
        if (!LastRead(at[k], size[k], results[j])) reading[still++] = k;
      }
      left = still;
    }
    for (int k = 0; k < open; ++k) {
      bytes += static_cast<unsigned long long>(at[k]);
      Queue(&ring, IORING_OP_CLOSE, fds[k], k);
    }
    ok = ok && Complete(&ring, open, results);
  }
  if (!ok) {
    perror("syscall_floor: io_uring_enter");
    __atomic_store_n(&failed, 1, __ATOMIC_RELAXED);
  }
  __atomic_fetch_add(&bytes_read, bytes, __ATOMIC_RELAXED);
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  const int batched = argc > 1 && strcmp(argv[1], "--batched") == 0;
  size_t size = 0, capacity = 1 << 20;
  names = static_cast<char*>(malloc(capacity));
  for (size_t got; names != nullptr && (got = fread(names + size, 1, capacity - size - 1, stdin)) > 0;) {
    size += got;
    if (size + 1 == capacity) names = static_cast<char*>(realloc(names, capacity *= 2));
  }
  starts = static_cast<size_t*>(malloc(sizeof(size_t) * (size / 2 + 1)));
  if (names == nullptr || starts == nullptr) {
    fprintf(stderr, "syscall_floor: out of memory\n");
    return 1;
  }
  names[size] = '\0';
  for (size_t at = 0; at < size; at += strlen(names + at) + 1)
    if (names[at] != '\0') starts[path_count++] = at;

  cpu_set_t cpus;
  const int count = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
  pthread_t threads[CPU_SETSIZE];
  for (int t = 0; t < count; ++t) pthread_create(&threads[t], nullptr, batched ? ReadFilesBatched : ReadFiles, nullptr);
  for (int t = 0; t < count; ++t) pthread_join(threads[t], nullptr);
  fprintf(stderr, "%zu paths, %llu bytes read on %d threads%s\n", path_count, bytes_read, count,
          batched ? ", through io_uring" : "");
  return failed;
}
