// A file's digest through CryptoAPI, on Windows.
#include "protection/digests/cryptoapi_md5.h"
#include "protection/digests/file_digest.h"
#include "protection/win32_symbols.h"

enum { kReadSize = 10000 };

HANDLE OpenFileToHash(const wchar_t* path) {
  const Wow64Redirection redirection = DisableWow64Redirection();
  const HANDLE file =
      CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  RevertWow64Redirection(redirection);
  return file;
}

HCRYPTPROV AcquireMd5Provider() {
  HCRYPTPROV provider = 0;
  return CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) ? provider : 0;
}

HashOutcome HashOpenFile(HANDLE file, HCRYPTPROV provider, BYTE digest[16], const volatile LONG* stop) {
  HCRYPTHASH hash = 0;
  if (!CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) return kNoHashObject;
  BYTE buffer[kReadSize];
  HashOutcome outcome = kHashed;
  for (;;) {
    DWORD got = 0;
    if ((stop != nullptr && *stop) || !ReadFile(file, buffer, kReadSize, &got, nullptr)) {
      outcome = kReadFailed;
      break;
    }
    if (got == 0) break;
    if (!CryptHashData(hash, buffer, got, 0)) {
      outcome = kHashingFailed;
      break;
    }
  }
  DWORD length = 16;
  if (outcome == kHashed && (!CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0) || length != 16))
    outcome = kHashingFailed;
  CryptDestroyHash(hash);
  return outcome;
}

int GetMD5ChecksumOfFile(const wchar_t* file_name, char* digest_text, size_t capacity) {
  if (!CopyText(digest_text, capacity, kDigestPlaceholder)) return 0;
  const HANDLE file = OpenFileToHash(file_name);
  if (file == INVALID_HANDLE_VALUE) return 0;
  const HCRYPTPROV provider = AcquireMd5Provider();
  if (provider == 0) {
    CloseHandle(file);
    return 0;
  }
  BYTE digest[16];
  const HashOutcome outcome = HashOpenFile(file, provider, digest, nullptr);  // the hash is destroyed first
  if (outcome == kNoHashObject) {
    CloseHandle(file);
    CryptReleaseContext(provider, 0);
    return 0;
  }
  CryptReleaseContext(provider, 0);
  CloseHandle(file);
  if (outcome != kHashed) return 0;
  char text[33];
  FormatDigest(digest, text);
  return CopyText(digest_text, capacity, text);
}
