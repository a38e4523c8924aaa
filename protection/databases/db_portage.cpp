// Portage: <category>/<package>/CONTENTS, categories in byte order and the
// packages of each in byte order. Only "obj" lines name regular files.
#include <string.h>

#include "protection/databases/database.h"

int ParsePortageLine(ParserState*, const char* line, size_t length, char* out, size_t capacity) {
  if (length > 0 && line[length - 1] == '\r') --length;  // written on another system
  if (length < 4 || memcmp(line, "obj ", 4) != 0) return 0;
  // The path may hold spaces: the mtime and the digest are the last two
  // fields, so they are taken from the right.
  size_t at = length;
  while (at > 4 && line[at - 1] >= '0' && line[at - 1] <= '9') --at;
  if (at == length || at <= 4 || line[at - 1] != ' ') return 0;
  const size_t digest_end = --at;
  while (at > 4 && line[at - 1] != ' ' && line[at - 1] != '\t') --at;
  if (at == digest_end || at <= 5 || line[at - 1] != ' ') return 0;
  return AbsolutePath("", 0, line + 4, at - 1 - 4, out, capacity);
}

// Not a package: a dot name, a merge in progress, or the file system's own.
static int IsPortageName(const char* name) {
  return name[0] != '.' && strncmp(name, "-MERGING-", 9) != 0 && strcmp(name, "lost+found") != 0;
}

static int OpenNextContents(DatabaseCursor* cursor) {
  char path[PATH_MAX], contents[PATH_MAX];
  if (cursor->stage == 0) {
    cursor->stage = 1;
    if (!LocationPath(cursor, 0, path)) return 0;
    BeginSortedFolderWalk(&cursor->outer, path, IsPortageName);
  }
  for (;;) {
    while (const char* package = NextFolderName(cursor, &cursor->inner))
      if (JoinPath(path, sizeof path, cursor->inner.folder, package) &&
          JoinPath(contents, sizeof contents, path, "CONTENTS") && OpenDatabaseLines(cursor, contents))
        return 1;
    const char* category = NextFolderName(cursor, &cursor->outer);
    if (category == nullptr) return 0;
    if (JoinPath(path, sizeof path, cursor->outer.folder, category))
      BeginSortedFolderWalk(&cursor->inner, path, IsPortageName);
  }
}

int NextPortagePath(DatabaseCursor* cursor, char* out, size_t capacity) {
  return NextTextPath(cursor, OpenNextContents, ParsePortageLine, out, capacity);
}
