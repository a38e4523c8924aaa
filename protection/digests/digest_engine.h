// The listing's digests: files go in in listing order and their digests come
// out in the same order. Many files are hashed at once, by a worker thread
// per CPU: on POSIX each in SIMD lanes, on Windows a file at a time each
// through CryptoAPI.
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
// Returns 0 when no file is left, the wait was abandoned, or the listing
// cannot go on (the engine has said why: AbandonScreen).
int TakeDigest(NativeChar path[kNativePathCapacity], char digest_text[33], int (*keep_waiting)());
// Stops all hashing and releases everything.
void EndDigests();

// How many worker threads hash beside the listing thread, for benchmarks.
int DigestWorkers();
