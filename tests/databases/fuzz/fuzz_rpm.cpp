// libFuzzer target: arbitrary bytes as an rpm database file read by
// FUZZ_BACKEND (ndb or Berkeley DB), or with FUZZ_HEADER as one package
// header. Every header the file yields goes through the header parser.
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include "protection/databases/rpm/rpm_header.h"
#include "protection/databases/rpm/rpm_packages.h"
#include "tests/databases/fuzz/fuzz_support.h"

static void ListHeader(const unsigned char* header, size_t length) {
  static char path[PATH_MAX + 16];
  RpmHeaderFiles files;
  if (!OpenRpmHeader(&files, header, length)) return;
  FillCanary(path, sizeof path);
  while (NextRpmHeaderFile(&files, path, PATH_MAX)) CheckPath(path, sizeof path, PATH_MAX);
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
#ifdef FUZZ_HEADER
  ListHeader(data, size);
#else
  static FUZZ_BACKEND packages;
  static RpmBlob blob;
  char name[64];
  const int fd = FuzzFile(data, size, name);
  if (FUZZ_OPEN(&packages, name)) {
    while (FUZZ_NEXT(&packages, &blob)) ListHeader(blob.data, blob.length);
    FUZZ_CLOSE(&packages);
  }
  close(fd);
#endif
  return 0;
}
