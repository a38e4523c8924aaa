// Functions looked up at run time, for DLLs without an import library and for
// calls that older systems lack.
#pragma once

#include <windows.h>

// Casts a looked-up address to its function type; through void* so that
// -Wcast-function-type stays quiet.
template <typename Function>
Function LookUp(HMODULE module, const char* name) {
  return module != nullptr ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)))
                           : nullptr;
}
