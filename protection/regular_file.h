// Opening a named file for reading on POSIX, for the digests and the
// database readers alike.
#pragma once

// Opens path read-only: not as a controlling terminal, never waited on
// (O_NONBLOCK), and only when it is a regular file. Returns the descriptor
// and, in *size, the file's size; -1 otherwise.
int OpenRegularFile(const char* path, long long* size);
