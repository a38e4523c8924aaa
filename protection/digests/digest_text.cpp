#include "protection/digests/file_digest.h"

const char kDigestPlaceholder[] = "File Not Found  !!!!!!!!!!!!!!!!";

void FormatDigest(const unsigned char digest[16], char text[33]) {
  static const char kHexDigits[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    text[2 * i] = kHexDigits[digest[i] >> 4];
    text[2 * i + 1] = kHexDigits[digest[i] & 0xF];
  }
  text[32] = '\0';
}
