// libFuzzer target: arbitrary bytes as one database text file, read through
// the same reader and line parser FUZZ_PARSER as the listing. Every path
// handed out must be absolute, whole and short enough for the record, and
// nothing may be written past the room the parser is given.
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include "protection/databases/database.h"
#include "tests/databases/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  static LineReader reader;
  static ParserState parser;
  static char path[PATH_MAX + 16];
  char name[64];
  const int fd = FuzzFile(data, size, name);
  if (!OpenLineReader(&reader, name)) abort();
  ResetParser(&parser);
  FillCanary(path, sizeof path);
  while (NextRecordedPath(FUZZ_PARSER, &parser, &reader, path, PATH_MAX)) CheckPath(path, sizeof path, PATH_MAX);
  CloseLineReader(&reader);
  close(fd);
  return 0;
}
