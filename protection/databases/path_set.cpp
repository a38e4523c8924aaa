#include "protection/databases/path_set.h"

#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include <algorithm>

namespace {

uint64_t RotateLeft(uint64_t x, int bits) { return (x << bits) | (x >> (64 - bits)); }

uint64_t Mix(uint64_t k) {
  k ^= k >> 33;
  k *= 0xff51afd7ed558ccdULL;
  k ^= k >> 33;
  k *= 0xc4ceb9fe1a85ec53ULL;
  return k ^ (k >> 33);
}

uint64_t Load64(const unsigned char* p, size_t length) {
  uint64_t word = 0;
  memcpy(&word, p, length < 8 ? length : 8);
  return word;
}

uint64_t Bucket(uint64_t high, int bits) { return bits == 0 ? 0 : high >> (64 - bits); }

bool Before(const PathHash& x, const PathHash& y) { return x.high != y.high ? x.high < y.high : x.low < y.low; }
bool Same(const PathHash& x, const PathHash& y) { return x.high == y.high && x.low == y.low; }

// The slot of h in the table of the newest hashes, or the empty one where it
// would go.
size_t Slot(const PathSet* set, const PathHash& h) {
  size_t slot = h.low & (set->slots - 1);
  while ((set->table[slot].high | set->table[slot].low) != 0 && !Same(set->table[slot], h))
    slot = (slot + 1) & (set->slots - 1);
  return slot;
}

// An empty table for the newest hashes, an eighth as many as the sorted
// array holds, so that merging costs a few moves a path.
enum { kFewestSlots = 1 << 13 };
bool NewTable(PathSet* set) {
  size_t slots = kFewestSlots;
  while (slots < set->count / 4) slots *= 2;
  free(set->table);
  set->table = static_cast<PathHash*>(calloc(slots, sizeof(PathHash)));
  set->slots = set->table != nullptr ? slots : 0;
  set->pending = 0;
  return set->table != nullptr;
}

bool InSorted(const PathSet* set, const PathHash& h) {
  if (set->count == 0) return false;
  const uint64_t bucket = Bucket(h.high, set->bucket_bits);
  const PathHash* begin = set->sorted + set->buckets[bucket];
  const PathHash* end = set->sorted + set->buckets[bucket + 1];
  const PathHash* at = std::lower_bound(begin, end, h, Before);
  return at != end && Same(*at, h);
}

// Makes room for count hashes. Grown in place where the system can, so that
// the set never needs its old and new memory at once.
bool Reserve(PathSet* set, size_t count) {
  if (count * sizeof(PathHash) <= set->capacity) return true;
  const size_t page = 1 << 16;
  size_t capacity = set->capacity + set->capacity / 2;
  if (capacity < count * sizeof(PathHash)) capacity = count * sizeof(PathHash);
  capacity = (capacity + page - 1) / page * page;
  void* grown;
  if (set->sorted == nullptr) {
    grown = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  } else {
#ifdef MREMAP_MAYMOVE
    grown = mremap(set->sorted, set->capacity, capacity, MREMAP_MAYMOVE);
#else
    grown = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (grown != MAP_FAILED) {
      memcpy(grown, set->sorted, set->count * sizeof(PathHash));
      munmap(set->sorted, set->capacity);
    }
#endif
  }
  if (grown == MAP_FAILED) return false;
  set->sorted = static_cast<PathHash*>(grown);
  set->capacity = capacity;
  return true;
}

// Moves the newest hashes into the sorted array, and indexes it: where the
// hashes with each value of their top bits start, about eight a bucket, so
// that a lookup searches a cache line or two. Memory is found first, so
// that a failure leaves the set as it was.
bool Merge(PathSet* set) {
  const size_t count = set->count + set->pending;
  int bits = 0;
  while (bits < 31 && (count >> bits) > 8) ++bits;
  const size_t buckets = size_t{1} << bits;
  uint32_t* index = static_cast<uint32_t*>(realloc(set->buckets, (buckets + 1) * sizeof(uint32_t)));
  if (index == nullptr) return false;
  set->buckets = index;
  if (count > UINT32_MAX || !Reserve(set, count)) return false;

  // The newest, sorted at the front of their table, then merged from the
  // back: neither needs memory of its own.
  PathHash* newest = set->table;
  size_t taken = 0;
  for (size_t slot = 0; slot < set->slots; ++slot)
    if ((set->table[slot].high | set->table[slot].low) != 0) newest[taken++] = set->table[slot];
  std::sort(newest, newest + taken, Before);
  for (size_t old = set->count, put = count; taken > 0;) {
    if (old > 0 && Before(newest[taken - 1], set->sorted[old - 1]))
      set->sorted[--put] = set->sorted[--old];
    else
      set->sorted[--put] = newest[--taken];
  }
  set->count = count;
  set->bucket_bits = bits;
  size_t at = 0;
  for (size_t bucket = 0; bucket < buckets; ++bucket) {
    index[bucket] = static_cast<uint32_t>(at);
    while (at < count && Bucket(set->sorted[at].high, bits) == bucket) ++at;
  }
  index[buckets] = static_cast<uint32_t>(count);
  return NewTable(set);
}

}  // namespace

PathHash HashPath(const char* path, size_t length) {
  // MurmurHash3's 128-bit mixing: two lanes of 64 bits, 16 bytes a round.
  const uint64_t c1 = 0x87c37b91114253d5ULL, c2 = 0x4cf5ad432745937fULL;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(path);
  uint64_t h1 = 0x9368e53c2f6af274ULL, h2 = 0x586dcd208f7cd3fdULL;
  size_t at = 0;
  for (; at + 16 <= length; at += 16) {
    h1 ^= RotateLeft(Load64(bytes + at, 8) * c1, 31) * c2;
    h1 = (RotateLeft(h1, 27) + h2) * 5 + 0x52dce729;
    h2 ^= RotateLeft(Load64(bytes + at + 8, 8) * c2, 33) * c1;
    h2 = (RotateLeft(h2, 31) + h1) * 5 + 0x38495ab5;
  }
  const size_t rest = length - at;
  if (rest > 8) h2 ^= RotateLeft(Load64(bytes + at + 8, rest - 8) * c2, 33) * c1;
  if (rest > 0) h1 ^= RotateLeft(Load64(bytes + at, rest) * c1, 31) * c2;
  h1 ^= length;
  h2 ^= length;
  h1 += h2;
  h2 += h1;
  h1 = Mix(h1);
  h2 = Mix(h2);
  h1 += h2;
  h2 += h1;
  return {h1, (h1 | h2) == 0 ? 1 : h2};
}

void BeginPathSet(PathSet* set) {
  memset(set, 0, sizeof *set);
  set->failed = !NewTable(set);
}

int RememberPath(PathSet* set, const char* path) {
  if (set->table == nullptr) return -1;
  const PathHash h = HashPath(path, strlen(path));
  const size_t slot = Slot(set, h);
  if ((set->table[slot].high | set->table[slot].low) != 0 || InSorted(set, h)) return 0;
  if (set->failed) return -1;
  set->table[slot] = h;
  if (++set->pending == set->slots / 2 && !Merge(set)) set->failed = 1;
  return 1;
}

void EndPathSet(PathSet* set) {
  if (set->sorted != nullptr) munmap(set->sorted, set->capacity);
  free(set->buckets);
  free(set->table);
  memset(set, 0, sizeof *set);
}
