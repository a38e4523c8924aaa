// What the listing's system calls cost on their own, with no hashing, no
// database and no output: for each of the NUL-separated paths on standard
// input, the calls the listing makes (stat; then, for a regular file, open,
// fstat, 64 KiB reads to the end, close), on one thread per CPU this process
// may use, as the listing's workers. A listing that must make these
// calls cannot be faster than this.
//   syscall_floor < paths
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The paths, NUL-terminated back to back, and where each starts.
char* names;
size_t* starts;
size_t path_count, next_path;
unsigned long long bytes_read;

void* ReadFiles(void*) {
  static thread_local unsigned char buffer[64 * 1024];
  unsigned long long bytes = 0;
  for (;;) {
    const size_t i = __atomic_fetch_add(&next_path, 1, __ATOMIC_RELAXED);
    if (i >= path_count) break;
    const char* path = names + starts[i];
    struct stat status;
    if (stat(path, &status) != 0 || !S_ISREG(status.st_mode)) continue;
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) continue;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
      ssize_t got;
      off_t at = 0;
      while ((got = pread(fd, buffer, sizeof buffer, at)) > 0) {
        at += got;
        if (at == status.st_size && got < static_cast<ssize_t>(sizeof buffer)) break;
      }
      bytes += static_cast<unsigned long long>(at);
    }
    close(fd);
  }
  __atomic_fetch_add(&bytes_read, bytes, __ATOMIC_RELAXED);
  return nullptr;
}

}  // namespace

int main() {
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
  for (int t = 0; t < count; ++t) pthread_create(&threads[t], nullptr, ReadFiles, nullptr);
  for (int t = 0; t < count; ++t) pthread_join(threads[t], nullptr);
  fprintf(stderr, "%zu paths, %llu bytes read on %d threads\n", path_count, bytes_read, count);
  return 0;
}
