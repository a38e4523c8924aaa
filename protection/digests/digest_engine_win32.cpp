// One file at a time through CryptoAPI: the window holds a single file,
// hashed when its digest is asked for.
#include <string.h>

#include "protection/digests/digest_engine.h"
#include "protection/digests/file_digest.h"

static NativeChar given[kNativePathCapacity];
static int holding;

void BeginDigests() { holding = 0; }

int DigestRoom() { return !holding; }

void GiveFile(const NativeChar* path) { holding = CopyText(given, kNativePathCapacity, path); }

int TakeDigest(NativeChar path[kNativePathCapacity], char digest_text[33], int (*)()) {
  if (!holding) return 0;
  holding = 0;
  char text[256];
  GetMD5ChecksumOfFile(given, text, sizeof text);
  memcpy(digest_text, text, 33);
  return CopyText(path, kNativePathCapacity, given);
}

void EndDigests() { holding = 0; }
