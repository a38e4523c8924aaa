// A stand-in for sfc.dll, for tests: the protected files are the entries of
// the environment variable VORBANE_STANDIN_SFC, separated by "|". Built with
// PLANTED defined it protects only "C:\PLANTED", to show up if a planted
// copy is ever loaded.
#include <wchar.h>
#include <windows.h>

struct ProtectedFileData {
  WCHAR FileName[MAX_PATH];
  DWORD FileNumber;
};

// The list, or an empty string; entries separated by '|'.
static const wchar_t* List() {
#ifdef PLANTED
  return L"C:\\PLANTED";
#else
  static wchar_t list[32768];
  if (!GetEnvironmentVariableW(L"VORBANE_STANDIN_SFC", list, 32768)) list[0] = L'\0';
  return list;
#endif
}

// Copies entry number index into out; false when there is no such entry.
static bool Entry(DWORD index, wchar_t* out, size_t capacity) {
  const wchar_t* entry = List();
  for (; index > 0 && *entry; --index) {
    const wchar_t* bar = wcschr(entry, L'|');
    entry = bar != nullptr ? bar + 1 : entry + wcslen(entry);
  }
  if (*entry == L'\0') return false;
  const wchar_t* bar = wcschr(entry, L'|');
  const size_t length = bar != nullptr ? size_t(bar - entry) : wcslen(entry);
  if (length >= capacity) return false;
  wmemcpy(out, entry, length);
  out[length] = L'\0';
  return true;
}

extern "C" __declspec(dllexport) BOOL WINAPI SfcGetNextProtectedFile(HANDLE, ProtectedFileData* data) {
  if (data == nullptr || !Entry(data->FileNumber, data->FileName, MAX_PATH)) return FALSE;
  ++data->FileNumber;
  return TRUE;
}

extern "C" __declspec(dllexport) BOOL WINAPI SfcIsFileProtected(HANDLE, LPCWSTR path) {
  wchar_t entry[32768];
  for (DWORD i = 0; Entry(i, entry, 32768); ++i)
    if (lstrcmpiW(entry, path) == 0) return TRUE;
  return FALSE;
}
