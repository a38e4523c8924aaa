// The two screens that query the protected files.
#pragma once

#include "console/text.h"

// Lists every protected file whose path contains pattern (A-Z folded), with
// its MD5 digest, then a footer showing how to save the listing. pattern may
// be null (every file); it is lower-cased in place.
void ListProtectedFiles(NativeChar* pattern);

// Says whether path exists and, if so, whether it is protected.
void CheckFileProtection(const NativeChar* path);
