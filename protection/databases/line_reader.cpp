#include "protection/databases/line_reader.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "console/text.h"
#include "protection/regular_file.h"

int OpenLineReader(LineReader* reader, const char* path) {
  long long size;
  reader->begin = reader->end = reader->skipped = 0;
  reader->error = 0;
  reader->fd = -1;
  if (!CopyText(reader->path, sizeof reader->path, path)) {
    errno = ENAMETOOLONG;
    return 0;
  }
  reader->fd = OpenRegularFile(path, &size);
  if (reader->fd == kNotRegularFile) errno = 0;
  return reader->fd >= 0;
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
        ++reader->skipped;
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
    if (got < 0) reader->error = errno;
    if (got == 0 && skipping) ++reader->skipped;
    if (got <= 0) return 0;  // the end, or an error: a cut line is never handed out
    reader->end += static_cast<size_t>(got);
  }
}

void CloseLineReader(LineReader* reader) {
  if (reader->fd >= 0) close(reader->fd);
  reader->fd = -1;
}
