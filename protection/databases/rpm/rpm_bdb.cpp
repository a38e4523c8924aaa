// Packages (RHEL 7 and 8, Amazon Linux 2): a Berkeley DB hash file, keyed by
// the package number, written in the byte order of the machine that wrote
// it. Read from its page layout, without libdb.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "protection/databases/rpm/rpm_header.h"
#include "protection/databases/rpm/rpm_packages.h"
#include "protection/regular_file.h"

namespace {

enum { kPageHeader = 26, kHashUnsorted = 2, kOverflow = 7, kHashMeta = 8, kHash = 13 };
enum { kKeyData = 1, kOffPage = 3 };
const uint32_t kHashMagic = 0x00061561;

uint32_t Load32(const RpmBdb* db, const unsigned char* p) {
  return db->big_endian ? LoadBig32(p)
                        : uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

uint32_t Load16(const RpmBdb* db, const unsigned char* p) {
  return db->big_endian ? uint32_t{p[0]} << 8 | p[1] : uint32_t{p[1]} << 8 | p[0];
}

// Reads page number into db->page when it lies inside the file, says it is
// that page, and has type type (or other_type).
int ReadPage(RpmBdb* db, uint32_t number, int type, int other_type) {
  const unsigned char* page = db->page;
  return number > 0 && number < db->pages &&
         ReadAt(db->fd, db->page, db->page_size, uint64_t{number} * db->page_size, &db->error) &&
         Load32(db, page + 8) == number && (page[25] == type || page[25] == other_type);
}

// The bounds of item index on the hash page in db->page; 0 when they are
// not inside the page.
int FindItem(const RpmBdb* db, uint32_t index, uint32_t* begin, uint32_t* end) {
  const unsigned char* page = db->page;
  const uint32_t entries = Load16(db, page + 20);
  const uint32_t items = kPageHeader + 2 * entries;
  if (index >= entries || items > db->page_size) return 0;
  *begin = Load16(db, page + kPageHeader + 2 * index);
  *end = index == 0 ? db->page_size : Load16(db, page + kPageHeader + 2 * (index - 1));
  return *begin >= items && *begin < *end && *end <= db->page_size;
}

// Offers every record whose key is a 4-byte package number, bucket by
// bucket. No more pages are visited than the file holds, whatever the links.
void OfferRecords(void* backend) {
  RpmBdb* db = static_cast<RpmBdb*>(backend);
  uint32_t visits = 0, position = 0;
  for (uint32_t bucket = 0; bucket <= db->max_bucket; ++bucket) {
    const int bits = bucket == 0 ? 0 : 32 - __builtin_clz(bucket);
    if (bits == 32) break;  // no file is that large
    uint64_t number = uint64_t{bucket} + db->spares[bits];
    while (number != 0 && number < db->pages && visits++ < db->pages &&
           ReadPage(db, static_cast<uint32_t>(number), kHash, kHashUnsorted)) {
      const uint32_t entries = Load16(db, db->page + 20);
      for (uint32_t key = 0; key + 1 < entries; key += 2) {
        uint32_t begin, end;
        if (FindItem(db, key, &begin, &end) && end - begin == 5 && db->page[begin] == kKeyData)
          OfferPackage(&db->batch,
                       {Load32(db, db->page + begin + 1), position, static_cast<uint32_t>(number), key + 1});
        ++position;
      }
      number = Load32(db, db->page + 16);
    }
  }
}

// Gathers a value that lives on overflow pages: each holds its share of the
// bytes after the page header, and names the next page.
int ReadOverflow(RpmBdb* db, uint32_t number, uint32_t length, RpmBlob* blob) {
  if (length > kMaxRpmHeader || uint64_t{length} > uint64_t{db->pages} * db->page_size ||
      !ResizeBlob(blob, length, &db->error))
    return 0;
  uint32_t have = 0;
  for (uint32_t visits = 0; have < length; ++visits) {
    if (visits == db->pages || !ReadPage(db, number, kOverflow, kOverflow)) return 0;
    const uint32_t bytes = Load16(db, db->page + 22);
    if (bytes == 0 || bytes > db->page_size - kPageHeader || bytes > length - have) return 0;
    memcpy(blob->data + have, db->page + kPageHeader, bytes);
    have += bytes;
    number = Load32(db, db->page + 16);
  }
  return 1;
}

int ReadValue(RpmBdb* db, const PackageRef& ref, RpmBlob* blob) {
  uint32_t begin, end;
  if (!ReadPage(db, ref.where, kHash, kHashUnsorted) || !FindItem(db, ref.extent, &begin, &end)) return 0;
  const unsigned char* item = db->page + begin;
  if (item[0] == kKeyData) {
    if (!ResizeBlob(blob, end - begin - 1, &db->error)) return 0;
    if (blob->length > 0) memcpy(blob->data, item + 1, blob->length);
    return 1;
  }
  return item[0] == kOffPage && end - begin == 12 && ReadOverflow(db, Load32(db, item + 4), Load32(db, item + 8), blob);
}

}  // namespace

int OpenBdbPackages(RpmBdb* db, const char* path) {
  long long size;
  db->page = nullptr;
  db->error = 0;
  db->fd = OpenRegularFile(path, &size);
  if (db->fd < 0) {
    if (db->fd == -1) db->error = errno;
    return 0;
  }
  BeginPackageBatches(&db->batch);
  unsigned char meta[512];
  if (ReadAt(db->fd, meta, sizeof meta, 0, &db->error)) {
    db->big_endian = 0;
    if (Load32(db, meta + 12) != kHashMagic) db->big_endian = 1;
    const uint32_t version = Load32(db, meta + 16);
    db->page_size = Load32(db, meta + 20);
    const uint32_t last_page = Load32(db, meta + 32);
    db->max_bucket = Load32(db, meta + 72);
    for (int i = 0; i < 32; ++i) db->spares[i] = Load32(db, meta + 96 + 4 * i);
    const long long pages = size / (db->page_size > 0 ? db->page_size : 1);
    db->pages = static_cast<uint32_t>(pages < last_page + 1LL ? pages : last_page + 1LL);
    // Pages that carry checksums (metaflags bit 0) move the item offsets:
    // rpm never writes them. Hash version 7 (Berkeley DB 3, older rpm) lays
    // out every field read here as 8 to 10 do.
    if (Load32(db, meta + 12) == kHashMagic && version >= 7 && version <= 10 && db->page_size >= 512 &&
        db->page_size <= 65536 && (db->page_size & (db->page_size - 1)) == 0 && meta[25] == kHashMeta &&
        (meta[26] & 1) == 0 && db->max_bucket < db->pages) {
      db->page = static_cast<unsigned char*>(malloc(db->page_size));
      if (db->page != nullptr) return 1;
      db->error = ENOMEM;
    }
  }
  CloseBdbPackages(db);
  return 0;
}

int NextBdbHeader(RpmBdb* db, RpmBlob* blob) {
  while (const PackageRef* ref = NextPackageRef(&db->batch, OfferRecords, db))
    if (ReadValue(db, *ref, blob)) return 1;  // a broken record is passed over
  return 0;
}

void CloseBdbPackages(RpmBdb* db) {
  if (db->fd >= 0) close(db->fd);
  free(db->page);
  db->fd = -1;
  db->page = nullptr;
}
