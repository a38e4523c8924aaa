// What the listing's system calls cost on their own, with no hashing, no
// database and no output: for each of the NUL-separated paths on standard
// input, the calls the listing makes (stat; then, for a regular file, open,
// fstat, reads of a lane's size to the end, close), on one thread per CPU
// this process may use, as the listing's workers. A listing that must make
// these calls cannot be faster than this.
//
// With --batched, each thread takes 32 files at a time, as a worker's
// lanes, and submits their opens, their reads and their closes together
// through io_uring: what the same calls would cost if a listing batched
// them. The stat and the fstat stay plain calls, since io_uring always
// hands a statx to its own threads.
//   syscall_floor [--batched] < paths
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "protection/digests/io_ring.h"
#include "protection/digests/lane_hasher.h"
#include "protection/regular_file.h"

namespace {

// The paths, NUL-terminated back to back, and where each starts.
char* names;
size_t* starts;
size_t path_count, next_path;
unsigned long long bytes_read;
int failed;

// The next path, or nullptr when there are none.
const char* NextPath() {
  const size_t i = __atomic_fetch_add(&next_path, 1, __ATOMIC_RELAXED);
  return i < path_count ? names + starts[i] : nullptr;
}

// As the listing, a read that stops short at the file's size ends it
// without another read.
bool LastRead(long long at, long long size, long long got) { return at == size && got < kLaneRead; }

void* ReadFiles(void*) {
  static thread_local unsigned char buffer[kLaneRead];
  unsigned long long bytes = 0;
  while (const char* path = NextPath()) {
    long long size;
    const int fd = OpenRegularFile(path, &size);  // the listing's own stat, open and fstat
    if (fd < 0) continue;
    ssize_t got;
    off_t at = 0;
    while ((got = pread(fd, buffer, kLaneRead, at)) > 0) {
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

// Submits the count requests queued and waits until all are done; each
// result goes to results[tag].
int Complete(IoRing* ring, int count, int* results) {
  for (int done = 0; done < count;) {
    if (!EnterIoRing(ring, 1)) return 0;
    uint64_t tag;
    for (int result; TakeCompletion(ring, &tag, &result); ++done) results[tag] = result;
  }
  return 1;
}

void* ReadFilesBatched(void*) {
  static thread_local unsigned char buffers[kBatch][kLaneRead];
  IoRing ring;
  if (!OpenIoRing(&ring, 4 * kBatch)) {
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
    uint64_t stat_size;
    for (const char* path; count < kBatch && (path = NextPath()) != nullptr;)
      if (StatRegularFile(path, &stat_size) == 1) paths[count++] = path;
    if (count == 0) break;
    for (int k = 0; k < count; ++k) QueueOpen(&ring, paths[k], kOpenFoundRegular, k);
    ok = Complete(&ring, count, fds);
    int open = 0;
    for (int k = 0; ok && k < count; ++k) {
      uint64_t file_size;
      if (fds[k] < 0 || KeepIfRegular(fds[k], &file_size) < 0) continue;
      fds[open] = fds[k];
      at[open] = 0;
      size[open] = static_cast<off_t>(file_size);
      reading[open] = open;
      ++open;
    }
    for (int left = open; ok && left > 0;) {
      for (int j = 0; j < left; ++j) {
        const int k = reading[j];
        QueueRead(&ring, fds[k], buffers[k], kLaneRead, static_cast<uint64_t>(at[k]), j);
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
      QueueClose(&ring, fds[k], k);
    }
    ok = ok && Complete(&ring, open, results);
  }
  if (!ok) {
    perror("syscall_floor: io_uring_enter");
    __atomic_store_n(&failed, 1, __ATOMIC_RELAXED);
  }
  CloseIoRing(&ring);
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
