// Opening a named file for reading on POSIX, for the digests and the
// database readers alike.
#pragma once

enum { kNotRegularFile = -2 };

// Opens path read-only, only when it is a regular file: a FIFO, a device or
// a folder is never opened at all (opening a FIFO for reading would release
// a writer waiting on it), nor taken as our controlling terminal. Returns the
// descriptor and, in *size, the file's size; -1 when it cannot be opened
// (errno says why), or kNotRegularFile.
int OpenRegularFile(const char* path, long long* size);
