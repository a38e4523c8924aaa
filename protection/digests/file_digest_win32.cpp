// A file's digest through CryptoAPI, on Windows.
#include <windows.h>
// wincrypt.h needs windows.h first.
#include <wincrypt.h>

#include "protection/digests/file_digest.h"
#include "protection/win32_symbols.h"

enum { kReadSize = 10000 };

int GetMD5ChecksumOfFile(const wchar_t* file_name, char* digest_text, size_t capacity) {
  if (!CopyText(digest_text, capacity, kDigestPlaceholder)) return 0;
  // Share reading only: a file that another process is writing is refused.
  const Wow64Redirection redirection = DisableWow64Redirection();
  const HANDLE file =
      CreateFileW(file_name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  RevertWow64Redirection(redirection);
  if (file == INVALID_HANDLE_VALUE) return 0;

  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
    CloseHandle(file);
    return 0;
  }
  HCRYPTHASH hash = 0;
  if (!CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) {
    CloseHandle(file);
    CryptReleaseContext(provider, 0);
    return 0;
  }

  BYTE buffer[kReadSize];
  int ok = 1;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, buffer, kReadSize, &got, nullptr)) {
      ok = 0;
      break;
    }
    if (got == 0) break;
    if (!CryptHashData(hash, buffer, got, 0)) {
      CryptDestroyHash(hash);
      CryptReleaseContext(provider, 0);
      CloseHandle(file);
      return 0;
    }
  }
  if (ok) {
    BYTE digest[16];
    DWORD length = sizeof digest;
    ok = CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0) && length == sizeof digest;
    if (ok) {
      char text[33];
      FormatDigest(digest, text);
      ok = CopyText(digest_text, capacity, text);
    }
  }
  CryptDestroyHash(hash);
  CryptReleaseContext(provider, 0);
  CloseHandle(file);
  return ok;
}
