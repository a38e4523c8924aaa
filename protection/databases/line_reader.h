// Reads a database file line by line through one fixed buffer.
#pragma once

#include <limits.h>
#include <stddef.h>

// A line longer than the buffer is skipped whole, never handed out in pieces.
struct LineReader {
  int fd;
  int error;       // errno of the read that failed, else 0
  size_t skipped;  // lines too long for the buffer, passed over
  size_t begin, end;
  char path[PATH_MAX];
  char buffer[64 * 1024];
};

// Opens path for reading; nonzero on success. Otherwise 0, with errno set
// when it could not be opened and 0 when it is not a regular file (a FIFO
// or device is never opened: only regular files are read).
int OpenLineReader(LineReader* reader, const char* path);
// Points *line at the next line (without its line feed, not NUL-terminated)
// and returns nonzero; 0 at the end of the file or on a read error, which
// it keeps in reader->error. The last line may lack its line feed.
int NextLine(LineReader* reader, const char** line, size_t* length);
void CloseLineReader(LineReader* reader);
