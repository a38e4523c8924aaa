// A stand-in for sfc.dll, for tests: the protected files are the entries of
// the environment variable VORBANE_STANDIN_SFC, separated by "|", or, when
// it is "@" and a path, those of that file (UTF-16, separated alike), which
// may be longer than a variable can be. Built with PLANTED defined it
// protects only "C:\PLANTED", to show up if a planted copy is ever loaded.
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
  static wchar_t variable[32768];
  static wchar_t* from_file = nullptr;
  if (from_file != nullptr) return from_file;
  if (!GetEnvironmentVariableW(L"VORBANE_STANDIN_SFC", variable, 32768)) variable[0] = L'\0';
  if (variable[0] != L'@') return variable;
  const HANDLE file = CreateFileW(variable + 1, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  const DWORD size = file != INVALID_HANDLE_VALUE ? GetFileSize(file, nullptr) : 0;
  wchar_t* list = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size + sizeof(wchar_t)));
  DWORD got = 0;
  if (list != nullptr && size > 0 && ReadFile(file, list, size, &got, nullptr)) from_file = list;
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return from_file != nullptr ? from_file : L"";
#endif
}

// Copies entry number index into out; false when there is no such entry.
// Entries are mostly asked for in order: the walk goes on from the last one.
static bool Entry(DWORD index, wchar_t* out, size_t capacity) {
  static const wchar_t* last_list = nullptr;
  static const wchar_t* last_entry = nullptr;
  static DWORD last_index = 0;
  const wchar_t* list = List();
  const wchar_t* entry = list;
  DWORD at = 0;
  if (list == last_list && last_entry != nullptr && last_index <= index) {
    entry = last_entry;
    at = last_index;
  }
  for (; at < index && *entry; ++at) {
    const wchar_t* bar = wcschr(entry, L'|');
    entry = bar != nullptr ? bar + 1 : entry + wcslen(entry);
  }
  last_list = list;
  last_entry = entry;
  last_index = at;
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
