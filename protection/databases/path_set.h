// The paths a walk has handed out, remembered compactly: a 128-bit hash of
// each, 16 bytes a path, in one sorted array, and the newest in a table an
// eighth as large that is merged into it when half full: about 20 bytes a
// path in all.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct PathHash {
  uint64_t high, low;
};

struct PathSet {
  PathHash* sorted;  // count hashes in ascending order, in memory of capacity bytes
  size_t count, capacity;
  uint32_t* buckets;  // where the hashes with each value of their top bits start
  int bucket_bits;
  int failed;       // memory ran out: new paths are no longer remembered
  size_t pending;   // hashes in table
  size_t slots;     // in table: a power of two
  PathHash* table;  // open addressing, at most half full; all zero: empty
};

// A 128-bit hash of the bytes; never all zero.
PathHash HashPath(const char* path, size_t length);

void BeginPathSet(PathSet* set);
// Remembers path. Returns 1 when it is new, 0 when the set has it already,
// and -1 when it is new but memory for it ran out (set->failed tells).
int RememberPath(PathSet* set, const char* path);
void EndPathSet(PathSet* set);
