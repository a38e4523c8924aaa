// The platform's protected-file service: Windows' system file protection, or
// on POSIX the files that the package manager records.
#pragma once

#include <stdint.h>

#include "console/text.h"

// One step of the enumeration. FileNumber must be 0 before the first call
// and the same record is passed to every call.
struct PROTECTED_FILE_DATA {
  NativeChar FileName[kNativePathCapacity];
  uint32_t FileNumber;
};

// Fills data->FileName with the next protected file and advances
// data->FileNumber; nonzero while it does, 0 once the list is exhausted or
// on any error.
int GetNextProtectedFile(PROTECTED_FILE_DATA* data);

// Nonzero when the system protects path (taken as typed); 0 otherwise,
// errors included.
int IsFileProtected(const NativeChar* path);
