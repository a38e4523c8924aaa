#include <windows.h>

#include "protection/files.h"
#include "protection/win32_symbols.h"

int FileExists(const wchar_t* path) {
  const Wow64Redirection redirection = DisableWow64Redirection();
  const DWORD attributes = GetFileAttributesW(path);
  RevertWow64Redirection(redirection);
  return attributes != INVALID_FILE_ATTRIBUTES ? 1 : 0;
}
