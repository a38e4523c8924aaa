// One file's MD5 digest as the listing shows it.
#pragma once

#include <stddef.h>

#include "console/text.h"

// Stands in a row whose digest cannot be computed; as wide as a digest.
extern const char kDigestPlaceholder[];

// Fills digest_text with the 32 lowercase hex digits of the MD5 digest of
// the file's content and returns nonzero, or leaves kDigestPlaceholder there
// and returns 0 on any failure. capacity must be at least 33.
int GetMD5ChecksumOfFile(const NativeChar* file_name, char* digest_text, size_t capacity);

// The 32 lowercase hex digits of digest, NUL-terminated.
void FormatDigest(const unsigned char digest[16], char text[33]);
