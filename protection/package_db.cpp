#include "protection/package_db.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "console/text.h"

// Joins folder and name with one slash; nonzero when the result fits.
static int JoinPath(char* out, size_t capacity, const char* folder, const char* name) {
  const size_t length = strlen(folder);
  const char* slash = length > 0 && folder[length - 1] == '/' ? "" : "/";
  const int written = snprintf(out, capacity, "%s%s%s", folder, slash, name);
  return written >= 0 && static_cast<size_t>(written) < capacity;
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

int ParseMd5sumsLine(const char* line, size_t length, char* out, size_t capacity) {
  if (length < 35) return 0;
  for (int i = 0; i < 32; ++i)
    if (!IsHexDigit(line[i])) return 0;
  if (line[32] != ' ' || line[33] != ' ') return 0;
  const char* path = line + 34;
  const size_t path_length = length - 34;
  if (memchr(path, '\0', path_length) != nullptr) return 0;
  const size_t slash = path[0] == '/' ? 0 : 1;
  if (slash + path_length + 1 > capacity) return 0;
  out[0] = '/';
  memcpy(out + slash, path, path_length);
  out[slash + path_length] = '\0';
  return 1;
}

static int IsMd5sumsName(const char* name) {
  const size_t length = strlen(name);
  return length > 8 && strcmp(name + length - 8, ".md5sums") == 0;
}

void BeginPackageFileWalk(PackageFileWalk* walk, const char* root) {
  walk->reading = 0;
  walk->reader.fd = -1;
  if (!JoinPath(walk->info_folder, sizeof walk->info_folder, root, "var/lib/dpkg/info")) walk->info_folder[0] = '\0';
  BeginSortedFolderWalk(&walk->files, walk->info_folder, IsMd5sumsName);
}

int NextPackageFile(PackageFileWalk* walk, char* out, size_t capacity) {
  for (;;) {
    if (!walk->reading) {
      const char* name = NextSortedName(&walk->files);
      if (name == nullptr) return 0;
      char path[PATH_MAX];
      walk->reading = JoinPath(path, sizeof path, walk->info_folder, name) && OpenLineReader(&walk->reader, path);
      continue;
    }
    const char* line;
    size_t length;
    if (NextLine(&walk->reader, &line, &length)) {
      if (ParseMd5sumsLine(line, length, out, capacity)) return 1;
      continue;
    }
    CloseLineReader(&walk->reader);
    walk->reading = 0;
  }
}

void EndPackageFileWalk(PackageFileWalk* walk) {
  if (walk->reading) CloseLineReader(&walk->reader);
  walk->reading = 0;
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
