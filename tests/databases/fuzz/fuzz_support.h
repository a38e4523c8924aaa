// What every database fuzzer checks.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

// The bytes as a file of their own; name receives a path that opens it.
inline int FuzzFile(const unsigned char* data, size_t size, char name[64]) {
  const int fd = memfd_create("database", MFD_CLOEXEC);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) abort();
  snprintf(name, 64, "/proc/self/fd/%d", fd);
  return fd;
}

// A canary past the capacity a reader is given catches any overrun.
inline void FillCanary(char* path, size_t size) { memset(path, 0x5A, size); }

// A path handed out is absolute, ends inside its capacity, and the canary
// after it is untouched.
inline void CheckPath(const char* path, size_t size, size_t capacity) {
  const size_t length = strnlen(path, capacity);
  if (length == capacity || path[0] != '/') abort();
  for (size_t i = capacity; i < size; ++i)
    if (path[i] != 0x5A) abort();
}
