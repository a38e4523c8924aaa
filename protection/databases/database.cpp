#include "protection/databases/database.h"

#include <errno.h>
#include <string.h>

void ResetParser(ParserState* state) {
  state->in_list = 0;
  state->folder_length = 0;
}

int ParseDatabaseLine(LineParser parse, ParserState* state, const char* line, size_t length, char* out,
                      size_t capacity) {
  return memchr(line, '\0', length) == nullptr && parse(state, line, length, out, capacity);
}

int NextRecordedPath(LineParser parse, ParserState* state, LineReader* reader, char* out, size_t capacity) {
  const char* line;
  size_t length;
  while (NextLine(reader, &line, &length))
    if (ParseDatabaseLine(parse, state, line, length, out, capacity)) return 1;
  return 0;
}

void ResetDatabaseCursor(DatabaseCursor* cursor, const PackageDatabase* database, const char* root,
                         const DatabaseHooks* hooks) {
  cursor->database = database;
  cursor->root = root;
  cursor->hooks = hooks;
  cursor->stage = cursor->reading = 0;
  cursor->outer.count = cursor->outer.next = cursor->outer.more = 0;
  cursor->inner.count = cursor->inner.next = cursor->inner.more = 0;
  cursor->lines.fd = -1;
  cursor->own = nullptr;
}

int TryAgain(DatabaseCursor* cursor, const char* path, int error) {
  // The package manager is not installed, or a package went away meanwhile.
  if (error == 0 || error == ENOENT || error == ENOTDIR) return 0;
  return cursor->hooks != nullptr && cursor->hooks->failed(cursor->hooks->owner, path, error);
}

int OpenDatabaseLines(DatabaseCursor* cursor, const char* path) {
  while (!OpenLineReader(&cursor->lines, path)) {
    const int error = errno;
    if (!TryAgain(cursor, path, error)) {
      errno = error;
      return 0;
    }
  }
  return 1;
}

const char* NextFolderName(DatabaseCursor* cursor, SortedFolderWalk* walk) {
  for (;;) {
    const char* name = NextSortedName(walk);
    if (name != nullptr || walk->error == 0) return name;
    const int error = walk->error;
    walk->error = 0;
    if (!TryAgain(cursor, walk->folder, error)) {
      walk->more = 0;
      return nullptr;
    }
  }
}

int LocationPath(const DatabaseCursor* cursor, int index, char out[PATH_MAX]) {
  const char* location = index < kMaxDatabaseLocations ? cursor->database->locations[index] : nullptr;
  return location != nullptr && JoinPath(out, PATH_MAX, cursor->root, location);
}

int JoinPath(char* out, size_t capacity, const char* folder, const char* name) {
  const size_t folder_length = strlen(folder), name_length = strlen(name);
  const size_t slash = folder_length > 0 && folder[folder_length - 1] == '/' ? 0 : 1;
  if (folder_length + slash + name_length >= capacity) return 0;
  memcpy(out, folder, folder_length);
  out[folder_length] = '/';
  memcpy(out + folder_length + slash, name, name_length + 1);
  return 1;
}

int AbsolutePath(const char* folder, size_t folder_length, const char* name, size_t name_length, char* out,
                 size_t capacity) {
  const char* first = folder_length > 0 ? folder : name;
  const size_t lead = first[0] == '/' ? 0 : 1;
  const size_t separator = folder_length > 0 && folder[folder_length - 1] != '/' ? 1 : 0;
  const size_t length = lead + folder_length + separator + name_length;
  if (length >= capacity) return 0;
  out[0] = '/';
  memcpy(out + lead, folder, folder_length);
  out[lead + folder_length] = '/';
  memcpy(out + lead + folder_length + separator, name, name_length);
  out[length] = '\0';
  return 1;
}

int NextTextPath(DatabaseCursor* cursor, int (*open_next)(DatabaseCursor*), LineParser parse, char* out,
                 size_t capacity) {
  for (;;) {
    if (!cursor->reading) {
      if (!open_next(cursor)) return 0;
      cursor->reading = 1;
      ResetParser(&cursor->parser);
    }
    if (NextRecordedPath(parse, &cursor->parser, &cursor->lines, out, capacity)) return 1;
    if (cursor->lines.error != 0) TryAgain(cursor, cursor->lines.path, cursor->lines.error);
    CloseLineReader(&cursor->lines);
    cursor->reading = 0;
  }
}

void EndTextDatabase(DatabaseCursor* cursor) {
  if (cursor->reading) CloseLineReader(&cursor->lines);
  cursor->reading = 0;
}
