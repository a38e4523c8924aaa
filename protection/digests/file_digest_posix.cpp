// A file's digest on POSIX, with our own MD5 in place of CryptoAPI.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "protection/digests/file_digest.h"
#include "protection/digests/md5.h"

enum { kReadSize = 10000 };

int GetMD5ChecksumOfFile(const char* file_name, char* digest_text, size_t capacity) {
  if (!CopyText(digest_text, capacity, kDigestPlaceholder)) return 0;
  // Never block on a FIFO or a device, never take it as our terminal: open
  // without waiting, then hash only regular files.
  const int fd = open(file_name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return 0;
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    return 0;
  }
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

  Md5 md5;
  Md5Init(&md5);
  alignas(4096) unsigned char buffer[kReadSize];
  int ok = 1;
  for (;;) {
    const ssize_t got = read(fd, buffer, kReadSize);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      ok = 0;
      break;
    }
    Md5Update(&md5, buffer, static_cast<size_t>(got));
  }
  if (ok) {
    unsigned char digest[16];
    char text[33];
    Md5Final(&md5, digest);
    FormatDigest(digest, text);
    ok = CopyText(digest_text, capacity, text);
  }
  close(fd);
  return ok;
}
