// Under Wine, beside the listing: the plain loop it is measured against,
// hashing each file of a list one at a time with a provider context of its
// own (GetMD5ChecksumOfFile), and the number of worker threads the listing's
// engine starts with this process's affinity.
//   windows_bench loop <list file>   the list: UTF-16 paths separated by "|"
//   windows_bench workers
#include <stdio.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include <string>

#include "protection/digests/digest_engine.h"
#include "protection/digests/file_digest.h"

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && wcscmp(argv[1], L"workers") == 0) {
    BeginDigests();
    printf("%d\n", DigestWorkers());
    EndDigests();
    return 0;
  }
  if (argc != 3 || wcscmp(argv[1], L"loop") != 0) return 2;
  const HANDLE file = CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  std::wstring list(GetFileSize(file, nullptr) / sizeof(wchar_t), L'\0');
  DWORD got = 0;
  ReadFile(file, &list[0], DWORD(list.size() * sizeof(wchar_t)), &got, nullptr);
  CloseHandle(file);
  int hashed = 0;
  for (size_t at = 0; at < list.size();) {
    size_t bar = list.find(L'|', at);
    if (bar == std::wstring::npos) bar = list.size();
    char digest[256];
    hashed += GetMD5ChecksumOfFile(list.substr(at, bar - at).c_str(), digest, sizeof digest);
    at = bar + 1;
  }
  printf("%d files hashed\n", hashed);
  return 0;
}
