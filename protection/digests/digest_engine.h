// The listing's digests: files go in in listing order and their digests come
// out in the same order. On POSIX many files are hashed at once (SIMD lanes,
// a worker thread per CPU); on Windows one at a time through CryptoAPI.
#pragma once

#include "console/text.h"

void BeginDigests();
// Nonzero while another file may be given now.
int DigestRoom();
// Queues path (copied) for hashing.
void GiveFile(const NativeChar* path);
// Waits for the oldest file given and not yet taken, and copies its path and
// its digest text (or the placeholder) out. keep_waiting is called about ten
// times a second while it waits; when it returns 0 the wait is abandoned.
// Returns 0 when no file is left, or the wait was abandoned.
int TakeDigest(NativeChar path[kNativePathCapacity], char digest_text[33], int (*keep_waiting)());
// Stops all hashing and releases everything.
void EndDigests();
