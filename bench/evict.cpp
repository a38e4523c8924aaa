// Drops files from the page cache, so that the next reader finds them cold:
// the NUL-separated paths on standard input, each with
// posix_fadvise(POSIX_FADV_DONTNEED).
//   evict < paths
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

int main() {
  static char path[1 << 16];
  int count = 0;
  for (size_t length = 0;;) {
    const int c = getchar();
    if (c != EOF && c != '\0' && length + 1 < sizeof path) {
      path[length++] = static_cast<char>(c);
      continue;
    }
    struct stat status;
    path[length] = '\0';
    if (length > 0 && stat(path, &status) == 0 && S_ISREG(status.st_mode)) {
      const int fd = open(path, O_RDONLY | O_NOCTTY);
      if (fd >= 0) {
        count += posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
        close(fd);
      }
    }
    length = 0;
    if (c == EOF) break;
  }
  fprintf(stderr, "%d files dropped from the page cache\n", count);
  return 0;
}
