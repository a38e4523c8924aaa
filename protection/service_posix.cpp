// Stands in for sfc.dll: the protected files are those the package database
// records. The walk is kept between calls so that listing N files costs O(N).

#include "protection/databases/package_db.h"
#include "protection/service.h"

int GetNextProtectedFile(PROTECTED_FILE_DATA* data) {
  static PackageFileWalk walk;
  if (data->FileNumber == 0) {
    EndPackageFileWalk(&walk);
    BeginPackageFileWalk(&walk, kPackageDatabaseRoot);
  }
  if (!NextPackageFile(&walk, data->FileName, sizeof data->FileName)) {
    EndPackageFileWalk(&walk);
    return 0;
  }
  ++data->FileNumber;
  return 1;
}

int IsFileProtected(const char* path) { return IsPackageFile(kPackageDatabaseRoot, path); }
