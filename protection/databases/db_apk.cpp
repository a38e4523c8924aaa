// apk: one "installed" file for every package, in the first location present.
#include <errno.h>
#include <string.h>

#include "protection/databases/database.h"

int ParseApkLine(ParserState* state, const char* line, size_t length, char* out, size_t capacity) {
  if (length > 0 && line[length - 1] == '\r') --length;  // written on another system
  if (length == 0) {                                     // the record ends; its folder goes with it
    state->in_list = 0;
    return 0;
  }
  if (length < 2 || line[1] != ':') return 0;
  const char* value = line + 2;
  const size_t value_length = length - 2;
  if (line[0] == 'F') {
    state->in_list = value_length < sizeof state->folder;  // a folder too long to keep names nothing
    if (state->in_list) memcpy(state->folder, value, state->folder_length = value_length);
    return 0;
  }
  return line[0] == 'R' && state->in_list && value_length > 0 &&
         AbsolutePath(state->folder, state->folder_length, value, value_length, out, capacity);
}

// The first location that has the file; one there that cannot be read
// stands for the database as well.
static int OpenInstalled(DatabaseCursor* cursor) {
  if (cursor->stage != 0) return 0;
  cursor->stage = 1;
  char path[PATH_MAX];
  for (int i = 0; LocationPath(cursor, i, path); ++i) {
    if (OpenDatabaseLines(cursor, path)) return 1;
    if (errno != ENOENT && errno != ENOTDIR) return 0;
  }
  return 0;
}

int NextApkPath(DatabaseCursor* cursor, char* out, size_t capacity) {
  return NextTextPath(cursor, OpenInstalled, ParseApkLine, out, capacity);
}
