// The POSIX digest engine's own calls, beyond digest_engine.h.
#pragma once

// How many descriptors the engine would keep busy with every lane in use:
// the entry raises the process's soft limit to that, where it may.
int DigestDescriptorsWanted();

// For a database reader that found no descriptor left: waits until a lane
// closes a file, and keeps the lanes from opening another until the listing
// moves on. 0 when the lanes hold no file, so none can be freed.
int FreeDigestDescriptor();

// For tests. threads: worker threads, 0 for none (the caller's thread
// hashes), or -1 for one per CPU the process may use. widest: the index of
// the widest kernel to use among the usable ones (0: the widest there is).
// lane_buffers: how many lane buffers may be had before memory "runs out"
// (-1: as many as there is memory for). ring: 0 to make the lanes' calls
// one at a time even where an io_uring could batch them.
void SetDigestEngine(int threads, int widest, int lane_buffers = -1, int ring = 1);
// For tests: how many files the last listing's workers handed from one to
// another part way through.
int DigestLanesHandedOver();
