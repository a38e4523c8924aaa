// MD5 through CryptoAPI, a file at a time, on Windows: the pieces that the
// one-file digest and the listing's engine share.
#pragma once

#include <windows.h>
// wincrypt.h needs windows.h first.
#include <wincrypt.h>

// Opens a file to hash: reading, sharing reading only (a file that another
// process is writing is refused), and, for a 32-bit process on 64-bit
// Windows, the file the path names rather than its SysWOW64 namesake.
HANDLE OpenFileToHash(const wchar_t* path);

// A provider context without keys, as every digest here uses; 0 when none
// can be had.
HCRYPTPROV AcquireMd5Provider();

enum HashOutcome { kHashed, kNoHashObject, kReadFailed, kHashingFailed };
// Hashes the open file with provider into digest: reads of 10,000 bytes,
// each hashed exactly. Destroys the hash object it creates before it
// returns; the file and the provider stay the caller's. *stop, unless
// null, is read before each read: nonzero gives up (kReadFailed).
HashOutcome HashOpenFile(HANDLE file, HCRYPTPROV provider, BYTE digest[16], const volatile LONG* stop);
