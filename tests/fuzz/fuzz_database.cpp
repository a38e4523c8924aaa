// libFuzzer target: arbitrary bytes as one database file of the format
// FUZZ_FORMAT, read through the same reader and parser as the listing. Every
// path handed out must be absolute, whole and short enough for the record,
// and nothing may be written past the room the parser is given.
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "protection/package_db.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  static LineReader reader;
  static ParserState parser;
  static char path[PATH_MAX + 16];
  const int fd = memfd_create("database", MFD_CLOEXEC);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) abort();
  char name[64];
  snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
  if (!OpenLineReader(&reader, name)) abort();
  ResetParser(&parser);
  // A canary past the capacity the parser is given catches any overrun.
  memset(path, 0x5A, sizeof path);
  while (NextRecordedPath(FUZZ_FORMAT, &parser, &reader, path, PATH_MAX)) {
    const size_t length = strnlen(path, PATH_MAX);
    if (length == PATH_MAX || path[0] != '/') abort();
    for (size_t i = PATH_MAX; i < sizeof path; ++i)
      if (path[i] != 0x5A) abort();
  }
  CloseLineReader(&reader);
  close(fd);
  return 0;
}
