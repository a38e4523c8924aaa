// dpkg: one info/<package>.md5sums file per package, read in byte order.
#include <string.h>

#include "protection/databases/database.h"

static int IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

int ParseMd5sumsLine(ParserState*, const char* line, size_t length, char* out, size_t capacity) {
  if (length < 35) return 0;
  for (int i = 0; i < 32; ++i)
    if (!IsHexDigit(line[i])) return 0;
  if (line[32] != ' ' || line[33] != ' ') return 0;
  return AbsolutePath("", 0, line + 34, length - 34, out, capacity);
}

static int IsMd5sumsName(const char* name) {
  const size_t length = strlen(name);
  return length > 8 && strcmp(name + length - 8, ".md5sums") == 0;
}

static int OpenNextMd5sums(DatabaseCursor* cursor) {
  char path[PATH_MAX];
  if (cursor->stage == 0) {
    cursor->stage = 1;
    if (!LocationPath(cursor, 0, path)) return 0;
    BeginSortedFolderWalk(&cursor->outer, path, IsMd5sumsName);
  }
  while (const char* name = NextFolderName(cursor, &cursor->outer))
    if (JoinPath(path, sizeof path, cursor->outer.folder, name) && OpenDatabaseLines(cursor, path)) return 1;
  return 0;
}

int NextDpkgPath(DatabaseCursor* cursor, char* out, size_t capacity) {
  return NextTextPath(cursor, OpenNextMd5sums, ParseMd5sumsLine, out, capacity);
}
