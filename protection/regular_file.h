// Opening a named file for reading on POSIX, for the digests and the
// database readers alike.
#pragma once

#include <stdint.h>

enum { kNotRegularFile = -2 };

// Opens path read-only, only when it is a regular file: a FIFO, a device or
// a folder is never opened at all (opening a FIFO for reading would release
// a writer waiting on it), nor taken as our controlling terminal. Returns the
// descriptor and, in *size, the file's size; -1 when it cannot be opened
// (errno says why), or kNotRegularFile.
int OpenRegularFile(const char* path, long long* size);

// The first half of OpenRegularFile, for when the two are far apart: 1 when
// path is a regular file, with its size; kNotRegularFile; or -1 (errno).
int StatRegularFile(const char* path, uint64_t* size);
// The second half: opens a path that StatRegularFile found regular, and
// makes sure it still is one. The descriptor (and in *size, unless null, the
// size now), -1 (errno) or kNotRegularFile.
int OpenFileFoundRegular(const char* path, uint64_t* size);
// Its two halves, for a caller that opens the file another way: the flags
// it opens with, and the check of what it opened, which closes fd unless it
// is a regular file.
extern const int kOpenFoundRegular;
int KeepIfRegular(int fd, uint64_t* size);
