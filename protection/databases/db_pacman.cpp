// pacman: local/<package>/files, packages in byte order.
#include <string.h>

#include "protection/databases/database.h"

int ParsePacmanLine(ParserState* state, const char* line, size_t length, char* out, size_t capacity) {
  if (length > 0 && line[length - 1] == '\r') --length;  // written on another system
  if (length == 0) {
    state->in_list = 0;
    return 0;
  }
  if (line[0] == '%' && line[length - 1] == '%') {
    state->in_list = length == 7 && memcmp(line, "%FILES%", 7) == 0;
    return 0;
  }
  return state->in_list && line[length - 1] != '/' && AbsolutePath("", 0, line, length, out, capacity);
}

// Every entry of the local folder; those without a files list (such as
// ALPM_DB_VERSION) are passed over when it cannot be opened.
static int IsAnyName(const char*) { return 1; }

static int OpenNextFiles(DatabaseCursor* cursor) {
  char path[PATH_MAX], files[PATH_MAX];
  if (cursor->stage == 0) {
    cursor->stage = 1;
    if (!LocationPath(cursor, 0, path)) return 0;
    BeginSortedFolderWalk(&cursor->outer, path, IsAnyName);
  }
  while (const char* name = NextFolderName(cursor, &cursor->outer))
    if (JoinPath(path, sizeof path, cursor->outer.folder, name) && JoinPath(files, sizeof files, path, "files") &&
        OpenDatabaseLines(cursor, files))
      return 1;
  return 0;
}

int NextPacmanPath(DatabaseCursor* cursor, char* out, size_t capacity) {
  return NextTextPath(cursor, OpenNextFiles, ParsePacmanLine, out, capacity);
}
