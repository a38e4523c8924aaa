#include "protection/regular_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int StatRegularFile(const char* path, uint64_t* size) {
  struct stat status;
  if (stat(path, &status) != 0) return -1;
  if (!S_ISREG(status.st_mode)) return kNotRegularFile;
  *size = static_cast<uint64_t>(status.st_size);
  return 1;
}

// The file may have been replaced since it was looked at: non-blocking,
// so that a FIFO put there meanwhile cannot stall us, and checked again.
const int kOpenFoundRegular = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

int KeepIfRegular(int fd, uint64_t* size) {
  struct stat status;
  const int looked = fstat(fd, &status) == 0;
  if (!looked || !S_ISREG(status.st_mode)) {
    const int error = errno;
    close(fd);
    errno = error;
    return looked ? kNotRegularFile : -1;
  }
  if (size != nullptr) *size = static_cast<uint64_t>(status.st_size);
  return fd;
}

int OpenFileFoundRegular(const char* path, uint64_t* size) {
  const int fd = open(path, kOpenFoundRegular);
  return fd < 0 ? -1 : KeepIfRegular(fd, size);
}

int OpenRegularFile(const char* path, long long* size) {
  uint64_t found;
  const int regular = StatRegularFile(path, &found);
  if (regular != 1) return regular;
  const int fd = OpenFileFoundRegular(path, &found);
  *size = static_cast<long long>(found);
  return fd;
}
