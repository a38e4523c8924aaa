#include "protection/package_db.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "console/text.h"

// Joins folder and name with one slash; nonzero when the result fits.
static int JoinPath(char* out, size_t capacity, const char* folder, const char* name) {
  const size_t folder_length = strlen(folder), name_length = strlen(name);
  const size_t slash = folder_length > 0 && folder[folder_length - 1] == '/' ? 0 : 1;
  if (folder_length + slash + name_length >= capacity) return 0;
  memcpy(out, folder, folder_length);
  out[folder_length] = '/';
  memcpy(out + folder_length + slash, name, name_length + 1);
  return 1;
}

int OpenLineReader(LineReader* reader, const char* path) {
  // Non-blocking so that a FIFO planted in the database cannot stall us.
  reader->fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (reader->fd < 0) return 0;
  struct stat status;
  if (fstat(reader->fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(reader->fd);
    reader->fd = -1;
    return 0;
  }
  reader->begin = reader->end = 0;
  return 1;
}

int NextLine(LineReader* reader, const char** line, size_t* length) {
  char* const buffer = reader->buffer;
  int skipping = 0;  // inside a line too long for the buffer
  for (;;) {
    char* start = buffer + reader->begin;
    char* feed = static_cast<char*>(memchr(start, '\n', reader->end - reader->begin));
    if (feed != nullptr) {
      reader->begin += static_cast<size_t>(feed - start) + 1;
      if (skipping) {
        skipping = 0;
        continue;
      }
      *line = start;
      *length = static_cast<size_t>(feed - start);
      return 1;
    }
    if (skipping || (reader->begin == 0 && reader->end == sizeof reader->buffer)) {
      skipping = 1;
      reader->begin = reader->end = 0;
    } else if (reader->begin > 0) {
      memmove(buffer, start, reader->end - reader->begin);
      reader->end -= reader->begin;
      reader->begin = 0;
    }
    ssize_t got;
    do got = read(reader->fd, buffer + reader->end, sizeof reader->buffer - reader->end);
    while (got < 0 && errno == EINTR);
    if (got == 0 && !skipping && reader->end > reader->begin) {
      *line = buffer + reader->begin;  // the last line, without its line feed
      *length = reader->end - reader->begin;
      reader->begin = reader->end;
      return 1;
    }
    if (got <= 0) return 0;  // the end, or an error: a cut line is never handed out
    reader->end += static_cast<size_t>(got);
  }
}

void CloseLineReader(LineReader* reader) {
  if (reader->fd >= 0) close(reader->fd);
  reader->fd = -1;
}

void BeginSortedFolderWalk(SortedFolderWalk* walk, const char* folder, int (*accept)(const char*)) {
  walk->accept = accept;
  walk->count = walk->next = 0;
  walk->last[0] = '\0';  // no name is empty, so this means "from the start"
  walk->more = CopyText(walk->folder, sizeof walk->folder, folder);
}

// Collects the smallest kSortedBatch accepted names after walk->last, in order.
static void FillBatch(SortedFolderWalk* walk) {
  walk->count = walk->next = 0;
  walk->more = 0;
  DIR* folder = opendir(walk->folder);
  if (folder == nullptr) return;
  auto names = walk->names;
  auto before = [names](unsigned short x, unsigned short y) { return strcmp(names[x], names[y]) < 0; };
  unsigned short* order = walk->order;
  while (const struct dirent* entry = readdir(folder)) {
    const char* name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || !walk->accept(name)) continue;
    if (walk->last[0] != '\0' && strcmp(name, walk->last) <= 0) continue;
    if (walk->count < kSortedBatch) {
      order[walk->count] = static_cast<unsigned short>(walk->count);
      strcpy(names[walk->count], name);  // d_name holds at most NAME_MAX bytes
      std::push_heap(order, order + ++walk->count, before);
    } else if (strcmp(name, names[order[0]]) < 0) {
      std::pop_heap(order, order + kSortedBatch, before);  // drop the largest
      strcpy(names[order[kSortedBatch - 1]], name);
      std::push_heap(order, order + kSortedBatch, before);
      walk->more = 1;
    } else {
      walk->more = 1;
    }
  }
  closedir(folder);
  std::sort_heap(order, order + walk->count, before);
}

const char* NextSortedName(SortedFolderWalk* walk) {
  if (walk->next == walk->count) {
    if (!walk->more) return nullptr;
    if (walk->count > 0) strcpy(walk->last, walk->names[walk->order[walk->count - 1]]);
    FillBatch(walk);
    if (walk->count == 0) return nullptr;
  }
  return walk->names[walk->order[walk->next++]];
}

static int IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Writes the absolute path of name in folder (both relative to "/", either
// may be empty) into out, with one slash between the parts and none doubled;
// 0 when it does not fit.
static int AbsolutePath(const char* folder, size_t folder_length, const char* name, size_t name_length, char* out,
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

void ResetParser(ParserState* state) {
  state->in_list = 0;
  state->folder_length = 0;
}

static int ParseMd5sums(const char* line, size_t length, char* out, size_t capacity) {
  if (length < 35) return 0;
  for (int i = 0; i < 32; ++i)
    if (!IsHexDigit(line[i])) return 0;
  if (line[32] != ' ' || line[33] != ' ') return 0;
  return AbsolutePath("", 0, line + 34, length - 34, out, capacity);
}

static int ParseApk(ParserState* state, const char* line, size_t length, char* out, size_t capacity) {
  if (length == 0) {  // the record ends; its folder goes with it
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

static int ParsePacman(ParserState* state, const char* line, size_t length, char* out, size_t capacity) {
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

int ParseDatabaseLine(DatabaseFormat format, ParserState* state, const char* line, size_t length, char* out,
                      size_t capacity) {
  if (memchr(line, '\0', length) != nullptr) return 0;  // no C path could carry it
  if (format == kDpkgMd5sums) return ParseMd5sums(line, length, out, capacity);
  if (length > 0 && line[length - 1] == '\r') --length;  // written on another system
  if (format == kApkInstalled) return ParseApk(state, line, length, out, capacity);
  return ParsePacman(state, line, length, out, capacity);
}

int NextRecordedPath(DatabaseFormat format, ParserState* state, LineReader* reader, char* out, size_t capacity) {
  const char* line;
  size_t length;
  while (NextLine(reader, &line, &length))
    if (ParseDatabaseLine(format, state, line, length, out, capacity)) return 1;
  return 0;
}

// Where each database lives under the root. apk keeps its database in
// /usr/lib on newer systems, in /lib on older ones.
static const char kDpkgInfo[] = "var/lib/dpkg/info";
static const char kApkDatabase[] = "lib/apk/db/installed";
static const char kApkDatabaseUsr[] = "usr/lib/apk/db/installed";
static const char kPacmanLocal[] = "var/lib/pacman/local";

static int IsMd5sumsName(const char* name) {
  const size_t length = strlen(name);
  return length > 8 && strcmp(name + length - 8, ".md5sums") == 0;
}

// Every entry of pacman's local folder; those without a files list (such as
// ALPM_DB_VERSION) are passed over when it cannot be opened.
static int IsAnyName(const char*) { return 1; }

void BeginPackageFileWalk(PackageFileWalk* walk, const char* root) {
  walk->format = kDpkgMd5sums;
  walk->started = walk->reading = 0;
  walk->reader.fd = -1;
  if (!CopyText(walk->root, sizeof walk->root, root)) walk->format = kDatabaseFormatCount;
}

// Opens the next file of the current database; 0 when it has no more.
static int OpenNextDatabaseFile(PackageFileWalk* walk) {
  char path[PATH_MAX];
  if (walk->format == kApkInstalled) {
    if (walk->started) return 0;
    walk->started = 1;
    if (!JoinPath(path, sizeof path, walk->root, kApkDatabase) || access(path, F_OK) != 0)
      JoinPath(path, sizeof path, walk->root, kApkDatabaseUsr);
    return OpenLineReader(&walk->reader, path) ? 1 : 0;
  }
  if (!walk->started) {
    walk->started = 1;
    const int dpkg = walk->format == kDpkgMd5sums;
    JoinPath(path, sizeof path, walk->root, dpkg ? kDpkgInfo : kPacmanLocal);
    BeginSortedFolderWalk(&walk->files, path, dpkg ? IsMd5sumsName : IsAnyName);
  }
  while (const char* name = NextSortedName(&walk->files)) {
    char package[PATH_MAX];
    if (!JoinPath(path, sizeof path, walk->files.folder, name)) continue;
    if (walk->format == kPacmanFiles && !JoinPath(package, sizeof package, path, "files")) continue;
    if (OpenLineReader(&walk->reader, walk->format == kPacmanFiles ? package : path)) return 1;
  }
  return 0;
}

int NextPackageFile(PackageFileWalk* walk, char* out, size_t capacity) {
  while (walk->format < kDatabaseFormatCount) {
    const DatabaseFormat format = static_cast<DatabaseFormat>(walk->format);
    if (!walk->reading) {
      walk->reading = OpenNextDatabaseFile(walk);
      if (!walk->reading) {
        ++walk->format;
        walk->started = 0;
        continue;
      }
      ResetParser(&walk->parser);
    }
    if (NextRecordedPath(format, &walk->parser, &walk->reader, out, capacity)) return 1;
    CloseLineReader(&walk->reader);
    walk->reading = 0;
  }
  return 0;
}

void EndPackageFileWalk(PackageFileWalk* walk) {
  if (walk->reading) CloseLineReader(&walk->reader);
  walk->reading = 0;
  walk->format = kDatabaseFormatCount;
}

static const char* LastComponent(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

int IsPackageFile(const char* root, const char* path) {
  if (path[0] == '\0') return 0;
  // The same file under another name: a link, or /usr/bin/ls for a recorded
  // /bin/ls on a merged-/usr system. Only entries whose last component matches
  // the typed or the resolved name are worth a stat.
  struct stat target;
  const int have_target = stat(path, &target) == 0;
  char resolved[PATH_MAX];
  const char* resolved_name = have_target && realpath(path, resolved) != nullptr ? LastComponent(resolved) : "";
  const char* typed_name = LastComponent(path);

  static PackageFileWalk walk;
  static char entry[PATH_MAX];
  int found = 0;
  BeginPackageFileWalk(&walk, root);
  while (!found && NextPackageFile(&walk, entry, sizeof entry)) {
    if (strcmp(entry, path) == 0) {
      found = 1;
    } else if (have_target) {
      const char* name = LastComponent(entry);
      struct stat status;
      found = (strcmp(name, typed_name) == 0 || strcmp(name, resolved_name) == 0) && stat(entry, &status) == 0 &&
              status.st_dev == target.st_dev && status.st_ino == target.st_ino;
    }
  }
  EndPackageFileWalk(&walk);
  return found;
}
