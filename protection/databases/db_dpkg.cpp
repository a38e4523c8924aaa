// dpkg: one info/<package>.md5sums file per package, read in byte order,
// each path where dpkg's diversions put the file.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "protection/databases/database.h"

namespace {

// var/lib/dpkg/diversions holds three lines a diversion: the path a package
// records, the path where the file really is, and the package that made the
// diversion, ":" for one the administrator made. Another package's file, or
// with ":" every package's, is installed at the second path.
struct Diversion {
  uint32_t from, to, by;  // where the three lines start in text
};

struct DpkgWalk {
  char package[NAME_MAX + 1];  // whose .md5sums is being read, without its ":<arch>"
  char* text;                  // the diversions' lines, each NUL-terminated
  size_t text_length, text_capacity;
  Diversion* diversions;  // sorted by the recorded path
  size_t count, capacity;
};

// One walk at a time reads dpkg's database: the listing's or the check's.
DpkgWalk dpkg_walk;

int Grow(void** memory, size_t* capacity, size_t needed, size_t size) {
  if (needed <= *capacity) return 1;
  const size_t more = needed > 2 * *capacity ? needed : 2 * *capacity;
  void* grown = realloc(*memory, more * size);
  if (grown == nullptr) return 0;
  *memory = grown;
  *capacity = more;
  return 1;
}

// Why line (number, text) cannot stand as line part (0, 1, 2) of a
// diversion; nullptr when it can.
const char* Fault(int part, const char* line, size_t length) {
  if (length >= PATH_MAX) return "longer than a path";
  if (part < 2 && (length == 0 || line[0] != '/')) return "not an absolute path";
  if (part == 2 && length == 0) return "no package named";
  return nullptr;
}

// Reads the diversions, up to the first fault, which is said.
void ReadDiversions(DatabaseCursor* cursor, DpkgWalk* walk) {
  char path[PATH_MAX];
  if (!LocationPath(cursor, 1, path) || !OpenDatabaseLines(cursor, path)) return;
  LineReader* reader = &cursor->lines;
  size_t number = 0;
  const char* fault = nullptr;
  const char* line;
  size_t length;
  Diversion diversion = {};
  uint32_t* parts[] = {&diversion.from, &diversion.to, &diversion.by};
  for (;;) {
    const size_t skipped = reader->skipped;
    const int got = NextLine(reader, &line, &length);
    if (reader->skipped != skipped) {  // the next line was passed over whole
      ++number;
      fault = "longer than a path";
      break;
    }
    if (!got) break;
    const int part = static_cast<int>(number++ % 3);
    if ((fault = Fault(part, line, length)) != nullptr) break;
    if (!Grow(reinterpret_cast<void**>(&walk->text), &walk->text_capacity, walk->text_length + length + 1, 1) ||
        (part == 2 &&
         !Grow(reinterpret_cast<void**>(&walk->diversions), &walk->capacity, walk->count + 1, sizeof(Diversion)))) {
      fault = strerror(ENOMEM);
      break;
    }
    *parts[part] = static_cast<uint32_t>(walk->text_length);
    memcpy(walk->text + walk->text_length, line, length);
    walk->text[walk->text_length + length] = '\0';
    walk->text_length += length + 1;
    if (part == 2) walk->diversions[walk->count++] = diversion;
  }
  if (fault == nullptr && reader->error == 0 && number % 3 != 0) {
    ++number;
    fault = "missing: the file ends within a diversion";
  }
  if (reader->error != 0) TryAgain(cursor, path, reader->error);
  CloseLineReader(reader);
  if (fault != nullptr && cursor->hooks != nullptr) {
    char reason[128];
    snprintf(reason, sizeof reason, "line %zu: %s", number, fault);
    cursor->hooks->said(cursor->hooks->owner, path, reason);
  }
  const char* text = walk->text;
  std::sort(walk->diversions, walk->diversions + walk->count,
            [text](const Diversion& x, const Diversion& y) { return strcmp(text + x.from, text + y.from) < 0; });
}

// Puts path where the file really is, for the package being read.
void Divert(const DpkgWalk* walk, char* path, size_t capacity) {
  const char* text = walk->text;
  const Diversion* begin = walk->diversions;
  const Diversion* end = begin + walk->count;
  const Diversion* at = std::lower_bound(
      begin, end, path, [text](const Diversion& d, const char* p) { return strcmp(text + d.from, p) < 0; });
  if (at == end || strcmp(text + at->from, path) != 0) return;
  const char* by = text + at->by;
  if ((strcmp(by, ":") == 0 || strcmp(by, walk->package) != 0) && strlen(text + at->to) < capacity)
    strcpy(path, text + at->to);
}

}  // namespace

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
  DpkgWalk* walk = &dpkg_walk;
  char path[PATH_MAX];
  if (cursor->stage == 0) {
    cursor->stage = 1;
    cursor->own = walk;
    ReadDiversions(cursor, walk);
    if (!LocationPath(cursor, 0, path)) return 0;
    BeginSortedFolderWalk(&cursor->outer, path, IsMd5sumsName);
  }
  while (const char* name = NextFolderName(cursor, &cursor->outer)) {
    // The package's name, which the diversions give without an architecture.
    const size_t length = strcspn(name, ":") < strlen(name) - 8 ? strcspn(name, ":") : strlen(name) - 8;
    memcpy(walk->package, name, length);  // a name fits: it came out of a folder
    walk->package[length] = '\0';
    if (JoinPath(path, sizeof path, cursor->outer.folder, name) && OpenDatabaseLines(cursor, path)) return 1;
  }
  return 0;
}

int NextDpkgPath(DatabaseCursor* cursor, char* out, size_t capacity) {
  if (!NextTextPath(cursor, OpenNextMd5sums, ParseMd5sumsLine, out, capacity)) return 0;
  Divert(&dpkg_walk, out, capacity);
  return 1;
}

void EndDpkgDatabase(DatabaseCursor* cursor) {
  EndTextDatabase(cursor);
  DpkgWalk* walk = static_cast<DpkgWalk*>(cursor->own);
  if (walk == nullptr) return;
  free(walk->text);
  free(walk->diversions);
  *walk = DpkgWalk{};
  cursor->own = nullptr;
}
