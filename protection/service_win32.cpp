// The system file protection service of sfc.dll.
#include <wchar.h>
#include <windows.h>

#include "protection/service.h"
#include "protection/win32_symbols.h"

static_assert(sizeof(PROTECTED_FILE_DATA) == MAX_PATH * sizeof(WCHAR) + sizeof(DWORD),
              "the record must match the one sfc.dll fills");

typedef BOOL(WINAPI* NextProtectedFileFunction)(HANDLE, PROTECTED_FILE_DATA*);
typedef BOOL(WINAPI* IsFileProtectedFunction)(HANDLE, LPCWSTR);

struct SfcFunctions {
  NextProtectedFileFunction next_protected_file;
  IsFileProtectedFunction is_file_protected;
};

// MinGW ships no import library for sfc.dll, so it is loaded here, by its full
// path in the system folder: a search by name would take an sfc.dll planted
// beside the program or in the current folder. Its own dependencies are
// looked for beside it first.
static const SfcFunctions& Sfc() {
  static SfcFunctions functions;
  static bool loaded = false;
  if (!loaded) {
    loaded = true;
    static const wchar_t kName[] = L"\\sfc.dll";
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length > 0 && length + wcslen(kName) < MAX_PATH) {
      wcscpy(path + length, kName);
      const HMODULE sfc = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
      functions.next_protected_file = LookUp<NextProtectedFileFunction>(sfc, "SfcGetNextProtectedFile");
      functions.is_file_protected = LookUp<IsFileProtectedFunction>(sfc, "SfcIsFileProtected");
    }
  }
  return functions;
}

int GetNextProtectedFile(PROTECTED_FILE_DATA* data) {
  const NextProtectedFileFunction next = Sfc().next_protected_file;
  return next != nullptr && next(nullptr, data) ? 1 : 0;
}

int IsFileProtected(const wchar_t* path) {
  const IsFileProtectedFunction is_protected = Sfc().is_file_protected;
  return is_protected != nullptr && is_protected(nullptr, path) ? 1 : 0;
}
