// Packages.db (openSUSE, SLE 15): rpm's "ndb" format, little-endian. Slot
// pages at the start of the file name each package's number and where its
// blob record lies, in 16-byte blocks.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "protection/databases/rpm/rpm_header.h"
#include "protection/databases/rpm/rpm_packages.h"
#include "protection/regular_file.h"

namespace {

const uint32_t kSlotPage = 4096;
const uint32_t kBlocksPerSlotPage = kSlotPage / 16;

uint32_t LoadLittle32(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// Offers every used slot that points past the slot pages and inside the
// file; a slot that does not is passed over, as is its package.
void OfferSlots(void* backend) {
  RpmNdb* packages = static_cast<RpmNdb*>(backend);
  for (uint32_t page = 0; page < packages->slot_pages; ++page) {
    if (!ReadAt(packages->fd, packages->page, kSlotPage, uint64_t{page} * kSlotPage, &packages->error)) return;
    for (uint32_t slot = page == 0 ? 2 : 0; slot < kBlocksPerSlotPage; ++slot) {
      const unsigned char* s = packages->page + 16 * slot;
      const uint32_t number = LoadLittle32(s + 4), offset = LoadLittle32(s + 8), blocks = LoadLittle32(s + 12);
      if (memcmp(s, "Slot", 4) == 0 && offset != 0 && number != 0 && blocks != 0 &&
          offset >= packages->slot_pages * kBlocksPerSlotPage && uint64_t{offset} + blocks <= packages->blocks)
        OfferPackage(&packages->batch, {number, page * kBlocksPerSlotPage + slot, offset, blocks});
    }
  }
}

// Reads the blob record a slot names: "BlbS", number, generation, length,
// the header, padding, a checksum, the length again and "BlbE".
int ReadRecord(RpmNdb* packages, const PackageRef& ref, RpmBlob* blob) {
  const uint64_t start = uint64_t{ref.where} * 16, end = start + uint64_t{ref.extent} * 16;
  unsigned char head[16], tail[12];
  if (!ReadAt(packages->fd, head, sizeof head, start, &packages->error) || memcmp(head, "BlbS", 4) != 0 ||
      LoadLittle32(head + 4) != ref.number)
    return 0;
  const uint32_t length = LoadLittle32(head + 12);
  if ((uint64_t{16} + length + 12 + 15) / 16 != ref.extent || length > kMaxRpmHeader) return 0;
  if (!ReadAt(packages->fd, tail, sizeof tail, end - 12, &packages->error) || LoadLittle32(tail + 4) != length ||
      memcmp(tail + 8, "BlbE", 4) != 0)
    return 0;
  return ResizeBlob(blob, length, &packages->error) &&
         ReadAt(packages->fd, blob->data, length, start + 16, &packages->error);
}

}  // namespace

int OpenNdbPackages(RpmNdb* packages, const char* path) {
  long long size;
  packages->error = 0;
  packages->fd = OpenRegularFile(path, &size);
  if (packages->fd < 0) {
    if (packages->fd == -1) packages->error = errno;
    return 0;
  }
  BeginPackageBatches(&packages->batch);
  unsigned char head[32];
  if (size / 16 <= UINT32_MAX && ReadAt(packages->fd, head, sizeof head, 0, &packages->error) &&
      memcmp(head, "RpmP", 4) == 0 && LoadLittle32(head + 4) == 0) {
    packages->slot_pages = LoadLittle32(head + 12);
    packages->blocks = static_cast<uint32_t>(size / 16);  // a cut last block is not read
    if (packages->slot_pages > 0 && uint64_t{packages->slot_pages} * kBlocksPerSlotPage <= packages->blocks) return 1;
  }
  CloseNdbPackages(packages);
  return 0;
}

int NextNdbHeader(RpmNdb* packages, RpmBlob* blob) {
  while (const PackageRef* ref = NextPackageRef(&packages->batch, OfferSlots, packages))
    if (ReadRecord(packages, *ref, blob)) return 1;  // a broken record is passed over
  return 0;
}

void CloseNdbPackages(RpmNdb* packages) {
  if (packages->fd >= 0) close(packages->fd);
  packages->fd = -1;
}
