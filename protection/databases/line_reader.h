// Reads a database file line by line through one fixed buffer.
#pragma once

#include <stddef.h>

// A line longer than the buffer is skipped whole, never handed out in pieces.
struct LineReader {
  int fd;
  size_t begin, end;
  char buffer[64 * 1024];
};

// Opens path for reading; nonzero on success. A FIFO or device is refused
// rather than waited on: only regular files are read.
int OpenLineReader(LineReader* reader, const char* path);
// Points *line at the next line (without its line feed, not NUL-terminated)
// and returns nonzero; 0 at the end of the file or on a read error. The last
// line may lack its line feed.
int NextLine(LineReader* reader, const char** line, size_t* length);
void CloseLineReader(LineReader* reader);
