// The existence test behind the check.
#pragma once

#include "console/text.h"

// 1 when path names something that exists (a directory too), else 0.
int FileExists(const NativeChar* path);
