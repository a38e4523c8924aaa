// Stands in for sfc.dll: the protected files are those the package databases
// record. The walk is kept between calls so that listing N files costs O(N).
// A database that is there but cannot be read is said on standard error and
// the answer goes on without it; the listing never goes on without one for
// want of a descriptor: it waits for the hashing to free one, or stops.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "console/console.h"
#include "protection/databases/package_db.h"
#include "protection/digests/digest_engine_posix.h"
#include "protection/service.h"

static int Failed(void* listing, const char* path, int error) {
  const int out_of_descriptors = error == EMFILE || error == ENFILE;
  if (listing != nullptr && out_of_descriptors && FreeDigestDescriptor()) return 1;
  if (ScreenAbandoned()) return 0;
  char what[PATH_MAX + 16];
  snprintf(what, sizeof what, "cannot read %s", path);
  if (listing != nullptr && out_of_descriptors)
    AbandonScreen(what, strerror(error));
  else
    ReportFailure(what, strerror(error));
  return 0;
}

static void Said(void*, const char* what, const char* reason) { ReportFailure(what, reason); }

static int listing;
static const DatabaseHooks kListingHooks = {Failed, Said, &listing}, kCheckHooks = {Failed, Said, nullptr};

int GetNextProtectedFile(PROTECTED_FILE_DATA* data) {
  static PackageFileWalk walk;
  if (data->FileNumber == 0) {
    EndPackageFileWalk(&walk);
    BeginPackageFileWalk(&walk, kPackageDatabaseRoot, &kListingHooks, 1);
  }
  if (!NextPackageFile(&walk, data->FileName, sizeof data->FileName) || ScreenAbandoned()) {
    EndPackageFileWalk(&walk);
    return 0;
  }
  ++data->FileNumber;
  return 1;
}

int IsFileProtected(const char* path) { return IsPackageFile(kPackageDatabaseRoot, path, &kCheckHooks); }
