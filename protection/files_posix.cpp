#include <sys/stat.h>

#include "protection/files.h"

int FileExists(const char* path) {
  struct stat status;
  return stat(path, &status) == 0 ? 1 : 0;
}
