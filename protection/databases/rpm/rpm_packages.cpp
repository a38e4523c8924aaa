// The pieces rpm's backends share: the header buffer, exact reads, and
// packages put in ascending number a batch at a time.
#include "protection/databases/rpm/rpm_packages.h"

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>

static void Keep(int* error, int value) {
  if (*error == 0) *error = value;
}

int ResizeBlob(RpmBlob* blob, size_t length, int* error) {
  if (length > blob->capacity) {
    void* grown = realloc(blob->data, length);
    if (grown == nullptr) {
      Keep(error, ENOMEM);
      blob->length = 0;  // never the last header again
      return 0;
    }
    blob->data = static_cast<unsigned char*>(grown);
    blob->capacity = length;
  }
  blob->length = length;
  return 1;
}

void FreeBlob(RpmBlob* blob) {
  free(blob->data);
  blob->data = nullptr;
  blob->length = blob->capacity = 0;
}

int ReadAt(int fd, void* buffer, size_t length, uint64_t offset, int* error) {
  unsigned char* at = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    const ssize_t got = pread(fd, at, length, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) Keep(error, errno);
    if (got <= 0) return 0;
    at += got;
    offset += static_cast<uint64_t>(got);
    length -= static_cast<size_t>(got);
  }
  return 1;
}

static bool Before(const PackageRef& x, const PackageRef& y) {
  return x.number != y.number ? x.number < y.number : x.position < y.position;
}

void BeginPackageBatches(PackageBatch* batch) { batch->count = batch->next = batch->more = batch->started = 0; }

void OfferPackage(PackageBatch* batch, const PackageRef& ref) {
  if (batch->started && !Before(batch->last, ref)) return;
  if (batch->count < kPackageBatch) {
    batch->refs[batch->count++] = ref;
    std::push_heap(batch->refs, batch->refs + batch->count, Before);
    return;
  }
  batch->more = 1;
  if (!Before(ref, batch->refs[0])) return;
  std::pop_heap(batch->refs, batch->refs + kPackageBatch, Before);  // drop the largest
  batch->refs[kPackageBatch - 1] = ref;
  std::push_heap(batch->refs, batch->refs + kPackageBatch, Before);
}

const PackageRef* NextPackageRef(PackageBatch* batch, void (*scan)(void*), void* backend) {
  if (batch->next == batch->count) {
    if (batch->count > 0) {
      if (!batch->more) return nullptr;
      batch->last = batch->refs[batch->count - 1];
      batch->started = 1;
    } else if (batch->started) {
      return nullptr;
    }
    batch->count = batch->next = batch->more = 0;
    scan(backend);
    std::sort_heap(batch->refs, batch->refs + batch->count, Before);
    if (batch->count == 0) {
      batch->started = 1;
      return nullptr;
    }
  }
  return &batch->refs[batch->next++];
}
