#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "protection/regular_file.h"

int OpenRegularFile(const char* path, long long* size) {
  struct stat status;
  if (stat(path, &status) != 0) return -1;
  if (!S_ISREG(status.st_mode)) return kNotRegularFile;
  // The file may be replaced between the two looks: non-blocking, so that a
  // FIFO put there meanwhile cannot stall us, and checked again once open.
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -1;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    const int error = errno;
    close(fd);
    errno = error;
    return S_ISREG(status.st_mode) ? -1 : kNotRegularFile;
  }
  *size = status.st_size;
  return fd;
}
